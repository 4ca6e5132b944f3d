// Fills a luma plane from packed BGRX words with cpu_luma, one byte per pixel.
#pragma once

#include <cstddef>
#include <cstdint>

// plane[i] = cpu_luma(src[i]) for i < count, with the active version.
void cpu_luma_plane(const uint32_t* src, uint8_t* plane, size_t count);

// The reference version, one pixel at a time.
void cpu_luma_plane_plain(const uint32_t* src, uint8_t* plane, size_t count);

using CpuLumaPlaneFunction = void (*)(const uint32_t* src, uint8_t* plane, size_t count);
