// The luma-plane fill with SSE4.1: the shared vectorised body for this instruction set.
#include "core/simd_versions.h"

#if QNR_X86_SIMD
#include "core/isa_sse41.h"
#define QNR_BODY_TARGET QNR_TARGET_SSE41
#include "core/luma_plane_simd.h"

QNR_TARGET_SSE41_ENTRY void cpu_luma_plane_sse41(const uint32_t* src, uint8_t* plane,
                                                 size_t count) {
  simd::fill_luma_plane<Sse41>(src, plane, count);
}

#endif  // QNR_X86_SIMD
