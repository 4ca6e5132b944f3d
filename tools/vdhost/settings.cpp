#include "settings.h"

#include <cstring>
#include <string>

#include "host/filter_config.h"
#include "script_line.h"

namespace vdhost {
namespace {

// The record's field for each setting that no script command carries.
int32_t* record_field(FilterConfig& record, Setting setting) {
  switch (setting) {
    case Setting::show_noise: return &record.show_noise;
    case Setting::disable: return &record.disable;
    default: return nullptr;
  }
}

bool through_config(const Settings& s) {
  for (const SettingInfo& info : kSettingTable) {
    if (info.config_position >= 0 && s[info.setting]) return true;
  }
  return false;
}

bool through_record(const Settings& s) {
  for (const SettingInfo& info : kSettingTable) {
    if (info.config_position < 0 && s[info.setting]) return true;
  }
  return false;
}

// The instance's Config line, read back; false when it writes none.
bool config_line(FilterInstance& instance, ScriptCall& call) {
  std::string line, error;
  return instance.script_string(line) && parse_script_line(line, call, error) &&
         call.name == "Config";
}

bool holds_position(const ScriptCall& call, int position) {
  return position >= 0 && static_cast<size_t>(position) < call.arguments.size();
}

// The instance's Config line with the given values in their places.
bool config_values(FilterInstance& instance, const Settings& s, ScriptCall& call) {
  if (!config_line(instance, call)) return false;
  for (const SettingInfo& info : kSettingTable) {
    if (!s[info.setting] || info.config_position < 0) continue;
    if (!holds_position(call, info.config_position)) return false;
    call.arguments[static_cast<size_t>(info.config_position)] = *s[info.setting];
  }
  return true;
}

}  // namespace

const SettingInfo* find_setting(std::string_view name) {
  for (const SettingInfo& info : kSettingTable) {
    if (name == info.name) return &info;
  }
  return nullptr;
}

std::string option_name(const SettingInfo& info) {
  std::string option = std::string("--") + info.name;
  for (char& c : option) c = c == '_' ? '-' : c;
  return option;
}

std::string frei0r_name(const SettingInfo& info) {
  std::string name = info.name;
  for (char& c : name) c = c == '_' ? ' ' : c;
  return name;
}

Settings default_settings() {
  Settings settings;
  for (const SettingInfo& info : kSettingTable) settings[info.setting] = info.default_value;
  return settings;
}

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
  for (const SettingInfo& info : kSettingTable) {
    if (info.config_position >= 0 || !settings[info.setting]) continue;
    *record_field(*instance.data_as<FilterConfig>(), info.setting) = *settings[info.setting];
  }
  return SettingsOutcome::applied;
}

Settings held_settings(FilterInstance& instance) {
  Settings held;
  ScriptCall call;
  const bool has_line = config_line(instance, call);
  const bool knows_record = knows_settings_record(instance.definition());
  for (const SettingInfo& info : kSettingTable) {
    if (info.config_position >= 0) {
      if (has_line && holds_position(call, info.config_position)) {
        held[info.setting] = call.arguments[static_cast<size_t>(info.config_position)];
      }
    } else if (knows_record) {
      held[info.setting] = *record_field(*instance.data_as<FilterConfig>(), info.setting);
    }
  }
  return held;
}

bool holds_gpu_context(FilterInstance& instance) {
  return knows_settings_record(instance.definition()) &&
         instance.data_as<FilterConfig>()->gpu_context != nullptr;
}

}  // namespace vdhost
