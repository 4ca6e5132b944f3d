// The frame filter with AVX-512: the shared vectorised body for this instruction set.
#include "core/simd_versions.h"

#if QNR_X86_SIMD
#include "core/isa_avx512.h"
#define QNR_BODY_TARGET QNR_TARGET_AVX512
#include "core/frame_filter_simd.h"

QNR_TARGET_AVX512_ENTRY void cpu_filter_frame_avx512(const CpuFilterArgs& args) {
  simd::filter_frame<Avx512>(args);
}

#endif  // QNR_X86_SIMD
