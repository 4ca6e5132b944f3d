// One run of qnr IN OUT: open the input, pick the output, filter every frame,
// and put the result in place.
#pragma once

#include <cstdint>
#include <string>

#include "app/options.h"
#include "hosting/filter_module.h"
#include "media/pipeline.h"

namespace qnr {

struct JobReport {
  int64_t frames = 0;
  double seconds = 0;
  std::string summary;  // "N frames in X s (Y fps)"
};

// Throws Failure with a one-line message. `observe` as in PipelineRequest.
JobReport run_filter_job(const Options& options, const LoadedModule& loaded,
                         const FrameObserver& observe = {});

}  // namespace qnr
