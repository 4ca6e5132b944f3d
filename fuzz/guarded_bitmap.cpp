#include "guarded_bitmap.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstring>

namespace qnr_fuzz {

GuardedBitmap::GuardedBitmap(int32_t width, int32_t height, int64_t pitch) {
  stride_ = pitch < 0 ? -pitch : pitch;
  row_bytes_ = static_cast<size_t>(width) * 4;
  const size_t span = height > 0 ? static_cast<size_t>(height - 1) * stride_ + row_bytes_ : 0;
  size_ = kGuard + span + kGuard;
  storage_.reset(new uint8_t[size_]);
  std::memset(storage_.get(), kPattern, size_);
  first_row_ = storage_.get() + kGuard;
  // The host's record: for top-down rows the data pointer is the highest row.
  const int64_t lowest_offset = pitch < 0 && height > 0 ? int64_t{height - 1} * pitch : 0;
  record_.data = reinterpret_cast<uint32_t*>(first_row_ - lowest_offset);
  record_.depth = 32;
  record_.w = width;
  record_.h = height;
  record_.pitch = pitch;
  record_.modulo = pitch - int64_t{width} * 4;
  record_.size = stride_ * height;
}

std::vector<uint32_t> GuardedBitmap::packed() const {
  std::vector<uint32_t> out(static_cast<size_t>(width()) * height());
  if (out.empty()) return out;
  for (int32_t k = 0; k < height(); ++k) {
    std::memcpy(out.data() + static_cast<size_t>(k) * width(), row(k), row_bytes_);
  }
  return out;
}

void GuardedBitmap::fill(const std::vector<uint32_t>& pixels) {
  if (pixels.empty()) return;
  for (int32_t k = 0; k < height(); ++k) {
    std::memcpy(first_row_ + k * stride_, pixels.data() + static_cast<size_t>(k) * width(),
                row_bytes_);
  }
}

// Calls visit(start, length) for the front guard, each row's padding and the
// back guard.
template <class Visit> void GuardedBitmap::for_each_gap(Visit visit) const {
  uint8_t* base = storage_.get();
  visit(base, kGuard);
  for (int32_t k = 0; k + 1 < height(); ++k) {
    visit(first_row_ + k * stride_ + row_bytes_, static_cast<size_t>(stride_) - row_bytes_);
  }
  visit(base + size_ - kGuard, kGuard);
}

void GuardedBitmap::raise_fence() {
  if (fenced_) return;
  for_each_gap([](uint8_t* p, size_t n) {
    if (n > 0) ASAN_POISON_MEMORY_REGION(p, n);
  });
  fenced_ = true;
}

void GuardedBitmap::lower_fence() {
  if (!fenced_) return;
  ASAN_UNPOISON_MEMORY_REGION(storage_.get(), size_);
  fenced_ = false;
}

bool GuardedBitmap::intact() const {
  bool ok = true;
  for_each_gap([&ok](const uint8_t* p, size_t n) {
    ok = ok && std::all_of(p, p + n, [](uint8_t b) { return b == kPattern; });
  });
  return ok;
}

}  // namespace qnr_fuzz
