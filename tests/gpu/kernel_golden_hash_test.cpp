// The kernel's CPU emulation pinned to fixed hashes on the plain filter's
// golden frames and settings (tests/core/golden_hash_test.cpp). The real kernel
// is checked against the emulation only where a GPU exists, so a change in the
// device code that the emulation shares (tile fill, edge sampling, the
// single-precision colour step) would otherwise pass unnoticed everywhere else.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "frames.h"
#include "support/golden.h"
#include "support/hash.h"

namespace {

using testing_frames::fnv1a64;
using testing_frames::GoldenCase;

const GoldenCase kCases[] = {
    {"defaults", 67, 41, true, 1, {70, 70, 2, 0, 0}, 0x4fa91af67d3fe035u},
    {"defaults, random", 67, 41, false, 2, {70, 70, 2, 0, 0}, 0x60cd1561fbb6f23bu},
    {"levels zero, sharp 6", 40, 29, true, 3, {0, 0, 6, 0, 0}, 0x53ba3e338384ab2eu},
    {"dialog limits", 53, 17, false, 4, {100, 100, 6, 0, 0}, 0x83dc95941ab09578u},
    {"interlace", 67, 41, true, 5, {70, 70, 2, 1, 0}, 0xcb45197936a3ad4fu},
    {"show noise", 67, 41, true, 6, {70, 70, 2, 0, 1}, 0xcff42ed737a374c9u},
    {"interlace and show noise", 35, 30, false, 7, {40, 90, 3, 2, 1}, 0x35dfe70992806c1du},
    {"extremes", 45, 19, false, 8, {INT_MIN, INT_MAX, INT_MIN, 0, 0}, 0x51ddd13d865d446fu},
    {"wrapping products", 45, 19, true, 9, {2147483, 6451, 1 << 27, 1, 0}, 0xab0cabf165839c95u},
    {"negative settings", 45, 19, true, 10, {-1, -70, -6, 0, 1}, 0x9bba2d1d569065d5u},
    {"one column", 1, 37, false, 11, {70, 70, 2, 1, 0}, 0x699b85e445ec96f2u},
    {"one row", 50, 1, true, 12, {70, 70, 2, 0, 0}, 0x63802c4eca9bc55au},
};

TEST(GoldenHashes, KernelEmulationOutputIsPinned) {
  for (const GoldenCase& c : kCases) {
    const auto& s = c.settings;
    const gpu_test::Frame in{c.width, c.height, testing_frames::golden_input(c)};
    const uint64_t hash =
        fnv1a64(gpu_test::emulated(in, {s.level_f1, s.level_f2, s.sharp, s.interlace, s.show_noise})
                    .pixels);
    EXPECT_EQ(hash, c.hash) << c.what << ": 0x" << std::hex << hash;
  }
}

}  // namespace
