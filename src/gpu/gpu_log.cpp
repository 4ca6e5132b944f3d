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

void write_once(GpuLogMemory* memory, GpuStep step, const CudaFailure& failure) {
  const uint64_t key = key_of(step, failure);
  if (memory != nullptr) {
    // An instance's context is used by one thread at a time.
    if (!remember(*memory, key)) return;
  } else {
    static std::mutex lock;
    static GpuLogMemory process{};
    const std::lock_guard<std::mutex> guard(lock);
    if (!remember(process, key)) return;
  }
  write_line(gpu_log_line(step, failure));
}

}  // namespace

bool gpu_log_enabled() {
  const char* value = std::getenv("QNR_LOG");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

std::string gpu_log_line(GpuStep step, const CudaFailure& f) {
  std::string line = "QNR: GPU road: ";
  line += step_name(step);
  line += ": ";
  switch (f.kind) {
    case CudaFailureKind::kNone: line += "failed"; break;
    case CudaFailureKind::kNoDriverLibrary:
      line += "no CUDA driver (";
      line += kDriverLibrary;
      line += " could not be loaded)";
      break;
    case CudaFailureKind::kMissingSymbol:
      line += "the CUDA driver lacks ";
      line += cuda_call_name(f.call);
      line += " (driver too old)";
      break;
    case CudaFailureKind::kNoKernelImage: line += "the module was built without GPU code"; break;
    case CudaFailureKind::kPitchMismatch:
      line += "the two device images got different pitches";
      break;
    case CudaFailureKind::kDriverCall: {
      const char* name = cuda_error_name(f.result);
      line += cuda_call_name(f.call);
      line += " returned " + std::to_string(f.result) + " (";
      line += name != nullptr ? name : "unknown";
      line += ")";
      break;
    }
  }
  line += step == GpuStep::kRelease ? "" : "; frames take the CPU path";
  return line;
}

void gpu_log_failure(GpuLogMemory* memory, GpuStep step, const CudaFailure& failure) noexcept {
  if (!gpu_log_enabled()) return;
  try {
    write_once(memory, step, failure);
  } catch (...) {
    // A log line that cannot be built (no memory) is dropped; the frame goes on.
  }
}
