// Every optimised frame filter against the plain one, byte for byte, on random
// and pattern frames of every small width, large odd sizes, and settings from
// zero through the dialog limits to values whose products wrap.
#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "core/color.h"
#include "core/cpu_routines.h"
#include "core/cpu_version.h"
#include "core/frame_filter.h"
#include "test_frames.h"

namespace {

constexpr uint32_t kPlainSentinel = 0x5A5A5A5Au;
constexpr uint32_t kOptimisedSentinel = 0xC3C3C3C3u;

class FilterEquivalence : public ::testing::TestWithParam<CpuVersion> {
 protected:
  void SetUp() override {
    if (!cpu_version_available(GetParam())) {
      GTEST_SKIP() << "this CPU (or build) cannot run " << cpu_version_name(GetParam());
    }
    const CpuRoutines* own = cpu_routines_of(GetParam());
    ASSERT_NE(own, nullptr);
    optimised_ = own->filter_frame;
    // The comparison must not be plain against plain.
    ASSERT_NE(optimised_, &cpu_filter_frame_plain);
  }

  void expect_same(const TestFrame& frame, const FilterSettings& run, const std::string& what) {
    const auto expected = run_filter(cpu_filter_frame_plain, frame, run, kPlainSentinel);
    const auto actual = run_filter(optimised_, frame, run, kOptimisedSentinel);
    const std::string difference = first_difference(expected, actual, frame.width);
    EXPECT_TRUE(difference.empty())
        << what << " " << frame.width << "x" << frame.rows << " levels " << run.level_f1 << ","
        << run.level_f2 << " sharp " << run.sharp << " interlace " << run.interlace << " noise "
        << run.show_noise << ": " << difference;
  }

  CpuFilterFunction optimised_ = nullptr;
};

TEST_P(FilterEquivalence, EveryWidthUpTo40WithEveryFill) {
  std::mt19937 rng(1234);
  const int32_t heights[] = {1, 2, 5, 13, 26};
  int32_t round = 0;
  for (int32_t width = 1; width <= 40; ++width) {
    for (int32_t rows : heights) {
      for (Fill fill : kAllFills) {
        const TestFrame frame = make_frame(fill, width, rows, rng);
        FilterSettings run = kSettings[static_cast<size_t>(round) % kSettings.size()];
        run.interlace = (round / 3) % 2;
        run.show_noise = (round / 7) % 2;
        ++round;
        expect_same(frame, run, fill_name(fill));
      }
    }
  }
}

TEST_P(FilterEquivalence, EverySettingWithInterlaceAndNoise) {
  std::mt19937 rng(99);
  const Fill fills[] = {Fill::random, Fill::bump, Fill::alternating};
  for (const FilterSettings& settings : kSettings) {
    for (int32_t interlace : {0, 1, 2}) {
      for (int32_t show_noise : {0, 1}) {
        for (Fill fill : fills) {
          const TestFrame frame = make_frame(fill, 77, 37, rng);
          expect_same(frame,
                      {settings.level_f1, settings.level_f2, settings.sharp, interlace, show_noise},
                      fill_name(fill));
        }
      }
    }
  }
}

// Large frames with the plain results, made once for all versions.
struct LargeCase {
  const char* what;
  TestFrame frame;
  FilterSettings run;
  std::vector<uint32_t> expected;
};
const std::vector<LargeCase>& large_cases() {
  static const std::vector<LargeCase> cases = [] {
    std::mt19937 rng(7);
    std::vector<LargeCase> made;
    made.push_back({"random", make_frame(Fill::random, 1917, 1081, rng), {70, 70, 2, 1, 0}, {}});
    made.push_back({"vertical_stripes",
                    make_frame(Fill::vertical_stripes, 1283, 251, rng),
                    {100, 0, 6, 0, 1},
                    {}});
    made.push_back(
        {"random", make_frame(Fill::random, 643, 479, rng), {INT_MAX, INT_MIN, -123457, 0, 1}, {}});
    for (LargeCase& c : made) {
      c.expected = run_filter(cpu_filter_frame_plain, c.frame, c.run, kPlainSentinel);
    }
    return made;
  }();
  return cases;
}

TEST_P(FilterEquivalence, LargeOddFrames) {
  for (const LargeCase& c : large_cases()) {
    const auto actual = run_filter(optimised_, c.frame, c.run, kOptimisedSentinel);
    const std::string difference = first_difference(c.expected, actual, c.frame.width);
    EXPECT_TRUE(difference.empty())
        << c.what << " " << c.frame.width << "x" << c.frame.rows << ": " << difference;
  }
}

// A component exactly at its threshold is noise. On a uniform grey-16 plane
// every component is 16 and every contrast 0, so the test is wrap(20000 L) <
// 160; the level below makes both sides equal, and a detail decision would
// lower D from 0 to -1.
TEST_P(FilterEquivalence, ComponentExactlyAtTheThresholdIsNoise) {
  uint32_t inverse = 625;  // of 625 modulo 2^32, by Newton's iteration
  for (int i = 0; i < 5; ++i) inverse *= 2 - 625 * inverse;
  const auto level = static_cast<int32_t>(5 * inverse);
  ASSERT_EQ(static_cast<uint32_t>(level) * 10u * 2000u, 160u);

  std::mt19937 rng(11);
  TestFrame frame = make_frame(Fill::black, 50, 20, rng);
  for (uint8_t& luma : frame.luma) luma = 16;
  const FilterSettings run{level, level, 2};
  expect_same(frame, run, "grey-16 plane");
  const auto plain = run_filter(cpu_filter_frame_plain, frame, run, kPlainSentinel);
  EXPECT_EQ(plain[0], rebuild_pixel(frame.src[0], 0, false));
}

// The same with levels whose thresholds cannot wrap: on one row of 13, the
// centre's first horizontal component is exactly +-2000 = 200 T for level 1.
// A large Sharp makes a wrong detail decision move D far.
TEST_P(FilterEquivalence, NarrowLevelComponentExactlyAtTheThresholdIsNoise) {
  for (int32_t target : {2000, -2000}) {
    // The centre g and the left samples x1, x2 (right ones 0): 5041 g + 4464 x1
    // + 2864 x2 + ... with x3..x5 = 0 and x6 solving for the target.
    std::vector<uint8_t> row;
    for (int32_t g = 0; g < 256 && row.empty(); ++g) {
      for (int32_t x1 = 0; x1 < 256 && row.empty(); ++x1) {
        const int32_t rest = 5041 * g + 4464 * x1 - target;
        if (rest % 4895 != 0 || rest / 4895 < 0 || rest / 4895 > 255) continue;
        row = {static_cast<uint8_t>(rest / 4895),
               0,
               0,
               0,
               0,
               static_cast<uint8_t>(x1),
               static_cast<uint8_t>(g),
               0,
               0,
               0,
               0,
               0,
               0};
      }
    }
    ASSERT_FALSE(row.empty()) << target;
    std::mt19937 rng(target);
    TestFrame frame = make_frame(Fill::random, 13, 1, rng);
    frame.luma = row;
    expect_same(frame, {1, 1, 1 << 20}, "one row at the threshold");
  }
}

TEST_P(FilterEquivalence, ReadsOnlyItsInputsAndWritesNothingForEmptyFrames) {
  std::mt19937 rng(5);
  const TestFrame frame = make_frame(Fill::random, 45, 19, rng);
  const TestFrame before = frame;
  run_filter(optimised_, frame, {}, 0);
  EXPECT_EQ(frame.src, before.src);
  EXPECT_EQ(frame.luma, before.luma);

  for (auto [width, rows] : {std::pair{0, 5}, {5, 0}, {-3, 4}, {4, -3}}) {
    TestFrame empty = make_frame(Fill::random, 6, 6, rng);
    empty.width = width;
    empty.rows = rows;
    const auto dst = run_filter(optimised_, empty, {}, kOptimisedSentinel);
    for (uint32_t word : dst) ASSERT_EQ(word, kOptimisedSentinel) << width << "x" << rows;
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, FilterEquivalence,
                         ::testing::Values(CpuVersion::sse41, CpuVersion::avx2, CpuVersion::avx512),
                         [](const auto& info) {
                           return std::string(cpu_version_name(info.param));
                         });

}  // namespace
