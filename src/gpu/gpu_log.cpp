// One line per distinct GPU-road failure per instance, only with QNR_LOG=1.
#include "gpu/gpu_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

const char* step_name(GpuStep step) {
  switch (step) {
    case GpuStep::kStart: return "start";
    case GpuStep::kSizing: return "sizing";
    case GpuStep::kUpload: return "upload";
    case GpuStep::kKernel: return "kernel";
    case GpuStep::kDownload: return "download";
    case GpuStep::kWait: return "wait";
    case GpuStep::kRelease: return "release";
  }
  return "?";
}

#if defined(_WIN32)
constexpr char kDriverLibrary[] = "nvcuda.dll";
#else
constexpr char kDriverLibrary[] = "libcuda.so.1";
#endif

// A failure as one non-zero number: step, kind, call and result.
uint64_t key_of(GpuStep step, const CudaFailure& f) {
  return uint64_t{1} << 63 | uint64_t{static_cast<uint8_t>(step)} << 48 |
         uint64_t{static_cast<uint8_t>(f.kind)} << 40 |
         uint64_t{static_cast<uint8_t>(f.call)} << 32 | static_cast<uint32_t>(f.result);
}

// True when the key is new to `memory` (and now kept there). A full memory
// writes nothing more: the log stays bounded.
bool remember(GpuLogMemory& memory, uint64_t key) {
  for (uint64_t& slot : memory.written) {
    if (slot == key) return false;
    if (slot == 0) {
      slot = key;
      return true;
    }
  }
  return false;
}

void write_line(const std::string& line) {
  const std::string text = line + "\n";
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
#if defined(_WIN32)
  OutputDebugStringA(text.c_str());
#endif
}

// True when the failure is new to `memory` (null: the process's own).
bool first_time(GpuLogMemory* memory, GpuStep step, const CudaFailure& failure) {
  const uint64_t key = key_of(step, failure);
  if (memory != nullptr) {
    // An instance's context is used by one thread at a time.
    return remember(*memory, key);
  }
  static std::mutex lock;
  static GpuLogMemory process{};
  const std::lock_guard<std::mutex> guard(lock);
  return remember(process, key);
}

constexpr int kCudaErrorOutOfMemory = 2;

// A driver version as CUDA names it: 12080 is 12.8.
std::string cuda_version_text(int version) {
  return std::to_string(version / 1000) + "." + std::to_string(version % 1000 / 10);
}

// What a failure was, after "QNR: GPU road: <step>: ".
std::string cause_text(const CudaFailure& f) {
  switch (f.kind) {
    case CudaFailureKind::kNone: return "failed";
    case CudaFailureKind::kNoDriverLibrary:
      return std::string("no CUDA driver (") + kDriverLibrary + " could not be loaded)";
    case CudaFailureKind::kMissingSymbol:
      return std::string("the CUDA driver lacks ") + cuda_call_name(f.call) + " (driver too old)";
    case CudaFailureKind::kNoKernelImage: return "the module was built without GPU code";
    case CudaFailureKind::kPitchMismatch: return "the two device images got different pitches";
    case CudaFailureKind::kDriverTooOld:
      return "driver too old: it supports CUDA " + cuda_version_text(f.result) +
             ", the module's GPU code needs CUDA " + cuda_version_text(f.needed) + " or later";
    case CudaFailureKind::kDriverCall: {
      const char* name = cuda_error_name(f.result);
      return std::string(cuda_call_name(f.call)) + " returned " + std::to_string(f.result) + " (" +
             (name != nullptr ? name : "unknown") + ")";
    }
  }
  return "failed";
}

std::string line_for(GpuStep step, const std::string& cause) {
  return "QNR: GPU road: " + std::string(step_name(step)) + ": " + cause +
         (step == GpuStep::kRelease ? "" : "; frames take the CPU path");
}

}  // namespace

bool gpu_log_enabled() {
  const char* value = std::getenv("QNR_LOG");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

std::string gpu_log_line(GpuStep step, const CudaFailure& f) {
  return line_for(step, cause_text(f));
}

std::string gpu_log_sizing_line(const CudaFailure& f, int32_t width, int32_t height) {
  if (f.kind != CudaFailureKind::kDriverCall || f.result != kCudaErrorOutOfMemory) {
    return gpu_log_line(GpuStep::kSizing, f);
  }
  // Two images of width x 4 bytes per row; the driver's row padding adds a little.
  const double megabytes = 2.0 * 4.0 * width * height / 1e6;
  char size[96];
  std::snprintf(size, sizeof size, "two %dx%d images, about %.1f MB", width, height, megabytes);
  return line_for(GpuStep::kSizing, std::string("not enough GPU memory for this instance's ") +
                                        size + " (" + cause_text(f) + ")");
}

void gpu_log_failure(GpuLogMemory* memory, GpuStep step, const CudaFailure& failure) noexcept {
  if (!gpu_log_enabled()) return;
  try {
    if (first_time(memory, step, failure)) write_line(gpu_log_line(step, failure));
  } catch (...) {
    // A log line that cannot be built (no memory) is dropped; the frame goes on.
  }
}

void gpu_log_sizing_failure(GpuLogMemory* memory, const CudaFailure& failure, int32_t width,
                            int32_t height) noexcept {
  if (!gpu_log_enabled()) return;
  try {
    if (first_time(memory, GpuStep::kSizing, failure)) {
      write_line(gpu_log_sizing_line(failure, width, height));
    }
  } catch (...) {
    // As above.
  }
}
