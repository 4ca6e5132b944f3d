// The GPU kernel: one launch filters a whole frame. Each BW x BH block fills a
// shared luma tile, waits once, and then every thread whose pixel lies inside the
// frame analyses and rebuilds that pixel. The steps themselves live in
// gpu/kernel_steps.h, shared with the CPU emulation of a launch.
#include "gpu/kernel_steps.h"

template <int BW, int BH>
__global__ void qnr_kernel(const uint8_t* __restrict__ src, unsigned long long srcPitch,
                           uint8_t* __restrict__ dst, unsigned long long dstPitch, int width,
                           int height, int f1, int f2, int sharp, int interlace, int showNoise) {
  __shared__ uint8_t shY[TileShape<BW, BH>::size];
  const int tx = static_cast<int>(threadIdx.x);
  const int ty = static_cast<int>(threadIdx.y);
  const int bx = static_cast<int>(blockIdx.x);
  const int by = static_cast<int>(blockIdx.y);
  const int x = BW * bx + tx;
  const int y = BH * by + ty;

  // Threads beyond the frame fill their share of the tile too.
  fill_tile<BW, BH>(shY, src, srcPitch, width, height, bx, by, tx, ty);
  __syncthreads();
  if (x >= width || y >= height) return;

  const KernelSettings settings{width, height, f1, f2, sharp, interlace, showNoise};
  store_word(dst + pixel_offset(x, y, dstPitch),
             pixel_output<BW, BH>(shY, src, srcPitch, x, y, tx, ty, settings));
}

template __global__ void qnr_kernel<kBlockWidth, kBlockHeight>(const uint8_t* __restrict__,
                                                               unsigned long long,
                                                               uint8_t* __restrict__,
                                                               unsigned long long, int, int, int,
                                                               int, int, int, int);
