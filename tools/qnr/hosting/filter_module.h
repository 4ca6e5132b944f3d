// The filter module as qnr hosts it: loaded once, registered through its
// entry, and one or more instances set up from the user's settings.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vdhost/vdhost.h"

namespace qnr {

// qnr reads --config lines with the host library's script-line reader, and
// lists the filter's commands as the host library describes them.
using vdhost::list_script_commands;
using vdhost::parse_script_line;
using vdhost::ScriptCall;

// The settings a user gives: a settings line, then single values over it.
struct FilterSettings {
  std::optional<ScriptCall> config;  // replayed first, as a host replays a saved script
  vdhost::Settings values;           // then each value given, through the host library
};

// Loads the module and registers its filter. Throws Failure with a message
// that says what to do when the file is missing or not a filter module.
struct LoadedModule {
  std::unique_ptr<vdhost::FilterModule> module;
  const FilterDefinition* filter = nullptr;
};
LoadedModule load_filter_module(const std::string& path);

// Creates an instance, calls init, replays the --config line and applies the
// single values through the host library. Throws Failure for settings the
// filter refuses.
std::unique_ptr<vdhost::FilterInstance> make_instance(const LoadedModule& loaded,
                                                      const FilterSettings& settings);

// Where qnr looks for the module when --module is not given, relative to its
// own file, so no variable is needed: beside the executable (the build tree),
// else in the installed layout's private folder <prefix>/lib/qnr beside
// <prefix>/bin.
std::string default_module_path();

}  // namespace qnr
