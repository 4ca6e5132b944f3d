// A filter module bound to this host: from a module file, as qnr and the tests
// load QNR_CUDA.vdf, or from entry points linked into the process, as the
// frei0r plug-in carries the module. Either way the module is entered through
// its init entry with this host's function table, and its filters register
// through the table's add-filter call, exactly as a host registers them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/host_api.h"
#include "shared_library.h"

namespace vdhost {

// The interface versions this host supports, as a current host fills them in
// before it calls a module's init entry.
inline constexpr int32_t kHostHighest = 20;
inline constexpr int32_t kHostLowest = 4;

// The two entry points a filter module exports.
struct ModuleEntry {
  int (*init)(HostModuleRecord* module, const HostFunctions* host, int32_t* version,
              int32_t* compatible_version);
  void (*exit)(HostModuleRecord* module, const HostFunctions* host);
};

struct AddFilterCall {
  void* module_record;
  const FilterDefinition* definition;  // the module's own record
  int32_t length;
};

// The host function table it hands out records every add-filter and
// remove-filter call, and keeps its own copy of each definition, as real hosts do.
class FilterModule {
 public:
  // Opens a module file and finds its entry points; null with a message when
  // the file cannot be loaded or is not a filter module.
  static std::unique_ptr<FilterModule> load(const std::string& path, std::string& error);
  // Binds entry points linked into this process; `name` stands for the module
  // where a file name would.
  static std::unique_ptr<FilterModule> bind(ModuleEntry entry, std::string name);
  ~FilterModule();  // module exit if still initialised, then unload
  FilterModule(const FilterModule&) = delete;
  FilterModule& operator=(const FilterModule&) = delete;

  // Calls the init entry. The version values start as the host's range
  // (highest, lowest), as a real host fills them, and hold the module's after.
  int initialise(int32_t host_highest = kHostHighest, int32_t host_lowest = kHostLowest);
  void deinitialise();
  bool initialised() const { return initialised_; }
  // The host's acceptance rule after init: the module was written for an
  // interface no older than the host's lowest, and runs on the host's highest.
  bool accepted() const;

  int32_t version() const { return version_; }
  int32_t compatible_version() const { return compatible_version_; }
  const std::string& name() const { return name_; }
  const HostFunctions* functions() const;

  // The host's copies of the registered definitions, in registration order.
  std::vector<const FilterDefinition*> filters() const;
  // The first registered filter, or null.
  const FilterDefinition* filter() const;

  const std::vector<AddFilterCall>& add_calls() const { return add_calls_; }
  const std::vector<const FilterDefinition*>& remove_calls() const { return remove_calls_; }

 private:
  FilterModule(std::unique_ptr<Library> library, ModuleEntry entry, std::string name);
  static FilterDefinition* add_filter(HostModuleRecord* module, FilterDefinition* definition,
                                      int32_t length);
  static void remove_filter(FilterDefinition* definition);

  std::unique_ptr<Library> library_;  // null for entry points linked in
  ModuleEntry entry_;
  std::string name_;
  bool initialised_ = false;
  int32_t host_highest_ = kHostHighest;
  int32_t host_lowest_ = kHostLowest;
  int32_t version_ = 0;
  int32_t compatible_version_ = 0;
  std::vector<std::unique_ptr<FilterDefinition>> copies_;
  std::vector<AddFilterCall> add_calls_;
  std::vector<const FilterDefinition*> remove_calls_;
};

}  // namespace vdhost
