// The command line: qnr IN OUT [options] [-- encoder options], qnr demo, qnr info,
// and the commands of a long job: qnr plan, segment, join, status.
#pragma once

#include <string>
#include <vector>

#include "filter_module.h"
#include "job_options.h"
#include "road.h"

namespace qnr {

struct Options {
  enum class Mode { filter, demo, info, help, version, plan, segment, join, status };
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
  int rate_num = 0;
  int rate_den = 1;
  // --strict: damage in the input (a packet that cannot be kept, a frame
  // that does not decode, an early end) stops the job instead of a note.
  bool strict = false;
  // qnr demo
  std::string demo_dir = "qnr-demo";
  int demo_width = 1280;
  int demo_height = 720;
  int demo_frames = 48;
};

// Throws Failure (usage status) with a message naming the bad option.
Options parse_options(int argc, char** argv);

std::string usage_text();

}  // namespace qnr
