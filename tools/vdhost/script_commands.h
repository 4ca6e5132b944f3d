// A filter's script commands, looked up by name in its script table and
// called with integer arguments laid out as a host lays them.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "host/host_api.h"

namespace vdhost {

// The row of the filter's script command `name`, or null.
const ScriptFunctionRow* find_script_command(const FilterDefinition& filter,
                                             const std::string& name);

// Describes the settings signature of a script command, e.g. "Config(int, int)".
std::string describe_signature(const ScriptFunctionRow& row);

// The script commands the filter offers, e.g. "Config(int, int, int, int, int)";
// empty when it has none.
std::string list_script_commands(const FilterDefinition& filter);

// Calls a command with integer arguments (24-byte values, the undefined bytes
// filled with garbage), after checking them against its signature. False with
// a message when the command takes other arguments.
bool call_script_command(const ScriptFunctionRow& row, FilterActivation& activation,
                         std::span<const int32_t> arguments, std::string& error);

}  // namespace vdhost
