#include "core/frame_filter.h"

void cpu_filter_frame(const CpuFilterArgs& args) { cpu_filter_frame_plain(args); }
