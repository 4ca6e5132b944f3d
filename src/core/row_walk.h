// Host bitmaps may be bottom-up or top-down and may pad their rows. Every copy
// between a bitmap and a packed buffer walks the bitmap's rows in ascending
// address order: from the data pointer for a non-negative pitch, from
// data + (height - 1) x pitch for a negative one, |pitch| bytes per step.
#pragma once

#include <cstdint>
#include <cstring>

struct RowWalk {
  uint8_t* first;  // lowest-addressed row
  int64_t stride;  // |pitch|
};

// Byte offset from a bitmap's data pointer to its lowest-addressed row: for a
// negative pitch the data pointer holds the highest-addressed row.
inline int64_t lowest_row_offset(int64_t pitch, int32_t height) {
  return pitch < 0 && height > 0 ? static_cast<int64_t>(height - 1) * pitch : 0;
}

// Bytes from one row to the next in ascending address order, whichever way the
// bitmap runs.
inline int64_t row_stride(int64_t pitch) { return pitch < 0 ? -pitch : pitch; }

inline RowWalk row_walk(const void* data, int64_t pitch, int32_t height) {
  auto* base = static_cast<uint8_t*>(const_cast<void*>(data));
  return {base + lowest_row_offset(pitch, height), row_stride(pitch)};
}

// Copies height rows of row_bytes between two walks; padding is never touched.
inline void copy_rows(RowWalk to, RowWalk from, int32_t height, size_t row_bytes) {
  for (int32_t k = 0; k < height; ++k) {
    std::memcpy(to.first + k * to.stride, from.first + k * from.stride, row_bytes);
  }
}

// A packed buffer: rows of exactly row_bytes, from its start.
inline RowWalk packed_walk(void* data, size_t row_bytes) {
  return {static_cast<uint8_t*>(data), static_cast<int64_t>(row_bytes)};
}
