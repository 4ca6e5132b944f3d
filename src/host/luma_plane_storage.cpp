#include "host/luma_plane_storage.h"

#include <climits>
#include <cstdlib>

bool allocate_luma_plane(FilterConfig* cfg, int32_t width, int32_t height) {
  if (width < 0 || height < 0) return false;
  const int64_t size = static_cast<int64_t>(width) * height;
  if (size > INT32_MAX) return false;
  // calloc(0) may legitimately return null; one byte keeps "no plane" unambiguous.
  cfg->luma_plane = static_cast<uint8_t*>(std::calloc(size > 0 ? static_cast<size_t>(size) : 1, 1));
  if (cfg->luma_plane == nullptr) return false;
  cfg->luma_size = static_cast<int32_t>(size);
  return true;
}

void free_luma_plane(FilterConfig* cfg) {
  std::free(cfg->luma_plane);
  cfg->luma_plane = nullptr;
}
