// The plug-in's frei0r parameters: the settings table's entries that frei0r
// hosts are offered, in frei0r order, and how their values become the
// module's settings. Hosts pass values outside [0,1] and NaN unchanged, and
// interpolate keyframes, so every value is clamped, NaN takes the default, and
// levels are rounded to the nearest step, never truncated.
#pragma once

#include <algorithm>

#include "settings.h"

namespace qnr_frei0r {

inline constexpr int kParameterCount = static_cast<int>(
    std::count_if(vdhost::kSettingTable.begin(), vdhost::kSettingTable.end(),
                  [](const vdhost::SettingInfo& info) { return info.frei0r_position >= 0; }));

struct ParameterInfo {
  const vdhost::SettingInfo* setting;
  const char* name;  // frei0r's name: "show noise"
  int type;          // F0R_PARAM_DOUBLE (a level, 0..1 over its range) or F0R_PARAM_BOOL
  const char* explanation;
  double default_value;
};

// The parameters in frei0r order.
const ParameterInfo& parameter(int index);

// The value an instance keeps for a parameter: clamped to [0,1], NaN -> default.
double normalised(int index, double value);

// The module's own settings for a set of normalised parameter values.
vdhost::Settings module_settings(const double (&values)[kParameterCount]);

}  // namespace qnr_frei0r
