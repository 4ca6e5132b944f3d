// The module itself, run through our host (vdhost) as VirtualDub runs it:
// bottom-up bitmaps with 16-byte-aligned rows, settings replayed through its
// Config command. The expected bits for everything qnr.so produces.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/settings.h"
#include "vdhost.h"

namespace frei0r_testing {

// The module's five processing settings, as the other host-level tests spell them.
using ModuleSettings = testing_frames::FilterSettings;

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
