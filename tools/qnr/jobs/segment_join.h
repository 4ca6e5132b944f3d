// qnr join --job DIR: the output of a long job. Every segment must be done
// and coded alike (the same encoder, options and codec headers); the video
// packets go in segment order with decoding times made anew over the whole
// stream, and every other stream comes from the input once, as a single run
// writes it, into an output that gets its name only when complete.
#pragma once

#include <cstdint>
#include <string>

#include "jobs/job_request.h"

namespace qnr {

struct JoinReport {
  int64_t frames = 0;
  int64_t segments = 0;
  std::string output;
  bool made_before = false;  // an earlier or concurrent run of the job made it
  bool folder_kept = false;  // the folder holds other files and stays
};

// Joins the job in request.dir, one process at a time (a second one waits
// and then finds the output made), and removes the folder once the output
// is on the disk, unless request.keep. A command run again after the output
// was made finishes the removal and reports made_before. Throws Failure
// naming the segment at fault. `held` is the caller's own claim (a run that
// marked itself waiting while it made segments), nullptr for none.
class JoinClaim;
JoinReport join_job(const JobRequest& request, JoinClaim* held = nullptr);

}  // namespace qnr
