// `qnr info`'s answer to "does the GPU road work here?": one small frame
// through an instance of the module with its failure log on (QNR_LOG=1), the
// log's lines read back in the module's own grammar (gpu/road_log.h) and put
// in plain words.
#pragma once

#include <string>
#include <vector>

#include "vdhost/vdhost.h"

namespace qnr {

// A logged line that says frames take the CPU path: a line of the GPU road's
// log but for its release step, or one with the log's prefix that does not
// follow its grammar (a module this qnr does not know).
bool is_gpu_road_cause(const std::string& line);

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
