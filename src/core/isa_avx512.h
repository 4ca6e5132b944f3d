// The AVX-512 (F and BW) operations that the vectorised filter and colour rules
// are written in (frame_filter_simd.h, color_simd.h): 512-bit registers, 32
// pixels per block, with mask registers for the edge lanes and the decisions.
#pragma once

#include "core/simd_target.h"

#if QNR_X86_SIMD
#include "core/simd_intrinsics.h"

#include <array>
#include <cstdint>

namespace avx512_tables {
// The int32 sums of in-lane 16-bit unpacks back in pixel order: entry i of the
// first table is pixel i, of the second pixel 16 + i; indices 0..15 pick the
// low sum, 16..31 the high one.
constexpr std::array<int32_t, 16> pixel_index(int32_t first_pixel) {
  std::array<int32_t, 16> index{};
  for (int32_t i = 0; i < 16; ++i) {
    const int32_t p = first_pixel + i, lane = p / 8, r = p % 8;
    index[static_cast<size_t>(i)] = r < 4 ? 4 * lane + r : 16 + 4 * lane + (r - 4);
  }
  return index;
}
inline constexpr std::array<int32_t, 16> kFirstHalf = pixel_index(0);
inline constexpr std::array<int32_t, 16> kSecondHalf = pixel_index(16);
}  // namespace avx512_tables

struct Avx512 {
  using V = __m512i;                     // 32 x int16 (one block's samples) or 16 x int32
  using Half = __m256i;                  // 8 x int32: the words of V that one D holds
  using D = __m512d;                     // 8 doubles
  using LaneMask = __mmask32;            // one bit per 16-bit lane
  static constexpr int32_t kBlock = 32;  // pixels per block: 16-bit lanes of V

  QNR_TARGET_AVX512 static V zero() { return _mm512_setzero_si512(); }
  QNR_TARGET_AVX512 static V set16(int16_t v) { return _mm512_set1_epi16(v); }
  QNR_TARGET_AVX512 static V set32(int32_t v) { return _mm512_set1_epi32(v); }
  QNR_TARGET_AVX512 static V bit_and(V a, V b) { return _mm512_and_si512(a, b); }
  QNR_TARGET_AVX512 static V bit_or(V a, V b) { return _mm512_or_si512(a, b); }

  QNR_TARGET_AVX512 static V add16(V a, V b) { return _mm512_add_epi16(a, b); }
  QNR_TARGET_AVX512 static V sub16(V a, V b) { return _mm512_sub_epi16(a, b); }
  QNR_TARGET_AVX512 static V abs16(V a) { return _mm512_abs_epi16(a); }
  QNR_TARGET_AVX512 static V mullo16(V a, V b) { return _mm512_mullo_epi16(a, b); }
  QNR_TARGET_AVX512 static V madd16(V a, V b) { return _mm512_madd_epi16(a, b); }
  QNR_TARGET_AVX512 static V unpacklo16(V a, V b) { return _mm512_unpacklo_epi16(a, b); }
  QNR_TARGET_AVX512 static V unpackhi16(V a, V b) { return _mm512_unpackhi_epi16(a, b); }
  QNR_TARGET_AVX512 static V unpacklo8(V a, V b) { return _mm512_unpacklo_epi8(a, b); }
  QNR_TARGET_AVX512 static V unpackhi8(V a, V b) { return _mm512_unpackhi_epi8(a, b); }
  QNR_TARGET_AVX512 static V packus16(V a, V b) { return _mm512_packus_epi16(a, b); }

  QNR_TARGET_AVX512 static V add32(V a, V b) { return _mm512_add_epi32(a, b); }
  QNR_TARGET_AVX512 static V sub32(V a, V b) { return _mm512_sub_epi32(a, b); }
  QNR_TARGET_AVX512 static V mullo32(V a, V b) { return _mm512_mullo_epi32(a, b); }
  QNR_TARGET_AVX512 static V abs32(V a) { return _mm512_abs_epi32(a); }
  QNR_TARGET_AVX512 static V min32(V a, V b) { return _mm512_min_epi32(a, b); }
  QNR_TARGET_AVX512 static V max32(V a, V b) { return _mm512_max_epi32(a, b); }
  template <int n> QNR_TARGET_AVX512 static V shl32(V a) { return _mm512_slli_epi32(a, n); }
  template <int n> QNR_TARGET_AVX512 static V shr32(V a) { return _mm512_srli_epi32(a, n); }
  template <int n> QNR_TARGET_AVX512 static V sar32(V a) { return _mm512_srai_epi32(a, n); }
  // Lanes where a > b take product >> 5 (arithmetic), the others keep `otherwise`:
  // one masked shift.
  QNR_TARGET_AVX512 static V select_gt32_sar5(V a, V b, V otherwise, V product) {
    return _mm512_mask_srai_epi32(otherwise, _mm512_cmpgt_epi32_mask(a, b), product, 5);
  }
  // Lanes `first <= i < end` of the 16-bit lanes.
  QNR_TARGET_AVX512 static LaneMask lanes16(int32_t first, int32_t end) {
    const uint64_t below_end = (uint64_t{1} << end) - 1;
    const uint64_t below_first = (uint64_t{1} << first) - 1;
    return static_cast<__mmask32>(below_end & ~below_first);
  }
  QNR_TARGET_AVX512 static V select16(LaneMask inside, V outside, V in) {
    return _mm512_mask_blend_epi16(inside, outside, in);
  }

  // The block's 32 luma bytes as 16-bit lanes.
  QNR_TARGET_AVX512 static V load_luma(const uint8_t* p) {
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
  }
  QNR_TARGET_AVX512 static V load_words(const uint32_t* p) {
    return _mm512_loadu_si512(static_cast<const void*>(p));
  }
  QNR_TARGET_AVX512 static void store_words(uint32_t* p, V v) {
    _mm512_storeu_si512(static_cast<void*>(p), v);
  }
  // Stores 32 int32 lanes 0..255 (first then second) as 32 bytes.
  QNR_TARGET_AVX512 static void store_bytes(uint8_t* p, V first, V second) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm512_cvtepi32_epi8(first));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), _mm512_cvtepi32_epi8(second));
  }
  // The int32 sums that unpacklo16/unpackhi16 products give, back in pixel
  // order: in 128-bit lane L the low sum holds pixels 8L..8L+3 and the high
  // sum 8L+4..8L+7.
  QNR_TARGET_AVX512 static void pixel_order(V low, V high, V& first, V& second) {
    first =
        _mm512_permutex2var_epi32(low, _mm512_loadu_si512(avx512_tables::kFirstHalf.data()), high);
    second =
        _mm512_permutex2var_epi32(low, _mm512_loadu_si512(avx512_tables::kSecondHalf.data()), high);
  }

  QNR_TARGET_AVX512 static D to_double(V v, int half) {
    return _mm512_cvtepi32_pd(half == 0 ? _mm512_castsi512_si256(v)
                                        : _mm512_extracti64x4_epi64(v, 1));
  }
  // Toward zero, staying in double: the same value as a round trip through int32
  // for every |v| < 2^31, the only values the colour rules meet.
  QNR_TARGET_AVX512 static D truncate_pd(D v) {
    return _mm512_roundscale_pd(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  }
  QNR_TARGET_AVX512 static Half truncate(D v) { return _mm512_cvttpd_epi32(v); }
  QNR_TARGET_AVX512 static V join(Half low, Half high) {
    return _mm512_inserti64x4(_mm512_castsi256_si512(low), high, 1);
  }
  QNR_TARGET_AVX512 static D set_pd(double v) { return _mm512_set1_pd(v); }
  QNR_TARGET_AVX512 static D add_pd(D a, D b) { return _mm512_add_pd(a, b); }
  QNR_TARGET_AVX512 static D sub_pd(D a, D b) { return _mm512_sub_pd(a, b); }
  QNR_TARGET_AVX512 static D mul_pd(D a, D b) { return _mm512_mul_pd(a, b); }
};

#endif  // QNR_X86_SIMD
