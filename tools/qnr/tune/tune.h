// `qnr tune IN`: a local page for choosing the filter's settings by eye on
// one's own frames.
#pragma once

#include "hosting/filter_module.h"
#include "tune/tune_request.h"

namespace qnr {

// Serves until the page's "done" (the settings line goes to standard output)
// or Ctrl-C; returns the exit status. Throws Failure.
int run_tune(const TuneRequest& request, const LoadedModule& loaded);

}  // namespace qnr
