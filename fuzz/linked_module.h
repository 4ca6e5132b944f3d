// The module's object code linked into the fuzzer and bound through its two
// entry points, as the frei0r plug-in carries it: everything after the entry
// goes through the records and callbacks it registers, exactly as in a host.
#pragma once

#include "vdhost/module_binding.h"

namespace qnr_fuzz {

// Bound and initialised on first use; kept for the life of the process.
const vdhost::FilterModule& linked_module();

}  // namespace qnr_fuzz
