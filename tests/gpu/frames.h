// Frames and reference outputs shared by the GPU tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "core/color.h"
#include "core/frame_filter.h"
#include "gpu/kernel_emulation.h"
#include "support/frames.h"

namespace gpu_test {

// True in the GPU check's dry run (QNR_GPU_CHECK_QUICK=1), which drives the
// fake driver: its launches run the kernel's emulation on the CPU, so the
// checks keep their frames small there.
inline bool quick_check() {
  const char* value = std::getenv("QNR_GPU_CHECK_QUICK");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

using Settings = testing_frames::FilterSettings;

// A packed frame: width x height BGRX words, row stride = width.
struct Frame {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint32_t> pixels;
  uint32_t& at(int32_t x, int32_t y) { return pixels[static_cast<size_t>(y) * width + x]; }
  uint32_t at(int32_t x, int32_t y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

inline Frame uniform_frame(int32_t width, int32_t height, uint32_t pixel) {
  return Frame{width, height, std::vector<uint32_t>(static_cast<size_t>(width) * height, pixel)};
}

using testing_frames::grey;

// Random words, byte 3 included, so the filter must clear it.
inline Frame random_frame(int32_t width, int32_t height, uint32_t seed) {
  return Frame{width, height, testing_frames::random_frame(width, height, seed)};
}

// Smooth content with mild noise: most pixels sit near their neighbours, so the
// analysis meets both noise and detail.
inline Frame textured_frame(int32_t width, int32_t height, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> noise(-6, 6);
  Frame f{width, height, std::vector<uint32_t>(static_cast<size_t>(width) * height)};
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const int base = ((x / 5 + y / 7) % 3) * 60 + 40;
      f.at(x, y) =
          pack_bgrx(limit_to_byte(base + noise(rng)), limit_to_byte(base + 20 + noise(rng)),
                    limit_to_byte(base - 10 + noise(rng))) |
          (static_cast<uint32_t>(rng()) & 0xFF000000u);
    }
  }
  return f;
}

inline KernelSettings kernel_settings(const Frame& f, const Settings& s) {
  return KernelSettings{f.width, f.height,    s.level_f1,  s.level_f2,
                        s.sharp, s.interlace, s.show_noise};
}

// The kernel's output for a frame, run by the emulation on images whose rows
// are padded to `pitch` bytes.
inline Frame emulated(const Frame& in, const Settings& s, uint64_t pitch = 0) {
  if (pitch == 0) pitch = (4 * static_cast<uint64_t>(in.width) + 511) / 512 * 512;
  std::vector<uint8_t> src(pitch * in.height, 0xEE), dst(pitch * in.height, 0xDD);
  for (int32_t y = 0; y < in.height; ++y) {
    std::memcpy(src.data() + y * pitch, &in.pixels[static_cast<size_t>(y) * in.width],
                4 * static_cast<size_t>(in.width));
  }
  emulate_qnr_kernel(static_cast<unsigned>((in.width + 15) / 16),
                     static_cast<unsigned>((in.height + 15) / 16), src.data(), pitch, dst.data(),
                     pitch, kernel_settings(in, s));
  Frame out{in.width, in.height, std::vector<uint32_t>(in.pixels.size())};
  for (int32_t y = 0; y < in.height; ++y) {
    std::memcpy(&out.pixels[static_cast<size_t>(y) * in.width], dst.data() + y * pitch,
                4 * static_cast<size_t>(in.width));
  }
  return out;
}

// The CPU path's output for a frame: luma plane, then the frame filter.
inline Frame cpu_path(const Frame& in, const Settings& s) {
  return Frame{in.width, in.height, testing_frames::cpu_path(in.pixels, in.width, in.height, s)};
}

}  // namespace gpu_test
