// The module's GPU road as a host drives it, with the fake driver loaded by the
// module itself as libcuda.so.1 (ctest puts its folder on LD_LIBRARY_PATH).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

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
  if (!kernel_image_built()) GTEST_SKIP() << "built without nvcc: start makes no GPU context";
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
  if (!kernel_image_built()) GTEST_SKIP() << "built without nvcc: start makes no GPU context";
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
  // Sized once, at start; without a kernel nothing is allocated at all.
  EXPECT_EQ(fake->count(Op::mem_alloc_pitch), kernel_image_built() ? 2 : 0);
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

// Where the kernel cannot be had (no code for this GPU, PTX too new for the
// driver, no kernel in the image, a driver older than the image needs), start
// makes no GPU context: frames go to the CPU without any allocation, copy or
// launch, and QNR_LOG says why.
struct NoKernel {
  const char* name;
  Op op;  // the call that fails, from_then_on
  CuResult code;
  int driver_version;  // what the driver reports
  const char* log;
};

TEST_F(ModuleOnFakeDriver, WhereTheKernelCannotLoadFramesCostTheDeviceNothing) {
  if (!kernel_image_built()) GTEST_SKIP() << "built without nvcc: the module carries no kernel";
  const NoKernel cases[] = {
      {"no code for this GPU", Op::module_load_data, 209, 13000,
       "QNR: GPU road: kernel: cuModuleLoadData returned 209 (CUDA_ERROR_NO_BINARY_FOR_GPU)"},
      {"PTX too new", Op::module_load_data, 222, 13000,
       "QNR: GPU road: kernel: cuModuleLoadData returned 222"},
      {"no kernel in the image", Op::module_get_function, 500, 13000,
       "QNR: GPU road: kernel: cuModuleGetFunction returned 500"},
      {"old driver", Op::init, 0, 12080,
       "QNR: GPU road: start: driver too old: it supports CUDA 12.8, the module's GPU code "
       "needs CUDA 13.0 or later; frames take the CPU path\n"},
  };
  const Settings s{};
  const Frame in = gpu_test::textured_frame(40, 26, 8);
  for (const NoKernel& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    if (c.code != 0) fake->fail(c.op, 1, true, c.code);
    fake->driver_version = c.driver_version;
    host.open(s);
    vdhost::Bitmap src(40, 26), dst(40, 26);
    gpu_test::put(src, in);
    setenv("QNR_LOG", "1", 1);
    testing::internal::CaptureStderr();
    ASSERT_EQ(host.instance->start(src, dst), 0);
    EXPECT_EQ(host.config()->gpu_context, nullptr);
    for (int frame = 0; frame < 3; ++frame) ASSERT_EQ(host.instance->run(src, dst), 0);
    ASSERT_EQ(host.instance->end(), 0);
    const std::string log = testing::internal::GetCapturedStderr();
    unsetenv("QNR_LOG");
    EXPECT_EQ(gpu_test::get(dst).pixels, gpu_test::cpu_path(in, s).pixels);
    EXPECT_NE(log.find(c.log), std::string::npos) << log;
    EXPECT_EQ(fake->count(Op::mem_alloc_pitch), 0);
    EXPECT_EQ(fake->count(Op::memcpy_2d_async), 0);
    EXPECT_EQ(fake->count(Op::launch_kernel), 0);
    // An old driver is turned away before it makes a context on the device.
    if (c.driver_version < fake_cuda::kDefaultDriverVersion) {
      EXPECT_EQ(fake->count(Op::init), 0);
    }
    TearDown();
  }
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
  // Whatever was queued before the failure had finished when the callback
  // returned: the host may reuse its source rows at once.
  EXPECT_EQ(fake->queued_work(), 0u);

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
