// The command line: qnr IN OUT [options] [-- encoder options], qnr demo, qnr info.
#pragma once

#include <string>
#include <vector>

#include "filter_module.h"

namespace qnr {

struct Options {
  enum class Mode { filter, demo, info, help, version };
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
