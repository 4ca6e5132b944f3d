// Settings text: the script command that restores five settings, the command
// line that the host stores in its scripts, and the filter-list summary.
#include <cstdio>

#include "host/callbacks.h"

const ScriptFunctionRow qnr_script_functions[2] = {
    {qnr_script_config, "Config", "0iiiii"},
    {nullptr, nullptr, nullptr},
};

const ScriptObject qnr_script_object = {nullptr, qnr_script_functions, nullptr};

// Values are stored as given: the dialog shows them clamped to its ranges.
void qnr_script_config(void*, void* activation, const ScriptValue* args, int32_t) {
  FilterConfig* cfg = config_of(static_cast<const FilterActivation*>(activation));
  cfg->level_f1 = args[0].value.as_int;
  cfg->level_f2 = args[1].value.as_int;
  cfg->sharp = args[2].value.as_int;
  cfg->interlace = args[3].value.as_int;
  cfg->multithreading = args[4].value.as_int;
}

// Truncates silently to the host's buffer and still reports a line.
bool qnr_script_string(FilterActivation* fa, const HostFunctions*, char* buffer, int32_t length) {
  const FilterConfig* cfg = config_of(fa);
  // A zero or negative length leaves no room, not a huge one.
  const size_t room = length > 0 ? static_cast<size_t>(length) : 0;
  std::snprintf(buffer, room, "Config(%d,%d,%d,%d,%d)", cfg->level_f1, cfg->level_f2, cfg->sharp,
                cfg->interlace, cfg->multithreading);
  return true;
}

// The host's buffer has no stated length; 256 bytes hold the widest summary.
void qnr_list_string(const FilterActivation* fa, const HostFunctions*, char* buffer) {
  const FilterConfig* cfg = config_of(fa);
  std::snprintf(buffer, 256, " (F1-%d,F2-%d,S-%d)", cfg->level_f1, cfg->level_f2, cfg->sharp);
}
