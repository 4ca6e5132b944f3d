// One run of qnr IN OUT: open the input, pick the output, filter every frame,
// and put the result in place.
#pragma once

#include <cstdint>
#include <string>

#include "options.h"
#include "pipeline.h"

namespace qnr {

struct JobReport {
  int64_t frames = 0;
  double seconds = 0;
  std::string summary;  // "N frames in X s (Y fps)"
};

// Throws Failure with a one-line message. `observe` as in PipelineRequest.
JobReport run_filter_job(const Options& options, const LoadedModule& loaded,
                         const FrameObserver& observe = {});

// Whether a CUDA driver is there for the module to bind; qnr itself never uses it.
bool cuda_driver_loads();

// The number of instances for --jobs 0: one per processor, or one when a
// CUDA driver loads (one GPU instance, so frames never alternate between the
// GPU's and the CPU's results).
int default_jobs();

}  // namespace qnr
