#include "parameters.h"

#include <frei0r.h>

#include <cmath>

namespace qnr_frei0r {

// The module's defaults (levels 70, sharp 2, both flags off) on the 0..1 scale.
const ParameterInfo kParameters[kParameterCount] = {
    {"f1", F0R_PARAM_DOUBLE,
     "Level f1: how strong the first frequency may be and still count as noise (0..1 = 0..100)",
     0.70},
    {"f2", F0R_PARAM_DOUBLE,
     "Level f2: how strong the second frequency may be and still count as noise (0..1 = 0..100)",
     0.70},
    {"sharp", F0R_PARAM_DOUBLE, "Sharp: gain for detail (0..1 = 0..6, in 32nds)", 2.0 / 6.0},
    {"interlace", F0R_PARAM_BOOL, "Interlace: filter each field of an interlaced frame on its own",
     0.0},
    {"show noise", F0R_PARAM_BOOL, "Show noise: show what is removed instead of the filtered frame",
     0.0},
};

double normalised(int index, double value) {
  if (std::isnan(value)) return kParameters[index].default_value;
  return value < 0.0 ? 0.0 : value > 1.0 ? 1.0 : value;
}

namespace {
int32_t steps(double value, int32_t top) { return static_cast<int32_t>(std::lround(value * top)); }
int32_t flag(double value) { return value >= 0.5 ? 1 : 0; }
}  // namespace

ModuleSettings module_settings(const double (&values)[kParameterCount]) {
  return {steps(values[kF1], 100), steps(values[kF2], 100), steps(values[kSharp], 6),
          flag(values[kInterlace]), flag(values[kShowNoise])};
}

}  // namespace qnr_frei0r
