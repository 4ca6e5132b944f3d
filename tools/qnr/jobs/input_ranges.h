// A check that a worker reads the bytes the job was planned on. The plan
// cuts the input into one run of bytes per segment (from the first packet
// of its frames to the next segment's) and keeps each run's digest; a
// worker checks the runs its decode reads, from its pre-roll's keyframe to
// the frames that close its segment, so an input changed in place (size and
// time kept, as rsync --inplace -t or a repair tool leave it) is noticed
// wherever the change lies, not only in the parts the fingerprint covers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "jobs/job_plan.h"

namespace qnr {

// Where a video packet lies in the input file.
struct PacketPlace {
  int64_t pts = 0;
  int64_t pos = -1;  // -1: the container does not say
  int64_t end = -1;
};

// Sets each segment's run of bytes (byte_start, bytes_sha256) and the first
// run its decode reads (reads_from), reading the input once. Leaves them
// unset where some packet's place is unknown.
void add_byte_runs(const std::vector<PacketPlace>& packets, const std::string& input,
                   int64_t input_size, int64_t preroll, std::vector<SegmentSpan>& segments);

// Throws Failure (cannot retry) naming the input when the runs segment k's
// decode reads (from the video's start when `from_start`) are not the
// planned bytes.
void check_byte_runs(const JobPlan& plan, int64_t k, bool from_start);

}  // namespace qnr
