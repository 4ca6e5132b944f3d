#include "module_binding.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>

namespace vdhost {
namespace {

// The function table carries no context, so add-filter finds its module by the
// module record pointer, as a real host does; an unknown record gets null.
std::mutex registry_mutex;
std::vector<FilterModule*>& live_modules() {
  static std::vector<FilterModule*> modules;
  return modules;
}

bool host_true() { return true; }
void host_init_vtables(void*) {}

// A host raises these as C++ exceptions. The module never calls them; should
// it, a front end reports the exception (qnr) or passes the frame through (qnr.so).
[[noreturn]] void host_throw_out_of_memory() { throw std::bad_alloc(); }
[[noreturn]] void host_throw_error(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format != nullptr ? format : "", args);
  va_end(args);
  throw std::runtime_error(std::string("the filter raised an error: ") + text);
}

// CPUID, FPU, MMX, integer SSE, SSE and SSE2: what every x86-64 processor has.
uint32_t host_cpu_flags() { return 0x1 | 0x2 | 0x4 | 0x8 | 0x10 | 0x20; }
uint32_t host_version_info(char* buffer, int32_t length) {
  if (buffer != nullptr && length > 0) std::snprintf(buffer, static_cast<size_t>(length), "vdhost");
  return 1;
}

}  // namespace

FilterDefinition* FilterModule::add_filter(HostModuleRecord* module, FilterDefinition* definition,
                                           int32_t length) {
  std::lock_guard lock(registry_mutex);
  auto& modules = live_modules();
  auto it = std::find(modules.begin(), modules.end(), static_cast<FilterModule*>(module));
  if (it == modules.end()) return nullptr;
  FilterModule* self = *it;
  self->add_calls_.push_back({module, definition, length});
  if (definition == nullptr) return nullptr;
  // Like a real host: a zeroed record of our size, min(ours, theirs) bytes copied.
  auto copy = std::make_unique<FilterDefinition>();
  std::memset(copy.get(), 0, sizeof(FilterDefinition));
  const size_t bytes = std::min<size_t>(sizeof(FilterDefinition), length > 0 ? length : 0);
  std::memcpy(copy.get(), definition, bytes);
  copy->module = module;
  // A reload re-registers by name: refresh the existing entry.
  for (auto& existing : self->copies_) {
    if (existing->name != nullptr && copy->name != nullptr &&
        std::strcmp(existing->name, copy->name) == 0) {
      *existing = *copy;
      return existing.get();
    }
  }
  self->copies_.push_back(std::move(copy));
  return self->copies_.back().get();
}

void FilterModule::remove_filter(FilterDefinition* definition) {
  std::lock_guard lock(registry_mutex);
  for (FilterModule* module : live_modules()) {
    for (auto& copy : module->copies_) {
      if (copy.get() == definition) {
        module->remove_calls_.push_back(definition);
        return;
      }
    }
  }
  // Unknown handles are recorded against every module: a test wants to see them.
  for (FilterModule* module : live_modules()) module->remove_calls_.push_back(definition);
}

const HostFunctions* FilterModule::functions() const {
  static const HostFunctions table = {
      &FilterModule::add_filter, &FilterModule::remove_filter, host_true,        host_true,
      host_init_vtables,         host_throw_out_of_memory,     host_throw_error, host_cpu_flags,
      host_version_info,
  };
  return &table;
}

FilterModule::FilterModule(std::unique_ptr<Library> library, ModuleEntry entry, std::string name)
    : library_(std::move(library)), entry_(entry), name_(std::move(name)) {
  std::lock_guard lock(registry_mutex);
  live_modules().push_back(this);
}

std::unique_ptr<FilterModule> FilterModule::load(const std::string& path, std::string& error) {
  auto library = Library::open(path, error);
  if (!library) return nullptr;
  const ModuleEntry entry{
      reinterpret_cast<decltype(ModuleEntry::init)>(library->symbol("VirtualdubFilterModuleInit2")),
      reinterpret_cast<decltype(ModuleEntry::exit)>(
          library->symbol("VirtualdubFilterModuleDeinit")),
  };
  if (entry.init == nullptr || entry.exit == nullptr) {
    error = path +
            " is not a video filter module (it lacks VirtualdubFilterModuleInit2 or "
            "VirtualdubFilterModuleDeinit)";
    return nullptr;
  }
  return std::unique_ptr<FilterModule>(new FilterModule(std::move(library), entry, path));
}

std::unique_ptr<FilterModule> FilterModule::bind(ModuleEntry entry, std::string name) {
  return std::unique_ptr<FilterModule>(new FilterModule(nullptr, entry, std::move(name)));
}

FilterModule::~FilterModule() {
  if (initialised_) deinitialise();
  {
    std::lock_guard lock(registry_mutex);
    auto& modules = live_modules();
    modules.erase(std::remove(modules.begin(), modules.end(), this), modules.end());
  }
  copies_.clear();
  library_.reset();
}

int FilterModule::initialise(int32_t host_highest, int32_t host_lowest) {
  host_highest_ = version_ = host_highest;
  host_lowest_ = compatible_version_ = host_lowest;
  const int result = entry_.init(this, functions(), &version_, &compatible_version_);
  initialised_ = result == 0;
  return result;
}

void FilterModule::deinitialise() {
  entry_.exit(this, functions());
  initialised_ = false;
}

bool FilterModule::accepted() const {
  return initialised_ && version_ >= host_lowest_ && compatible_version_ <= host_highest_;
}

std::vector<const FilterDefinition*> FilterModule::filters() const {
  std::vector<const FilterDefinition*> out;
  for (const auto& copy : copies_) out.push_back(copy.get());
  return out;
}

const FilterDefinition* FilterModule::filter() const {
  return copies_.empty() ? nullptr : copies_.front().get();
}

}  // namespace vdhost
