// Every optimised luma-plane fill against the plain one: all 2^24 colours, and
// every length around the vector widths.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/cpu_luma_plane.h"
#include "core/cpu_routines.h"
#include "core/cpu_version.h"

namespace {

class LumaPlaneEquivalence : public ::testing::TestWithParam<CpuVersion> {
 protected:
  void SetUp() override {
    if (!cpu_version_available(GetParam())) {
      GTEST_SKIP() << "this CPU (or build) cannot run " << cpu_version_name(GetParam());
    }
    const CpuRoutines* own = cpu_routines_of(GetParam());
    ASSERT_NE(own, nullptr);
    optimised_ = own->luma_plane;
    ASSERT_NE(optimised_, &cpu_luma_plane_plain);
  }
  CpuLumaPlaneFunction optimised_ = nullptr;
};

// Every colour once, with a random byte 3, and its plain luma; made once for all versions.
struct EveryColour {
  std::vector<uint32_t> src;
  std::vector<uint8_t> expected;
};
const EveryColour& every_colour() {
  static const EveryColour colours = [] {
    EveryColour made;
    std::mt19937 rng(3);
    made.src.resize(size_t{1} << 24);
    for (size_t i = 0; i < made.src.size(); ++i) {
      made.src[i] = static_cast<uint32_t>(i) | (rng() & 0xFF000000u);
    }
    made.expected.resize(made.src.size());
    cpu_luma_plane_plain(made.src.data(), made.expected.data(), made.src.size());
    return made;
  }();
  return colours;
}

TEST_P(LumaPlaneEquivalence, EveryColourWithRandomByte3) {
  const EveryColour& colours = every_colour();
  std::vector<uint8_t> actual(colours.src.size(), 0xEE);
  optimised_(colours.src.data(), actual.data(), colours.src.size());
  for (size_t i = 0; i < colours.src.size(); ++i) {
    ASSERT_EQ(colours.expected[i], actual[i]) << "colour 0x" << std::hex << colours.src[i];
  }
}

TEST_P(LumaPlaneEquivalence, EveryLengthUpTo70WritesExactlyCountBytes) {
  std::mt19937 rng(4);
  for (size_t count = 0; count <= 70; ++count) {
    std::vector<uint32_t> src(count);
    for (uint32_t& word : src) word = rng();
    std::vector<uint8_t> expected(count + 1, 0xEE), actual(count + 1, 0xEE);
    cpu_luma_plane_plain(src.data(), expected.data(), count);
    optimised_(src.data(), actual.data(), count);
    EXPECT_EQ(expected, actual) << "count " << count;
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, LumaPlaneEquivalence,
                         ::testing::Values(CpuVersion::sse41, CpuVersion::avx2, CpuVersion::avx512),
                         [](const auto& info) {
                           return std::string(cpu_version_name(info.param));
                         });

}  // namespace
