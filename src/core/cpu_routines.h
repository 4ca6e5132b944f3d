// The table of CPU routines that the dispatchers call through. It is filled
// once per process: the plain entries first, then each optimised version's
// entries over them, lowest first, as far as this CPU allows. One table per
// cap keeps limit_cpu_version a matter of choosing a table.
#pragma once

#include "core/cpu_luma_plane.h"
#include "core/cpu_version.h"
#include "core/frame_filter.h"

struct CpuRoutines {
  CpuFilterFunction filter_frame;
  CpuLumaPlaneFunction luma_plane;
};

// The routines the dispatchers use now: the best this CPU runs, not above the cap.
const CpuRoutines& active_cpu_routines();

// The given version's own routines, or null when it is not available here: the
// way tests and benchmarks reach one version directly.
const CpuRoutines* cpu_routines_of(CpuVersion version);
