// The reference luma-plane fill: one pixel at a time, by the luma rule itself.
#include "core/color.h"
#include "core/cpu_luma_plane.h"

void cpu_luma_plane_plain(const uint32_t* src, uint8_t* plane, size_t count) {
  for (size_t i = 0; i < count; ++i) plane[i] = cpu_luma(src[i]);
}
