// The AVX2 operations that the vectorised filter and colour rules are written
// in (frame_filter_simd.h, color_simd.h): 256-bit registers, 16 pixels per block.
#pragma once

#include "core/simd_target.h"

#if QNR_X86_SIMD
#include "core/simd_intrinsics.h"

#include <cstdint>

struct Avx2 {
  using V = __m256i;                     // 16 x int16 (one block's samples) or 8 x int32
  using Half = __m128i;                  // 4 x int32: the words of V that one D holds
  using D = __m256d;                     // 4 doubles
  using LaneMask = __m256i;              // per 16-bit lane, all ones where set
  static constexpr int32_t kBlock = 16;  // pixels per block: 16-bit lanes of V

  QNR_TARGET_AVX2 static V zero() { return _mm256_setzero_si256(); }
  QNR_TARGET_AVX2 static V set16(int16_t v) { return _mm256_set1_epi16(v); }
  QNR_TARGET_AVX2 static V set32(int32_t v) { return _mm256_set1_epi32(v); }
  QNR_TARGET_AVX2 static V bit_and(V a, V b) { return _mm256_and_si256(a, b); }
  QNR_TARGET_AVX2 static V bit_or(V a, V b) { return _mm256_or_si256(a, b); }

  QNR_TARGET_AVX2 static V add16(V a, V b) { return _mm256_add_epi16(a, b); }
  QNR_TARGET_AVX2 static V sub16(V a, V b) { return _mm256_sub_epi16(a, b); }
  QNR_TARGET_AVX2 static V abs16(V a) { return _mm256_abs_epi16(a); }
  QNR_TARGET_AVX2 static V mullo16(V a, V b) { return _mm256_mullo_epi16(a, b); }
  QNR_TARGET_AVX2 static V madd16(V a, V b) { return _mm256_madd_epi16(a, b); }
  QNR_TARGET_AVX2 static V unpacklo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
  QNR_TARGET_AVX2 static V unpackhi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
  QNR_TARGET_AVX2 static V unpacklo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
  QNR_TARGET_AVX2 static V unpackhi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
  QNR_TARGET_AVX2 static V packus16(V a, V b) { return _mm256_packus_epi16(a, b); }

  QNR_TARGET_AVX2 static V add32(V a, V b) { return _mm256_add_epi32(a, b); }
  QNR_TARGET_AVX2 static V sub32(V a, V b) { return _mm256_sub_epi32(a, b); }
  QNR_TARGET_AVX2 static V mullo32(V a, V b) { return _mm256_mullo_epi32(a, b); }
  QNR_TARGET_AVX2 static V abs32(V a) { return _mm256_abs_epi32(a); }
  QNR_TARGET_AVX2 static V min32(V a, V b) { return _mm256_min_epi32(a, b); }
  QNR_TARGET_AVX2 static V max32(V a, V b) { return _mm256_max_epi32(a, b); }
  template <int n> QNR_TARGET_AVX2 static V shl32(V a) { return _mm256_slli_epi32(a, n); }
  template <int n> QNR_TARGET_AVX2 static V shr32(V a) { return _mm256_srli_epi32(a, n); }
  template <int n> QNR_TARGET_AVX2 static V sar32(V a) { return _mm256_srai_epi32(a, n); }
  // Lanes where a > b take product >> 5 (arithmetic), the others keep `otherwise`.
  QNR_TARGET_AVX2 static V select_gt32_sar5(V a, V b, V otherwise, V product) {
    return _mm256_blendv_epi8(otherwise, _mm256_srai_epi32(product, 5), _mm256_cmpgt_epi32(a, b));
  }
  // Lanes `first <= i < end` of the 16-bit lanes.
  QNR_TARGET_AVX2 static LaneMask lanes16(int32_t first, int32_t end) {
    const V lane = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm256_and_si256(
        _mm256_cmpgt_epi16(lane, _mm256_set1_epi16(static_cast<int16_t>(first - 1))),
        _mm256_cmpgt_epi16(_mm256_set1_epi16(static_cast<int16_t>(end)), lane));
  }
  QNR_TARGET_AVX2 static V select16(LaneMask inside, V outside, V in) {
    return _mm256_blendv_epi8(outside, in, inside);
  }

  // The block's 16 luma bytes as 16-bit lanes.
  QNR_TARGET_AVX2 static V load_luma(const uint8_t* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  QNR_TARGET_AVX2 static V load_words(const uint32_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  QNR_TARGET_AVX2 static void store_words(uint32_t* p, V v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
  }
  // Stores 16 int32 lanes 0..255 (first then second) as 16 bytes.
  QNR_TARGET_AVX2 static void store_bytes(uint8_t* p, V first, V second) {
    // Packing with saturation keeps 0..255; the permute undoes the packs' in-lane order.
    const V words = _mm256_permute4x64_epi64(_mm256_packus_epi32(first, second), 0xD8);
    _mm_storeu_si128(
        reinterpret_cast<__m128i*>(p),
        _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1)));
  }
  // The int32 sums that unpacklo16/unpackhi16 products give, back in pixel
  // order: low holds pixels 0-3 and 8-11, high 4-7 and 12-15.
  QNR_TARGET_AVX2 static void pixel_order(V low, V high, V& first, V& second) {
    first = _mm256_permute2x128_si256(low, high, 0x20);
    second = _mm256_permute2x128_si256(low, high, 0x31);
  }

  QNR_TARGET_AVX2 static D to_double(V v, int half) {
    return _mm256_cvtepi32_pd(half == 0 ? _mm256_castsi256_si128(v)
                                        : _mm256_extracti128_si256(v, 1));
  }
  // Toward zero, staying in double: the same value as a round trip through int32
  // for every |v| < 2^31, the only values the colour rules meet.
  QNR_TARGET_AVX2 static D truncate_pd(D v) {
    return _mm256_round_pd(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  }
  QNR_TARGET_AVX2 static Half truncate(D v) { return _mm256_cvttpd_epi32(v); }
  QNR_TARGET_AVX2 static V join(Half low, Half high) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
  }
  QNR_TARGET_AVX2 static D set_pd(double v) { return _mm256_set1_pd(v); }
  QNR_TARGET_AVX2 static D add_pd(D a, D b) { return _mm256_add_pd(a, b); }
  QNR_TARGET_AVX2 static D sub_pd(D a, D b) { return _mm256_sub_pd(a, b); }
  QNR_TARGET_AVX2 static D mul_pd(D a, D b) { return _mm256_mul_pd(a, b); }
};

#endif  // QNR_X86_SIMD
