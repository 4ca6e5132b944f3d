// `qnr info`'s GPU line: the module's own log of one test frame, read back in
// the log's grammar and put in plain words. The lines are the module's: its
// writer's for every cause, and those the module itself writes over the fake
// driver (and over a driver with no device).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fake_driver.h"
#include "gpu/gpu_log.h"
#include "hosting/gpu_report.h"

namespace {

using fake_cuda::Op;
using qnr::describe_gpu_road;

struct Verdict {
  bool has_context;
  std::function<std::string()> log_line;  // null: nothing logged
  const char* says;
};

std::string line(GpuStep step, CudaFailureKind kind, CudaCall call = CudaCall::init, int result = 0,
                 int needed = 0) {
  return gpu_log_line(step, {kind, call, result, needed});
}

TEST(GpuRoadReport, PutsEachCauseTheModuleLogsInPlainWords) {
  using K = CudaFailureKind;
  const Verdict table[] = {
      {true, nullptr, "works: a test frame was filtered on the GPU"},
      {false, [] { return line(GpuStep::kStart, K::kNoDriverLibrary); },
       "not used here: no NVIDIA driver is installed (libcuda.so.1 not found). Every frame takes "
       "the exact CPU path."},
      {false, [] { return line(GpuStep::kStart, K::kDriverCall, CudaCall::init, 100); },
       "the NVIDIA driver finds no GPU (start: cuInit returned 100 ("},
      {false, [] { return line(GpuStep::kStart, K::kMissingSymbol, CudaCall::ctx_push_current); },
       "the NVIDIA driver is too old; the 580 series or later is needed"},
      {true, [] { return line(GpuStep::kKernel, K::kDriverCall, CudaCall::module_load_data, 209); },
       "the module carries no code this GPU can run"},
      {true, [] { return line(GpuStep::kKernel, K::kDriverCall, CudaCall::module_load_data, 222); },
       "the driver is too old for the module's GPU code"},
      {false,
       [] {
         return line(GpuStep::kStart, K::kDriverTooOld, CudaCall::driver_get_version, 12080, 13000);
       },
       "not used here: the NVIDIA driver is too old: it supports CUDA 12.8, the module's GPU code "
       "needs CUDA 13.0 or later (the 580 series or later gives CUDA 13). Every frame"},
      {false,
       [] {
         return gpu_log_sizing_line({K::kDriverCall, CudaCall::mem_alloc_pitch, 2}, 7680, 4320);
       },
       "the GPU is out of memory (sizing: not enough GPU memory for this instance's two 7680x4320"},
      {false, [] { return line(GpuStep::kSizing, K::kDriverCall, CudaCall::mem_alloc_pitch, 2); },
       "the GPU is out of memory"},
      {true, [] { return line(GpuStep::kKernel, K::kNoKernelImage); },
       "this module was built without GPU code"},
      {true, [] { return line(GpuStep::kUpload, K::kDriverCall, CudaCall::memcpy_2d_async, 700); },
       "it stops at upload: cuMemcpy2DAsync_v2 returned 700 ("},
      // A failed release sends no frame to the CPU.
      {true, [] { return line(GpuStep::kRelease, K::kDriverCall, CudaCall::stream_destroy, 700); },
       "works: a test frame was filtered on the GPU"},
  };
  for (const Verdict& v : table) {
    std::vector<std::string> lines = {"an unrelated line"};
    if (v.log_line) {
      lines.push_back(v.log_line());
      // The grammar reads back every line the writer writes.
      const std::optional<RoadLogEntry> entry = read_road_log_line(lines.back());
      ASSERT_TRUE(entry) << lines.back();
      EXPECT_EQ(road_log_line(*entry), lines.back());
    }
    const std::string said = describe_gpu_road(v.has_context, lines);
    EXPECT_NE(said.find(v.says), std::string::npos) << said;
  }
}

// The fake driver that the module binds, or null where another one is found.
fake_cuda::FakeDriver* fake_driver() {
  void* library = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  auto control = reinterpret_cast<FakeCudaControlFn>(dlsym(library, "fake_cuda_control"));
  return control != nullptr ? control() : nullptr;
}

struct Fault {
  const char* name;
  Op op;
  CuResult code;       // 0: none
  int driver_version;  // what the driver reports
  const char* says;
};

TEST(GpuRoadReport, FindsWhereTheModuleSaysTheRoadStops) {
#if !defined(QNR_HAVE_KERNEL_IMAGE)
  GTEST_SKIP() << "built without nvcc: the module's road stops at its missing kernel";
#endif
  fake_cuda::FakeDriver* fake = fake_driver();
  if (fake == nullptr) GTEST_SKIP() << "libcuda.so.1 is not the fake driver";
  const Fault faults[] = {
      {"none", Op::init, 0, 13000, "works: a test frame was filtered on the GPU"},
      {"no code for this GPU", Op::module_load_data, 209, 13000,
       "the module carries no code this GPU can run (kernel: cuModuleLoadData returned 209"},
      {"old driver", Op::init, 0, 12080,
       "the NVIDIA driver is too old: it supports CUDA 12.8, the module's GPU code needs CUDA "
       "13.0 or later"},
      {"no device memory", Op::mem_alloc_pitch, 2, 13000, "the GPU is out of memory (sizing: "},
      {"a failed upload", Op::memcpy_2d_async, 700, 13000,
       "it stops at upload: cuMemcpy2DAsync_v2 returned 700"},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.name);
    fake->reset();
    if (f.code != 0) fake->fail(f.op, 1, true, f.code);
    fake->driver_version = f.driver_version;
    // Loaded afresh each time: the module keeps its kernel for the process.
    std::string error;
    const auto module = vdhost::FilterModule::load(QNR_MODULE_PATH, error);
    ASSERT_NE(module, nullptr) << error;
    ASSERT_EQ(module->initialise(), 0);
    const qnr::GpuRoadFinding finding = qnr::find_gpu_road(*module, *module->filter());
    EXPECT_EQ(finding.works, f.code == 0 && f.driver_version == 13000);
    EXPECT_NE(finding.text.find(f.says), std::string::npos) << finding.text;
  }
  fake->reset();
  EXPECT_EQ(getenv("QNR_LOG"), nullptr);  // the caller's environment is as it was
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
