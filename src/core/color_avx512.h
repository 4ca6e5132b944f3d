// The colour rules of color.h for 16 pixels at a time with AVX-512: the same
// IEEE double products and sums, combined in the same order (no fused
// multiply-add), and the same truncation toward zero.
#pragma once

#include "core/simd_target.h"

#if QNR_X86_SIMD
#include "core/simd_intrinsics.h"

#include <cstdint>

namespace avx512 {

struct Channels {
  __m512i blue, green, red;
};

QNR_TARGET_AVX512 Channels channels_of(__m512i px) {
  const __m512i byte = _mm512_set1_epi32(0xFF);
  return {_mm512_and_si512(px, byte), _mm512_and_si512(_mm512_srli_epi32(px, 8), byte),
          _mm512_and_si512(_mm512_srli_epi32(px, 16), byte)};
}

QNR_TARGET_AVX512 __m512d to_double(__m512i v, int half) {
  return _mm512_cvtepi32_pd(half == 0 ? _mm512_castsi512_si256(v)
                                      : _mm512_extracti64x4_epi64(v, 1));
}

QNR_TARGET_AVX512 __m512d times(__m512d v, double k) { return _mm512_mul_pd(v, _mm512_set1_pd(k)); }

// green x 0.587 + red x 0.299 + blue x 0.114, for 8 pixels.
QNR_TARGET_AVX512 __m512d luma_sum8(__m512d blue, __m512d green, __m512d red) {
  return _mm512_add_pd(_mm512_add_pd(times(green, 0.587), times(red, 0.299)), times(blue, 0.114));
}

QNR_TARGET_AVX512 __m512i join(__m256i low, __m256i high) {
  return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
}

// The luma bytes of 16 words, as int32 lanes.
QNR_TARGET_AVX512 __m512i luma16(__m512i px) {
  const Channels c = channels_of(px);
  __m256i half[2];
  for (int h = 0; h < 2; ++h) {
    half[h] = _mm512_cvttpd_epi32(
        luma_sum8(to_double(c.blue, h), to_double(c.green, h), to_double(c.red, h)));
  }
  return join(half[0], half[1]);
}

QNR_TARGET_AVX512 __m512i limit_to_byte(__m512i v) {
  return _mm512_min_epi32(_mm512_max_epi32(v, _mm512_setzero_si512()), _mm512_set1_epi32(255));
}

// What the filter removed, amplified five times around mid-grey, byte 3 zero.
QNR_TARGET_AVX512 __m512i noise_view16(__m512i input, __m512i output) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i five = _mm512_set1_epi16(5);
  const __m512i grey = _mm512_set1_epi16(127);
  const __m512i low = _mm512_add_epi16(
      _mm512_mullo_epi16(_mm512_sub_epi16(_mm512_unpacklo_epi8(input, zero),
                                          _mm512_unpacklo_epi8(output, zero)),
                         five),
      grey);
  const __m512i high = _mm512_add_epi16(
      _mm512_mullo_epi16(_mm512_sub_epi16(_mm512_unpackhi_epi8(input, zero),
                                          _mm512_unpackhi_epi8(output, zero)),
                         five),
      grey);
  return _mm512_and_si512(_mm512_packus_epi16(low, high), _mm512_set1_epi32(0x00FFFFFF));
}

// rebuild_pixel for 16 words with their corrections d (int32 lanes).
QNR_TARGET_AVX512 __m512i rebuild16(__m512i px, __m512i d, bool show_noise) {
  const Channels c = channels_of(px);
  __m256i red[2], green[2], blue[2];
  for (int h = 0; h < 2; ++h) {
    const __m512d b = to_double(c.blue, h), g = to_double(c.green, h), r = to_double(c.red, h);
    const __m512d yd = luma_sum8(b, g, r);
    const __m512d u = _mm512_cvtepi32_pd(_mm512_cvttpd_epi32(
        _mm512_add_pd(_mm512_sub_pd(times(r, -0.147), times(g, 0.289)), times(b, 0.436))));
    const __m512d v = _mm512_cvtepi32_pd(_mm512_cvttpd_epi32(
        _mm512_add_pd(_mm512_sub_pd(times(r, 0.615), times(g, 0.515)), times(b, 0.100))));
    const __m512d y = _mm512_cvtepi32_pd(_mm512_cvttpd_epi32(_mm512_sub_pd(yd, to_double(d, h))));
    const __m512d half = _mm512_set1_pd(0.5);
    red[h] = _mm512_cvttpd_epi32(_mm512_add_pd(
        _mm512_add_pd(_mm512_sub_pd(times(y, 0.772), times(u, 0.4633)), times(v, 1.14)), half));
    green[h] = _mm512_cvttpd_epi32(_mm512_add_pd(
        _mm512_sub_pd(_mm512_sub_pd(times(y, 1.1161), times(u, 0.1587)), times(v, 0.5806)), half));
    blue[h] = _mm512_cvttpd_epi32(_mm512_add_pd(
        _mm512_sub_pd(_mm512_add_pd(times(y, 1.0001), times(u, 2.0322)), times(v, 0.0005)), half));
  }
  const __m512i out = _mm512_or_si512(
      _mm512_or_si512(limit_to_byte(join(blue[0], blue[1])),
                      _mm512_slli_epi32(limit_to_byte(join(green[0], green[1])), 8)),
      _mm512_slli_epi32(limit_to_byte(join(red[0], red[1])), 16));
  return show_noise ? noise_view16(px, out) : out;
}

}  // namespace avx512

#endif  // QNR_X86_SIMD
