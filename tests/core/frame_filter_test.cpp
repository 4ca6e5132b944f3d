// The frame filter against worked examples, and against symmetries that any
// correct implementation of the four-line analysis and its edge rule keeps.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "core/analysis.h"
#include "support/frames.h"

namespace {

using testing_frames::cpu_path;
using testing_frames::FilterSettings;
using testing_frames::grey;
using testing_frames::random_frame;
using testing_frames::rgb;

std::vector<uint32_t> uniform(int32_t width, int32_t height, uint32_t px) {
  return std::vector<uint32_t>(static_cast<size_t>(width) * height, px);
}

void expect_all(const std::vector<uint32_t>& frame, uint32_t px) {
  for (size_t i = 0; i < frame.size(); ++i) ASSERT_EQ(frame[i], px) << "pixel " << i;
}

TEST(FrameConstants, LevelsGiveThresholdSlopes) {
  EXPECT_EQ(analysis_constants(70, 100, 2).q1, 23);
  EXPECT_EQ(analysis_constants(70, 100, 2).q2, 33);
  for (int32_t level = 0; level <= 3; ++level) EXPECT_EQ(analysis_constants(level, 0, 0).q1, 0);
  // Script values wrap as 32-bit products do: 10 x INT_MIN is 0 modulo 2^32.
  EXPECT_EQ(analysis_constants(INT_MIN, 0, 0).a1, 0);
}

TEST(UniformFrames, WithBothLevelsSetOnlyTheColourRoundTripRemains) {
  for (FilterSettings s :
       {FilterSettings{70, 70, 2}, FilterSettings{1, 1, 6}, FilterSettings{100, 3, 0}}) {
    expect_all(cpu_path(uniform(20, 17, grey(100)), 20, 17, s), grey(100));
    expect_all(cpu_path(uniform(20, 17, grey(255)), 20, 17, s), rgb(254, 255, 255));
  }
}

TEST(UniformFrames, WithBothLevelsZeroEveryComponentIsDetail) {
  for (int32_t sharp = 1; sharp <= 6; ++sharp) {
    const FilterSettings s{0, 0, sharp};
    expect_all(cpu_path(uniform(9, 9, grey(100)), 9, 9, s), grey(101));
    expect_all(cpu_path(uniform(9, 9, grey(255)), 9, 9, s), grey(255));
    expect_all(cpu_path(uniform(9, 9, grey(0)), 9, 9, s), grey(0));
  }
  expect_all(cpu_path(uniform(9, 9, grey(100)), 9, 9, FilterSettings{0, 0, 0}), grey(100));
}

TEST(UniformFrames, OneLevelZeroLeavesGreyUnchanged) {
  expect_all(cpu_path(uniform(9, 9, grey(100)), 9, 9, FilterSettings{0, 70, 6}), grey(100));
  expect_all(cpu_path(uniform(9, 9, grey(100)), 9, 9, FilterSettings{70, 0, 6}), grey(100));
}

struct Bump {
  static constexpr int32_t kSize = 15, kCentre = 7;
  static std::vector<uint32_t> frame(int32_t height) {
    auto f = uniform(kSize, kSize, grey(100));
    f[kCentre * kSize + kCentre] = grey(height);
    return f;
  }
  static uint32_t at(const std::vector<uint32_t>& f, int32_t x, int32_t y) {
    return f[y * kSize + x];
  }
};

TEST(SinglePixelBump, WeakBumpIsPulledTowardTheBackground) {
  const auto out = cpu_path(Bump::frame(120), Bump::kSize, Bump::kSize);
  EXPECT_EQ(Bump::at(out, 7, 7), rgb(110, 107, 108));
  EXPECT_EQ(Bump::at(out, 6, 7), grey(101));
  EXPECT_EQ(Bump::at(out, 8, 7), grey(101));
}

TEST(SinglePixelBump, StrongBumpIsSharpenedUnlessSharpIsZero) {
  EXPECT_EQ(Bump::at(cpu_path(Bump::frame(130), Bump::kSize, Bump::kSize), 7, 7), grey(132));
  const FilterSettings no_sharp{70, 70, 0};
  EXPECT_EQ(Bump::at(cpu_path(Bump::frame(130), Bump::kSize, Bump::kSize, no_sharp), 7, 7),
            grey(130));
}

TEST(FrameEdges, StepAtTheLeftEdgeOfAOneRowFrame) {
  auto frame = uniform(13, 1, grey(100));
  frame[0] = grey(60);
  const auto out = cpu_path(frame, 13, 1);
  EXPECT_EQ(out[0], rgb(62, 65, 64));
  // Column 1 sees the step as strong contrast: both horizontal components are
  // detail, but too small to move D.
  EXPECT_EQ(out[1], grey(100));
  // Column 3 has the step at k = 3 and its first-side samples at k = 4..6 lie
  // beyond the left edge: D = -1.
  EXPECT_EQ(out[3], grey(101));
}

TEST(FrameEdges, SinglePixelFrameIsItsColourRoundTrip) {
  for (uint32_t px : {rgb(255, 0, 0), rgb(3, 200, 97), grey(128)}) {
    EXPECT_EQ(cpu_path({px}, 1, 1)[0], rebuild_pixel(px, 0, false));
  }
}

std::vector<uint32_t> transpose(const std::vector<uint32_t>& f, int32_t width, int32_t height) {
  std::vector<uint32_t> out(f.size());
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) out[x * height + y] = f[y * width + x];
  return out;
}

std::vector<uint32_t> mirror(const std::vector<uint32_t>& f, int32_t width, int32_t height) {
  std::vector<uint32_t> out(f.size());
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) out[y * width + (width - 1 - x)] = f[y * width + x];
  return out;
}

// Low-contrast noise on grey, so that both noise and detail decisions occur.
std::vector<uint32_t> noisy_grey(int32_t width, int32_t height, uint32_t seed) {
  auto f = random_frame(width, height, seed);
  for (auto& px : f) {
    const int32_t v = 100 + static_cast<int32_t>(px % 41) - 20;
    px = rgb(v + static_cast<int32_t>((px >> 8) % 5), v, v - static_cast<int32_t>((px >> 16) % 5));
  }
  return f;
}

// Swapping rows and columns swaps the horizontal and vertical lines and maps
// each diagonal onto itself; mirroring swaps the diagonals. Neither may change
// a pixel's result, at the edges included. One-pixel-wide and one-row frames
// are transposes of each other.
TEST(FrameSymmetry, TransposeAndMirrorCommuteWithTheFilter) {
  const int32_t sizes[][2] = {{1, 1}, {1, 17}, {17, 1}, {2, 30}, {13, 13}, {23, 9}, {40, 33}};
  uint32_t seed = 1;
  for (const auto& size : sizes) {
    const int32_t w = size[0], h = size[1];
    SCOPED_TRACE(testing::Message() << w << " x " << h);
    for (const auto& frame : {random_frame(w, h, seed++), noisy_grey(w, h, seed++)}) {
      const auto out = cpu_path(frame, w, h);
      EXPECT_EQ(cpu_path(transpose(frame, w, h), h, w), transpose(out, w, h));
      EXPECT_EQ(cpu_path(mirror(frame, w, h), w, h), mirror(out, w, h));
    }
  }
}

// With interlace on, every line through a pixel stays in its own field and a
// sample beyond the field's edge is the centre's luma: each field is filtered
// exactly as a frame of its own. This pins the rows read near the top: row 1
// reads nothing above it, row 11 reads row 1 but not row -1.
TEST(Interlace, EachFieldIsFilteredAsAFrameOfItsOwn) {
  for (int32_t height : {1, 2, 3, 12, 13, 25, 26}) {
    const int32_t width = 19;
    SCOPED_TRACE(testing::Message() << "height " << height);
    const auto frame = noisy_grey(width, height, 100 + height);
    const auto out = cpu_path(frame, width, height, FilterSettings{70, 70, 2, 1});
    for (int32_t parity = 0; parity < 2 && parity < height; ++parity) {
      std::vector<uint32_t> field;
      for (int32_t y = parity; y < height; y += 2)
        field.insert(field.end(), frame.begin() + y * width, frame.begin() + (y + 1) * width);
      const int32_t rows = static_cast<int32_t>(field.size()) / width;
      const auto field_out = cpu_path(field, width, rows);
      for (int32_t j = 0; j < rows; ++j)
        for (int32_t x = 0; x < width; ++x)
          ASSERT_EQ(out[(parity + 2 * j) * width + x], field_out[j * width + x]) << x << "," << j;
    }
  }
}

TEST(Interlace, AnyNonZeroValueBehavesLikeOne) {
  const auto frame = noisy_grey(21, 30, 7);
  const auto one = cpu_path(frame, 21, 30, FilterSettings{70, 70, 2, 1});
  EXPECT_EQ(cpu_path(frame, 21, 30, FilterSettings{70, 70, 2, 2}), one);
  EXPECT_EQ(cpu_path(frame, 21, 30, FilterSettings{70, 70, 2, INT_MIN}), one);
  EXPECT_NE(cpu_path(frame, 21, 30, FilterSettings{70, 70, 2, 0}), one);
}

TEST(ShowNoise, WritesTheNoiseViewOfEachPixel) {
  const auto frame = noisy_grey(24, 24, 3);
  const auto filtered = cpu_path(frame, 24, 24);
  const auto view = cpu_path(frame, 24, 24, FilterSettings{70, 70, 2, 0, 5});
  for (size_t i = 0; i < frame.size(); ++i) ASSERT_EQ(view[i], noise_view(frame[i], filtered[i]));
}

TEST(ByteThree, SourceTopBytesChangeNothing) {
  auto frame = noisy_grey(31, 11, 9);
  const auto clean = cpu_path(frame, 31, 11);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] |= static_cast<uint32_t>(i * 37) << 24;
  EXPECT_EQ(cpu_path(frame, 31, 11), clean);
  for (uint32_t px : clean) ASSERT_EQ(px >> 24, 0u);
}

// Script values reach the filter unlimited; products wrap as 32-bit arithmetic.
TEST(SettingsBeyondTheDialog, ProductsWrapModuloTwoToTheThirtyTwo) {
  // Levels 0 make every component of grey 100 detail; S x C = 100 x 2^26 wraps
  // to -1879048192, so D = (8 x (1879048192 >> 5)) >> 16 = 7168 and the pixel
  // goes black. Computed without wrap-around it would go white.
  const FilterSettings s{0, 0, 1 << 26};
  expect_all(cpu_path(uniform(5, 5, grey(100)), 5, 5, s), grey(0));
}

TEST(SettingsBeyondTheDialog, ExtremeValuesFilterWithoutUndefinedBehaviour) {
  const int32_t extremes[] = {INT_MIN, INT_MIN + 1, -1000, -1, 101, 6450001, INT_MAX};
  const auto frame = random_frame(16, 16, 11);
  for (int32_t v : extremes) {
    for (const FilterSettings& s : {FilterSettings{v, 70, 2}, FilterSettings{70, v, 2},
                                    FilterSettings{70, 70, v}, FilterSettings{v, v, v, v, v}}) {
      const auto a = cpu_path(frame, 16, 16, s);
      EXPECT_EQ(cpu_path(frame, 16, 16, s), a);  // same bits every time
      for (uint32_t px : a) ASSERT_EQ(px >> 24, 0u);
    }
  }
}

}  // namespace
