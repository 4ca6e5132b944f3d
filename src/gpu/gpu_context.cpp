// The instance's GPU context and the frame round trip: upload, one kernel
// launch, download, one wait. Every failure returns false at once and the
// caller filters the frame on the CPU; no runtime error code is passed on.
#include "gpu/gpu_context.h"

#include <cstdlib>

#include "core/row_walk.h"
#include "gpu/device_operations.h"
#include "gpu/kernel_steps.h"

namespace {

bool sized_for(const GpuContext& c, int32_t width, int32_t height) {
  return c.width == width && c.height == height && c.src_image != nullptr &&
         c.dst_image != nullptr && c.pitch != 0;
}

// Writes the failure (by default the thread's last) to the log (QNR_LOG=1)
// and returns false.
bool failed(GpuContext* c, GpuStep step, const CudaFailure& failure = cuda_last_failure()) {
  gpu_log_failure(c != nullptr ? &c->log : nullptr, step, failure);
  return false;
}

// The same after an upload was queued: the copy may still be reading the
// host's source rows (from pageable memory it can run asynchronously where the
// GPU reads host memory directly), and the host may reuse them as soon as the
// callback returns, so the stream is waited for first.
bool failed_after_upload(GpuContext* c, GpuStep step) {
  const CudaFailure cause = cuda_last_failure();
  cuda_stream_synchronize(c->stream);
  return failed(c, step, cause);
}

// Runs an operation whose result nothing depends on; a failure is only logged.
void ignoring_result(GpuContext& c, GpuStep step, CudaError result) {
  if (result != kCudaSuccess) failed(&c, step);
}

void free_images(GpuContext& c, GpuStep step) {
  if (c.src_image != nullptr) {
    ignoring_result(c, step, cuda_free(c.src_image));
    c.src_image = nullptr;
  }
  if (c.dst_image != nullptr) {
    ignoring_result(c, step, cuda_free(c.dst_image));
    c.dst_image = nullptr;
  }
  c.pitch = 0;
}

// A failed allocation names the frame size, so a lack of device memory shows
// which instance went to the CPU path and for what.
bool failed_sizing(GpuContext& c, const CudaFailure& cause, int32_t width, int32_t height) {
  gpu_log_sizing_failure(&c.log, cause, width, height);
  return false;
}

// Frees the old images only after the stream is idle, so no queued copy or
// kernel can still use them, and allocates both anew with one recorded pitch.
bool size_images(GpuContext& c, int32_t width, int32_t height) {
  if (c.stream != nullptr) ignoring_result(c, GpuStep::kSizing, cuda_stream_synchronize(c.stream));
  free_images(c, GpuStep::kSizing);
  const size_t row_bytes = static_cast<size_t>(width) * 4;
  const size_t rows = static_cast<size_t>(height);
  size_t src_pitch = 0, pitch = 0;
  if (cuda_malloc_pitch(&c.src_image, &src_pitch, row_bytes, rows) != kCudaSuccess) {
    c.src_image = nullptr;
    return failed_sizing(c, cuda_last_failure(), width, height);
  }
  // The kernel addresses both images with one pitch: unequal pitches would
  // read the source with the wrong row distance, so they count as a failure.
  const bool allocated = cuda_malloc_pitch(&c.dst_image, &pitch, row_bytes, rows) == kCudaSuccess;
  if (!allocated || pitch != src_pitch) {
    // The allocation's failure is the one to report, not the frees' below.
    CudaFailure cause = cuda_last_failure();
    if (allocated) {
      cuda_free(c.dst_image);
      cause = CudaFailure{CudaFailureKind::kPitchMismatch, CudaCall::mem_alloc_pitch, 0};
    }
    c.dst_image = nullptr;
    cuda_free(c.src_image);
    c.src_image = nullptr;
    return failed_sizing(c, cause, width, height);
  }
  c.pitch = pitch;
  c.width = width;
  c.height = height;
  return true;
}

GpuContext* create() {
  auto* context = static_cast<GpuContext*>(std::calloc(1, sizeof(GpuContext)));
  if (context == nullptr) return nullptr;
  // No instance memory for the log yet: the process's own keeps it from repeating.
  if (cuda_stream_create_with_flags(&context->stream, kCudaStreamNonBlocking) != kCudaSuccess) {
    std::free(context);
    failed(nullptr, GpuStep::kStart);
    return nullptr;
  }
  // A kernel that cannot load (a driver or GPU too old for every code in the
  // image) would fail every launch: without a context the instance allocates,
  // uploads and launches nothing, and every frame goes straight to the CPU. The
  // lookup happens once per process, so nothing here is tried again later.
  if (cuda_load_qnr_kernel() != kCudaSuccess) {
    const CudaFailure cause = cuda_last_failure();
    cuda_stream_destroy(context->stream);
    std::free(context);
    failed(nullptr, GpuStep::kKernel, cause);
    return nullptr;
  }
  return context;
}

}  // namespace

// The host calls through a C interface: nothing may throw out of the GPU road
// (the one-time driver binding could). A throw counts as a failure.
GpuContext* gpu_create() {
  try {
    return create();
  } catch (...) {
    return nullptr;
  }
}

bool gpu_resize(GpuContext* context, int32_t width, int32_t height) {
  if (context == nullptr || width <= 0 || height <= 0) return false;
  if (sized_for(*context, width, height)) return true;
  try {
    return size_images(*context, width, height);
  } catch (...) {
    return false;
  }
}

void gpu_release(GpuContext* context) {
  if (context == nullptr) return;
  GpuContext& c = *context;
  if (c.stream != nullptr) ignoring_result(c, GpuStep::kRelease, cuda_stream_synchronize(c.stream));
  free_images(c, GpuStep::kRelease);
  if (c.stream != nullptr) ignoring_result(c, GpuStep::kRelease, cuda_stream_destroy(c.stream));
  std::free(context);
}

namespace {

bool process(GpuContext* context, const uint8_t* src, int64_t src_pitch, uint8_t* dst,
             int64_t dst_pitch, int32_t width, int32_t height, int32_t level_f1, int32_t level_f2,
             int32_t sharp, int32_t interlace, int32_t show_noise) {
  if (!gpu_resize(context, width, height)) return false;
  // Checked after sizing, so a rejected frame still leaves the images sized for it.
  if (src == nullptr || dst == nullptr || src_pitch == 0 || dst_pitch == 0) return false;

  const size_t row_bytes = static_cast<size_t>(width) * 4;
  const size_t rows = static_cast<size_t>(height);
  const RowWalk source = row_walk(src, src_pitch, height);
  const RowWalk destination = row_walk(dst, dst_pitch, height);
  if (cuda_memcpy_2d_async(context->src_image, context->pitch, source.first,
                           static_cast<size_t>(source.stride), row_bytes, rows,
                           CudaCopyKind::kHostToDevice, context->stream) != kCudaSuccess) {
    return failed(context, GpuStep::kUpload);
  }

  const void* kernel_src = context->src_image;
  unsigned long long kernel_src_pitch = context->pitch;
  void* kernel_dst = context->dst_image;
  unsigned long long kernel_dst_pitch = context->pitch;
  void* arguments[] = {&kernel_src, &kernel_src_pitch, &kernel_dst, &kernel_dst_pitch,
                       &width,      &height,           &level_f1,   &level_f2,
                       &sharp,      &interlace,        &show_noise};
  const Dim3 block{kBlockWidth, kBlockHeight, 1};
  const Dim3 grid{static_cast<unsigned>((int64_t{width} + kBlockWidth - 1) / kBlockWidth),
                  static_cast<unsigned>((int64_t{height} + kBlockHeight - 1) / kBlockHeight), 1};
  cuda_launch_qnr_kernel(grid, block, 0, context->stream, arguments);
  if (cuda_get_last_error() != kCudaSuccess) return failed_after_upload(context, GpuStep::kKernel);

  if (cuda_memcpy_2d_async(destination.first, static_cast<size_t>(destination.stride),
                           context->dst_image, context->pitch, row_bytes, rows,
                           CudaCopyKind::kDeviceToHost, context->stream) != kCudaSuccess) {
    return failed_after_upload(context, GpuStep::kDownload);
  }
  if (cuda_stream_synchronize(context->stream) != kCudaSuccess) {
    return failed(context, GpuStep::kWait);
  }
  return true;
}

}  // namespace

bool gpu_process(GpuContext* context, const uint8_t* src, int64_t src_pitch, uint8_t* dst,
                 int64_t dst_pitch, int32_t width, int32_t height, int32_t level_f1,
                 int32_t level_f2, int32_t sharp, int32_t interlace, int32_t show_noise) {
  try {
    return process(context, src, src_pitch, dst, dst_pitch, width, height, level_f1, level_f2,
                   sharp, interlace, show_noise);
  } catch (...) {
    return false;
  }
}
