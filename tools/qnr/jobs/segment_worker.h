// qnr segment --job DIR K: one segment of a long job. The worker checks that
// it runs what the plan says (input, module, road, settings), seeks to a
// keyframe a pre-roll ahead of the segment's first frame, decodes, keeps the
// frames from that frame up to the next segment's first, checks that they
// are exactly the plan's, filters and encodes them as a single run would
// (its encoder set up for the video's first frame, which the plan records),
// and commits the video with its done record. A segment already done and
// intact is left as it is.
#pragma once

#include "jobs/job_request.h"

namespace qnr {

// Throws Failure; see failure.h for what each status tells an engine.
void run_segment(const JobRequest& request);

}  // namespace qnr
