// The commands of a long job: qnr plan, segment, join and status for
// engines, and qnr IN OUT --segments, which plans, runs the segments in
// worker processes here, P at a time, joins them and removes the folder.
// Running it again after an interruption resumes: the plan is kept when it
// is for the same job, finished segments are checked and kept.
#pragma once

#include "jobs/job_request.h"

namespace qnr {

// Returns the exit status; throws Failure.
int run_job_command(const JobRequest& request);

}  // namespace qnr
