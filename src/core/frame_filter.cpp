#include "core/frame_filter.h"

#include "core/simd_versions.h"

CpuFilterFunction cpu_filter_function(CpuVersion version) {
  if (!cpu_version_available(version)) return nullptr;
  switch (version) {
    case CpuVersion::plain: return cpu_filter_frame_plain;
#if QNR_X86_SIMD
    case CpuVersion::sse41: return cpu_filter_frame_sse41;
    case CpuVersion::avx2: return cpu_filter_frame_avx2;
    case CpuVersion::avx512: return cpu_filter_frame_avx512;
#else
    default: break;
#endif
  }
  return nullptr;
}

bool cpu_filter_frame_version(CpuVersion version, const CpuFilterArgs& args) {
  const CpuFilterFunction filter = cpu_filter_function(version);
  if (filter == nullptr) return false;
  filter(args);
  return true;
}

void cpu_filter_frame(const CpuFilterArgs& args) { cpu_filter_function(active_cpu_version())(args); }
