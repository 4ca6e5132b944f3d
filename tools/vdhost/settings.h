// The filter's settings as every front end offers and applies them, in one
// table: their names, the dialog's labels, ranges and defaults, and where a
// host's interfaces carry them. Level f1, Level f2, Sharp and Interlace go
// through the filter's own Config script command, as a host replays a saved
// script line; Show noise and Disable, which no script command carries and a
// host sets only in the filter's dialog, are written into the settings record.
// This is the one place outside the module that knows the record's layout.
//
// The table lives here because every front end (qnr's rooms, the frei0r
// plug-in, the tests) drives the module through this library, and the module
// itself may include nothing of them; the defaults and ranges are the
// module's own constants, and tests hold the labels to the dialog's template.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/setting_limits.h"
#include "instance.h"

namespace vdhost {

enum class Setting : uint8_t { level_f1, level_f2, sharp, interlace, show_noise, disable };
inline constexpr size_t kSettingCount = 6;

enum class SettingKind : uint8_t {
  level,  // a whole number from minimum to maximum: a slider
  flag,   // 0 or 1 (the filter counts any non-zero value as set): a check box
};

struct SettingInfo {
  Setting setting;
  // The key everywhere a setting is named: the tune API's "show_noise", the
  // command line's --show-noise and the frei0r parameter "show noise".
  const char* name;
  const char* label;  // the filter's dialog text, "Level  f1" with its two blanks
  SettingKind kind;
  int32_t minimum, maximum, default_value;
  int config_position;  // argument of Config(...), counted from 0; -1: the record only
  int frei0r_position;  // parameter of the frei0r plug-in; -1: not offered there
  const char* help;     // what it does, for qnr --help
};

inline constexpr std::array<SettingInfo, kSettingCount> kSettingTable = {{
    {Setting::level_f1, "f1", "Level  f1", SettingKind::level, 0, kMaximumLevel, kDefaultLevel, 0,
     0, "level of the first frequency"},
    {Setting::level_f2, "f2", "Level  f2", SettingKind::level, 0, kMaximumLevel, kDefaultLevel, 1,
     1, "level of the second frequency"},
    {Setting::sharp, "sharp", "Sharp", SettingKind::level, 0, kMaximumSharp, kDefaultSharp, 2, 2,
     "sharpening of detail"},
    {Setting::interlace, "interlace", "Interlace", SettingKind::flag, 0, 1, 0, 3, 3,
     "filter the two fields of interlaced video separately"},
    {Setting::show_noise, "show_noise", "Show noise", SettingKind::flag, 0, 1, 0, -1, 4,
     "write what the filter removes instead of the filtered frame"},
    // frei0r hosts switch a filter off themselves.
    {Setting::disable, "disable", "Disable", SettingKind::flag, 0, 1, 0, -1, -1,
     "pass the frames through unfiltered"},
}};

constexpr const SettingInfo& setting_info(Setting setting) {
  return kSettingTable[static_cast<size_t>(setting)];
}

// The table's entry named `name`, or null.
const SettingInfo* find_setting(std::string_view name);

// "--show-noise" for show_noise.
std::string option_name(const SettingInfo& info);
// "show noise" for show_noise.
std::string frei0r_name(const SettingInfo& info);

// A value for each setting; each left empty keeps the instance's value.
struct Settings {
  std::array<std::optional<int32_t>, kSettingCount> values;

  std::optional<int32_t>& operator[](Setting s) { return values[static_cast<size_t>(s)]; }
  const std::optional<int32_t>& operator[](Setting s) const {
    return values[static_cast<size_t>(s)];
  }
  // Whether the setting has a non-zero value (a flag that is on).
  bool on(Setting s) const { return (*this)[s].value_or(0) != 0; }
  bool operator==(const Settings&) const = default;
};

// Every setting at the table's default.
Settings default_settings();

enum class SettingsOutcome {
  applied,
  no_config_command,  // no Config(...) line read back, or Config refuses its own values
  unknown_record,     // Show noise or Disable given for a record this host does not know
};

// True when the filter's instance record is the settings record this host
// knows: the filter is QNR's and declares exactly that record's size.
bool knows_settings_record(const FilterDefinition& filter);

// Applies the given settings to an initialised instance. Config is replayed
// with the instance's own line, the given values in its places, so every
// other value (multithreading) stays as it was. The instance is left
// untouched unless the outcome is `applied`.
SettingsOutcome apply_settings(FilterInstance& instance, const Settings& settings);

// The values the instance holds, read back as a host sees them: the Config
// line it writes, and the record for Show noise and Disable. A setting this
// host cannot read (no Config line, a record it does not know) stays empty.
Settings held_settings(FilterInstance& instance);

// True while the instance holds a GPU context (from a start that made one to
// its end); false for a record this host does not know.
bool holds_gpu_context(FilterInstance& instance);

}  // namespace vdhost
