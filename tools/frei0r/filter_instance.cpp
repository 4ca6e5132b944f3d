#include "filter_instance.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "frame_layout.h"
#include "host/filter_config.h"
#include "module_binding.h"

namespace qnr_frei0r {

namespace {

// The module takes int32 sizes and keeps a width x height luma plane sized in int32.
bool fits_module(unsigned width, unsigned height) {
  return width <= INT32_MAX && height <= INT32_MAX &&
         static_cast<uint64_t>(width) * height <= INT32_MAX;
}

HostBitmap bottom_up_bitmap(uint32_t* lowest, unsigned width, unsigned height) {
  HostBitmap bitmap{};
  bitmap.data = lowest;
  bitmap.depth = 32;
  bitmap.w = static_cast<int32_t>(width);
  bitmap.h = static_cast<int32_t>(height);
  bitmap.pitch = int64_t{bitmap.w} * 4;
  bitmap.size = bitmap.pitch * bitmap.h;
  return bitmap;
}

// A frame that cannot be filtered goes out as it came in rather than as garbage.
void pass_through(const uint32_t* in, uint32_t* out, unsigned width, unsigned height) {
  if (in != out) std::memmove(out, in, static_cast<size_t>(width) * height * 4);
}

}  // namespace

std::unique_ptr<FilterInstance> FilterInstance::create(unsigned width, unsigned height) {
  const FilterDefinition* definition = filter_definition();
  if (definition == nullptr) return nullptr;
  std::unique_ptr<FilterInstance> instance(new FilterInstance(width, height, *definition));
  if (!instance->init()) return nullptr;
  return instance;
}

FilterInstance::FilterInstance(unsigned width, unsigned height, const FilterDefinition& definition)
    : width_(width), height_(height), definition_(definition) {
  for (int i = 0; i < kParameterCount; ++i) values_[i] = kParameters[i].default_value;
}

bool FilterInstance::init() {
  // A host allocates the record and zero-fills it before init.
  record_.reset(new uint8_t[static_cast<size_t>(definition_.inst_data_size)]());
  activation_.filter = &definition_;
  activation_.filter_data = record_.get();
  if (definition_.init(&activation_, host_functions()) != 0) {
    if (definition_.deinit != nullptr) definition_.deinit(&activation_, host_functions());
    return false;
  }
  // Config carries five settings; the fifth (multithreading) keeps what init chose.
  char line[4096] = {};
  int32_t values[5];
  if (definition_.script_string(&activation_, host_functions(), line, sizeof line) &&
      std::sscanf(line, "Config(%d,%d,%d,%d,%d)", &values[0], &values[1], &values[2], &values[3],
                  &values[4]) == 5)
    multithreading_ = values[4];
  apply_settings();
  return true;
}

FilterInstance::~FilterInstance() {
  std::lock_guard lock(mutex_);
  if (started_) definition_.end(&activation_, host_functions());
  if (definition_.deinit != nullptr) definition_.deinit(&activation_, host_functions());
}

void FilterInstance::set_parameter(int index, double value) {
  std::lock_guard lock(mutex_);
  values_[index] = normalised(index, value);
}

double FilterInstance::parameter(int index) {
  std::lock_guard lock(mutex_);
  return values_[index];
}

// Replays the settings through the module's own Config command, as a host
// replays a saved script line. Show noise has no script argument; a host sets
// it only in the filter's dialog, so it is written into the record directly.
void FilterInstance::apply_settings() {
  const ModuleSettings wanted = module_settings(values_);
  if (settings_applied_ && wanted == applied_) return;
  const int32_t arguments[5] = {wanted.level_f1, wanted.level_f2, wanted.sharp, wanted.interlace,
                                multithreading_};
  ScriptValue values[5];
  std::memset(values, 0, sizeof values);
  for (int i = 0; i < 5; ++i) {
    values[i].type = ScriptValue::kInt;
    values[i].value.as_int = arguments[i];
  }
  config_command(definition_)->handler(nullptr, &activation_, values, 5);
  static_cast<FilterConfig*>(activation_.filter_data)->show_noise = wanted.show_noise;
  applied_ = wanted;
  settings_applied_ = true;
}

// Start comes with the first frame, so construction stays cheap and the GPU
// context is created only by instances that filter. A failed start is ended, as
// a host ends it, and tried again on the next frame.
bool FilterInstance::ensure_started() {
  if (started_) return true;
  if (!fits_module(width_, height_)) return false;
  const size_t pixels = static_cast<size_t>(width_) * height_;
  source_pixels_.resize(pixels);
  destination_pixels_.resize(pixels);
  source_ = bottom_up_bitmap(source_pixels_.data(), width_, height_);
  destination_ = bottom_up_bitmap(destination_pixels_.data(), width_, height_);
  activation_.src = &source_;
  activation_.dst = &destination_;
  if (definition_.start != nullptr && definition_.start(&activation_, host_functions()) != 0) {
    if (definition_.end != nullptr) definition_.end(&activation_, host_functions());
    return false;
  }
  started_ = true;
  return true;
}

void FilterInstance::filter_frame(const uint32_t* in, uint32_t* out) {
  if (!ensure_started()) {
    pass_through(in, out, width_, height_);
    return;
  }
  apply_settings();
  to_bottom_up(in, source_pixels_.data(), width_, height_);
  definition_.run(&activation_, host_functions());
  from_bottom_up(destination_pixels_.data(), source_pixels_.data(), out, width_, height_);
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
