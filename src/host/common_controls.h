// The dialog's trackbars are common controls. A host normally registers their
// window classes, but the module does it itself before it shows the dialog, so
// the dialog opens in any host. Only Windows has anything to do.
#pragma once

#if defined(_WIN32)
void ensure_common_controls();
#else
inline void ensure_common_controls() {}
#endif
