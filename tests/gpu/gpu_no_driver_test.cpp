// The module where no CUDA driver library exists: no GPU context, and every
// frame equals the CPU path's.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "module_harness.h"

namespace {

TEST(ModuleWithoutDriver, RunsEveryFrameOnTheCpu) {
  if (void* driver = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL)) {
    dlclose(driver);
    GTEST_SKIP() << "a CUDA driver is installed on this machine";
  }
  const gpu_test::Settings s{70, 70, 2, 0, 0};
  gpu_test::ModuleHarness host;
  host.open(s);
  const gpu_test::Frame in = gpu_test::textured_frame(33, 21, 7);
  vdhost::Bitmap src(33, 21), dst(33, 21);
  gpu_test::put(src, in);
  ASSERT_EQ(host.instance->start(src, dst), 0);
  EXPECT_EQ(host.config()->gpu_context, nullptr);
  ASSERT_EQ(host.instance->run(src, dst), 0);
  EXPECT_EQ(gpu_test::get(dst).pixels, gpu_test::cpu_path(in, s).pixels);
}

}  // namespace
