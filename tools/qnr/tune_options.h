// The command line of `qnr tune IN [settings] [--at TIME] [--port N] [--no-browser]`.
#pragma once

#include <optional>
#include <string>

#include "options.h"

namespace qnr {

struct TuneOptions {
  Options common;  // input, module and the starting settings
  double at = 0;   // the starting time in seconds
  int port = 0;    // 0: one the system picks
  bool open_browser = true;
};

// True when the command line asks for `qnr tune`.
bool is_tune_command(int argc, char** argv);

// Throws Failure (usage status) naming the bad option.
TuneOptions parse_tune_options(int argc, char** argv);

}  // namespace qnr
