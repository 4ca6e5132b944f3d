// Frame buffers in a host's layout: bottom-up or top-down rows, padded or not.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "host/host_api.h"

namespace vdhost {

// A frame buffer that owns its storage; |pitch| >= 4 x width, and a negative
// pitch describes a top-down buffer whose data pointer is the
// highest-addressed row. Padding bytes are filled with kPaddingByte so a test
// can see that nobody touched them.
class Bitmap {
 public:
  static constexpr uint8_t kPaddingByte = 0xA5;
  Bitmap(int32_t width, int32_t height, int64_t pitch);
  Bitmap(int32_t width, int32_t height) : Bitmap(width, height, int64_t{width} * 4) {}

  HostBitmap& record() { return record_; }
  int32_t width() const { return record_.w; }
  int32_t height() const { return record_.h; }
  int64_t pitch() const { return record_.pitch; }

  // Row k in ascending address order (row 0 is the lowest-addressed one).
  uint32_t* row(int32_t k);
  const uint32_t* row(int32_t k) const;
  uint32_t& at(int32_t x, int32_t k) { return row(k)[x]; }
  uint32_t at(int32_t x, int32_t k) const { return row(k)[x]; }

  // The pixels in ascending address order, width x height words, no padding.
  std::vector<uint32_t> packed() const;
  void fill_from_packed(std::span<const uint32_t> pixels);
  // True when every padding byte still holds kPaddingByte.
  bool padding_intact() const;

 private:
  std::vector<uint8_t> storage_;
  HostBitmap record_{};
};

// A bitmap record over memory the caller owns, in the host's layout: `lowest`
// is the lowest-addressed row, `pitch` is positive for bottom-up rows (the
// lowest address holds the bottom row) and negative for top-down ones.
HostBitmap bitmap_view(void* lowest, int32_t width, int32_t height, int64_t pitch);

}  // namespace vdhost
