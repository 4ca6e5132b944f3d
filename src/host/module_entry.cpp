// The module's two exported entry points and its one filter definition.
#include "host/callbacks.h"
#include "qnr_version.h"
#include "win32_api.h"

#if defined(_WIN32)
#define QNR_EXPORT extern "C" __declspec(dllexport)
#else
#define QNR_EXPORT extern "C" __attribute__((visibility("default")))
#endif

void* module_instance = nullptr;
FilterDefinition* filter_handle = nullptr;

// Writable and static: old hosts link the record itself into their filter list.
FilterDefinition qnr_definition = {
    .next = nullptr,
    .prev = nullptr,
    .module = nullptr,
    .name = QNR_FILTER_NAME,
    .desc = QNR_FILTER_DESCRIPTION,
    .maker = "QNR developers",
    .private_data = nullptr,
    .inst_data_size = static_cast<int32_t>(sizeof(FilterConfig)),
    .init = qnr_init,
    .deinit = nullptr,
    .run = qnr_run,
    .param = nullptr,
    .config = qnr_config,
    .string = qnr_list_string,
    .start = qnr_start,
    .end = qnr_end,
    .script_obj = &qnr_script_object,
    .script_string = qnr_script_string,
    .string2 = nullptr,
    .serialize = nullptr,
    .deserialize = nullptr,
    .copy = nullptr,
    .prefetch = nullptr,
    .copy2 = nullptr,
    .prefetch2 = nullptr,
    .event = nullptr,
};

QNR_EXPORT int VirtualdubFilterModuleInit2(HostModuleRecord* module, const HostFunctions* ff,
                                           int32_t* version, int32_t* compatible_version) {
  // Hosts load, initialise and unload a module several times per process, so the
  // registration is redone on every entry.
  filter_handle = ff->add_filter(module, &qnr_definition, kFilterDefinitionSize);
  *version = kFilterInterfaceVersion;
  *compatible_version = kFilterInterfaceCompatible;
  return 0;
}

QNR_EXPORT void VirtualdubFilterModuleDeinit(HostModuleRecord*, const HostFunctions* ff) {
  ff->remove_filter(filter_handle);
}

#if defined(_WIN32)
// Reached through the C runtime's start-up, hence C linkage; not exported.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) module_instance = instance;
  return TRUE;
}
#endif
