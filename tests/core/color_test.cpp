// The luma rule, the colour split and rebuild, and the noise view, against
// worked numbers and exhaustive claims over every colour.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/color.h"
#include "support/frames.h"

namespace {

using testing_frames::grey;
using testing_frames::rgb;

struct RoundTripCase {
  int32_t r, g, b;     // input
  int32_t y, u, v;     // truncated luma and colour differences
  int32_t ro, go, bo;  // output with no correction
};

TEST(ColourRoundTrip, WorkedTableGivesExactLumaColourAndOutput) {
  const RoundTripCase cases[] = {
      {0, 0, 0, 0, 0, 0, 0, 0, 0},
      {100, 100, 100, 100, 0, 20, 100, 100, 100},
      {128, 128, 128, 127, 0, 25, 127, 127, 127},
      {255, 255, 255, 255, 0, 50, 254, 255, 255},
      {1, 1, 1, 0, 0, 0, 0, 0, 0},
      {255, 0, 0, 76, -37, 156, 254, 0, 1},
      {0, 255, 0, 149, -73, -131, 0, 254, 1},
      {0, 0, 255, 29, 111, 25, 0, 0, 255},
      {0, 255, 255, 178, 37, -105, 1, 254, 253},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "input " << c.r << "," << c.g << "," << c.b);
    const uint32_t px = rgb(c.r, c.g, c.b);
    const Yuv yuv = yuv_from_bgrx(px);
    EXPECT_EQ(static_cast<int32_t>(yuv.yd), c.y);
    EXPECT_EQ(yuv.u, c.u);
    EXPECT_EQ(yuv.v, c.v);
    EXPECT_EQ(bgrx_from_yuv(c.y, yuv.u, yuv.v), rgb(c.ro, c.go, c.bo));
    EXPECT_EQ(rebuild_pixel(px, 0, false), rgb(c.ro, c.go, c.bo));
  }
}

TEST(ColourRoundTrip, NegativeDifferencesTruncateTowardZero) {
  // Pure red: U is -37.485 before truncation.
  EXPECT_EQ(yuv_from_bgrx(rgb(255, 0, 0)).u, -37);
}

TEST(ColourRoundTrip, CorrectionBeyondTheByteRangeLimitsEveryChannel) {
  EXPECT_EQ(rebuild_pixel(grey(0), 5, false), rgb(0, 0, 0));            // luma -5
  EXPECT_EQ(rebuild_pixel(grey(255), -10, false), rgb(255, 255, 255));  // luma 265
}

TEST(ColourRoundTrip, ByteThreeNeverMattersAndIsWrittenAsZero) {
  for (uint32_t top : {0x01u, 0x80u, 0xFFu}) {
    const uint32_t plain = rgb(12, 200, 77);
    const uint32_t tagged = plain | top << 24;
    EXPECT_EQ(cpu_luma(tagged), cpu_luma(plain));
    EXPECT_EQ(rebuild_pixel(tagged, 3, false), rebuild_pixel(plain, 3, false));
    EXPECT_EQ(rebuild_pixel(tagged, 3, true), rebuild_pixel(plain, 3, true));
    EXPECT_EQ(rebuild_pixel(tagged, -7, true) >> 24, 0u);
  }
}

TEST(ColourRoundTrip, OverAllColoursFewComeBackAndNoneMovesFar) {
  uint64_t unchanged = 0;
  int32_t most_down = 0, most_up = 0;
  for (uint32_t px = 0; px < (1u << 24); ++px) {
    const uint32_t out = rebuild_pixel(px, 0, false);
    if (out == px) {
      ++unchanged;
      continue;
    }
    for (int shift = 0; shift < 24; shift += 8) {
      const int32_t diff =
          static_cast<int32_t>((out >> shift) & 0xFF) - static_cast<int32_t>((px >> shift) & 0xFF);
      most_down = std::min(most_down, diff);
      most_up = std::max(most_up, diff);
    }
  }
  const double share = static_cast<double>(unchanged) / (1u << 24);
  EXPECT_GT(share, 0.02);
  EXPECT_LT(share, 0.04);
  EXPECT_EQ(most_down, -3);
  EXPECT_EQ(most_up, 2);
}

TEST(LumaRule, SixtyFiveGreyLevelsLoseOne) {
  std::vector<int32_t> losing;
  for (int32_t v = 0; v < 256; ++v) {
    const int32_t luma = cpu_luma(grey(v));
    ASSERT_TRUE(luma == v || luma == v - 1) << v;
    if (luma == v - 1) losing.push_back(v);
  }
  EXPECT_EQ(losing.size(), 65u);
  for (int32_t v : {1, 2, 4, 8, 16, 32, 64, 127, 128, 254}) {
    EXPECT_EQ(cpu_luma(grey(v)), v - 1) << v;
  }
  for (int32_t v : {0, 3, 100, 255}) EXPECT_EQ(cpu_luma(grey(v)), v) << v;
}

TEST(NoiseView, ShowsTheDifferenceFiveTimesAroundMidGrey) {
  const uint32_t same = rgb(90, 91, 92);
  EXPECT_EQ(noise_view(same | 0xFF000000u, same), rgb(127, 127, 127));
  // Red differences of +25, +26, -25 and -26.
  EXPECT_EQ(noise_view(rgb(125, 0, 0), rgb(100, 0, 0)), rgb(252, 127, 127));
  EXPECT_EQ(noise_view(rgb(126, 0, 0), rgb(100, 0, 0)), rgb(255, 127, 127));
  EXPECT_EQ(noise_view(rgb(75, 0, 0), rgb(100, 0, 0)), rgb(2, 127, 127));
  EXPECT_EQ(noise_view(rgb(74, 0, 0), rgb(100, 0, 0)), rgb(0, 127, 127));
  // Each channel on its own.
  EXPECT_EQ(noise_view(rgb(0, 26, 0), rgb(0, 0, 26)), rgb(127, 255, 0));
}

}  // namespace
