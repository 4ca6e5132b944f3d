// The module inside this plug-in, reached as a host reaches it: through its
// entry point, with a host function table of our own, and the filter
// definition that its add-filter call hands us.
#pragma once

#include "host/host_api.h"

namespace qnr_frei0r {

// Calls the module entry on first use (once per process; safe from any thread)
// and returns our copy of the registered definition, or null when the module
// refused or registered no usable filter.
const FilterDefinition* filter_definition();

const HostFunctions* host_functions();

// The row of the module's `Config` script command, or null.
const ScriptFunctionRow* config_command(const FilterDefinition& definition);

}  // namespace qnr_frei0r
