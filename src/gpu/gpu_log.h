// The GPU road's failure log. Silent unless the environment has QNR_LOG=1;
// then each distinct failure of an instance is written once, as one line in
// the grammar of gpu/road_log.h, to stderr (and on Windows to the debugger,
// where DebugView shows it).
#pragma once

#include <cstdint>
#include <string>

#include "gpu/device_operations.h"
#include "gpu/road_log.h"

// The failures an instance has already written, so none is written twice.
// All zero when empty; lives inside the instance's GpuContext.
struct GpuLogMemory {
  static constexpr int kSlots = 16;
  uint64_t written[kSlots];
};

// True when QNR_LOG is set to 1.
bool gpu_log_enabled();

// The log's entry for a failure, and its line without the newline.
RoadLogEntry gpu_log_entry(GpuStep step, const CudaFailure& failure);
std::string gpu_log_line(GpuStep step, const CudaFailure& failure);

// The line for a failed sizing of the images for a width x height frame: a
// lack of device memory says so in words, with what the two images need.
std::string gpu_log_sizing_line(const CudaFailure& failure, int32_t width, int32_t height);

// Writes the line for a failure unless `memory` (null: the process's own, for
// failures before an instance has a context) holds it already. Does nothing
// while the log is off.
void gpu_log_failure(GpuLogMemory* memory, GpuStep step, const CudaFailure& failure) noexcept;

// The same for a failed sizing (gpu_log_sizing_line).
void gpu_log_sizing_failure(GpuLogMemory* memory, const CudaFailure& failure, int32_t width,
                            int32_t height) noexcept;
