// The one-line script commands that hosts store for a filter, e.g.
// "Config(70,70,2,0,1)", read without a full script interpreter.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vdhost {

struct ScriptCall {
  std::string name;
  std::vector<int32_t> arguments;
};

// Reads "Name(int, int, ...)", optionally with the host's
// "VirtualDub.video.filters.instance[N]." prefix and a closing ';', so a line
// copied out of a saved script works as it stands. False with a message
// that points at the problem.
bool parse_script_line(const std::string& line, ScriptCall& call, std::string& error);

}  // namespace vdhost
