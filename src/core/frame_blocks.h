// The walk of the vectorised frame filters: a frame row is cut into blocks of
// consecutive pixels, and each block reads its samples as whole vectors from
// the 13 rows that its lines pass through. Interior blocks read the luma plane
// directly. A block near the left or right edge reads a small copy of its
// columns instead, so no vector load leaves the plane, and takes a sample
// whose column lies outside the frame as the centre's luma, lane by lane.
// A row outside the frame gives the centre's luma for the whole vector.
#pragma once

#include <cstdint>

inline constexpr int32_t kLineReach = 6;                  // samples on either side
inline constexpr int32_t kLineRows = 2 * kLineReach + 1;  // rows a block's lines touch

// The 13 rows y + step * (j - 6), j = 0..12, at the block's first column; null
// where the row lies outside the frame.
struct BlockRows {
  const uint8_t* at[kLineRows];
};

// Start of each of the 13 rows through row y, or null outside the frame.
void frame_rows(const uint8_t* plane, int32_t width, int32_t rows, int32_t y, int32_t step,
                const uint8_t* starts[kLineRows]);

// True when every sample of the block's pixels lies in the frame's columns.
inline bool block_is_interior(int32_t x0, int32_t block, int32_t width) {
  return x0 >= kLineReach && static_cast<int64_t>(x0) + block + kLineReach <= width;
}

// Bytes a window needs for blocks of `block` pixels.
inline constexpr int32_t edge_window_size(int32_t block) {
  return kLineRows * (block + 2 * kLineReach);
}

// Copies the columns x0 - 6 .. x0 + block + 5 of each present row into
// `window` (row stride block + 12), zero where a column lies outside the frame,
// and points `out` at column x0 of each copied row.
void block_rows_in_window(const uint8_t* const starts[kLineRows], int32_t x0, int32_t block,
                          int32_t width, uint8_t* window, BlockRows& out);

// The lanes i (0 <= i < block) of a block at x0 whose column x0 + i + dx lies
// in the frame form the range first <= i < end.
struct LaneRange {
  int32_t first;
  int32_t end;
};
LaneRange lanes_in_frame(int32_t x0, int32_t dx, int32_t block, int32_t width);
