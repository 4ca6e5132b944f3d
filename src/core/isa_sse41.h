// The SSE4.1 operations that the vectorised filter and colour rules are written
// in (frame_filter_simd.h, color_simd.h): 128-bit registers, 8 pixels per block.
#pragma once

#include "core/simd_target.h"

#if QNR_X86_SIMD
#include "core/simd_intrinsics.h"

#include <cstdint>

struct Sse41 {
  using V = __m128i;                    // 8 x int16 (one block's samples) or 4 x int32
  using Half = __m128i;                 // 2 x int32 (low half): the words of V that one D holds
  using D = __m128d;                    // 2 doubles
  using LaneMask = __m128i;             // per 16-bit lane, all ones where set
  static constexpr int32_t kBlock = 8;  // pixels per block: 16-bit lanes of V

  QNR_TARGET_SSE41 static V zero() { return _mm_setzero_si128(); }
  QNR_TARGET_SSE41 static V set16(int16_t v) { return _mm_set1_epi16(v); }
  QNR_TARGET_SSE41 static V set32(int32_t v) { return _mm_set1_epi32(v); }
  QNR_TARGET_SSE41 static V bit_and(V a, V b) { return _mm_and_si128(a, b); }
  QNR_TARGET_SSE41 static V bit_or(V a, V b) { return _mm_or_si128(a, b); }

  QNR_TARGET_SSE41 static V add16(V a, V b) { return _mm_add_epi16(a, b); }
  QNR_TARGET_SSE41 static V sub16(V a, V b) { return _mm_sub_epi16(a, b); }
  QNR_TARGET_SSE41 static V abs16(V a) { return _mm_abs_epi16(a); }
  QNR_TARGET_SSE41 static V mullo16(V a, V b) { return _mm_mullo_epi16(a, b); }
  QNR_TARGET_SSE41 static V madd16(V a, V b) { return _mm_madd_epi16(a, b); }
  QNR_TARGET_SSE41 static V unpacklo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
  QNR_TARGET_SSE41 static V unpackhi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
  QNR_TARGET_SSE41 static V unpacklo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
  QNR_TARGET_SSE41 static V unpackhi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
  QNR_TARGET_SSE41 static V packus16(V a, V b) { return _mm_packus_epi16(a, b); }

  QNR_TARGET_SSE41 static V add32(V a, V b) { return _mm_add_epi32(a, b); }
  QNR_TARGET_SSE41 static V sub32(V a, V b) { return _mm_sub_epi32(a, b); }
  QNR_TARGET_SSE41 static V mullo32(V a, V b) { return _mm_mullo_epi32(a, b); }
  QNR_TARGET_SSE41 static V abs32(V a) { return _mm_abs_epi32(a); }
  QNR_TARGET_SSE41 static V min32(V a, V b) { return _mm_min_epi32(a, b); }
  QNR_TARGET_SSE41 static V max32(V a, V b) { return _mm_max_epi32(a, b); }
  template <int n> QNR_TARGET_SSE41 static V shl32(V a) { return _mm_slli_epi32(a, n); }
  template <int n> QNR_TARGET_SSE41 static V shr32(V a) { return _mm_srli_epi32(a, n); }
  template <int n> QNR_TARGET_SSE41 static V sar32(V a) { return _mm_srai_epi32(a, n); }
  // Lanes where a > b take product >> 5 (arithmetic), the others keep `otherwise`.
  QNR_TARGET_SSE41 static V select_gt32_sar5(V a, V b, V otherwise, V product) {
    return _mm_blendv_epi8(otherwise, _mm_srai_epi32(product, 5), _mm_cmpgt_epi32(a, b));
  }
  // Lanes `first <= i < end` of the 16-bit lanes.
  QNR_TARGET_SSE41 static LaneMask lanes16(int32_t first, int32_t end) {
    const V lane = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm_and_si128(_mm_cmpgt_epi16(lane, _mm_set1_epi16(static_cast<int16_t>(first - 1))),
                         _mm_cmpgt_epi16(_mm_set1_epi16(static_cast<int16_t>(end)), lane));
  }
  QNR_TARGET_SSE41 static V select16(LaneMask inside, V outside, V in) {
    return _mm_blendv_epi8(outside, in, inside);
  }

  // The block's 8 luma bytes as 16-bit lanes.
  QNR_TARGET_SSE41 static V load_luma(const uint8_t* p) {
    return _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
  }
  QNR_TARGET_SSE41 static V load_words(const uint32_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  QNR_TARGET_SSE41 static void store_words(uint32_t* p, V v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
  }
  // Stores 8 int32 lanes 0..255 (first then second) as 8 bytes.
  QNR_TARGET_SSE41 static void store_bytes(uint8_t* p, V first, V second) {
    const V words = _mm_packus_epi32(first, second);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(words, words));
  }
  // The int32 sums that unpacklo16/unpackhi16 products give are already in
  // pixel order: low holds pixels 0-3, high 4-7.
  QNR_TARGET_SSE41 static void pixel_order(V low, V high, V& first, V& second) {
    first = low;
    second = high;
  }

  QNR_TARGET_SSE41 static D to_double(V v, int half) {
    return _mm_cvtepi32_pd(half == 0 ? v : _mm_unpackhi_epi64(v, v));
  }
  // Toward zero, staying in double: the same value as a round trip through int32
  // for every |v| < 2^31, the only values the colour rules meet.
  QNR_TARGET_SSE41 static D truncate_pd(D v) {
    return _mm_round_pd(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  }
  QNR_TARGET_SSE41 static Half truncate(D v) { return _mm_cvttpd_epi32(v); }
  QNR_TARGET_SSE41 static V join(Half low, Half high) { return _mm_unpacklo_epi64(low, high); }
  QNR_TARGET_SSE41 static D set_pd(double v) { return _mm_set1_pd(v); }
  QNR_TARGET_SSE41 static D add_pd(D a, D b) { return _mm_add_pd(a, b); }
  QNR_TARGET_SSE41 static D sub_pd(D a, D b) { return _mm_sub_pd(a, b); }
  QNR_TARGET_SSE41 static D mul_pd(D a, D b) { return _mm_mul_pd(a, b); }
};

#endif  // QNR_X86_SIMD
