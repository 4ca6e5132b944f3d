// Frames for tests: seeded random pixels and the CPU path's expected output,
// computed with the core the way the run callback drives it.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "core/color.h"
#include "core/frame_filter.h"
#include "support/filter_call.h"
#include "support/settings.h"

namespace testing_frames {

inline uint32_t grey(int32_t v) { return pack_bgrx(v, v, v); }
inline uint32_t rgb(int32_t r, int32_t g, int32_t b) { return pack_bgrx(b, g, r); }

// Random BGRX words; byte 3 is random too, since it must never matter.
inline std::vector<uint32_t> random_frame(int32_t width, int32_t height, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint32_t> out(static_cast<size_t>(width) * height);
  for (auto& px : out) px = rng();
  return out;
}

// The CPU path on a packed frame (the frame itself when disabled): luma plane
// by the luma rule, then the frame filter, by default the plain reference (the
// optimised versions are held to it byte for byte by their own tests).
inline std::vector<uint32_t> cpu_path(
    const std::vector<uint32_t>& input, int32_t width, int32_t height, const FilterSettings& s = {},
    void (*filter)(const CpuFilterArgs&) = cpu_filter_frame_plain) {
  if (s.disable != 0) return input;
  std::vector<uint8_t> plane(input.size());
  for (size_t i = 0; i < input.size(); ++i) plane[i] = cpu_luma(input[i]);
  std::vector<uint32_t> output(input.size());
  const FilterCall call(input.data(), output.data(), plane.data(), width, height, s);
  filter(call.args);
  return output;
}

}  // namespace testing_frames
