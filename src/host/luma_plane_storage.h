// Storage of the instance's luma plane (width x height bytes, row stride = width),
// allocated at start and freed at end; core/cpu_luma_plane fills it per frame.
#pragma once

#include "host/filter_config.h"

// Allocates a zero-filled plane for width x height and records its size. False,
// with no plane, for a negative size, one whose byte count does not fit an
// int32, or when memory is short; luma_size is then left as it was.
bool allocate_luma_plane(FilterConfig* cfg, int32_t width, int32_t height);

void free_luma_plane(FilterConfig* cfg);
