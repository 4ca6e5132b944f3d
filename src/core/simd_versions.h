// The optimised versions of the CPU routines. They exist only where
// simd_target.h reports QNR_X86_SIMD, and may be called only when
// cpu_version_available() says the CPU can run them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd_target.h"

struct CpuFilterArgs;

#if QNR_X86_SIMD
void cpu_filter_frame_sse41(const CpuFilterArgs& args);
void cpu_filter_frame_avx2(const CpuFilterArgs& args);
void cpu_filter_frame_avx512(const CpuFilterArgs& args);
void cpu_luma_plane_sse41(const uint32_t* src, uint8_t* plane, size_t count);
void cpu_luma_plane_avx2(const uint32_t* src, uint8_t* plane, size_t count);
void cpu_luma_plane_avx512(const uint32_t* src, uint8_t* plane, size_t count);
#endif
