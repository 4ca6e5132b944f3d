// The filter's callbacks and the module-wide state, as the definition record
// hands them to the host.
#pragma once

#include "host/filter_config.h"
#include "host/host_api.h"

// The module's instance handle (its resources hold the dialog template) and the
// handle that the host's add-filter returned, given back at module exit.
extern void* module_instance;
extern FilterDefinition* filter_handle;

extern FilterDefinition qnr_definition;
extern const ScriptObject qnr_script_object;
extern const ScriptFunctionRow qnr_script_functions[2];

int qnr_init(FilterActivation* fa, const HostFunctions* ff);
int qnr_start(FilterActivation* fa, const HostFunctions* ff);
int qnr_end(FilterActivation* fa, const HostFunctions* ff);
int qnr_run(const FilterActivation* fa, const HostFunctions* ff);
int qnr_config(FilterActivation* fa, const HostFunctions* ff, HostWindow parent);
void qnr_list_string(const FilterActivation* fa, const HostFunctions* ff, char* buffer);
bool qnr_script_string(FilterActivation* fa, const HostFunctions* ff, char* buffer, int32_t length);
void qnr_script_config(void* interpreter, void* activation, const ScriptValue* args, int32_t count);

// thread_count for a machine with this many logical processors: at most 4.
int32_t thread_count_for(uint32_t processors);
