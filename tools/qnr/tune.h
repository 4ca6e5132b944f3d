// `qnr tune IN`: a local page for choosing the filter's settings by eye on
// one's own frames.
#pragma once

#include "filter_module.h"
#include "tune_options.h"

namespace qnr {

// Serves until the page's "done" (the settings line goes to standard output)
// or Ctrl-C; returns the exit status. Throws Failure.
int run_tune(const TuneOptions& options, const LoadedModule& loaded,
             const std::string& module_path);

}  // namespace qnr
