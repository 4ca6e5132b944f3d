#include "gpu/kernel_emulation.h"

void emulate_qnr_kernel(unsigned grid_x, unsigned grid_y, const uint8_t* src, uint64_t src_pitch,
                        uint8_t* dst, uint64_t dst_pitch, const KernelSettings& s) {
  constexpr int bw = kBlockWidth, bh = kBlockHeight;
  uint8_t tile[TileShape<bw, bh>::size];
  for (unsigned by = 0; by < grid_y; ++by) {
    for (unsigned bx = 0; bx < grid_x; ++bx) {
      // Before the barrier: all 256 threads fill the tile.
      for (int ty = 0; ty < bh; ++ty) {
        for (int tx = 0; tx < bw; ++tx) {
          fill_tile<bw, bh>(tile, src, src_pitch, s.width, s.height, static_cast<int>(bx),
                            static_cast<int>(by), tx, ty);
        }
      }
      // After it: each thread inside the frame writes its pixel.
      for (int ty = 0; ty < bh; ++ty) {
        for (int tx = 0; tx < bw; ++tx) {
          const int x = bw * static_cast<int>(bx) + tx;
          const int y = bh * static_cast<int>(by) + ty;
          if (x >= s.width || y >= s.height) continue;
          store_word(dst + pixel_offset(x, y, dst_pitch),
                     pixel_output<bw, bh>(tile, src, src_pitch, x, y, tx, ty, s));
        }
      }
    }
  }
}
