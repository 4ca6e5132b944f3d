// The colour rules of color.h for 4 pixels at a time with SSE4.1: the same IEEE
// double products and sums, combined in the same order (no fused
// multiply-add), and the same truncation toward zero.
#pragma once

#include "core/simd_target.h"

#if QNR_X86_SIMD
#include "core/simd_intrinsics.h"

#include <cstdint>

namespace sse41 {

// Blue, green and red of 4 BGRX words as int32 lanes.
struct Channels {
  __m128i blue, green, red;
};

QNR_TARGET_SSE41 Channels channels_of(__m128i px) {
  const __m128i byte = _mm_set1_epi32(0xFF);
  return {_mm_and_si128(px, byte), _mm_and_si128(_mm_srli_epi32(px, 8), byte),
          _mm_and_si128(_mm_srli_epi32(px, 16), byte)};
}

QNR_TARGET_SSE41 __m128d to_double(__m128i v, int half) {
  return _mm_cvtepi32_pd(half == 0 ? v : _mm_unpackhi_epi64(v, v));
}

QNR_TARGET_SSE41 __m128d times(__m128d v, double k) { return _mm_mul_pd(v, _mm_set1_pd(k)); }

// green x 0.587 + red x 0.299 + blue x 0.114, for 2 pixels.
QNR_TARGET_SSE41 __m128d luma_sum2(__m128d blue, __m128d green, __m128d red) {
  return _mm_add_pd(_mm_add_pd(times(green, 0.587), times(red, 0.299)), times(blue, 0.114));
}

QNR_TARGET_SSE41 __m128i join(__m128i low, __m128i high) { return _mm_unpacklo_epi64(low, high); }

// The luma bytes of 4 words, as int32 lanes.
QNR_TARGET_SSE41 __m128i luma4(__m128i px) {
  const Channels c = channels_of(px);
  __m128i half[2];
  for (int h = 0; h < 2; ++h) {
    half[h] = _mm_cvttpd_epi32(
        luma_sum2(to_double(c.blue, h), to_double(c.green, h), to_double(c.red, h)));
  }
  return join(half[0], half[1]);
}

QNR_TARGET_SSE41 __m128i limit_to_byte(__m128i v) {
  return _mm_min_epi32(_mm_max_epi32(v, _mm_setzero_si128()), _mm_set1_epi32(255));
}

// What the filter removed, amplified five times around mid-grey, byte 3 zero.
QNR_TARGET_SSE41 __m128i noise_view4(__m128i input, __m128i output) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i five = _mm_set1_epi16(5);
  const __m128i grey = _mm_set1_epi16(127);
  const __m128i low = _mm_add_epi16(
      _mm_mullo_epi16(_mm_sub_epi16(_mm_unpacklo_epi8(input, zero),
                                          _mm_unpacklo_epi8(output, zero)),
                         five),
      grey);
  const __m128i high = _mm_add_epi16(
      _mm_mullo_epi16(_mm_sub_epi16(_mm_unpackhi_epi8(input, zero),
                                          _mm_unpackhi_epi8(output, zero)),
                         five),
      grey);
  return _mm_and_si128(_mm_packus_epi16(low, high), _mm_set1_epi32(0x00FFFFFF));
}

// rebuild_pixel for 4 words with their corrections d (int32 lanes).
QNR_TARGET_SSE41 __m128i rebuild4(__m128i px, __m128i d, bool show_noise) {
  const Channels c = channels_of(px);
  __m128i red[2], green[2], blue[2];
  for (int h = 0; h < 2; ++h) {
    const __m128d b = to_double(c.blue, h), g = to_double(c.green, h), r = to_double(c.red, h);
    const __m128d yd = luma_sum2(b, g, r);
    const __m128d u = _mm_cvtepi32_pd(_mm_cvttpd_epi32(
        _mm_add_pd(_mm_sub_pd(times(r, -0.147), times(g, 0.289)), times(b, 0.436))));
    const __m128d v = _mm_cvtepi32_pd(_mm_cvttpd_epi32(
        _mm_add_pd(_mm_sub_pd(times(r, 0.615), times(g, 0.515)), times(b, 0.100))));
    const __m128d y = _mm_cvtepi32_pd(_mm_cvttpd_epi32(_mm_sub_pd(yd, to_double(d, h))));
    const __m128d half = _mm_set1_pd(0.5);
    red[h] = _mm_cvttpd_epi32(_mm_add_pd(
        _mm_add_pd(_mm_sub_pd(times(y, 0.772), times(u, 0.4633)), times(v, 1.14)), half));
    green[h] = _mm_cvttpd_epi32(_mm_add_pd(
        _mm_sub_pd(_mm_sub_pd(times(y, 1.1161), times(u, 0.1587)), times(v, 0.5806)), half));
    blue[h] = _mm_cvttpd_epi32(_mm_add_pd(
        _mm_sub_pd(_mm_add_pd(times(y, 1.0001), times(u, 2.0322)), times(v, 0.0005)), half));
  }
  const __m128i out = _mm_or_si128(
      _mm_or_si128(limit_to_byte(join(blue[0], blue[1])),
                      _mm_slli_epi32(limit_to_byte(join(green[0], green[1])), 8)),
      _mm_slli_epi32(limit_to_byte(join(red[0], red[1])), 16));
  return show_noise ? noise_view4(px, out) : out;
}

}  // namespace sse41

#endif  // QNR_X86_SIMD
