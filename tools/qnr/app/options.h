// The command line: qnr IN OUT [options] [-- encoder options], qnr demo, qnr
// tune, qnr info, and the commands of a long job: qnr plan, segment, join,
// status. The one parser of every word qnr takes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hosting/filter_module.h"
#include "hosting/road.h"

namespace qnr {

// What the command line asks of a long job: --segments on a single run, and
// the commands engines run one by one (plan, segment, join, status).
struct JobOptions {
  bool segments = false;       // qnr IN OUT --segments
  double segment_seconds = 0;  // --segment-seconds, 0 for the default
  int parallel = 0;            // --parallel, 0: one per core (CPU road) or per GPU
  std::string dir;             // --job DIR, "" for the default beside OUT
  bool keep = false;           // --keep-job
  int64_t segment = -1;        // qnr segment --job DIR K
  bool json = false;           // qnr status --json
};

struct Options {
  enum class Mode { filter, demo, tune, info, help, version, plan, segment, join, status };
  Mode mode = Mode::filter;
  std::string input;
  std::string output;
  std::string module;  // "" for the one beside the executable
  std::string codec;
  std::string format;      // -f: the container, "" to pick it from OUT's name
  bool overwrite = false;  // -y: replace an existing OUT
  std::vector<std::string> encoder_args;
  FilterSettings settings;
  int jobs = 0;  // 0: one per processor
  bool quiet = false;
  RoadChoice road;
  JobOptions job;
  // --rate: the input video's frame rate, {0, 1} to take the input's own.
  int video_stream = -1;  // --video-stream N, -1 for the one ffmpeg would take
  int rate_num = 0;
  int rate_den = 1;
  // --strict: damage in the input (a packet that cannot be kept, a frame
  // that does not decode, an early end) stops the job instead of a note.
  bool strict = false;
  // --rgb: write the filter's own RGB output, not the input with the
  // filter's correction.
  bool rgb = false;
  // qnr demo
  std::string demo_dir = "qnr-demo";
  int demo_width = 1280;
  int demo_height = 720;
  int demo_frames = 48;
  // qnr tune
  double tune_at = 0;  // --at: the starting time in seconds
  int tune_port = 0;   // --port: 0 for one the system picks
  bool tune_open_browser = true;
  bool tune_fresh = false;  // --fresh: not the settings last chosen for IN
};

// Throws Failure (usage status) with a message naming the bad option.
Options parse_options(int argc, char** argv);

std::string usage_text();

}  // namespace qnr
