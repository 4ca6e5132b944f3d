#include "filter_instance.h"

#include <climits>
#include <cstring>
#include <string>

#include "frame_layout.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

// The module's object code is linked into this plug-in, so its entry points
// are ordinary calls here; everything else goes through the records and
// callbacks it registers, exactly as in a host.
extern "C" int VirtualdubFilterModuleInit2(HostModuleRecord* module, const HostFunctions* host,
                                           int32_t* version, int32_t* compatible_version);
extern "C" void VirtualdubFilterModuleDeinit(HostModuleRecord* module, const HostFunctions* host);

namespace qnr_frei0r {

namespace {

// What this plug-in needs of the filter: the callbacks it calls, and the
// settings it sets (Config's five values, and Show noise in the record).
bool drivable(const FilterDefinition& d) {
  const ScriptFunctionRow* config = vdhost::find_script_command(d, "Config");
  return d.init != nullptr && d.run != nullptr && d.script_string != nullptr &&
         vdhost::knows_settings_record(d) && config != nullptr && config->signature != nullptr &&
         std::strcmp(config->signature, "0iiiii") == 0;
}

// The module is entered once and never left. frei0r hosts call f0r_init and
// f0r_deinit more than once and f0r_deinit while other instances live
// (ffmpeg once per filter, MLT on every filter close), and the module's exit
// only withdraws its registration, which this process keeps until it unloads
// the plug-in. Nor is the binding ever destroyed: an instance a host destroys
// late, even during exit, still needs the registered definition.
const vdhost::FilterModule* bound_module() {
  static const vdhost::FilterModule* const module = []() -> const vdhost::FilterModule* {
    auto bound = vdhost::FilterModule::bind(
        {VirtualdubFilterModuleInit2, VirtualdubFilterModuleDeinit}, "the module in qnr.so");
    if (bound->initialise() != 0 || !bound->accepted() || bound->filter() == nullptr ||
        !drivable(*bound->filter())) {
      return nullptr;
    }
    const vdhost::FilterModule* kept = bound.release();
#if defined(__SANITIZE_ADDRESS__)
    // Kept on purpose: once a host unloads the plug-in, nothing points at it.
    __lsan_ignore_object(kept);
#endif
    return kept;
  }();
  return module;
}

// The module takes int32 sizes and keeps a width x height luma plane sized in int32.
bool fits_module(unsigned width, unsigned height) {
  return width <= INT32_MAX && height <= INT32_MAX &&
         static_cast<uint64_t>(width) * height <= INT32_MAX;
}

// A frame that cannot be filtered goes out as it came in rather than as garbage.
void pass_through(const uint32_t* in, uint32_t* out, unsigned width, unsigned height) {
  if (in != out) std::memmove(out, in, static_cast<size_t>(width) * height * 4);
}

}  // namespace

bool module_ready() { return bound_module() != nullptr; }

std::unique_ptr<FilterInstance> FilterInstance::create(unsigned width, unsigned height) {
  const vdhost::FilterModule* module = bound_module();
  if (module == nullptr) return nullptr;
  auto filter = std::make_unique<vdhost::FilterInstance>(*module, *module->filter());
  if (filter->init() != 0) return nullptr;
  std::unique_ptr<FilterInstance> instance(new FilterInstance(width, height, std::move(filter)));
  if (!instance->apply_settings()) return nullptr;
  return instance;
}

FilterInstance::FilterInstance(unsigned width, unsigned height,
                               std::unique_ptr<vdhost::FilterInstance> filter)
    : width_(width), height_(height), filter_(std::move(filter)) {
  for (int i = 0; i < kParameterCount; ++i) values_[i] = qnr_frei0r::parameter(i).default_value;
}

FilterInstance::~FilterInstance() {
  std::lock_guard lock(mutex_);
  filter_.reset();
}

void FilterInstance::set_parameter(int index, double value) {
  std::lock_guard lock(mutex_);
  values_[index] = normalised(index, value);
}

double FilterInstance::parameter(int index) {
  std::lock_guard lock(mutex_);
  return values_[index];
}

// Sets the parameters' values when they changed since the last frame.
bool FilterInstance::apply_settings() {
  const vdhost::Settings wanted = module_settings(values_);
  if (settings_applied_ && wanted == applied_) return true;
  if (vdhost::apply_settings(*filter_, wanted) != vdhost::SettingsOutcome::applied) return false;
  applied_ = wanted;
  settings_applied_ = true;
  return true;
}

// Start comes with the first frame, so construction stays cheap and the GPU
// context is created only by instances that filter. A failed start is ended, as
// a host ends it, and tried again on the next frame.
bool FilterInstance::ensure_started() {
  if (filter_->started()) return true;
  if (!fits_module(width_, height_)) return false;
  const auto width = static_cast<int32_t>(width_), height = static_cast<int32_t>(height_);
  if (!source_) source_.emplace(width, height);
  if (!destination_) destination_.emplace(width, height);
  if (filter_->start(*source_, *destination_) != 0) {
    filter_->end();
    return false;
  }
  return true;
}

void FilterInstance::filter_frame(const uint32_t* in, uint32_t* out) {
  if (!ensure_started() || !apply_settings()) {
    pass_through(in, out, width_, height_);
    return;
  }
  uint32_t* source = source_->row(0);
  to_bottom_up(in, source, width_, height_);
  filter_->run(*source_, *destination_);
  from_bottom_up(destination_->row(0), source, out, width_, height_);
}

// The module keeps one luma plane and one GPU context per record and handles
// one frame at a time, so calls are serialised. MLT, when a filter's `threads`
// property is set, calls one instance from several threads at once with
// horizontal strips, each built as a frame of the strip's size: every strip is
// then filtered whole, as a frame of its own.
void FilterInstance::update(const uint32_t* in, uint32_t* out) {
  if (in == nullptr || out == nullptr || width_ == 0 || height_ == 0) return;
  std::lock_guard lock(mutex_);
  try {
    filter_frame(in, out);
  } catch (...) {
    // No exception may leave a C plug-in; a frame without memory goes out unchanged.
    pass_through(in, out, width_, height_);
  }
}

}  // namespace qnr_frei0r
