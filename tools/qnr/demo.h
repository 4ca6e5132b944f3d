// qnr demo: makes a noisy clip, filters it, and writes a before/after
// picture, the noise the filter removed, and the filtered clip.
#pragma once

#include "filter_module.h"
#include "options.h"

namespace qnr {

int run_demo(const Options& options, const LoadedModule& loaded);

}  // namespace qnr
