#include "core/cpu_luma_plane.h"

#include "core/cpu_routines.h"

void cpu_luma_plane(const uint32_t* src, uint8_t* plane, size_t count) {
  active_cpu_routines().luma_plane(src, plane, count);
}
