// The GPU road's log lines in one grammar: the module writes them (QNR_LOG=1)
// and hosts read them back into the same fields, so a host learns where the
// road stops from a line's step, cause, driver call and result, never by
// matching its words.
//
//   line  = "QNR: GPU road: " step ": " cause [tail]
//   step  = "start" | "sizing" | "upload" | "kernel" | "download" | "wait" | "release"
//   tail  = "; frames take the CPU path"        every step but release
//   cause = "no CUDA driver (" LIBRARY " could not be loaded)"
//         | "the CUDA driver lacks " CALL " (driver too old)"
//         | "the module was built without GPU code"
//         | "the two device images got different pitches"
//         | "driver too old: it supports CUDA " VERSION ", the module's GPU code needs CUDA "
//           VERSION " or later"
//         | call
//         | "not enough GPU memory for this instance's two " W "x" H " images, about " MB
//           " MB (" call ")"
//         | "failed"
//   call  = CALL " returned " RESULT " (" NAME ")"   NAME: the driver's, or "unknown"
//
// Header only, for the module and its hosts alike.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

// The step of the GPU road where a failure happened.
enum class GpuStep : uint8_t { kStart, kSizing, kUpload, kKernel, kDownload, kWait, kRelease };

enum class RoadCause : uint8_t {
  kFailed,
  kNoDriverLibrary,
  kMissingSymbol,
  kNoKernelImage,
  kPitchMismatch,
  kDriverTooOld,
  kDriverCall,
  kOutOfDeviceMemory,  // a driver call that found too little device memory for the images
};

struct RoadLogEntry {
  GpuStep step = GpuStep::kStart;
  RoadCause cause = RoadCause::kFailed;
  std::string library;      // kNoDriverLibrary: the driver's file name
  std::string call;         // the driver function that failed or is missing
  int result = 0;           // what it returned; kDriverTooOld: the driver's CUDA version
  std::string result_name;  // the driver's name for the result, "unknown" when it has none
  int needed = 0;           // kDriverTooOld: the CUDA version the module's GPU code needs
  int width = 0;            // kOutOfDeviceMemory: the size of the instance's two images
  int height = 0;
  bool operator==(const RoadLogEntry&) const = default;
};

inline constexpr std::string_view kRoadLogPrefix = "QNR: GPU road: ";
inline constexpr std::string_view kRoadLogCpuPathTail = "; frames take the CPU path";
inline constexpr int kCudaErrorOutOfMemory = 2;

// A driver version as CUDA names it: 12080 is 12.8.
inline std::string cuda_version_text(int version) {
  return std::to_string(version / 1000) + "." + std::to_string(version % 1000 / 10);
}

// Whether the failure sends frames to the CPU path (a failure to release does not).
inline bool sends_frames_to_cpu(const RoadLogEntry& entry) {
  return entry.step != GpuStep::kRelease;
}

namespace road_log_detail {

inline constexpr std::string_view kStepNames[] = {"start",    "sizing", "upload", "kernel",
                                                  "download", "wait",   "release"};
inline constexpr std::string_view kNoDriver[2] = {"no CUDA driver (", " could not be loaded)"};
inline constexpr std::string_view kLacks[2] = {"the CUDA driver lacks ", " (driver too old)"};
inline constexpr std::string_view kNoKernelImage = "the module was built without GPU code";
inline constexpr std::string_view kPitchMismatch = "the two device images got different pitches";
inline constexpr std::string_view kTooOld[3] = {"driver too old: it supports CUDA ",
                                                ", the module's GPU code needs CUDA ", " or later"};
inline constexpr std::string_view kReturned = " returned ";
inline constexpr std::string_view kNoMemory[3] = {"not enough GPU memory for this instance's two ",
                                                  " images, about ", " MB ("};
inline constexpr std::string_view kFailed = "failed";

inline std::string call_text(const RoadLogEntry& e) {
  return e.call + std::string(kReturned) + std::to_string(e.result) + " (" + e.result_name + ")";
}

// Reads a line front to back; every take either consumes what it names or fails.
struct Reader {
  std::string_view rest;
  bool take(std::string_view literal) {
    if (!rest.starts_with(literal)) return false;
    rest.remove_prefix(literal.size());
    return true;
  }
  bool take_int(int& out) {
    const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), out);
    if (ec != std::errc()) return false;
    rest.remove_prefix(static_cast<size_t>(end - rest.data()));
    return true;
  }
  // The text up to `stop`, which is consumed too.
  bool take_until(std::string_view stop, std::string& out) {
    const size_t at = rest.find(stop);
    if (at == std::string_view::npos) return false;
    out = std::string(rest.substr(0, at));
    rest.remove_prefix(at + stop.size());
    return true;
  }
  bool take_version(int& out) {
    int major = 0, minor = 0;
    if (!take_int(major) || !take(".") || !take_int(minor)) return false;
    out = major * 1000 + minor * 10;
    return true;
  }
  // CALL " returned " RESULT " (" NAME ")", up to the end of `rest`.
  bool take_call(RoadLogEntry& e) {
    if (!take_until(kReturned, e.call) || !take_int(e.result) || !take(" (") ||
        !rest.ends_with(")")) {
      return false;
    }
    e.result_name = std::string(rest.substr(0, rest.size() - 1));
    rest = {};
    return true;
  }
};

inline bool read_cause(Reader& r, RoadLogEntry& e) {
  if (r.take(kNoDriver[0])) {
    e.cause = RoadCause::kNoDriverLibrary;
    return r.take_until(kNoDriver[1], e.library);
  }
  if (r.take(kLacks[0])) {
    e.cause = RoadCause::kMissingSymbol;
    return r.take_until(kLacks[1], e.call);
  }
  if (r.take(kNoKernelImage)) return e.cause = RoadCause::kNoKernelImage, true;
  if (r.take(kPitchMismatch)) return e.cause = RoadCause::kPitchMismatch, true;
  if (r.take(kTooOld[0])) {
    e.cause = RoadCause::kDriverTooOld;
    return r.take_version(e.result) && r.take(kTooOld[1]) && r.take_version(e.needed) &&
           r.take(kTooOld[2]);
  }
  if (r.take(kNoMemory[0])) {
    e.cause = RoadCause::kOutOfDeviceMemory;
    std::string megabytes;
    if (!r.take_int(e.width) || !r.take("x") || !r.take_int(e.height) || !r.take(kNoMemory[1]) ||
        !r.take_until(kNoMemory[2], megabytes) || !r.rest.ends_with(")")) {
      return false;
    }
    r.rest.remove_suffix(1);
    return r.take_call(e);
  }
  if (r.take(kFailed)) return e.cause = RoadCause::kFailed, true;
  e.cause = RoadCause::kDriverCall;
  return r.take_call(e);
}

}  // namespace road_log_detail

// What failed, after "QNR: GPU road: ": the step, then the cause.
inline std::string road_log_cause(const RoadLogEntry& e) {
  namespace d = road_log_detail;
  std::string cause;
  switch (e.cause) {
    case RoadCause::kFailed: cause = d::kFailed; break;
    case RoadCause::kNoDriverLibrary:
      cause = std::string(d::kNoDriver[0]) + e.library + std::string(d::kNoDriver[1]);
      break;
    case RoadCause::kMissingSymbol:
      cause = std::string(d::kLacks[0]) + e.call + std::string(d::kLacks[1]);
      break;
    case RoadCause::kNoKernelImage: cause = d::kNoKernelImage; break;
    case RoadCause::kPitchMismatch: cause = d::kPitchMismatch; break;
    case RoadCause::kDriverTooOld:
      cause = std::string(d::kTooOld[0]) + cuda_version_text(e.result) +
              std::string(d::kTooOld[1]) + cuda_version_text(e.needed) + std::string(d::kTooOld[2]);
      break;
    case RoadCause::kDriverCall: cause = d::call_text(e); break;
    case RoadCause::kOutOfDeviceMemory: {
      // Two images of width x 4 bytes per row; the driver's row padding adds a little.
      char megabytes[32];
      std::snprintf(megabytes, sizeof megabytes, "%.1f", 2.0 * 4.0 * e.width * e.height / 1e6);
      cause = std::string(d::kNoMemory[0]) + std::to_string(e.width) + "x" +
              std::to_string(e.height) + std::string(d::kNoMemory[1]) + megabytes +
              std::string(d::kNoMemory[2]) + d::call_text(e) + ")";
      break;
    }
  }
  return std::string(d::kStepNames[static_cast<int>(e.step)]) + ": " + cause;
}

// The whole line, without its newline.
inline std::string road_log_line(const RoadLogEntry& e) {
  return std::string(kRoadLogPrefix) + road_log_cause(e) +
         (sends_frames_to_cpu(e) ? std::string(kRoadLogCpuPathTail) : std::string());
}

// The entry a line holds, or nothing when the line does not follow the grammar.
inline std::optional<RoadLogEntry> read_road_log_line(std::string_view line) {
  namespace d = road_log_detail;
  d::Reader r{line};
  if (!r.take(kRoadLogPrefix)) return std::nullopt;
  RoadLogEntry e;
  bool named = false;
  for (size_t i = 0; i < std::size(d::kStepNames) && !named; ++i) {
    if (r.take(d::kStepNames[i]) && r.take(": ")) {
      e.step = static_cast<GpuStep>(i);
      named = true;
    }
  }
  if (!named) return std::nullopt;
  if (sends_frames_to_cpu(e)) {
    if (!r.rest.ends_with(kRoadLogCpuPathTail)) return std::nullopt;
    r.rest.remove_suffix(kRoadLogCpuPathTail.size());
  }
  if (!d::read_cause(r, e) || !r.rest.empty()) return std::nullopt;
  return e;
}
