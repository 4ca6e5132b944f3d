// Every optimised luma-plane fill against the plain one: all 2^24 colours, and
// every length around the vector widths.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/cpu_luma_plane.h"

namespace {

class LumaPlaneEquivalence : public ::testing::TestWithParam<CpuVersion> {
 protected:
  void SetUp() override {
    if (!cpu_version_available(GetParam())) {
      GTEST_SKIP() << "this CPU (or build) cannot run " << cpu_version_name(GetParam());
    }
    optimised_ = cpu_luma_plane_function(GetParam());
    ASSERT_NE(optimised_, nullptr);
    ASSERT_NE(optimised_, &cpu_luma_plane_plain);
  }
  CpuLumaPlaneFunction optimised_ = nullptr;
};

TEST_P(LumaPlaneEquivalence, EveryColourWithRandomByte3) {
  std::mt19937 rng(3);
  std::vector<uint32_t> src(size_t{1} << 24);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint32_t>(i) | (rng() & 0xFF000000u);
  std::vector<uint8_t> expected(src.size()), actual(src.size(), 0xEE);
  cpu_luma_plane_plain(src.data(), expected.data(), src.size());
  optimised_(src.data(), actual.data(), src.size());
  for (size_t i = 0; i < src.size(); ++i) {
    ASSERT_EQ(expected[i], actual[i]) << "colour 0x" << std::hex << src[i];
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
                         ::testing::Values(CpuVersion::avx2, CpuVersion::avx512),
                         [](const auto& info) { return std::string(cpu_version_name(info.param)); });

}  // namespace
