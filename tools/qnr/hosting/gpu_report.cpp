#include "hosting/gpu_report.h"

#include <optional>

#include "gpu/road_log.h"
#include "hosting/road.h"

namespace qnr {
namespace {

// Driver results the words below tell apart (the CUDA driver's numbers).
constexpr int kNoDevice = 100;
constexpr int kNoBinaryForGpu = 209;
constexpr int kInvalidPtx = 218;
constexpr int kUnsupportedPtxVersion = 222;

bool called(const RoadLogEntry& e, std::string_view function) {
  return (e.cause == RoadCause::kDriverCall || e.cause == RoadCause::kOutOfDeviceMemory) &&
         e.call == function;
}

// The CUDA version in which the 580 driver series came.
bool needs_cuda_13(const RoadLogEntry& e) { return e.needed / 1000 == 13; }

std::string plain_words(const RoadLogEntry& e) {
  const std::string cause = road_log_cause(e);
  const std::string why = " (" + cause + ")";
  switch (e.cause) {
    case RoadCause::kNoDriverLibrary:
      return "no NVIDIA driver is installed (" + e.library + " not found)";
    case RoadCause::kDriverTooOld:
      return "the NVIDIA driver is too old: it supports CUDA " + cuda_version_text(e.result) +
             ", the module's GPU code needs CUDA " + cuda_version_text(e.needed) + " or later" +
             (needs_cuda_13(e) ? " (the 580 series or later gives CUDA 13)" : "");
    case RoadCause::kMissingSymbol:
      return "the NVIDIA driver is too old; the 580 series or later is needed" + why;
    case RoadCause::kNoKernelImage:
      return "this module was built without GPU code (no nvcc at build time)";
    default: break;
  }
  if (called(e, "cuInit") && e.result == kNoDevice) return "the NVIDIA driver finds no GPU" + why;
  if (called(e, "cuModuleLoadData")) {
    if (e.result == kNoBinaryForGpu) return "the module carries no code this GPU can run" + why;
    if (e.result == kUnsupportedPtxVersion || e.result == kInvalidPtx) {
      return "the driver is too old for the module's GPU code; the 580 series or later is "
             "needed" +
             why;
    }
    return "the driver cannot load the module's GPU code" + why;
  }
  if (e.result == kCudaErrorOutOfMemory &&
      (e.cause == RoadCause::kDriverCall || e.cause == RoadCause::kOutOfDeviceMemory)) {
    return "the GPU is out of memory" + why;
  }
  if (called(e, "cuInit") || called(e, "cuDeviceGet") || called(e, "cuDevicePrimaryCtxRetain")) {
    return "the NVIDIA driver could not start the GPU" + why;
  }
  return "it stops at " + cause;
}

}  // namespace

bool is_gpu_road_cause(const std::string& line) {
  if (!line.starts_with(kRoadLogPrefix)) return false;
  const std::optional<RoadLogEntry> entry = read_road_log_line(line);
  return !entry || sends_frames_to_cpu(*entry);
}

bool gpu_road_works(bool has_gpu_context, const std::vector<std::string>& log_lines) {
  for (const std::string& line : log_lines) {
    if (is_gpu_road_cause(line)) return false;
  }
  return has_gpu_context;
}

std::string describe_gpu_road(bool has_gpu_context, const std::vector<std::string>& log_lines) {
  std::vector<std::string> causes;
  for (const std::string& line : log_lines) {
    if (!is_gpu_road_cause(line)) continue;
    const std::optional<RoadLogEntry> entry = read_road_log_line(line);
    causes.push_back(entry ? plain_words(*entry) : "it stops at " + line);
  }
  if (has_gpu_context && causes.empty()) return "works: a test frame was filtered on the GPU";
  std::string text = "not used here: ";
  text += causes.empty() ? std::string("no GPU context could be made") : causes.front();
  for (size_t i = 1; i < causes.size(); ++i) text += "; then " + causes[i];
  return text + ". Every frame takes the exact CPU path.";
}

GpuRoadFinding find_gpu_road(const vdhost::FilterModule& module, const FilterDefinition& filter) {
  constexpr int32_t kWidth = 64, kHeight = 16;
  vdhost::Bitmap src(kWidth, kHeight), dst(kWidth, kHeight);
  bool has_gpu_context = false;
  GpuRoadWatch watch;
  {
    vdhost::FilterInstance instance(module, filter);
    if (instance.init() == 0 && instance.start(src, dst) == 0) {
      has_gpu_context = vdhost::holds_gpu_context(instance);
      instance.run(src, dst);
      instance.end();
    }
  }
  const std::vector<std::string> causes = watch.finish();
  return {gpu_road_works(has_gpu_context, causes), describe_gpu_road(has_gpu_context, causes)};
}

std::string gpu_road_report(const vdhost::FilterModule& module, const FilterDefinition& filter) {
  return find_gpu_road(module, filter).text;
}

}  // namespace qnr
