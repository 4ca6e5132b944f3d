// The module where no GPU is usable: no driver library at all, or one that
// finds no device. No GPU context, every frame equals the CPU path's, and with
// QNR_LOG=1 one line says why.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include "gpu/cuda_driver.h"
#include "module_harness.h"

namespace {

// True when libcuda.so.1 loads and finds a device: this machine has a GPU.
bool usable_driver_here() {
  void* driver = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
  if (driver == nullptr) return false;
  using Init = CuResult (*)(unsigned);
  using DeviceGet = CuResult (*)(CuDevice*, int);
  const auto init = reinterpret_cast<Init>(dlsym(driver, "cuInit"));
  const auto device_get = reinterpret_cast<DeviceGet>(dlsym(driver, "cuDeviceGet"));
  CuDevice device = 0;
  return init != nullptr && device_get != nullptr && init(0) == 0 && device_get(&device, 0) == 0;
}

TEST(ModuleWithoutDriver, RunsEveryFrameOnTheCpuAndLogsWhyOnce) {
  if (usable_driver_here()) GTEST_SKIP() << "a usable CUDA driver and GPU are on this machine";
  const gpu_test::Settings s{70, 70, 2, 0, 0};
  gpu_test::ModuleHarness host;
  host.open(s);
  const gpu_test::Frame in = gpu_test::textured_frame(33, 21, 7);
  vdhost::Bitmap src(33, 21), dst(33, 21);
  gpu_test::put(src, in);
  setenv("QNR_LOG", "1", 1);
  testing::internal::CaptureStderr();
  ASSERT_EQ(host.instance->start(src, dst), 0);
  EXPECT_EQ(host.config()->gpu_context, nullptr);
  ASSERT_EQ(host.instance->run(src, dst), 0);
  EXPECT_EQ(host.instance->end(), 0);
  ASSERT_EQ(host.instance->start(src, dst), 0);  // the cause is written only once
  EXPECT_EQ(host.instance->end(), 0);
  const std::string log = testing::internal::GetCapturedStderr();
  unsetenv("QNR_LOG");
  EXPECT_EQ(gpu_test::get(dst).pixels, gpu_test::cpu_path(in, s).pixels);
  EXPECT_TRUE(log ==
                  "QNR: GPU road: start: no CUDA driver (libcuda.so.1 could not be loaded); "
                  "frames take the CPU path\n" ||
              log ==
                  "QNR: GPU road: start: cuInit returned 100 (CUDA_ERROR_NO_DEVICE); frames "
                  "take the CPU path\n")
      << log;
}

}  // namespace
