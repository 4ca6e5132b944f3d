// The module's object code is linked into this plug-in, so its entry point is
// an ordinary call here; everything else goes through the records and
// callbacks it registers, exactly as in a host.
//
// Module exit is never called. frei0r hosts disagree on f0r_deinit (ffmpeg
// calls it once per filter while other instances live, MLT never calls it), and
// the module's exit only withdraws its registration, which this process keeps
// until it unloads the plug-in.
#include "module_binding.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "host/filter_config.h"

extern "C" int VirtualdubFilterModuleInit2(HostModuleRecord* module, const HostFunctions* ff,
                                           int32_t* version, int32_t* compatible_version);

namespace qnr_frei0r {
namespace {

// The host's highest and lowest interface versions, as a current host fills them.
constexpr int32_t kHostHighest = 20;
constexpr int32_t kHostLowest = 4;

// The opaque module record we hand the entry; add-filter recognises it.
char module_record;
FilterDefinition registered_copy;
bool registered = false;

// Like a host: a zeroed record of our size, min(ours, theirs) bytes copied.
FilterDefinition* add_filter(HostModuleRecord* module, FilterDefinition* definition,
                             int32_t length) {
  if (module != &module_record || definition == nullptr) return nullptr;
  std::memset(&registered_copy, 0, sizeof registered_copy);
  const size_t bytes = std::min<size_t>(sizeof registered_copy, length > 0 ? length : 0);
  std::memcpy(&registered_copy, definition, bytes);
  registered_copy.module = module;
  registered = true;
  return &registered_copy;
}

void remove_filter(FilterDefinition*) {}
bool host_true() { return true; }
void init_vtables(void*) {}

// The module never raises errors through the table; should it, the exception
// reaches f0r_update, which passes the frame through.
[[noreturn]] void throw_out_of_memory() { throw std::bad_alloc(); }
[[noreturn]] void throw_error(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format != nullptr ? format : "", args);
  va_end(args);
  throw std::runtime_error(text);
}

// FPU, MMX, integer SSE, SSE and SSE2: what every x86-64 processor has.
uint32_t cpu_flags() { return 0x2 | 0x4 | 0x8 | 0x10 | 0x20; }

uint32_t host_version_info(char* buffer, int32_t length) {
  if (buffer != nullptr && length > 0)
    std::snprintf(buffer, static_cast<size_t>(length), "qnr frei0r plug-in");
  return 1;
}

const HostFunctions kHostFunctions = {
    add_filter,          remove_filter, host_true, host_true,         init_vtables,
    throw_out_of_memory, throw_error,   cpu_flags, host_version_info,
};

// The host's acceptance rule, and what this plug-in needs of the filter.
const FilterDefinition* register_module() {
  int32_t version = kHostHighest;
  int32_t compatible = kHostLowest;
  if (VirtualdubFilterModuleInit2(&module_record, &kHostFunctions, &version, &compatible) != 0)
    return nullptr;
  if (version < kHostLowest || compatible > kHostHighest || !registered) return nullptr;
  const FilterDefinition& d = registered_copy;
  // Show noise is set in the settings record, whose layout is this build's own.
  if (d.init == nullptr || d.run == nullptr || d.script_string == nullptr ||
      d.inst_data_size != static_cast<int32_t>(sizeof(FilterConfig)) ||
      config_command(d) == nullptr)
    return nullptr;
  return &registered_copy;
}

}  // namespace

const FilterDefinition* filter_definition() {
  static const FilterDefinition* const definition = register_module();
  return definition;
}

const HostFunctions* host_functions() { return &kHostFunctions; }

const ScriptFunctionRow* config_command(const FilterDefinition& definition) {
  const ScriptObject* object = definition.script_obj;
  if (object == nullptr || object->functions == nullptr) return nullptr;
  for (const ScriptFunctionRow* row = object->functions; row->handler != nullptr; ++row) {
    if (row->name != nullptr && std::strcmp(row->name, "Config") == 0 &&
        row->signature != nullptr && std::strcmp(row->signature, "0iiiii") == 0)
      return row;
  }
  return nullptr;
}

}  // namespace qnr_frei0r
