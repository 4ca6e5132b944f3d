#include "vdhost.h"

#include "host/row_walk.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace vdhost {

// ---------------------------------------------------------------- Library

std::unique_ptr<Library> Library::open(const std::string& path, std::string& error) {
#if defined(_WIN32)
  HMODULE handle = LoadLibraryA(path.c_str());
  if (handle == nullptr) {
    error = path + ": cannot load (Windows error " + std::to_string(GetLastError()) + ")";
    return nullptr;
  }
#else
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    error = why != nullptr ? why : path + ": cannot load";
    return nullptr;
  }
#endif
  return std::unique_ptr<Library>(new Library(reinterpret_cast<void*>(handle), path));
}

Library::~Library() {
#if defined(_WIN32)
  FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
}

void* Library::symbol(const char* name) const {
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
#else
  return dlsym(handle_, name);
#endif
}

// ---------------------------------------------------------------- FilterModule

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
[[noreturn]] void host_throw_out_of_memory() {
  std::fprintf(stderr, "vdhost: the module reported that it ran out of memory\n");
  std::abort();
}
[[noreturn]] void host_throw_error(const char* format, ...) {
  std::fprintf(stderr, "vdhost: the module raised an error: %s\n", format);
  std::abort();
}
uint32_t host_cpu_flags() { return 0x1 | 0x2 | 0x4 | 0x8 | 0x10 | 0x20; }
uint32_t host_version_info(char* buffer, int32_t length) {
  if (length > 0) std::snprintf(buffer, static_cast<size_t>(length), "vdhost");
  return 1;
}

}  // namespace

FilterDefinition* FilterModule::add_filter(void* module, FilterDefinition* definition,
                                           int32_t length) {
  std::lock_guard lock(registry_mutex);
  auto& modules = live_modules();
  auto it = std::find(modules.begin(), modules.end(), static_cast<FilterModule*>(module));
  if (it == modules.end()) return nullptr;
  FilterModule* self = *it;
  self->add_calls_.push_back({module, definition, length});
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
      &FilterModule::add_filter, &FilterModule::remove_filter, host_true, host_true,
      host_init_vtables,         host_throw_out_of_memory,     host_throw_error,
      host_cpu_flags,            host_version_info,
  };
  return &table;
}

FilterModule::FilterModule(std::unique_ptr<Library> library) : library_(std::move(library)) {
  std::lock_guard lock(registry_mutex);
  live_modules().push_back(this);
}

std::unique_ptr<FilterModule> FilterModule::load(const std::string& path, std::string& error) {
  auto library = Library::open(path, error);
  if (!library) return nullptr;
  auto init = reinterpret_cast<InitProc>(library->symbol("VirtualdubFilterModuleInit2"));
  auto deinit = reinterpret_cast<DeinitProc>(library->symbol("VirtualdubFilterModuleDeinit"));
  if (init == nullptr || deinit == nullptr) {
    error = path + " is not a video filter module (it lacks VirtualdubFilterModuleInit2 or "
                   "VirtualdubFilterModuleDeinit)";
    return nullptr;
  }
  std::unique_ptr<FilterModule> module(new FilterModule(std::move(library)));
  module->init_ = init;
  module->deinit_ = deinit;
  return module;
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
  version_ = host_highest;
  compatible_version_ = host_lowest;
  const int result = init_(this, functions(), &version_, &compatible_version_);
  initialised_ = result == 0;
  return result;
}

void FilterModule::deinitialise() {
  deinit_(this, functions());
  initialised_ = false;
}

std::vector<const FilterDefinition*> FilterModule::filters() const {
  std::vector<const FilterDefinition*> out;
  for (const auto& copy : copies_) out.push_back(copy.get());
  return out;
}

const FilterDefinition* FilterModule::filter() const {
  return copies_.empty() ? nullptr : copies_.front().get();
}

// ---------------------------------------------------------------- Bitmap

Bitmap::Bitmap(int32_t width, int32_t height, int64_t pitch) {
  const int64_t stride = pitch < 0 ? -pitch : pitch;
  const int64_t rows = height > 0 ? height : 0;
  storage_.assign(static_cast<size_t>(std::max<int64_t>(stride * rows, 1)), kPaddingByte);
  // Pixels start zeroed; only the padding keeps the pattern.
  for (int64_t k = 0; k < rows; ++k) {
    std::memset(storage_.data() + k * stride, 0, static_cast<size_t>(width > 0 ? width : 0) * 4);
  }
  record_ = bitmap_view(storage_.data(), width, height, pitch);
}

uint32_t* Bitmap::row(int32_t k) {
  const int64_t stride = record_.pitch < 0 ? -record_.pitch : record_.pitch;
  return reinterpret_cast<uint32_t*>(storage_.data() + k * stride);
}

const uint32_t* Bitmap::row(int32_t k) const { return const_cast<Bitmap*>(this)->row(k); }

std::vector<uint32_t> Bitmap::packed() const {
  std::vector<uint32_t> out;
  out.reserve(static_cast<size_t>(std::max(width(), 0)) * std::max(height(), 0));
  for (int32_t k = 0; k < height(); ++k) out.insert(out.end(), row(k), row(k) + width());
  return out;
}

void Bitmap::fill_from_packed(std::span<const uint32_t> pixels) {
  for (int32_t k = 0; k < height(); ++k) {
    std::copy_n(pixels.begin() + int64_t{k} * width(), width(), row(k));
  }
}

bool Bitmap::padding_intact() const {
  const int64_t stride = record_.pitch < 0 ? -record_.pitch : record_.pitch;
  const int64_t row_bytes = int64_t{std::max(width(), 0)} * 4;
  for (int32_t k = 0; k < height(); ++k) {
    const uint8_t* row_start = storage_.data() + k * stride;
    for (int64_t b = row_bytes; b < stride; ++b) {
      if (row_start[b] != kPaddingByte) return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------- FilterInstance

FilterInstance::FilterInstance(const FilterModule& module, const FilterDefinition& definition)
    : module_(&module), definition_(&definition) {
  // Hosts allocate the block with malloc (16-byte aligned on x64) and zero it;
  // operator new gives the same alignment.
  const size_t size = static_cast<size_t>(std::max(definition.inst_data_size, 0));
  data_.reset(new uint8_t[std::max<size_t>(size, 1)]());
  activation_.filter = definition_;
  activation_.filter_data = size > 0 ? data_.get() : nullptr;
}

FilterInstance::~FilterInstance() {
  if (started_) end();
  if (definition_->deinit != nullptr) definition_->deinit(&activation_, module_->functions());
}

std::unique_ptr<FilterInstance> FilterInstance::duplicate() const {
  auto copy = std::make_unique<FilterInstance>(*module_, *definition_);
  const size_t size = static_cast<size_t>(std::max(definition_->inst_data_size, 0));
  std::memcpy(copy->data_.get(), data_.get(), size);
  return copy;
}

int FilterInstance::init() {
  if (definition_->init == nullptr || definition_->inst_data_size <= 0) return 0;
  return definition_->init(&activation_, module_->functions());
}

HostBitmap bitmap_view(void* lowest, int32_t width, int32_t height, int64_t pitch) {
  HostBitmap record{};
  const int64_t stride = pitch < 0 ? -pitch : pitch;
  const int64_t rows = height > 0 ? height : 0;
  record.data = reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(lowest) -
                                            lowest_row_offset(pitch, height));
  record.depth = 32;
  record.w = width;
  record.h = height;
  record.pitch = pitch;
  record.modulo = pitch - int64_t{width} * 4;
  record.size = stride * rows;
  return record;
}

int FilterInstance::start(Bitmap& src, Bitmap& dst) { return start(src.record(), dst.record()); }

int FilterInstance::start(HostBitmap& src, HostBitmap& dst) {
  activation_.src = &src;
  activation_.dst = &dst;
  const int result =
      definition_->start != nullptr ? definition_->start(&activation_, module_->functions()) : 0;
  started_ = result == 0;
  return result;
}

int FilterInstance::run(Bitmap& src, Bitmap& dst) { return run(src.record(), dst.record()); }

int FilterInstance::run(HostBitmap& src, HostBitmap& dst) {
  activation_.src = &src;
  activation_.dst = &dst;
  return definition_->run(&activation_, module_->functions());
}

int FilterInstance::end() {
  started_ = false;
  return definition_->end != nullptr ? definition_->end(&activation_, module_->functions()) : 0;
}

int FilterInstance::config(HostWindow parent, PreviewInterface* preview) {
  if (definition_->config == nullptr) return 1;
  activation_.preview = preview;
  const int result = definition_->config(&activation_, module_->functions(), parent);
  activation_.preview = nullptr;
  return result;
}

bool FilterInstance::script_string(std::string& text, int32_t length) {
  text.clear();
  if (definition_->script_string == nullptr) return false;
  std::vector<char> buffer(static_cast<size_t>(std::max(length, 1)), '\0');
  const bool wrote = definition_->script_string(&activation_, module_->functions(), buffer.data(),
                                                length);
  text.assign(buffer.data(), strnlen(buffer.data(), buffer.size()));
  return wrote;
}

std::string FilterInstance::list_string() {
  if (definition_->string == nullptr) return {};
  std::vector<char> buffer(2048, '\0');
  definition_->string(&activation_, module_->functions(), buffer.data());
  return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

const ScriptFunctionRow* FilterInstance::find_script_command(const std::string& name) const {
  const ScriptObject* object = definition_->script_obj;
  if (object == nullptr || object->functions == nullptr) return nullptr;
  for (const ScriptFunctionRow* row = object->functions; row->handler != nullptr; ++row) {
    if (row->name != nullptr && name == row->name) return row;
  }
  return nullptr;
}

std::string describe_signature(const ScriptFunctionRow& row) {
  std::string out = std::string(row.name != nullptr ? row.name : "?") + "(";
  const char* sig = row.signature != nullptr ? row.signature : "0";
  for (const char* p = sig + 1; *p != '\0'; ++p) {
    if (p != sig + 1) out += ", ";
    switch (*p) {
      case 'i': out += "int"; break;
      case 'l': out += "long"; break;
      case 'd': out += "double"; break;
      case 's': out += "string"; break;
      case 'v': out += "any"; break;
      case '.': out += "..."; break;
      default: out += "?"; break;
    }
  }
  return out + ")";
}

bool FilterInstance::call_script(const std::string& name, std::span<const int32_t> arguments,
                                 std::string& error) {
  const ScriptFunctionRow* row = find_script_command(name);
  if (row == nullptr) {
    error = "the filter has no script command named " + name;
    return false;
  }
  const std::string signature = row->signature != nullptr ? row->signature : "";
  const std::string parameters = signature.empty() ? "" : signature.substr(1);
  if (parameters.find_first_not_of('i') != std::string::npos) {
    error = describe_signature(*row) + " takes arguments other than integers";
    return false;
  }
  if (parameters.size() != arguments.size()) {
    error = describe_signature(*row) + " takes " + std::to_string(parameters.size()) +
            " arguments, not " + std::to_string(arguments.size());
    return false;
  }
  // The host passes at least one value even for no arguments. The bytes it
  // leaves undefined carry a pattern, so a module that reads them shows it.
  std::vector<ScriptValue> values(std::max<size_t>(arguments.size(), 1));
  std::memset(values.data(), 0xCD, values.size() * sizeof(ScriptValue));
  for (size_t i = 0; i < arguments.size(); ++i) {
    values[i].type = ScriptValue::kInt;
    values[i].value.as_int = arguments[i];
  }
  row->handler(nullptr, &activation_, values.data(), static_cast<int32_t>(arguments.size()));
  return true;
}

}  // namespace vdhost
