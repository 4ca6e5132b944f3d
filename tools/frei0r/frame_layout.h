// frei0r frames are packed, top row first. The module's hosts hand it bottom-up
// bitmaps (the bottom row at the lowest address), and the module works through
// rows in address order, so a frame is turned over on the way in and back on
// the way out: the module then sees the very memory layout a host gives it.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace qnr_frei0r {

static_assert(std::endian::native == std::endian::little,
              "BGRA8888 words are read with alpha in the top byte");

inline void to_bottom_up(const uint32_t* top_down, uint32_t* bottom_up, size_t width,
                         size_t height) {
  for (size_t r = 0; r < height; ++r)
    std::memcpy(bottom_up + (height - 1 - r) * width, top_down + r * width, width * 4);
}

// Turns the module's output back over. B, G and R come from the module; alpha
// (byte 3, which the module writes as 0) is the input's, read from the
// bottom-up copy of the input, so `top_down` may be the input frame itself.
inline void from_bottom_up(const uint32_t* filtered, const uint32_t* input_bottom_up,
                           uint32_t* top_down, size_t width, size_t height) {
  constexpr uint32_t kAlpha = 0xFF000000u;
  for (size_t r = 0; r < height; ++r) {
    const uint32_t* colour = filtered + (height - 1 - r) * width;
    const uint32_t* alpha = input_bottom_up + (height - 1 - r) * width;
    uint32_t* out = top_down + r * width;
    for (size_t x = 0; x < width; ++x) out[x] = (colour[x] & ~kAlpha) | (alpha[x] & kAlpha);
  }
}

}  // namespace qnr_frei0r
