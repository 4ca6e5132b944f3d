// Sets an instance's settings the ways a host does, written out here rather
// than through the host library's helper, so the tests check that helper's
// front ends against an independent setting: the Config script command (the
// instance's own multithreading value kept) and, for Show noise and Disable,
// the settings record, as the filter's dialog sets them.
#pragma once

#include <cstdio>
#include <string>

#include "host/filter_config.h"
#include "support/settings.h"
#include "vdhost.h"

namespace testing_frames {

inline bool configure(vdhost::FilterInstance& instance, const FilterSettings& s,
                      std::string& error) {
  std::string line;
  int32_t multithreading = 0;
  instance.script_string(line);
  std::sscanf(line.c_str(), "Config(%*d,%*d,%*d,%*d,%d)", &multithreading);
  const int32_t config[5] = {s.level_f1, s.level_f2, s.sharp, s.interlace, multithreading};
  if (!instance.call_script("Config", config, error)) return false;
  instance.data_as<FilterConfig>()->show_noise = s.show_noise;
  instance.data_as<FilterConfig>()->disable = s.disable;
  return true;
}

}  // namespace testing_frames
