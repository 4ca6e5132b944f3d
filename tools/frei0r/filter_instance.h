// One frei0r instance: an instance of the module's filter, driven through the
// host library in a host's order (init at construction, start with the first
// frame, run per frame, end at destruction).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "parameters.h"
#include "vdhost.h"

namespace qnr_frei0r {

// True when the module linked into this plug-in registered a filter this
// plug-in can drive. The module is bound on first use, once per process (safe
// from any thread), and never left: see filter_instance.cpp.
bool module_ready();

class FilterInstance {
 public:
  // Null when the module is unusable or its init fails. Cheap: no frame
  // storage, no GPU work; any size is accepted.
  static std::unique_ptr<FilterInstance> create(unsigned width, unsigned height);
  ~FilterInstance();
  FilterInstance(const FilterInstance&) = delete;
  FilterInstance& operator=(const FilterInstance&) = delete;

  void set_parameter(int index, double value);
  double parameter(int index);

  // Filters one packed, top-down frame of the construction size. `in` and `out`
  // may be the same frame. Calls on one instance are serialised.
  void update(const uint32_t* in, uint32_t* out);

 private:
  FilterInstance(unsigned width, unsigned height, std::unique_ptr<vdhost::FilterInstance> filter);
  bool ensure_started();
  bool apply_settings();
  void filter_frame(const uint32_t* in, uint32_t* out);

  std::mutex mutex_;
  const unsigned width_;
  const unsigned height_;
  // Bottom-up frames, made with the first frame: the input and the module's
  // output. Declared before the filter, so they outlive its end.
  std::optional<vdhost::Bitmap> source_;
  std::optional<vdhost::Bitmap> destination_;
  std::unique_ptr<vdhost::FilterInstance> filter_;

  double values_[kParameterCount];
  vdhost::Settings applied_;
  bool settings_applied_ = false;
};

}  // namespace qnr_frei0r
