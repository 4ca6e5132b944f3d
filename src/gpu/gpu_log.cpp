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

RoadCause cause_of(CudaFailureKind kind) {
  switch (kind) {
    case CudaFailureKind::kNone: return RoadCause::kFailed;
    case CudaFailureKind::kNoDriverLibrary: return RoadCause::kNoDriverLibrary;
    case CudaFailureKind::kMissingSymbol: return RoadCause::kMissingSymbol;
    case CudaFailureKind::kNoKernelImage: return RoadCause::kNoKernelImage;
    case CudaFailureKind::kPitchMismatch: return RoadCause::kPitchMismatch;
    case CudaFailureKind::kDriverTooOld: return RoadCause::kDriverTooOld;
    case CudaFailureKind::kDriverCall: return RoadCause::kDriverCall;
  }
  return RoadCause::kFailed;
}

}  // namespace

bool gpu_log_enabled() {
  const char* value = std::getenv("QNR_LOG");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

RoadLogEntry gpu_log_entry(GpuStep step, const CudaFailure& f) {
  RoadLogEntry entry;
  entry.step = step;
  entry.cause = cause_of(f.kind);
  switch (entry.cause) {
    case RoadCause::kNoDriverLibrary: entry.library = kDriverLibrary; break;
    case RoadCause::kMissingSymbol: entry.call = cuda_call_name(f.call); break;
    case RoadCause::kDriverTooOld:
      entry.result = f.result;
      entry.needed = f.needed;
      break;
    case RoadCause::kDriverCall: {
      const char* name = cuda_error_name(f.result);
      entry.call = cuda_call_name(f.call);
      entry.result = f.result;
      entry.result_name = name != nullptr ? name : "unknown";
      break;
    }
    default: break;
  }
  return entry;
}

std::string gpu_log_line(GpuStep step, const CudaFailure& f) {
  return road_log_line(gpu_log_entry(step, f));
}

std::string gpu_log_sizing_line(const CudaFailure& f, int32_t width, int32_t height) {
  RoadLogEntry entry = gpu_log_entry(GpuStep::kSizing, f);
  // A lack of device memory says so in words, with what the two images need.
  if (entry.cause == RoadCause::kDriverCall && entry.result == kCudaErrorOutOfMemory) {
    entry.cause = RoadCause::kOutOfDeviceMemory;
    entry.width = width;
    entry.height = height;
  }
  return road_log_line(entry);
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
