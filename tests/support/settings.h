// The filter's six settings as the tests spell them, with a fresh instance's
// values as defaults.
#pragma once

#include <cstdint>

namespace testing_frames {

struct FilterSettings {
  int32_t level_f1 = 70;
  int32_t level_f2 = 70;
  int32_t sharp = 2;
  int32_t interlace = 0;
  int32_t show_noise = 0;
  int32_t disable = 0;
};

}  // namespace testing_frames
