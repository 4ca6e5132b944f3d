// The plug-in's five frei0r parameters and how their values become the
// module's settings. Hosts pass values outside [0,1] and NaN unchanged, and
// interpolate keyframes, so every value is clamped, NaN takes the default, and
// levels are rounded to the nearest step, never truncated.
#pragma once

#include <cstdint>

namespace qnr_frei0r {

enum Parameter : int { kF1, kF2, kSharp, kInterlace, kShowNoise, kParameterCount };

struct ParameterInfo {
  const char* name;
  int type;  // F0R_PARAM_DOUBLE or F0R_PARAM_BOOL
  const char* explanation;
  double default_value;
};

extern const ParameterInfo kParameters[kParameterCount];

// The value an instance keeps for a parameter: clamped to [0,1], NaN -> default.
double normalised(int index, double value);

// The module's own settings for a set of normalised parameter values.
struct ModuleSettings {
  int32_t level_f1;    // round(f1 x 100)
  int32_t level_f2;    // round(f2 x 100)
  int32_t sharp;       // round(sharp x 6)
  int32_t interlace;   // 1 at 0.5 and above
  int32_t show_noise;  // 1 at 0.5 and above
  bool operator==(const ModuleSettings&) const = default;
};

ModuleSettings module_settings(const double (&values)[kParameterCount]);

}  // namespace qnr_frei0r
