#include "core/cpu_luma_plane.h"

#include "core/color.h"
#include "core/cpu_routines.h"

void cpu_luma_plane_plain(const uint32_t* src, uint8_t* plane, size_t count) {
  for (size_t i = 0; i < count; ++i) plane[i] = cpu_luma(src[i]);
}

CpuLumaPlaneFunction cpu_luma_plane_function(CpuVersion version) {
  const CpuRoutines* routines = cpu_routines_of(version);
  return routines != nullptr ? routines->luma_plane : nullptr;
}

void cpu_luma_plane(const uint32_t* src, uint8_t* plane, size_t count) {
  active_cpu_routines().luma_plane(src, plane, count);
}
