// What `qnr tune IN [settings] [--at TIME] [--port N] [--no-browser]` asks.
#pragma once

#include <string>

#include "hosting/filter_module.h"

namespace qnr {

struct TuneRequest {
  std::string input;
  std::string module_path;  // the module, for the page's facts
  FilterSettings settings;  // the page's starting values
  double at = 0;            // the starting time in seconds
  int port = 0;             // 0: one the system picks
  bool open_browser = true;
  bool rgb = false;    // --rgb: runs write the filter's own RGB
  bool fresh = false;  // not the settings last chosen for this input
};

}  // namespace qnr
