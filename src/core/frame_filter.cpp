#include "core/frame_filter.h"

#include "core/cpu_routines.h"

CpuFilterFunction cpu_filter_function(CpuVersion version) {
  const CpuRoutines* routines = cpu_routines_of(version);
  return routines != nullptr ? routines->filter_frame : nullptr;
}

bool cpu_filter_frame_version(CpuVersion version, const CpuFilterArgs& args) {
  const CpuFilterFunction filter = cpu_filter_function(version);
  if (filter == nullptr) return false;
  filter(args);
  return true;
}

void cpu_filter_frame(const CpuFilterArgs& args) { active_cpu_routines().filter_frame(args); }
