// The frame filter with AVX2: the shared vectorised body for this instruction set.
#include "core/simd_versions.h"

#if QNR_X86_SIMD
#include "core/isa_avx2.h"
#define QNR_BODY_TARGET QNR_TARGET_AVX2
#include "core/frame_filter_simd.h"

QNR_TARGET_AVX2_ENTRY void cpu_filter_frame_avx2(const CpuFilterArgs& args) {
  simd::filter_frame<Avx2>(args);
}

#endif  // QNR_X86_SIMD
