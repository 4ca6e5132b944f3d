// The luma-plane fill with SSE4.1, AVX2 and AVX-512; the last few pixels take the
// plain rule.
#include "core/simd_versions.h"

#if QNR_X86_SIMD
#include "core/simd_intrinsics.h"

#include "core/color.h"
#include "core/color_avx2.h"
#include "core/color_avx512.h"
#include "core/color_sse41.h"

QNR_TARGET_SSE41_ENTRY void cpu_luma_plane_sse41(const uint32_t* src, uint8_t* plane, size_t count) {
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m128i first = sse41::luma4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
    const __m128i second =
        sse41::luma4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 4)));
    const __m128i words = _mm_packus_epi32(first, second);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(plane + i), _mm_packus_epi16(words, words));
  }
  for (; i < count; ++i) plane[i] = cpu_luma(src[i]);
}

QNR_TARGET_AVX2_ENTRY void cpu_luma_plane_avx2(const uint32_t* src, uint8_t* plane, size_t count) {
  size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m256i first = avx2::luma8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i)));
    const __m256i second =
        avx2::luma8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 8)));
    // Lanes 0..255: packing with saturation keeps them; the cross-lane order of
    // the packs is undone by the final permute.
    const __m256i words = _mm256_permute4x64_epi64(_mm256_packus_epi32(first, second), 0xD8);
    const __m128i bytes = _mm_packus_epi16(_mm256_castsi256_si128(words),
                                           _mm256_extracti128_si256(words, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(plane + i), bytes);
  }
  for (; i < count; ++i) plane[i] = cpu_luma(src[i]);
}

QNR_TARGET_AVX512_ENTRY void cpu_luma_plane_avx512(const uint32_t* src, uint8_t* plane,
                                                   size_t count) {
  size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m512i luma = avx512::luma16(_mm512_loadu_si512(static_cast<const void*>(src + i)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(plane + i), _mm512_cvtepi32_epi8(luma));
  }
  for (; i < count; ++i) plane[i] = cpu_luma(src[i]);
}

#endif  // QNR_X86_SIMD
