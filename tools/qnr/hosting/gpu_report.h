// `qnr info`'s answer to "does the GPU road work here?": one small frame
// through an instance of the module with its failure log on (QNR_LOG=1), read
// back and put in plain words.
#pragma once

#include <string>
#include <vector>

#include "vdhost/vdhost.h"

namespace qnr {

// The start of every line the module's GPU road logs (QNR_LOG=1).
inline constexpr char kGpuRoadLogPrefix[] = "QNR: GPU road: ";

// A logged line that says why frames take the CPU path (the release step's
// lines do not).
bool is_gpu_road_cause(const std::string& line);

// QNR_LOG=1 (the module's failure log on) while it lives; the caller's value
// again at restore() or at its end.
class LogSwitchedOn {
 public:
  LogSwitchedOn();
  ~LogSwitchedOn() { restore(); }
  LogSwitchedOn(const LogSwitchedOn&) = delete;
  LogSwitchedOn& operator=(const LogSwitchedOn&) = delete;
  void restore();

 private:
  std::string previous_;
  bool had_ = false;
  bool restored_ = false;
};

// What one frame through a new instance of `filter` showed: whether it went
// through the GPU, and in plain words why not.
struct GpuRoadFinding {
  bool works = false;
  std::string text;
};
GpuRoadFinding find_gpu_road(const vdhost::FilterModule& module, const FilterDefinition& filter);

// The finding's text: whether the GPU road works, or where it stops here.
std::string gpu_road_report(const vdhost::FilterModule& module, const FilterDefinition& filter);

// The plain-words verdict from what the run showed: whether start made a GPU
// context, and the module's log lines ("QNR: GPU road: ...").
std::string describe_gpu_road(bool has_gpu_context, const std::vector<std::string>& log_lines);
// Whether those show the frame filtered on the GPU.
bool gpu_road_works(bool has_gpu_context, const std::vector<std::string>& log_lines);

}  // namespace qnr
