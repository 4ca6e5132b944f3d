// The plain frame filter's output pinned to fixed hashes on fixed frames and
// settings. Optimised versions are checked against the plain one, so a change
// in code that they all share (the analysis, the colour rules) would pass those
// checks unnoticed; these hashes catch it. A hash changes only when the output
// of the reference changes, which must never happen by accident.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "support/golden.h"
#include "support/hash.h"

namespace {

using testing_frames::cpu_path;
using testing_frames::fnv1a64;
using testing_frames::golden_input;
using testing_frames::GoldenCase;

const GoldenCase kCases[] = {
    {"defaults", 67, 41, true, 1, {70, 70, 2, 0, 0}, 0x828428ffa2e51790u},
    {"defaults, random", 67, 41, false, 2, {70, 70, 2, 0, 0}, 0x50bb46434d813333u},
    {"levels zero, sharp 6", 40, 29, true, 3, {0, 0, 6, 0, 0}, 0x78a64d0d38c7ce73u},
    {"dialog limits", 53, 17, false, 4, {100, 100, 6, 0, 0}, 0x33a967706015fd62u},
    {"interlace", 67, 41, true, 5, {70, 70, 2, 1, 0}, 0xc9b5eff23b4f5984u},
    {"show noise", 67, 41, true, 6, {70, 70, 2, 0, 1}, 0x5e377f39fbea44a3u},
    {"interlace and show noise", 35, 30, false, 7, {40, 90, 3, 2, 1}, 0x187fd17c95146fbau},
    {"extremes", 45, 19, false, 8, {INT_MIN, INT_MAX, INT_MIN, 0, 0}, 0xae75f5e596a21188u},
    {"wrapping products", 45, 19, true, 9, {2147483, 6451, 1 << 27, 1, 0}, 0x95f10b32f653b725u},
    {"negative settings", 45, 19, true, 10, {-1, -70, -6, 0, 1}, 0x452ff246319d261au},
    {"one column", 1, 37, false, 11, {70, 70, 2, 1, 0}, 0x684fe292522b7e90u},
    {"one row", 50, 1, true, 12, {70, 70, 2, 0, 0}, 0xe6e8200a9f19e053u},
};

TEST(GoldenHashes, PlainFilterOutputIsPinned) {
  for (const GoldenCase& c : kCases) {
    const uint64_t hash = fnv1a64(cpu_path(golden_input(c), c.width, c.height, c.settings));
    EXPECT_EQ(hash, c.hash) << c.what << ": 0x" << std::hex << hash;
  }
}

}  // namespace
