#include "core/frame_blocks.h"

#include <algorithm>
#include <cstring>

void frame_rows(const uint8_t* plane, int32_t width, int32_t rows, int32_t y, int32_t step,
                const uint8_t* starts[kLineRows]) {
  for (int32_t j = 0; j < kLineRows; ++j) {
    const int64_t row = static_cast<int64_t>(y) + static_cast<int64_t>(step) * (j - kLineReach);
    starts[j] = (row < 0 || row >= rows) ? nullptr : plane + row * width;
  }
}

void block_rows_in_window(const uint8_t* const starts[kLineRows], int32_t x0, int32_t block,
                          int32_t width, uint8_t* window, BlockRows& out) {
  const int32_t stride = block + 2 * kLineReach;
  const int64_t first_column = static_cast<int64_t>(x0) - kLineReach;
  const int64_t copy_from = std::max<int64_t>(first_column, 0);
  const int64_t copy_to = std::min<int64_t>(first_column + stride, width);
  for (int32_t j = 0; j < kLineRows; ++j) {
    uint8_t* row = window + static_cast<int64_t>(j) * stride;
    if (starts[j] == nullptr) {
      out.at[j] = nullptr;
      continue;
    }
    std::memset(row, 0, static_cast<size_t>(stride));
    if (copy_to > copy_from) {
      std::memcpy(row + (copy_from - first_column), starts[j] + copy_from,
                  static_cast<size_t>(copy_to - copy_from));
    }
    out.at[j] = row + kLineReach;
  }
}

LaneRange lanes_in_frame(int32_t x0, int32_t dx, int32_t block, int32_t width) {
  const int64_t column0 = static_cast<int64_t>(x0) + dx;  // column of lane 0
  const int64_t first = std::clamp<int64_t>(-column0, 0, block);
  const int64_t end = std::clamp<int64_t>(width - column0, 0, block);
  return {static_cast<int32_t>(first), static_cast<int32_t>(std::max(first, end))};
}
