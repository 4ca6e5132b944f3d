// `qnr info`'s answer to "does the GPU road work here?": one small frame
// through an instance of the module with its failure log on (QNR_LOG=1), read
// back and put in plain words.
#pragma once

#include <string>
#include <vector>

#include "vdhost.h"

namespace qnr {

// Runs one frame through a new instance of `filter` and says whether it went
// through the GPU, or where the GPU road stops on this machine.
std::string gpu_road_report(const vdhost::FilterModule& module, const FilterDefinition& filter);

// The plain-words verdict from what the run showed: whether start made a GPU
// context, and the module's log lines ("QNR: GPU road: ...").
std::string describe_gpu_road(bool has_gpu_context, const std::vector<std::string>& log_lines);

}  // namespace qnr
