// The module as `qnr tune` drives it: the values an instance starts with, the
// settings line the module reports for a set of values, and one frame through
// a fresh instance, started and run exactly as `qnr` runs it. This is the
// page's only way to the module.
#pragma once

#include <string>

#include "hosting/filter_module.h"
#include "media/frame_convert.h"

namespace qnr {

// Every setting of the table as an instance holds it once the command line's
// settings are applied, levels kept to the table's ranges and flags 0 or 1,
// so the page can show each value and send it back. Throws Failure when the
// module does not report its settings as Config(...) or has a record this
// host does not know.
vdhost::Settings starting_settings(const LoadedModule& loaded, const FilterSettings& given);

// The settings line the module itself writes for these settings, e.g.
// "Config(70,70,2,0,1)".
std::string settings_line(const LoadedModule& loaded, const FilterSettings& settings);

struct FilterRun {
  bool gpu = false;         // the instance started with a GPU context
  double milliseconds = 0;  // the run call alone
};

// Filters `source` into `result` (resized to match) through a new instance.
// Throws Failure when the module cannot start or refuses the frame.
FilterRun filter_frame(const LoadedModule& loaded, const FilterSettings& settings,
                       const HostFrame& source, HostFrame& result);

}  // namespace qnr
