#include "settings.h"

#include <cstring>
#include <string>

#include "host/filter_config.h"
#include "script_line.h"

namespace vdhost {
namespace {

bool through_config(const Settings& s) {
  return s.level_f1 || s.level_f2 || s.sharp || s.interlace;
}

bool through_record(const Settings& s) { return s.show_noise || s.disable; }

// The instance's Config line with the given values in place of its first four.
bool config_values(FilterInstance& instance, const Settings& s, ScriptCall& call) {
  std::string line, error;
  if (!instance.script_string(line) || !parse_script_line(line, call, error) ||
      call.name != "Config" || call.arguments.size() < 4) {
    return false;
  }
  const std::optional<int32_t>* given[4] = {&s.level_f1, &s.level_f2, &s.sharp, &s.interlace};
  for (size_t i = 0; i < 4; ++i) {
    if (*given[i]) call.arguments[i] = **given[i];
  }
  return true;
}

}  // namespace

bool knows_settings_record(const FilterDefinition& filter) {
  return filter.name != nullptr && std::strncmp(filter.name, "QNR ", 4) == 0 &&
         filter.inst_data_size == static_cast<int32_t>(sizeof(FilterConfig));
}

SettingsOutcome apply_settings(FilterInstance& instance, const Settings& settings) {
  if (through_record(settings) && !knows_settings_record(instance.definition())) {
    return SettingsOutcome::unknown_record;
  }
  if (through_config(settings)) {
    ScriptCall call;
    std::string error;
    if (!config_values(instance, settings, call) ||
        !instance.call_script("Config", call.arguments, error)) {
      return SettingsOutcome::no_config_command;
    }
  }
  auto* record = instance.data_as<FilterConfig>();
  if (settings.show_noise) record->show_noise = *settings.show_noise ? 1 : 0;
  if (settings.disable) record->disable = *settings.disable ? 1 : 0;
  return SettingsOutcome::applied;
}

bool holds_gpu_context(FilterInstance& instance) {
  return knows_settings_record(instance.definition()) &&
         instance.data_as<FilterConfig>()->gpu_context != nullptr;
}

}  // namespace vdhost
