// Frames for tests: seeded random pixels and the CPU path's expected output,
// computed with the core the way the run callback drives it.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "core/color.h"
#include "core/frame_filter.h"
#include "host/filter_config.h"

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

struct FilterSettings {
  int32_t level_f1 = 70;
  int32_t level_f2 = 70;
  int32_t sharp = 2;
  int32_t interlace = 0;
  int32_t show_noise = 0;
};

// The CPU path on a packed frame: luma plane by the luma rule, then the frame
// filter, by default the plain reference (the optimised versions are held to
// it byte for byte by their own tests).
inline std::vector<uint32_t> cpu_path(const std::vector<uint32_t>& input, int32_t width,
                                      int32_t height, const FilterSettings& s = {},
                                      void (*filter)(const CpuFilterArgs&) = cpu_filter_frame_plain) {
  std::vector<uint8_t> plane(input.size());
  for (size_t i = 0; i < input.size(); ++i) plane[i] = cpu_luma(input[i]);
  FilterConfig config{};
  config.luma_plane = plane.data();
  config.luma_size = static_cast<int32_t>(plane.size());
  config.show_noise = s.show_noise;
  std::vector<uint32_t> output(input.size());
  CpuFilterArgs args{input.data(), output.data(), s.level_f1, s.level_f2, s.sharp, s.interlace,
                     height, width, &config};
  filter(args);
  return output;
}

}  // namespace testing_frames
