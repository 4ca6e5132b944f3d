// The module as `qnr tune` drives it: the page's five settings, the settings
// line the module reports for them, and one frame through a fresh instance,
// started and run exactly as `qnr` runs it. This is the page's only way to
// the module.
#pragma once

#include <cstdint>
#include <string>

#include "hosting/filter_module.h"
#include "media/frame_convert.h"

namespace qnr {

struct TuneSettings {
  int32_t f1 = 70;
  int32_t f2 = 70;
  int32_t sharp = 2;
  bool interlace = false;
  bool show_noise = false;
  // The fifth value of the settings line: no processing depends on it, but a
  // line copied back into a script keeps what the instance reported.
  int32_t multithreading = 1;
  bool operator==(const TuneSettings&) const = default;
};

// The values an instance holds after the command line's settings are applied.
// Throws Failure when the module does not report its settings as Config(...).
TuneSettings starting_settings(const LoadedModule& loaded, const FilterSettings& given);

// The settings line the module itself writes for these settings, e.g.
// "Config(70,70,2,0,1)".
std::string settings_line(const LoadedModule& loaded, const TuneSettings& settings);

struct FilterRun {
  bool gpu = false;         // the instance started with a GPU context
  double milliseconds = 0;  // the run call alone
};

// Filters `source` into `result` (resized to match) through a new instance.
// Throws Failure when the module cannot start or refuses the frame.
FilterRun filter_frame(const LoadedModule& loaded, const TuneSettings& settings,
                       const HostFrame& source, HostFrame& result);

}  // namespace qnr
