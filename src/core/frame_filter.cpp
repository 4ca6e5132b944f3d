#include "core/frame_filter.h"

#include "core/cpu_routines.h"

void cpu_filter_frame(const CpuFilterArgs& args) { active_cpu_routines().filter_frame(args); }
