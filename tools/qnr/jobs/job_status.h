// qnr status --job DIR [--json]: each segment of a job done, running or
// missing, for a person or, as JSON, for an engine.
#pragma once

#include "jobs/job_request.h"

namespace qnr {

// Prints the status on standard output; returns the exit status. Throws
// Failure.
int print_job_status(const JobRequest& request);

}  // namespace qnr
