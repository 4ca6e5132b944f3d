// The command line turned into the request of the room that does the work:
// no room below the program sees the command line itself.
#pragma once

#include "app/options.h"
#include "demo/demo.h"
#include "jobs/job_request.h"
#include "media/output_request.h"
#include "tune/tune_request.h"

namespace qnr {

// The output the command line asks for, coded interlaced when the filter's
// instances hold Interlace, however it was given (--interlace or --config).
OutputChoice output_choice(const Options& options, const vdhost::Settings& held);
JobRequest job_request(const Options& options);
TuneRequest tune_request(const Options& options, const std::string& module_path);
DemoRequest demo_request(const Options& options);

// Whether the command line asks for a long job (--segments or a job command).
bool is_job_command(const Options& options);

}  // namespace qnr
