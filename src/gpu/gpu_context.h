// The instance's GPU state and the frame round trip through the kernel.
#pragma once

#include <cstdint>

#include "gpu/gpu_log.h"

// A non-blocking stream and two pitched device images sized to the frame.
struct GpuContext {
  int32_t width;
  int32_t height;
  uint64_t pitch;  // 0 while the images are not both valid
  void* src_image;
  void* dst_image;
  void* stream;
  GpuLogMemory log;  // failures already written (QNR_LOG=1)
};

// A new context with its stream and no images, or null when no usable GPU
// exists or the driver cannot load the kernel.
GpuContext* gpu_create();

// Sizes the images for width x height; true when the context is sized on return.
bool gpu_resize(GpuContext* context, int32_t width, int32_t height);

// Waits for the stream, frees the images, destroys the stream and the record.
void gpu_release(GpuContext* context);

// Uploads the source, runs the kernel, downloads into the destination and waits.
// True only when every step succeeded; on false the caller filters on the CPU.
bool gpu_process(GpuContext* context, const uint8_t* src, int64_t src_pitch, uint8_t* dst,
                 int64_t dst_pitch, int32_t width, int32_t height, int32_t level_f1,
                 int32_t level_f2, int32_t sharp, int32_t interlace, int32_t show_noise);
