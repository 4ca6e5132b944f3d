// The per-thread steps of the GPU kernel, callable from device code and from the
// host. The kernel in qnr_cuda.cu and the CPU emulation of a launch
// (kernel_emulation.cpp) are both built from these functions, so the emulation
// gives the device's bits.
//
// A block of BW x BH threads owns BW x BH pixels. Its threads first fill a luma
// tile that holds every sample their pixels need (the block plus 6 columns left
// and right, 12 rows above and below, coordinates clamped into the frame), wait
// for each other, then each thread analyses its own pixel on the tile and
// rebuilds it in single precision.
//
// Floating point: every product and sum names its rounding. On the device the
// round-to-nearest intrinsics keep the compiler from fusing or reordering; on the
// host a float multiply (the build never contracts) and std::fmaf give the same
// single roundings.
#pragma once

#include <cstdint>

#include "core/analysis.h"

#if !defined(__CUDA_ARCH__)
#include <cmath>
#include <cstring>
#endif

inline constexpr int kBlockWidth = 16;
inline constexpr int kBlockHeight = 16;
inline constexpr int kTileMarginX = 6;   // 6 samples at column step 1
inline constexpr int kTileMarginY = 12;  // 6 samples at row step 2 (interlace)

template <int BW, int BH> struct TileShape {
  static constexpr int cols = BW + 2 * kTileMarginX;
  static constexpr int rows = BH + 2 * kTileMarginY;
  static constexpr int size = rows * cols;
};

// The settings of one launch, as the kernel receives them.
struct KernelSettings {
  int32_t width;
  int32_t height;
  int32_t f1;
  int32_t f2;
  int32_t sharp;
  int32_t interlace;
  int32_t show_noise;
};

QNR_HOST_DEVICE int clampi(int v, int lo, int hi) {
  if (v < lo) return lo;
  return v < hi ? v : hi;
}

QNR_HOST_DEVICE int clip8(int v) {
  v = v < 0 ? 0 : v;
  return v > 255 ? 255 : v;
}

// Integer luma with weights summing to 256, rounded to nearest.
QNR_HOST_DEVICE uint32_t luma_from_bgrx(uint32_t p) {
  const uint32_t blue = p & 0xFFu, green = (p >> 8) & 0xFFu, red = (p >> 16) & 0xFFu;
  return (29u * blue + 150u * green + 77u * red + 128u) >> 8;
}

// The 32-bit word at p (4-byte aligned on the device).
QNR_HOST_DEVICE uint32_t load_word(const uint8_t* p) {
#if defined(__CUDA_ARCH__)
  return *reinterpret_cast<const uint32_t*>(p);
#else
  uint32_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
#endif
}

QNR_HOST_DEVICE void store_word(uint8_t* p, uint32_t word) {
#if defined(__CUDA_ARCH__)
  *reinterpret_cast<uint32_t*>(p) = word;
#else
  std::memcpy(p, &word, sizeof word);
#endif
}

// Pixel (x, y) of a pitched image, addressed in 64 bits.
QNR_HOST_DEVICE uint64_t pixel_offset(int x, int y, uint64_t pitch) {
  return static_cast<uint64_t>(y) * pitch + 4u * static_cast<uint64_t>(x);
}

// Single-precision operations with exactly one rounding each.
QNR_HOST_DEVICE float mul_rn(float a, float b) {
#if defined(__CUDA_ARCH__)
  return __fmul_rn(a, b);
#else
  return a * b;
#endif
}
QNR_HOST_DEVICE float fma_rn(float a, float b, float c) {
#if defined(__CUDA_ARCH__)
  return __fmaf_rn(a, b, c);
#else
  return std::fmaf(a, b, c);
#endif
}
QNR_HOST_DEVICE float add_rn(float a, float b) {
#if defined(__CUDA_ARCH__)
  return __fadd_rn(a, b);
#else
  return a + b;
#endif
}
QNR_HOST_DEVICE float sub_rn(float a, float b) {
#if defined(__CUDA_ARCH__)
  return __fsub_rn(a, b);
#else
  return a - b;
#endif
}

// Luma of tile element (r, c) of block (bx, by): the frame pixel at column
// BW bx - 6 + c and row BH by - 12 + r, each clamped into the frame, so samples
// beyond an edge repeat the edge pixel.
template <int BW, int BH>
QNR_HOST_DEVICE uint8_t tile_element(const uint8_t* src, uint64_t src_pitch, int width, int height,
                                     int bx, int by, int r, int c) {
  const int gy = clampi(BH * by - kTileMarginY + r, 0, height - 1);
  const int gx = clampi(BW * bx - kTileMarginX + c, 0, width - 1);
  return static_cast<uint8_t>(luma_from_bgrx(load_word(src + pixel_offset(gx, gy, src_pitch))));
}

// The share of the tile that thread (tx, ty) fills: rows ty, ty + BH, ... and
// columns tx, tx + BW, ... inside the tile. Together the block's threads write
// every element exactly once.
template <int BW, int BH>
QNR_HOST_DEVICE void fill_tile(uint8_t* tile, const uint8_t* src, uint64_t src_pitch, int width,
                               int height, int bx, int by, int tx, int ty) {
  using Shape = TileShape<BW, BH>;
  for (int r = ty; r < Shape::rows; r += BH) {
    for (int c = tx; c < Shape::cols; c += BW) {
      tile[Shape::cols * r + c] = tile_element<BW, BH>(src, src_pitch, width, height, bx, by, r, c);
    }
  }
}

// Tile element (r, c), each index held inside the tile.
template <int BW, int BH> QNR_HOST_DEVICE int32_t tile_sample(const uint8_t* tile, int r, int c) {
  using Shape = TileShape<BW, BH>;
  return tile[Shape::cols * clampi(r, 0, Shape::rows - 1) + clampi(c, 0, Shape::cols - 1)];
}

// The luma correction D of thread (tx, ty)'s pixel from the 49 tile samples
// around it: the centre and six pairs on each of the four lines, the lines
// other than the horizontal stepping `step` rows per sample.
template <int BW, int BH>
QNR_HOST_DEVICE int32_t correction_from_tile(const uint8_t* tile, int tx, int ty, int step,
                                             const AnalysisConstants& constants) {
  const int r0 = ty + kTileMarginY;
  const int c0 = tx + kTileMarginX;
  const int32_t g = tile_sample<BW, BH>(tile, r0, c0);
  int32_t horizontal[6], vertical[6], falling[6], rising[6];
#if defined(__CUDA_ARCH__)
#pragma unroll
#endif
  for (int k = 1; k <= 6; ++k) {
    const int dy = k * step;
    horizontal[k - 1] =
        tile_sample<BW, BH>(tile, r0, c0 - k) + tile_sample<BW, BH>(tile, r0, c0 + k);
    vertical[k - 1] =
        tile_sample<BW, BH>(tile, r0 - dy, c0) + tile_sample<BW, BH>(tile, r0 + dy, c0);
    falling[k - 1] =
        tile_sample<BW, BH>(tile, r0 - dy, c0 - k) + tile_sample<BW, BH>(tile, r0 + dy, c0 + k);
    rising[k - 1] =
        tile_sample<BW, BH>(tile, r0 + dy, c0 - k) + tile_sample<BW, BH>(tile, r0 - dy, c0 + k);
  }
  return correction_from_lines(g, horizontal, vertical, falling, rising, constants);
}

// Rebuilds a BGRX pixel with its luma lowered by d, in single precision: each
// value is its first product, then two terms added by fused multiply-adds. Luma
// and colour differences stay fractional, so d = 0 gives the input back.
QNR_HOST_DEVICE uint32_t colour_step(uint32_t input, int32_t d, int32_t show_noise) {
  const int in_blue = static_cast<int>(input & 0xFFu);
  const int in_green = static_cast<int>((input >> 8) & 0xFFu);
  const int in_red = static_cast<int>((input >> 16) & 0xFFu);
  const float blue = static_cast<float>(in_blue);
  const float green = static_cast<float>(in_green);
  const float red = static_cast<float>(in_red);

  const float y = fma_rn(0.114f, blue, fma_rn(0.587f, green, mul_rn(0.299f, red)));
  const float u = fma_rn(0.436f, blue, fma_rn(-0.147f, red, mul_rn(-0.289f, green)));
  const float v = fma_rn(0.1f, blue, fma_rn(0.615f, red, mul_rn(-0.515f, green)));
  const float y_corrected = sub_rn(y, static_cast<float>(d));

  const float red_out = fma_rn(1.14f, v, fma_rn(0.772f, y_corrected, mul_rn(-0.4633f, u)));
  const float green_out = fma_rn(-0.5806f, v, fma_rn(1.1161f, y_corrected, mul_rn(-0.1587f, u)));
  const float blue_out = fma_rn(-0.0005f, v, fma_rn(2.0322f, u, mul_rn(1.0001f, y_corrected)));

  // |d| < 2^15, so every channel value lies far inside the int range.
  int out_red = clip8(static_cast<int>(add_rn(red_out, 0.5f)));
  int out_green = clip8(static_cast<int>(add_rn(green_out, 0.5f)));
  int out_blue = clip8(static_cast<int>(add_rn(blue_out, 0.5f)));
  if (show_noise != 0) {
    out_red = clip8(127 + 5 * (in_red - out_red));
    out_green = clip8(127 + 5 * (in_green - out_green));
    out_blue = clip8(127 + 5 * (in_blue - out_blue));
  }
  return static_cast<uint32_t>(out_blue) | static_cast<uint32_t>(out_green) << 8 |
         static_cast<uint32_t>(out_red) << 16;
}

// The output word of thread (tx, ty) of block (bx, by), once the tile is full.
// The caller has checked that the pixel lies inside the frame.
template <int BW, int BH>
QNR_HOST_DEVICE uint32_t pixel_output(const uint8_t* tile, const uint8_t* src, uint64_t src_pitch,
                                      int x, int y, int tx, int ty, const KernelSettings& s) {
  const uint32_t input = load_word(src + pixel_offset(x, y, src_pitch));
  const int step = s.interlace != 0 ? 2 : 1;
  const AnalysisConstants constants = analysis_constants(s.f1, s.f2, s.sharp);
  const int32_t d = correction_from_tile<BW, BH>(tile, tx, ty, step, constants);
  return colour_step(input, d, s.show_noise);
}
