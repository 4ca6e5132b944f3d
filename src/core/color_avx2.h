// The colour rules of color.h for 8 pixels at a time with AVX2: the same IEEE
// double products and sums, combined in the same order (no fused
// multiply-add), and the same truncation toward zero.
#pragma once

#include "core/simd_target.h"

#if QNR_X86_SIMD
#include "core/simd_intrinsics.h"

#include <cstdint>

namespace avx2 {

// Blue, green and red of 8 BGRX words as int32 lanes.
struct Channels {
  __m256i blue, green, red;
};

QNR_TARGET_AVX2 Channels channels_of(__m256i px) {
  const __m256i byte = _mm256_set1_epi32(0xFF);
  return {_mm256_and_si256(px, byte), _mm256_and_si256(_mm256_srli_epi32(px, 8), byte),
          _mm256_and_si256(_mm256_srli_epi32(px, 16), byte)};
}

QNR_TARGET_AVX2 __m256d to_double(__m256i v, int half) {
  return _mm256_cvtepi32_pd(half == 0 ? _mm256_castsi256_si128(v)
                                      : _mm256_extracti128_si256(v, 1));
}

QNR_TARGET_AVX2 __m256d times(__m256d v, double k) { return _mm256_mul_pd(v, _mm256_set1_pd(k)); }

// green x 0.587 + red x 0.299 + blue x 0.114, for 4 pixels.
QNR_TARGET_AVX2 __m256d luma_sum4(__m256d blue, __m256d green, __m256d red) {
  return _mm256_add_pd(_mm256_add_pd(times(green, 0.587), times(red, 0.299)), times(blue, 0.114));
}

QNR_TARGET_AVX2 __m256i join(__m128i low, __m128i high) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

// The luma bytes of 8 words, as int32 lanes.
QNR_TARGET_AVX2 __m256i luma8(__m256i px) {
  const Channels c = channels_of(px);
  __m128i half[2];
  for (int h = 0; h < 2; ++h) {
    half[h] = _mm256_cvttpd_epi32(
        luma_sum4(to_double(c.blue, h), to_double(c.green, h), to_double(c.red, h)));
  }
  return join(half[0], half[1]);
}

QNR_TARGET_AVX2 __m256i limit_to_byte(__m256i v) {
  return _mm256_min_epi32(_mm256_max_epi32(v, _mm256_setzero_si256()), _mm256_set1_epi32(255));
}

// What the filter removed, amplified five times around mid-grey, byte 3 zero.
QNR_TARGET_AVX2 __m256i noise_view8(__m256i input, __m256i output) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i five = _mm256_set1_epi16(5);
  const __m256i grey = _mm256_set1_epi16(127);
  const __m256i low = _mm256_add_epi16(
      _mm256_mullo_epi16(_mm256_sub_epi16(_mm256_unpacklo_epi8(input, zero),
                                          _mm256_unpacklo_epi8(output, zero)),
                         five),
      grey);
  const __m256i high = _mm256_add_epi16(
      _mm256_mullo_epi16(_mm256_sub_epi16(_mm256_unpackhi_epi8(input, zero),
                                          _mm256_unpackhi_epi8(output, zero)),
                         five),
      grey);
  return _mm256_and_si256(_mm256_packus_epi16(low, high), _mm256_set1_epi32(0x00FFFFFF));
}

// rebuild_pixel for 8 words with their corrections d (int32 lanes).
QNR_TARGET_AVX2 __m256i rebuild8(__m256i px, __m256i d, bool show_noise) {
  const Channels c = channels_of(px);
  __m128i red[2], green[2], blue[2];
  for (int h = 0; h < 2; ++h) {
    const __m256d b = to_double(c.blue, h), g = to_double(c.green, h), r = to_double(c.red, h);
    const __m256d yd = luma_sum4(b, g, r);
    const __m256d u = _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(
        _mm256_add_pd(_mm256_sub_pd(times(r, -0.147), times(g, 0.289)), times(b, 0.436))));
    const __m256d v = _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(
        _mm256_add_pd(_mm256_sub_pd(times(r, 0.615), times(g, 0.515)), times(b, 0.100))));
    const __m256d y = _mm256_cvtepi32_pd(_mm256_cvttpd_epi32(_mm256_sub_pd(yd, to_double(d, h))));
    const __m256d half = _mm256_set1_pd(0.5);
    red[h] = _mm256_cvttpd_epi32(_mm256_add_pd(
        _mm256_add_pd(_mm256_sub_pd(times(y, 0.772), times(u, 0.4633)), times(v, 1.14)), half));
    green[h] = _mm256_cvttpd_epi32(_mm256_add_pd(
        _mm256_sub_pd(_mm256_sub_pd(times(y, 1.1161), times(u, 0.1587)), times(v, 0.5806)), half));
    blue[h] = _mm256_cvttpd_epi32(_mm256_add_pd(
        _mm256_sub_pd(_mm256_add_pd(times(y, 1.0001), times(u, 2.0322)), times(v, 0.0005)), half));
  }
  const __m256i out = _mm256_or_si256(
      _mm256_or_si256(limit_to_byte(join(blue[0], blue[1])),
                      _mm256_slli_epi32(limit_to_byte(join(green[0], green[1])), 8)),
      _mm256_slli_epi32(limit_to_byte(join(red[0], red[1])), 16));
  return show_noise ? noise_view8(px, out) : out;
}

}  // namespace avx2

#endif  // QNR_X86_SIMD
