// One run of qnr IN OUT: probe, decode, filter, encode, and move the result into place.
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
                         decltype(PipelineRequest::observe) observe = nullptr,
                         void* observe_context = nullptr);

// Says which package brings a missing program.
std::string missing_program_message(const std::string& program);

// The number of instances for --jobs 0: one per processor.
int default_jobs();

}  // namespace qnr
