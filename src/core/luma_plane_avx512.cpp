// The luma-plane fill with AVX-512: the shared vectorised body for this instruction set.
#include "core/simd_versions.h"

#if QNR_X86_SIMD
#include "core/isa_avx512.h"
#define QNR_BODY_TARGET QNR_TARGET_AVX512
#include "core/luma_plane_simd.h"

QNR_TARGET_AVX512_ENTRY void cpu_luma_plane_avx512(const uint32_t* src, uint8_t* plane,
                                                   size_t count) {
  simd::fill_luma_plane<Avx512>(src, plane, count);
}

#endif  // QNR_X86_SIMD
