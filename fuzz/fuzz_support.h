// What the fuzz targets share: a failed check that stops the fuzzer with its
// input, and settings values as hosts, saved scripts and stray memory give them.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

namespace qnr_fuzz {

// A broken promise is a finding like a crash: libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}
inline void require(bool ok, const char* what) {
  if (!ok) fail(what);
}

// Mostly inside the range a dialog offers, often just outside, sometimes a
// value no dialog would ever give.
inline int32_t fuzzed_setting(FuzzedDataProvider& in, int32_t lo, int32_t hi) {
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: return in.ConsumeIntegralInRange(lo, hi);
    case 1: return in.ConsumeIntegralInRange(-1000, 1000);
    case 2: return in.PickValueInArray({kMin, kMin + 1, -65536, -1, 0, 1, 65536, kMax - 1, kMax});
    default: return in.ConsumeIntegral<int32_t>();
  }
}

// A frame's pixels: the pool's bytes over and over from `offset`, or where the
// input left none, a fixed pseudo-random picture.
inline std::vector<uint32_t> pixels_from(const std::vector<uint8_t>& pool, size_t offset,
                                         size_t count) {
  std::vector<uint32_t> pixels(count);
  uint32_t state = 0x9E3779B9u;
  for (size_t i = 0; i < count; ++i) {
    uint32_t word = 0;
    for (size_t b = 0; b < 4; ++b) {
      state = state * 1664525u + 1013904223u;
      const uint8_t byte = pool.empty() ? static_cast<uint8_t>(state >> 24)
                                        : pool[(offset + 4 * i + b) % pool.size()];
      word |= uint32_t{byte} << (8 * b);
    }
    pixels[i] = word;
  }
  return pixels;
}

}  // namespace qnr_fuzz
