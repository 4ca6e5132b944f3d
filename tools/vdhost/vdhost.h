// A small host for video-filter modules: it binds a module (from its file, or
// from entry points linked into the process), registers its filters through
// the module entry and drives instances through the callbacks, the script
// table and the host's records, exactly as a host does. Every front end (qnr,
// the frei0r plug-in qnr.so, the tests) uses it; none calls module internals.
#pragma once

#include "bitmap.h"
#include "instance.h"
#include "module_binding.h"
#include "script_commands.h"
#include "script_line.h"
#include "settings.h"
