// The Win32 calls the module makes. Windows builds take them from the system;
// other builds from the headless stand-in library beside the module, which plays
// the part of USER32 and KERNEL32.
#pragma once

#if defined(_WIN32)
#include <windows.h>
// commctrl.h needs the types windows.h declares first.
#include <commctrl.h>
#else
#include "win32_standin.h"
#endif
