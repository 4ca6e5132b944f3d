// A launch of qnr_kernel<16,16> run on the CPU, bit for bit as the device runs
// it. Tests use it as the fake driver's kernel and as the reference the real
// kernel is compared with.
#pragma once

#include <cstdint>

#include "gpu/kernel_steps.h"

// Runs a grid of grid_x x grid_y blocks of 16 x 16 threads: in each block every
// thread fills its share of the tile, then every thread inside the frame writes
// its pixel. Pitches and images follow the kernel's launch contract.
void emulate_qnr_kernel(unsigned grid_x, unsigned grid_y, const uint8_t* src, uint64_t src_pitch,
                        uint8_t* dst, uint64_t dst_pitch, const KernelSettings& settings);
