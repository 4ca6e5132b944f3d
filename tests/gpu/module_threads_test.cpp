// The module on the host's threads, as VirtualDub drives it: start and end on
// the UI thread, runs on a worker thread, several instances at once. Built
// twice: over the fake driver (gpu_host_tests) and over the machine's own
// driver (gpu_real_host_tests, which skips where no GPU is usable); both
// compare every frame with the kernel's emulation, bit for bit.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "module_harness.h"
#include "other_component.h"
#include "program_folder.h"
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
    module = vdhost::FilterModule::load(gpu_test::beside_this_program("QNR_CUDA.vdf"), error);
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

#if defined(QNR_REAL_DRIVER)
#define OPEN_OTHER_COMPONENT(other) \
  if (!(other).open()) GTEST_SKIP() << "no usable CUDA driver or GPU: no " << (other).missing
#else
#define OPEN_OTHER_COMPONENT(other) ASSERT_TRUE((other).open()) << "no " << (other).missing
#endif

// Runs `done` when the scope ends, however the test leaves it.
template <class F> struct AtExit {
  F done;
  ~AtExit() { done(); }
};
template <class F> AtExit(F) -> AtExit<F>;

// A host or another filter that uses CUDA on the same thread finds its own
// context current after every callback, and the frames still take the GPU.
TEST_F(ModuleThreads, TheCallersOwnContextIsCurrentAfterEveryCallback) {
  gpu_test::OtherComponent other;
  OPEN_OTHER_COMPONENT(other);
  CuContext own = nullptr;
  ASSERT_EQ(other.ctx_create(&own, 0, other.device), 0);
  const AtExit destroy{[&] { other.ctx_destroy(own); }};
  ASSERT_EQ(other.current(), own);

  const Settings s{};
  auto instance = make_instance(s);
  const Frame in = gpu_test::textured_frame(61, 37, 4);
  vdhost::Bitmap src(61, 37), dst(61, 37);
  gpu_test::put(src, in);
  ASSERT_EQ(instance->start(src, dst), 0);
  EXPECT_EQ(other.current(), own) << "after start";
  SKIP_WITHOUT_GPU_ROAD(*instance);
  ASSERT_EQ(instance->run(src, dst), 0);
  EXPECT_EQ(other.current(), own) << "after run";
  EXPECT_EQ(gpu_test::get(dst).pixels, gpu_test::emulated(in, s).pixels);
  ASSERT_EQ(instance->end(), 0);
  EXPECT_EQ(other.current(), own) << "after end";
}

// A component that retained the primary context with flags of its own before
// the module's first use: the module shares that context as it is, leaves its
// flags alone, and its frames are exact.
TEST_F(ModuleThreads, APrimaryContextRetainedBeforeWithOtherFlagsIsSharedAsItIs) {
  gpu_test::OtherComponent other;
  OPEN_OTHER_COMPONENT(other);
  constexpr unsigned kFlags = gpu_test::kCtxSchedBlockingSync | gpu_test::kCtxLmemResizeToMax;
  ASSERT_EQ(other.primary_ctx_set_flags(other.device, kFlags), 0);
  CuContext primary = nullptr;
  ASSERT_EQ(other.primary_ctx_retain(&primary, other.device), 0);
  const AtExit release{[&] {
    other.primary_ctx_release(other.device);
    other.primary_ctx_set_flags(other.device, 0);
  }};
  unsigned flags_before = 0, flags_after = 0;
  int active = 0;
  ASSERT_EQ(other.primary_ctx_get_state(other.device, &flags_before, &active), 0);

  const Settings s{60, 75, 4, 1, 0};
  auto instance = make_instance(s);
  const Frame in = gpu_test::textured_frame(83, 29, 5);
  vdhost::Bitmap src(83, 29), dst(83, 29);
  gpu_test::put(src, in);
  ASSERT_EQ(instance->start(src, dst), 0);
  SKIP_WITHOUT_GPU_ROAD(*instance);
  for (int frame = 0; frame < 2; ++frame) {
    ASSERT_EQ(instance->run(src, dst), 0);
    EXPECT_EQ(gpu_test::get(dst).pixels, gpu_test::emulated(in, s).pixels);
  }
  ASSERT_EQ(instance->end(), 0);
  ASSERT_EQ(other.primary_ctx_get_state(other.device, &flags_after, &active), 0);
  EXPECT_EQ(flags_after, flags_before);
  EXPECT_EQ(active, 1);
}

// Another component resets the primary context between two frames, which
// destroys the module's stream, images and kernel with it. Frames go on, on
// the GPU or on the CPU, each one complete; nothing crashes; a later instance
// works as well.
TEST_F(ModuleThreads, FramesGoOnWhenAnotherComponentResetsThePrimaryContext) {
  gpu_test::OtherComponent other;
  OPEN_OTHER_COMPONENT(other);
  const Settings s{};
  const Frame in = gpu_test::textured_frame(70, 44, 6);
  const Frame on_gpu = gpu_test::emulated(in, s), on_cpu = gpu_test::cpu_path(in, s);
  ASSERT_NE(on_gpu.pixels, on_cpu.pixels);
  vdhost::Bitmap src(70, 44), dst(70, 44);
  gpu_test::put(src, in);
  auto instance = make_instance(s);
  ASSERT_EQ(instance->start(src, dst), 0);
  SKIP_WITHOUT_GPU_ROAD(*instance);
  ASSERT_EQ(instance->run(src, dst), 0);
  ASSERT_EQ(gpu_test::get(dst).pixels, on_gpu.pixels);

  ASSERT_EQ(other.primary_ctx_reset(other.device), 0);
  int frames = 0, gpu_frames = 0;
  const auto run_frame = [&](vdhost::FilterInstance& i) {
    gpu_test::put(dst, gpu_test::uniform_frame(70, 44, 0x5A5A5A5Au));
    ASSERT_EQ(i.run(src, dst), 0);
    const std::vector<uint32_t> out = gpu_test::get(dst).pixels;
    EXPECT_TRUE(out == on_gpu.pixels || out == on_cpu.pixels) << "frame " << frames;
    ++frames;
    gpu_frames += out == on_gpu.pixels;
  };
  for (int frame = 0; frame < 3; ++frame) run_frame(*instance);
  EXPECT_EQ(instance->end(), 0);
  auto later = make_instance(s);
  ASSERT_EQ(later->start(src, dst), 0);
  for (int frame = 0; frame < 2; ++frame) run_frame(*later);
  EXPECT_EQ(later->end(), 0);
  std::printf(
      "after the primary context's reset: %d of %d frames on the GPU, the rest on the CPU\n",
      gpu_frames, frames);
}

}  // namespace
