// What the command line asks of a long job: --segments on a single run, and
// the commands engines run one by one (plan, segment, join, status).
#pragma once

#include <cstdint>
#include <string>

namespace qnr {

struct JobOptions {
  bool segments = false;       // qnr IN OUT --segments
  double segment_seconds = 0;  // --segment-seconds, 0 for the default
  int parallel = 0;            // --parallel, 0: one per core (CPU road) or per GPU
  std::string dir;             // --job DIR, "" for the default beside OUT
  bool keep = false;           // --keep-job
  int64_t segment = -1;        // qnr segment --job DIR K
  bool json = false;           // qnr status --json
};

// Seconds of video per segment when --segment-seconds is not given.
inline constexpr double kDefaultSegmentSeconds = 60;

}  // namespace qnr
