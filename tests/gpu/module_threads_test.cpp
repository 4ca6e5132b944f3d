// The module on the host's threads, as VirtualDub drives it: start and end on
// the UI thread, runs on a worker thread, several instances at once. Built
// twice: over the fake driver (gpu_host_tests) and over the machine's own
// driver (gpu_real_host_tests, which skips where no GPU is usable); both
// compare every frame with the kernel's emulation, bit for bit.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "module_harness.h"
#if !defined(QNR_REAL_DRIVER)
#include "fake_driver.h"
#endif

namespace {

using gpu_test::Frame;
using gpu_test::Settings;

constexpr bool kKernelImageBuilt =
#if defined(QNR_HAVE_KERNEL_IMAGE)
    true;
#else
    false;
#endif

class ModuleThreads : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    module = vdhost::FilterModule::load(QNR_MODULE_PATH, error);
    ASSERT_NE(module, nullptr) << error;
    ASSERT_EQ(module->initialise(), 0);
#if !defined(QNR_REAL_DRIVER)
    library = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr);
    const auto control = reinterpret_cast<FakeCudaControlFn>(dlsym(library, "fake_cuda_control"));
    ASSERT_NE(control, nullptr) << "libcuda.so.1 is not the fake driver";
    fake = control();
    fake->reset();
#endif
  }
#if !defined(QNR_REAL_DRIVER)
  void TearDown() override {
    if (fake == nullptr) return;
    EXPECT_EQ(fake->live_allocations(), 0u);
    EXPECT_EQ(fake->live_streams(), 0u);
    for (const std::string& v : fake->violations) ADD_FAILURE() << "driver misuse: " << v;
    fake->reset();
  }
  void* library = nullptr;
  fake_cuda::FakeDriver* fake = nullptr;
#endif

  std::unique_ptr<vdhost::FilterInstance> make_instance(const Settings& s) {
    auto instance = std::make_unique<vdhost::FilterInstance>(*module, *module->filter());
    EXPECT_EQ(instance->init(), 0);
    std::string error;
    EXPECT_TRUE(testing_frames::configure(*instance, s, error)) << error;
    return instance;
  }

  // Skips (real driver) or fails (fake driver) where start made no GPU context.
  bool has_gpu_road(vdhost::FilterInstance& instance) {
    if (instance.data_as<FilterConfig>()->gpu_context != nullptr && kKernelImageBuilt) return true;
#if defined(QNR_REAL_DRIVER)
    return false;
#else
    ADD_FAILURE() << "the fake driver should give every instance a GPU context";
    return false;
#endif
  }

  std::unique_ptr<vdhost::FilterModule> module;
};

#if defined(QNR_REAL_DRIVER)
#define SKIP_WITHOUT_GPU_ROAD(instance) \
  if (!has_gpu_road(instance)) GTEST_SKIP() << "no usable CUDA driver, GPU or kernel image"
#else
// Without a kernel image every launch fails and frames take the CPU path, which
// other suites cover; these tests are about the GPU road itself.
#define SKIP_WITHOUT_GPU_ROAD(instance)                                                       \
  if (!kKernelImageBuilt) GTEST_SKIP() << "built without nvcc: the module carries no kernel"; \
  ASSERT_TRUE(has_gpu_road(instance))
#endif

TEST_F(ModuleThreads, StartAndEndOnOneThreadRunOnAnother) {
  const Settings s{60, 80, 3, 1, 0};
  auto instance = make_instance(s);
  const Frame in = gpu_test::textured_frame(97, 61, 3);
  vdhost::Bitmap src(97, 61, 97 * 4 + 12), dst(97, 61);
  gpu_test::put(src, in);
  ASSERT_EQ(instance->start(src, dst), 0);
  SKIP_WITHOUT_GPU_ROAD(*instance);
  int results = 0;
  std::thread worker([&] {
    for (int frame = 0; frame < 3; ++frame) results += instance->run(src, dst);
  });
  worker.join();
  EXPECT_EQ(results, 0);
  EXPECT_EQ(gpu_test::get(dst).pixels, gpu_test::emulated(in, s).pixels);
  EXPECT_TRUE(src.padding_intact());
  EXPECT_EQ(instance->end(), 0);
}

TEST_F(ModuleThreads, EightInstancesRunAtOnceEachOnItsOwnThread) {
  constexpr int kInstances = 8;
  struct Job {
    Settings settings;
    Frame in;
    std::unique_ptr<vdhost::Bitmap> src, dst;
    std::unique_ptr<vdhost::FilterInstance> instance;
    int exact_frames = 0;
  };
  std::vector<Job> jobs(kInstances);
  for (int i = 0; i < kInstances; ++i) {
    Job& job = jobs[i];
    job.settings = Settings{40 + 5 * i, 90 - 5 * i, i % 7, i % 2, 0};
    job.in = gpu_test::textured_frame(64 + 13 * i, 40 + 9 * i, 20 + i);
    job.src = std::make_unique<vdhost::Bitmap>(job.in.width, job.in.height);
    job.dst = std::make_unique<vdhost::Bitmap>(job.in.width, job.in.height);
    gpu_test::put(*job.src, job.in);
    job.instance = make_instance(job.settings);
    ASSERT_EQ(job.instance->start(*job.src, *job.dst), 0);
    SKIP_WITHOUT_GPU_ROAD(*job.instance);
  }
  std::vector<std::thread> workers;
  for (Job& job : jobs) {
    workers.emplace_back([&job] {
      const std::vector<uint32_t> expected = gpu_test::emulated(job.in, job.settings).pixels;
      for (int frame = 0; frame < 5; ++frame) {
        job.exact_frames += job.instance->run(*job.src, *job.dst) == 0 &&
                            gpu_test::get(*job.dst).pixels == expected;
      }
    });
  }
  for (std::thread& w : workers) w.join();
  for (int i = 0; i < kInstances; ++i) {
    EXPECT_EQ(jobs[i].exact_frames, 5) << "instance " << i;
    EXPECT_EQ(jobs[i].instance->end(), 0);
  }
}

#if !defined(QNR_REAL_DRIVER)
// The host's own CUDA context, current on its thread, is current again after
// every callback; the fake driver reports any work done outside the primary
// context.
TEST_F(ModuleThreads, TheHostsCurrentContextSurvivesEveryCallback) {
  using Push = CuResult (*)(CuContext);
  using Pop = CuResult (*)(CuContext*);
  using Current = CuContext (*)();
  const auto push = reinterpret_cast<Push>(dlsym(library, "cuCtxPushCurrent_v2"));
  const auto pop = reinterpret_cast<Pop>(dlsym(library, "cuCtxPopCurrent_v2"));
  const auto current = reinterpret_cast<Current>(dlsym(library, "fake_cuda_current_context"));
  ASSERT_TRUE(push && pop && current);

  ASSERT_EQ(push(fake_cuda::kForeignContext), 0);
  const Settings s{};
  auto instance = make_instance(s);
  const Frame in = gpu_test::textured_frame(30, 20, 4);
  vdhost::Bitmap src(30, 20), dst(30, 20);
  gpu_test::put(src, in);
  ASSERT_EQ(instance->start(src, dst), 0);
  EXPECT_EQ(current(), fake_cuda::kForeignContext);
  ASSERT_EQ(instance->run(src, dst), 0);
  EXPECT_EQ(current(), fake_cuda::kForeignContext);
  if (kKernelImageBuilt) {
    EXPECT_EQ(gpu_test::get(dst).pixels, gpu_test::emulated(in, s).pixels);
  }
  ASSERT_EQ(instance->end(), 0);
  EXPECT_EQ(current(), fake_cuda::kForeignContext);
  CuContext popped = nullptr;
  ASSERT_EQ(pop(&popped), 0);
  EXPECT_EQ(popped, fake_cuda::kForeignContext);
}
#endif

}  // namespace
