// The frame filter with SSE4.1: the shared vectorised body for this instruction set.
#include "core/simd_versions.h"

#if QNR_X86_SIMD
#include "core/isa_sse41.h"
#define QNR_BODY_TARGET QNR_TARGET_SSE41
#include "core/frame_filter_simd.h"

QNR_TARGET_SSE41_ENTRY void cpu_filter_frame_sse41(const CpuFilterArgs& args) {
  simd::filter_frame<Sse41>(args);
}

#endif  // QNR_X86_SIMD
