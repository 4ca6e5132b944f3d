// Per-pixel colour arithmetic of the CPU path: the luma rule that fills the luma
// plane, the split of a BGRX word into luma and colour differences, the rebuild
// from corrected luma, and the amplified noise view.
//
// Every value is defined to the bit. Products and sums are IEEE doubles combined
// strictly left to right as written (the build forbids contraction into fused
// multiply-adds) and truncated toward zero; results are limited to 0..255 only at
// the very end.
#pragma once

#include <cstdint>

struct Yuv {
  double yd;  // untruncated luma
  int32_t u;
  int32_t v;
};

inline int32_t blue_of(uint32_t px) { return static_cast<int32_t>(px & 0xFF); }
inline int32_t green_of(uint32_t px) { return static_cast<int32_t>((px >> 8) & 0xFF); }
inline int32_t red_of(uint32_t px) { return static_cast<int32_t>((px >> 16) & 0xFF); }

inline int32_t limit_to_byte(int32_t v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

inline uint32_t pack_bgrx(int32_t blue, int32_t green, int32_t red) {
  return static_cast<uint32_t>(blue) | static_cast<uint32_t>(green) << 8 |
         static_cast<uint32_t>(red) << 16;
}

// Luma of one pixel: green x 0.587 + red x 0.299 + blue x 0.114, in that order.
inline double luma_sum(uint32_t px) {
  return green_of(px) * 0.587 + red_of(px) * 0.299 + blue_of(px) * 0.114;
}

// The luma-plane byte of one pixel. Truncation makes 65 grey levels lose one.
inline uint8_t cpu_luma(uint32_t px) {
  return static_cast<uint8_t>(static_cast<int32_t>(luma_sum(px)));
}

inline Yuv yuv_from_bgrx(uint32_t px) {
  const int32_t b = blue_of(px), g = green_of(px), r = red_of(px);
  Yuv out;
  out.yd = luma_sum(px);
  out.u = static_cast<int32_t>(r * -0.147 - g * 0.289 + b * 0.436);
  // The blue term of V is +0.100; the inverse below is built for exactly this matrix.
  out.v = static_cast<int32_t>(r * 0.615 - g * 0.515 + b * 0.100);
  return out;
}

// Rebuilds a pixel from corrected luma y (unlimited) and its colour differences.
// Adding 0.5 before truncation rounds half up for non-negative results.
inline uint32_t bgrx_from_yuv(int32_t y, int32_t u, int32_t v) {
  const int32_t red = static_cast<int32_t>(y * 0.772 - u * 0.4633 + v * 1.14 + 0.5);
  const int32_t green = static_cast<int32_t>(y * 1.1161 - u * 0.1587 - v * 0.5806 + 0.5);
  const int32_t blue = static_cast<int32_t>(y * 1.0001 + u * 2.0322 - v * 0.0005 + 0.5);
  return pack_bgrx(limit_to_byte(blue), limit_to_byte(green), limit_to_byte(red));
}

// What the filter removed, amplified five times around mid-grey.
inline uint32_t noise_view(uint32_t input, uint32_t output) {
  const auto channel = [](int32_t in, int32_t out) { return limit_to_byte(5 * (in - out) + 127); };
  return pack_bgrx(channel(blue_of(input), blue_of(output)),
                   channel(green_of(input), green_of(output)),
                   channel(red_of(input), red_of(output)));
}

// The whole rebuild of one pixel given its luma correction d: the luma loses d,
// the colour differences pass through, and show_noise selects the noise view.
inline uint32_t rebuild_pixel(uint32_t input, int32_t d, bool show_noise) {
  const Yuv yuv = yuv_from_bgrx(input);
  const int32_t y = static_cast<int32_t>(yuv.yd - d);
  const uint32_t out = bgrx_from_yuv(y, yuv.u, yuv.v);
  return show_noise ? noise_view(input, out) : out;
}
