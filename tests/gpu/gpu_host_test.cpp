// The module's GPU road as a host drives it, with the fake driver loaded by the
// module itself as libcuda.so.1 (ctest puts its folder on LD_LIBRARY_PATH).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "fake_driver.h"
#include "gpu/gpu_context.h"
#include "module_harness.h"

namespace {

using fake_cuda::Op;
using gpu_test::Frame;
using gpu_test::Settings;

// The fake driver that the module binds: the same library, reached by name.
fake_cuda::FakeDriver* fake_driver() {
  static fake_cuda::FakeDriver* control = []() -> fake_cuda::FakeDriver* {
    void* library = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    auto control_fn = reinterpret_cast<FakeCudaControlFn>(dlsym(library, "fake_cuda_control"));
    return control_fn != nullptr ? control_fn() : nullptr;
  }();
  return control;
}

constexpr bool kernel_image_built() {
#if defined(QNR_HAVE_KERNEL_IMAGE)
  return true;
#else
  return false;
#endif
}

class ModuleOnFakeDriver : public testing::Test {
 protected:
  void SetUp() override {
    fake = fake_driver();
    ASSERT_NE(fake, nullptr) << "libcuda.so.1 on LD_LIBRARY_PATH is not the fake driver";
    fake->reset();
  }
  void TearDown() override {
    host.close();
    if (fake == nullptr) return;
    EXPECT_EQ(fake->live_allocations(), 0u);
    EXPECT_EQ(fake->live_streams(), 0u);
    for (const std::string& v : fake->violations) ADD_FAILURE() << "driver misuse: " << v;
    fake->reset();
  }
  fake_cuda::FakeDriver* fake = nullptr;
  gpu_test::ModuleHarness host;
};

TEST_F(ModuleOnFakeDriver, StartCreatesASizedContextAndEndReleasesIt) {
  host.open({});
  vdhost::Bitmap src(40, 24), dst(40, 24);
  ASSERT_EQ(host.instance->start(src, dst), 0);
  const GpuContext* context = host.config()->gpu_context;
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->width, 40);
  EXPECT_EQ(context->height, 24);
  EXPECT_EQ(context->pitch, 512u);
  EXPECT_EQ(fake->live_allocations(), 2u);
  EXPECT_EQ(fake->live_streams(), 1u);
  ASSERT_EQ(host.instance->end(), 0);
  EXPECT_EQ(host.config()->gpu_context, nullptr);
  EXPECT_EQ(fake->live_allocations(), 0u);
  EXPECT_EQ(fake->live_streams(), 0u);
}

// A host's byte copy of a started instance holds the original's context; once
// the original's end has released it, neither the copy's start nor the end
// after a failed start may release it again.
TEST_F(ModuleOnFakeDriver, ACopiedRecordNeverReleasesTheOriginalsContext) {
  host.open({});
  vdhost::Bitmap src(40, 24), dst(40, 24);
  ASSERT_EQ(host.instance->start(src, dst), 0);
  auto copy = host.instance->duplicate();
  ASSERT_EQ(host.instance->end(), 0);

  vdhost::Bitmap too_large(0, 0), unused(0, 0);
  too_large.record().w = 65536;
  too_large.record().h = 32768;
  EXPECT_EQ(copy->start(too_large, unused), 1);
  EXPECT_EQ(copy->data_as<FilterConfig>()->gpu_context, nullptr);
  EXPECT_EQ(copy->end(), 0);

  ASSERT_EQ(copy->start(src, dst), 0);
  EXPECT_NE(copy->data_as<FilterConfig>()->gpu_context, nullptr);
  EXPECT_EQ(fake->live_streams(), 1u);
  EXPECT_EQ(copy->end(), 0);
}

TEST_F(ModuleOnFakeDriver, FramesGoThroughTheKernelWhenTheModuleCarriesOne) {
  const Settings s{70, 70, 2, 0, 0};
  host.open(s);
  const Frame in = gpu_test::textured_frame(45, 30, 1);
  vdhost::Bitmap src(45, 30, 45 * 4 + 16), dst(45, 30, -(45 * 4 + 8));
  gpu_test::put(src, in);
  ASSERT_EQ(host.instance->start(src, dst), 0);
  ASSERT_NE(gpu_test::emulated(in, s).pixels, gpu_test::cpu_path(in, s).pixels);
  // Without device code every launch fails and the CPU path takes the frame.
  const Frame expected =
      kernel_image_built() ? gpu_test::emulated(in, s) : gpu_test::cpu_path(in, s);
  for (int frame = 0; frame < 2; ++frame) {
    ASSERT_EQ(host.instance->run(src, dst), 0);
    EXPECT_EQ(gpu_test::get(dst).pixels, expected.pixels);
  }
  EXPECT_TRUE(dst.padding_intact());
  EXPECT_EQ(fake->count(Op::launch_kernel), kernel_image_built() ? 2 : 0);
  EXPECT_EQ(fake->count(Op::mem_alloc_pitch), 2);  // sized once, at start
}

TEST_F(ModuleOnFakeDriver, ShowNoiseReachesTheKernelAsOneAndInterlaceAsStored) {
  if (!kernel_image_built()) GTEST_SKIP() << "built without nvcc: the module carries no kernel";
  host.open(Settings{60, 80, 3, 2, 0});
  host.config()->show_noise = 2;
  const Frame in = gpu_test::textured_frame(20, 20, 2);
  vdhost::Bitmap src(20, 20), dst(20, 20);
  gpu_test::put(src, in);
  ASSERT_EQ(host.instance->start(src, dst), 0);
  ASSERT_EQ(host.instance->run(src, dst), 0);
  ASSERT_EQ(fake->launches.size(), 1u);
  EXPECT_EQ(fake->launches[0].settings.show_noise, 1);
  EXPECT_EQ(fake->launches[0].settings.interlace, 2);
  EXPECT_EQ(gpu_test::get(dst).pixels, gpu_test::emulated(in, Settings{60, 80, 3, 2, 1}).pixels);
}

TEST_F(ModuleOnFakeDriver, DisableDoesNoGpuWork) {
  host.open({});
  host.config()->disable = 1;
  const Frame in = gpu_test::random_frame(17, 9, 3);
  vdhost::Bitmap src(17, 9), dst(17, 9);
  gpu_test::put(src, in);
  ASSERT_EQ(host.instance->start(src, dst), 0);
  ASSERT_EQ(host.instance->run(src, dst), 0);
  EXPECT_EQ(gpu_test::get(dst).pixels, in.pixels);
  EXPECT_EQ(fake->count(Op::memcpy_2d_async), 0);
  EXPECT_EQ(fake->count(Op::launch_kernel), 0);
}

// One failing driver call; `at_start` counts it from the start callback, else
// from the first frame. `from_then_on` keeps it failing.
struct HostFault {
  Op op;
  int nth;
  bool at_start;
  bool from_then_on;
  const char* name;
};

void PrintTo(const HostFault& f, std::ostream* os) { *os << f.name; }

class ModuleFault : public ModuleOnFakeDriver, public testing::WithParamInterface<HostFault> {};

TEST_P(ModuleFault, TheFrameComesOutCompleteFromTheCpuPath) {
  const HostFault f = GetParam();
  const Settings s{70, 70, 2, 1, 0};
  host.open(s);
  const Frame in = gpu_test::textured_frame(40, 26, 4);
  const Frame expected = gpu_test::cpu_path(in, s);
  ASSERT_NE(expected.pixels, gpu_test::emulated(in, s).pixels);
  vdhost::Bitmap src(40, 26, -(40 * 4)), dst(40, 26, 40 * 4 + 12);
  gpu_test::put(src, in);
  gpu_test::put(dst, gpu_test::uniform_frame(40, 26, 0x33333333u));

  if (f.at_start) fake->fail(f.op, f.nth, f.from_then_on);
  ASSERT_EQ(host.instance->start(src, dst), 0);
  if (!f.at_start) fake->fail(f.op, f.nth, f.from_then_on);
  ASSERT_EQ(host.instance->run(src, dst), 0);
  EXPECT_EQ(gpu_test::get(dst).pixels, expected.pixels);
  EXPECT_TRUE(dst.padding_intact());

  // A failure is not remembered: with the driver healthy again and a context
  // present, the next frame goes through the kernel.
  fake->fail(f.op, 0);
  if (host.config()->gpu_context != nullptr && kernel_image_built()) {
    ASSERT_EQ(host.instance->run(src, dst), 0);
    EXPECT_EQ(gpu_test::get(dst).pixels, gpu_test::emulated(in, s).pixels);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, ModuleFault,
    testing::Values(HostFault{Op::stream_create, 1, true, false, "stream_creation"},
                    HostFault{Op::mem_alloc_pitch, 1, true, true, "allocation"},
                    HostFault{Op::mem_alloc_pitch, 2, true, true, "second_allocation"},
                    HostFault{Op::ctx_push_current, 1, false, false, "context"},
                    HostFault{Op::memcpy_2d_async, 1, false, false, "upload"},
                    HostFault{Op::launch_kernel, 1, false, false, "launch"},
                    HostFault{Op::memcpy_2d_async, 2, false, false, "download"},
                    HostFault{Op::stream_synchronize, 1, false, false, "wait"}),
    [](const testing::TestParamInfo<HostFault>& info) { return std::string(info.param.name); });

}  // namespace
