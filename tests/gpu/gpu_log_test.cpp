// The failure log: silent by default; with QNR_LOG=1 one line per distinct
// failure of an instance, naming the step, the driver call, its result and the
// driver's name for it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "fake_fixture.h"
#include "frames.h"
#include "gpu/gpu_context.h"
#include "gpu/gpu_log.h"

namespace {

using fake_cuda::Op;

// Sets QNR_LOG, or removes it for null.
void set_log_variable(const char* value) {
#if defined(_WIN32)
  _putenv_s("QNR_LOG", value != nullptr ? value : "");  // "" removes it
#else
  if (value != nullptr) {
    setenv("QNR_LOG", value, 1);
  } else {
    unsetenv("QNR_LOG");
  }
#endif
}

class GpuLog : public gpu_test::FakeDriverTest {
 protected:
  void SetUp() override {
    FakeDriverTest::SetUp();
    set_log_variable("1");
  }
  void TearDown() override {
    set_log_variable(nullptr);
    gpu_release(context);
    FakeDriverTest::TearDown();
  }

  // A context sized for the test's 20 x 10 frames.
  void open() {
    context = gpu_create();
    ASSERT_TRUE(gpu_resize(context, 20, 10));
  }

  // Runs `frames` frames through the context (opened first if need be);
  // returns what the log wrote.
  std::string run_frames(int frames) {
    if (context == nullptr) open();
    testing::internal::CaptureStderr();
    for (int i = 0; i < frames; ++i) {
      gpu_process(context, frame_bytes(), 80, out.data(), 80, 20, 10, 70, 70, 2, 0, 0);
    }
    return testing::internal::GetCapturedStderr();
  }
  const uint8_t* frame_bytes() { return reinterpret_cast<const uint8_t*>(in.pixels.data()); }

  gpu_test::Frame in = gpu_test::random_frame(20, 10, 5);
  std::vector<uint8_t> out = std::vector<uint8_t>(800);
  GpuContext* context = nullptr;
};

int lines(const std::string& text) {
  int n = 0;
  for (const char c : text) n += c == '\n';
  return n;
}

struct LoggedFault {
  Op op;
  int nth;  // counted from the first frame
  const char* line;
};

TEST_F(GpuLog, EachFailureIsOneLineNamingStepCallResultAndName) {
  const LoggedFault faults[] = {
      {Op::memcpy_2d_async, 1,
       "QNR: GPU road: upload: cuMemcpy2DAsync_v2 returned 999 (CUDA_ERROR_UNKNOWN); frames take "
       "the CPU path\n"},
      {Op::launch_kernel, 1, "QNR: GPU road: kernel: cuLaunchKernel returned 999"},
      {Op::memcpy_2d_async, 2, "QNR: GPU road: download: cuMemcpy2DAsync_v2 returned 999"},
      {Op::stream_synchronize, 1, "QNR: GPU road: wait: cuStreamSynchronize returned 999"},
      {Op::ctx_push_current, 1, "QNR: GPU road: upload: cuCtxPushCurrent_v2 returned 999"},
  };
  for (const LoggedFault& f : faults) {
    SetUp();
    open();
    fake.fail(f.op, f.nth);
    const std::string log = run_frames(1);
    EXPECT_EQ(lines(log), 1) << log;
    EXPECT_NE(log.find(f.line), std::string::npos) << log;
    TearDown();
    context = nullptr;
  }
}

TEST_F(GpuLog, ARepeatedCauseIsWrittenOncePerInstance) {
  fake.fail(Op::launch_kernel, 1, true);
  EXPECT_EQ(lines(run_frames(5)), 1);
  // Another result of the same call is another cause.
  fake.fail(Op::launch_kernel, 1, true, 2);
  const std::string log = run_frames(3);
  EXPECT_EQ(lines(log), 1);
  EXPECT_NE(log.find("cuLaunchKernel returned 2 (CUDA_ERROR_OUT_OF_MEMORY)"), std::string::npos);
  // A new instance writes its own line again.
  gpu_release(context);
  context = nullptr;
  EXPECT_EQ(lines(run_frames(2)), 1);
}

TEST_F(GpuLog, ADriverWithoutADeviceIsReportedOnceForTheProcess) {
  fake.fail(Op::init, 1, false, 100);
  testing::internal::CaptureStderr();
  EXPECT_EQ(gpu_create(), nullptr);
  EXPECT_EQ(gpu_create(), nullptr);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log,
            "QNR: GPU road: start: cuInit returned 100 (CUDA_ERROR_NO_DEVICE); frames take "
            "the CPU path\n");
}

TEST_F(GpuLog, AnInstanceShortOfDeviceMemorySaysSoWithTheFrameSize) {
  open();
  fake.fail(Op::mem_alloc_pitch, 1, false, 2);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(gpu_resize(context, 3840, 2160));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "QNR: GPU road: sizing: not enough GPU memory for this instance's two 3840x2160 "
            "images, about 66.4 MB (cuMemAllocPitch_v2 returned 2 (CUDA_ERROR_OUT_OF_MEMORY)); "
            "frames take the CPU path\n");
}

TEST_F(GpuLog, AValueTheDriverCannotNameIsCalledUnknown) {
  open();
  gpu_resize(context, 20, 11);  // a new size allocates anew
  fake.fail(Op::mem_alloc_pitch, 1, false, 12345);
  EXPECT_NE(run_frames(1).find("sizing: cuMemAllocPitch_v2 returned 12345 (unknown)"),
            std::string::npos);
}

TEST_F(GpuLog, SilentUnlessAskedFor) {
  for (const char* value : {static_cast<const char*>(nullptr), "0", "yes"}) {
    SetUp();
    set_log_variable(value);
    fake.fail(Op::launch_kernel, 1, true);
    EXPECT_EQ(run_frames(2), "");
    TearDown();
    context = nullptr;
  }
}

TEST(GpuLogLine, NamesTheCausesThatNeedNoDriverCall) {
#if defined(_WIN32)
  const std::string driver = "nvcuda.dll";
#else
  const std::string driver = "libcuda.so.1";
#endif
  EXPECT_EQ(gpu_log_line(GpuStep::kStart, {CudaFailureKind::kNoDriverLibrary, CudaCall::init, 0}),
            "QNR: GPU road: start: no CUDA driver (" + driver +
                " could not be loaded); frames take the CPU path");
  EXPECT_EQ(gpu_log_line(GpuStep::kStart,
                         {CudaFailureKind::kMissingSymbol, CudaCall::ctx_push_current, 0}),
            "QNR: GPU road: start: the CUDA driver lacks cuCtxPushCurrent_v2 (driver too old); "
            "frames take the CPU path");
  EXPECT_EQ(gpu_log_line(GpuStep::kKernel,
                         {CudaFailureKind::kNoKernelImage, CudaCall::module_load_data, 209}),
            "QNR: GPU road: kernel: the module was built without GPU code; frames take the CPU "
            "path");
  EXPECT_EQ(gpu_log_line(GpuStep::kStart, {CudaFailureKind::kDriverTooOld,
                                           CudaCall::driver_get_version, 12040, 13000}),
            "QNR: GPU road: start: driver too old: it supports CUDA 12.4, the module's GPU code "
            "needs CUDA 13.0 or later; frames take the CPU path");
}

}  // namespace
