// What is asked of a long job: qnr IN OUT --segments, which plans, runs and
// joins here, and the commands engines run one by one (plan, segment, join,
// status).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hosting/filter_module.h"
#include "hosting/road.h"

namespace qnr {

enum class JobCommand { run_here, plan, segment, join, status };

struct JobRequest {
  JobCommand command = JobCommand::run_here;
  std::string input;
  std::string output;
  std::string module;  // "" for the one beside the executable
  std::string codec;   // --codec, "" for the container's default
  std::string format;  // -f, "" to pick it from OUT's name
  bool overwrite = false;
  std::vector<std::string> encoder_args;
  FilterSettings settings;
  int jobs = 0;  // filter instances per worker, 0 to choose
  bool quiet = false;
  RoadChoice road;
  int rate_num = 0;  // --rate, 0/1 for the input's own
  int rate_den = 1;
  bool strict = false;
  int video_stream = -1;       // --video-stream, -1 for the one ffmpeg would take
  bool rgb = false;            // --rgb: the filter's own RGB is written
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
