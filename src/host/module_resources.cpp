// Module attach on systems without Win32. Windows calls DllMain with the
// module's instance handle and finds the dialog template in the module's file;
// here, when the module is loaded, its instance handle is its load address and
// its template is handed to the Win32 stand-in, which takes it back at unload.
#include <dlfcn.h>

#include "host/callbacks.h"
#include "win32_api.h"

// Generated from res/qnr.rc (cmake/EmbedDialogResource.cmake).
extern const uint8_t qnr_dialog_1000_bytes[];
extern const uint32_t qnr_dialog_1000_size;
extern const uint16_t qnr_dialog_1000_language;
extern const uint16_t qnr_dialog_1000_id;

namespace {

HINSTANCE own_load_address() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&qnr_dialog_1000_bytes), &info) != 0 &&
      info.dli_fbase != nullptr)
    return static_cast<HINSTANCE>(info.dli_fbase);
  // Any address inside the module identifies it as well.
  return reinterpret_cast<HINSTANCE>(const_cast<uint8_t*>(qnr_dialog_1000_bytes));
}

struct ModuleAttach {
  ModuleAttach() {
    HINSTANCE instance = own_load_address();
    module_instance = instance;
    qnr_standin_add_resource(instance, RT_DIALOG, MAKEINTRESOURCEA(qnr_dialog_1000_id),
                             qnr_dialog_1000_language, qnr_dialog_1000_bytes, qnr_dialog_1000_size);
  }
  ~ModuleAttach() { qnr_standin_remove_resources(static_cast<HINSTANCE>(module_instance)); }
};

const ModuleAttach attach;

}  // namespace
