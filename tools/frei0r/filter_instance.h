// One frei0r instance: a settings record of the module's filter driven through
// the filter's callbacks in a host's order (init at construction, start with
// the first frame, run per frame, end at destruction).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "host/host_api.h"
#include "parameters.h"

namespace qnr_frei0r {

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
  FilterInstance(unsigned width, unsigned height, const FilterDefinition& definition);
  bool init();
  bool ensure_started();
  void apply_settings();
  void filter_frame(const uint32_t* in, uint32_t* out);

  std::mutex mutex_;
  const unsigned width_;
  const unsigned height_;
  const FilterDefinition& definition_;
  std::unique_ptr<uint8_t[]> record_;  // the module's settings record, zeroed like a host's
  FilterActivation activation_{};
  HostBitmap source_{};
  HostBitmap destination_{};
  std::vector<uint32_t> source_pixels_;       // the input, bottom-up
  std::vector<uint32_t> destination_pixels_;  // the module's output, bottom-up
  bool started_ = false;

  double values_[kParameterCount];
  int32_t multithreading_ = 0;  // carried through Config unchanged
  ModuleSettings applied_{};
  bool settings_applied_ = false;
};

}  // namespace qnr_frei0r
