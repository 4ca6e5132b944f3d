// The filter's settings as every front end applies them: Level f1, Level f2,
// Sharp and Interlace through the filter's own Config script command, as a
// host replays a saved script line; Show noise and Disable, which no script
// command carries and a host sets only in the filter's dialog, written into
// the settings record. This is the one place outside the module that knows
// the record's layout.
#pragma once

#include <cstdint>
#include <optional>

#include "instance.h"

namespace vdhost {

// Each setting left empty keeps the instance's value.
struct Settings {
  std::optional<int32_t> level_f1, level_f2, sharp, interlace;
  std::optional<bool> show_noise, disable;
};

enum class SettingsOutcome {
  applied,
  no_config_command,  // no Config(...) line read back, or Config refuses its own values
  unknown_record,     // Show noise or Disable given for a record this host does not know
};

// True when the filter's instance record is the settings record this host
// knows: the filter is QNR's and declares exactly that record's size.
bool knows_settings_record(const FilterDefinition& filter);

// Applies the given settings to an initialised instance. Config is replayed
// with the instance's own line, the given values in place of its first four,
// so every other value (multithreading) stays as it was. The instance is left
// untouched unless the outcome is `applied`.
SettingsOutcome apply_settings(FilterInstance& instance, const Settings& settings);

// True while the instance holds a GPU context (from a start that made one to
// its end); false for a record this host does not know.
bool holds_gpu_context(FilterInstance& instance);

}  // namespace vdhost
