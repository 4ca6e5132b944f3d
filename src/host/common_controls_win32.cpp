#include <windows.h>
// commctrl.h needs the Windows types first.
#include <commctrl.h>

#include "host/common_controls.h"

// Registers the trackbar class (ICC_BAR_CLASSES). Cheap to repeat: the system
// keeps the registration for the process.
void ensure_common_controls() {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_BAR_CLASSES;
  InitCommonControlsEx(&controls);
}
