// A host bitmap in its own allocation, fenced the checkasm way: guard bytes
// before and after it and every row's padding hold a pattern, and while the
// fence is up AddressSanitizer refuses any access to them (as far as its
// 8-byte granules allow). A filter that reads or writes outside the pixels
// stops the fuzzer at once; one that writes there and slips past the poison
// still shows in intact().
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "host/host_api.h"

namespace qnr_fuzz {

class GuardedBitmap {
 public:
  static constexpr size_t kGuard = 64;
  static constexpr uint8_t kPattern = 0xA5;

  // |pitch| >= 4 x width; a negative pitch gives top-down rows. The last row
  // ends the bitmap: no padding after it, the guard follows at once.
  GuardedBitmap(int32_t width, int32_t height, int64_t pitch);
  ~GuardedBitmap() { lower_fence(); }
  GuardedBitmap(const GuardedBitmap&) = delete;
  GuardedBitmap& operator=(const GuardedBitmap&) = delete;

  HostBitmap& record() { return record_; }
  int32_t width() const { return record_.w; }
  int32_t height() const { return record_.h; }

  // Pixels in ascending address order, width x height words.
  std::vector<uint32_t> packed() const;
  void fill(const std::vector<uint32_t>& pixels);

  void raise_fence();
  void lower_fence();
  // True when the guards and every row's padding still hold the pattern.
  bool intact() const;
  // Every byte of the allocation, for a check that nothing changed at all.
  std::vector<uint8_t> bytes() const { return {storage_.get(), storage_.get() + size_}; }

 private:
  const uint8_t* row(int32_t k) const { return first_row_ + k * stride_; }
  template <class Visit> void for_each_gap(Visit visit) const;

  std::unique_ptr<uint8_t[]> storage_;
  size_t size_ = 0;
  uint8_t* first_row_ = nullptr;
  int64_t stride_ = 0;
  size_t row_bytes_ = 0;
  bool fenced_ = false;
  HostBitmap record_{};
};

}  // namespace qnr_fuzz
