// The module itself, run through our host (vdhost) as VirtualDub runs it:
// bottom-up bitmaps with 16-byte-aligned rows, settings replayed through its
// Config command. The expected bits for everything qnr.so produces.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vdhost.h"

namespace frei0r_testing {

struct ModuleSettings {
  int32_t level_f1 = 70;
  int32_t level_f2 = 70;
  int32_t sharp = 2;
  int32_t interlace = 0;
  int32_t show_noise = 0;
};

class ModuleReference {
 public:
  // Null with a message in `error` when the module cannot be loaded.
  static std::unique_ptr<ModuleReference> load(const std::string& path, std::string& error);

  // Filters packed, top-down frames of one size through one instance (start,
  // run per frame, end). Alpha of each output pixel is the input's, as qnr.so
  // gives it; B, G and R are the module's.
  std::vector<uint32_t> filter(const std::vector<uint32_t>& frames, int32_t width, int32_t height,
                               const ModuleSettings& settings);

 private:
  std::unique_ptr<vdhost::FilterModule> module_;
};

}  // namespace frei0r_testing
