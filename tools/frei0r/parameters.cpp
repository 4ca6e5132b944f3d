#include "parameters.h"

#include <frei0r.h>

#include <array>
#include <cmath>
#include <string>

namespace qnr_frei0r {

namespace {

const char* explanation(vdhost::Setting setting) {
  switch (setting) {
    case vdhost::Setting::level_f1:
      return "Level f1: how strong the first frequency may be and still count as noise "
             "(0..1 = 0..100)";
    case vdhost::Setting::level_f2:
      return "Level f2: how strong the second frequency may be and still count as noise "
             "(0..1 = 0..100)";
    case vdhost::Setting::sharp: return "Sharp: gain for detail (0..1 = 0..6, in 32nds)";
    case vdhost::Setting::interlace:
      return "Interlace: filter each field of an interlaced frame on its own";
    case vdhost::Setting::show_noise:
      return "Show noise: show what is removed instead of the filtered frame";
    default: return "";
  }
}

struct Parameters {
  std::array<std::string, kParameterCount> names;
  std::array<ParameterInfo, kParameterCount> infos;
  Parameters() {
    for (const vdhost::SettingInfo& info : vdhost::kSettingTable) {
      if (info.frei0r_position < 0) continue;
      const auto at = static_cast<size_t>(info.frei0r_position);
      names[at] = vdhost::frei0r_name(info);
      const bool level = info.kind == vdhost::SettingKind::level;
      // The default on the 0..1 scale: 70 of 0..100 is 0.70, 2 of 0..6 is 2/6.
      const double default_value = static_cast<double>(info.default_value - info.minimum) /
                                   static_cast<double>(info.maximum - info.minimum);
      infos[at] = {&info, names[at].c_str(), level ? F0R_PARAM_DOUBLE : F0R_PARAM_BOOL,
                   explanation(info.setting), default_value};
    }
  }
};

const Parameters& parameters() {
  static const Parameters built;
  return built;
}

int32_t setting_value(const vdhost::SettingInfo& info, double value) {
  if (info.kind == vdhost::SettingKind::flag) return value >= 0.5 ? info.maximum : info.minimum;
  return info.minimum + static_cast<int32_t>(std::lround(value * (info.maximum - info.minimum)));
}

}  // namespace

const ParameterInfo& parameter(int index) { return parameters().infos[static_cast<size_t>(index)]; }

double normalised(int index, double value) {
  if (std::isnan(value)) return parameter(index).default_value;
  return value < 0.0 ? 0.0 : value > 1.0 ? 1.0 : value;
}

vdhost::Settings module_settings(const double (&values)[kParameterCount]) {
  vdhost::Settings settings;
  for (int i = 0; i < kParameterCount; ++i) {
    const vdhost::SettingInfo& info = *parameter(i).setting;
    settings[info.setting] = setting_value(info, values[i]);
  }
  return settings;
}

}  // namespace qnr_frei0r
