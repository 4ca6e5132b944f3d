// `qnr info`'s GPU line: the module's own log of one test frame, in plain
// words. Runs against the fake driver and against a driver with no device.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "hosting/gpu_report.h"

namespace {

using qnr::describe_gpu_road;

struct Verdict {
  bool has_context;
  const char* log_line;
  const char* says;
};

TEST(GpuRoadReport, PutsEachCauseInPlainWords) {
  const Verdict table[] = {
      {true, nullptr, "works: a test frame was filtered on the GPU"},
      {false,
       "QNR: GPU road: start: no CUDA driver (libcuda.so.1 could not be loaded); frames take the "
       "CPU path",
       "not used here: no NVIDIA driver is installed (libcuda.so.1 not found). Every frame takes "
       "the exact CPU path."},
      {false,
       "QNR: GPU road: start: cuInit returned 100 (CUDA_ERROR_NO_DEVICE); frames take the CPU path",
       "the NVIDIA driver finds no GPU (start: cuInit returned 100 (CUDA_ERROR_NO_DEVICE))"},
      {false,
       "QNR: GPU road: start: the CUDA driver lacks cuCtxPushCurrent_v2 (driver too old); frames "
       "take the CPU path",
       "the NVIDIA driver is too old; the 580 series or later is needed"},
      {true,
       "QNR: GPU road: kernel: cuModuleLoadData returned 209 (CUDA_ERROR_NO_BINARY_FOR_GPU); "
       "frames take the CPU path",
       "the module carries no code this GPU can run"},
      {true,
       "QNR: GPU road: kernel: cuModuleLoadData returned 222 (CUDA_ERROR_UNSUPPORTED_PTX_VERSION); "
       "frames take the CPU path",
       "the driver is too old for the module's GPU code"},
      {false,
       "QNR: GPU road: start: driver too old: it supports CUDA 12.8, the module's GPU code needs "
       "CUDA 13.0 or later; frames take the CPU path",
       "not used here: the NVIDIA driver is too old: it supports CUDA 12.8, the module's GPU code "
       "needs CUDA 13.0 or later (the 580 series or later gives CUDA 13). Every frame"},
      {false,
       "QNR: GPU road: sizing: not enough GPU memory for this instance's two 7680x4320 images, "
       "about 265.4 MB (cuMemAllocPitch_v2 returned 2 (CUDA_ERROR_OUT_OF_MEMORY)); frames take the "
       "CPU path",
       "the GPU is out of memory (sizing: not enough GPU memory for this instance's two 7680x4320"},
      {false,
       "QNR: GPU road: sizing: cuMemAllocPitch_v2 returned 2 (CUDA_ERROR_OUT_OF_MEMORY); frames "
       "take the CPU path",
       "the GPU is out of memory"},
      {true,
       "QNR: GPU road: kernel: the module was built without GPU code; frames take the CPU path",
       "this module was built without GPU code"},
      {true,
       "QNR: GPU road: upload: cuMemcpy2DAsync_v2 returned 700 (CUDA_ERROR_ILLEGAL_ADDRESS); "
       "frames take the CPU path",
       "it stops at upload: cuMemcpy2DAsync_v2 returned 700 (CUDA_ERROR_ILLEGAL_ADDRESS)"},
  };
  for (const Verdict& v : table) {
    std::vector<std::string> lines = {"an unrelated line"};
    if (v.log_line != nullptr) lines.push_back(v.log_line);
    const std::string said = describe_gpu_road(v.has_context, lines);
    EXPECT_NE(said.find(v.says), std::string::npos) << said;
  }
}

TEST(GpuRoadReport, RunsOneFrameThroughTheModule) {
  std::string error;
  const auto module = vdhost::FilterModule::load(QNR_MODULE_PATH, error);
  ASSERT_NE(module, nullptr) << error;
  ASSERT_EQ(module->initialise(), 0);
  void* driver = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(driver, nullptr) << "run with the fake or the no-device driver on LD_LIBRARY_PATH";
  const bool fake = dlsym(driver, "fake_cuda_control") != nullptr;
  const std::string said = qnr::gpu_road_report(*module, *module->filter());
#if defined(QNR_HAVE_KERNEL_IMAGE)
  const char* with_fake = "works: a test frame was filtered on the GPU";
#else
  const char* with_fake = "this module was built without GPU code";
#endif
  EXPECT_NE(said.find(fake ? with_fake : "the NVIDIA driver finds no GPU"), std::string::npos)
      << said;
  EXPECT_EQ(getenv("QNR_LOG"), nullptr);  // the caller's environment is as it was
}

}  // namespace
