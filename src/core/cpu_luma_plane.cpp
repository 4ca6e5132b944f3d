#include "core/cpu_luma_plane.h"

#include "core/color.h"
#include "core/simd_versions.h"

void cpu_luma_plane_plain(const uint32_t* src, uint8_t* plane, size_t count) {
  for (size_t i = 0; i < count; ++i) plane[i] = cpu_luma(src[i]);
}

CpuLumaPlaneFunction cpu_luma_plane_function(CpuVersion version) {
  if (!cpu_version_available(version)) return nullptr;
  switch (version) {
    case CpuVersion::plain: return cpu_luma_plane_plain;
#if QNR_X86_SIMD
    case CpuVersion::sse41: return cpu_luma_plane_sse41;
    case CpuVersion::avx2: return cpu_luma_plane_avx2;
    case CpuVersion::avx512: return cpu_luma_plane_avx512;
#else
    default: break;
#endif
  }
  return nullptr;
}

void cpu_luma_plane(const uint32_t* src, uint8_t* plane, size_t count) {
  cpu_luma_plane_function(active_cpu_version())(src, plane, count);
}
