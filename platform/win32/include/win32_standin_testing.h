// Controls of the stand-in that only tests use: they change what the stand-in
// reports, as a different machine or a user at the screen would.
#pragma once

#include "win32_standin.h"

// Makes GetSystemInfo report this many processors; 0 restores the real count.
QNR_WIN32_API void qnr_standin_set_processor_count(DWORD count);
