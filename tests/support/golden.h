// The fixed frames and settings that the golden hash tests pin each path's
// output on: grainy grey near the thresholds or fully random words, at sizes
// and settings from the defaults to values whose products wrap.
#pragma once

#include <cstdint>
#include <vector>

#include "support/frames.h"

namespace testing_frames {

// Grey around 100 with small random steps: many components sit near their
// thresholds, so both decisions occur on every frame.
inline std::vector<uint32_t> grainy_grey(int32_t width, int32_t height, uint32_t seed) {
  auto f = random_frame(width, height, seed);
  for (auto& px : f) {
    const int32_t v = 100 + static_cast<int32_t>(px % 41) - 20;
    px = rgb(v + static_cast<int32_t>((px >> 8) % 5), v, v - static_cast<int32_t>((px >> 16) % 5));
  }
  return f;
}

struct GoldenCase {
  const char* what;
  int32_t width, height;
  bool grainy;  // grainy grey, else fully random words
  uint32_t seed;
  FilterSettings settings;
  uint64_t hash;
};

inline std::vector<uint32_t> golden_input(const GoldenCase& c) {
  return c.grainy ? grainy_grey(c.width, c.height, c.seed)
                  : random_frame(c.width, c.height, c.seed);
}

}  // namespace testing_frames
