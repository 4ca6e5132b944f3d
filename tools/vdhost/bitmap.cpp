#include "bitmap.h"

#include <algorithm>
#include <cstring>

#include "core/row_walk.h"

namespace vdhost {

Bitmap::Bitmap(int32_t width, int32_t height, int64_t pitch) {
  const int64_t stride = row_stride(pitch);
  const int64_t rows = std::max(height, 0);
  storage_.assign(static_cast<size_t>(std::max<int64_t>(stride * rows, 1)), kPaddingByte);
  // Pixels start zeroed; only the padding keeps the pattern.
  for (int64_t k = 0; k < rows; ++k) {
    std::memset(storage_.data() + k * stride, 0, static_cast<size_t>(std::max(width, 0)) * 4);
  }
  record_ = bitmap_view(storage_.data(), width, height, pitch);
}

uint32_t* Bitmap::row(int32_t k) {
  return reinterpret_cast<uint32_t*>(storage_.data() + k * row_stride(record_.pitch));
}

const uint32_t* Bitmap::row(int32_t k) const { return const_cast<Bitmap*>(this)->row(k); }

std::vector<uint32_t> Bitmap::packed() const {
  std::vector<uint32_t> out;
  out.reserve(static_cast<size_t>(std::max(width(), 0)) * std::max(height(), 0));
  for (int32_t k = 0; k < height(); ++k) out.insert(out.end(), row(k), row(k) + width());
  return out;
}

void Bitmap::fill_from_packed(std::span<const uint32_t> pixels) {
  for (int32_t k = 0; k < height(); ++k) {
    std::copy_n(pixels.begin() + int64_t{k} * width(), width(), row(k));
  }
}

bool Bitmap::padding_intact() const {
  const int64_t stride = row_stride(record_.pitch);
  const int64_t row_bytes = int64_t{std::max(width(), 0)} * 4;
  for (int32_t k = 0; k < height(); ++k) {
    const uint8_t* row_start = storage_.data() + k * stride;
    for (int64_t b = row_bytes; b < stride; ++b) {
      if (row_start[b] != kPaddingByte) return false;
    }
  }
  return true;
}

HostBitmap bitmap_view(void* lowest, int32_t width, int32_t height, int64_t pitch) {
  HostBitmap record{};
  record.data =
      reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(lowest) - lowest_row_offset(pitch, height));
  record.depth = 32;
  record.w = width;
  record.h = height;
  record.pitch = pitch;
  record.modulo = pitch - int64_t{width} * 4;
  record.size = row_stride(pitch) * std::max(height, 0);
  return record;
}

}  // namespace vdhost
