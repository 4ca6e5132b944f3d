// The kernel's arithmetic, run through the CPU emulation of a launch: tile
// fill, sampling at the frame edges, interlace, the single-precision colour step
// and the noise view, and how its output relates to the CPU path's.
#include <gtest/gtest.h>

#include <array>

#include "frames.h"
#include "gpu/kernel_steps.h"

namespace {

using gpu_test::Frame;
using gpu_test::Settings;

uint32_t rgb(int red, int green, int blue) { return pack_bgrx(blue, green, red); }

// D of pixel (x, y) straight from the frame by the kernel's rules (integer luma,
// coordinates clamped into the frame) or by the CPU path's (truncated luma
// plane, samples outside the frame replaced by the centre).
int32_t direct_correction(const Frame& f, int x, int y, const Settings& s, bool kernel_rules) {
  const auto luma = [&](int sx, int sy) -> int32_t {
    const uint32_t p = f.at(sx, sy);
    return kernel_rules ? static_cast<int32_t>(luma_from_bgrx(p)) : cpu_luma(p);
  };
  const int32_t g = luma(x, y);
  const auto sample = [&](int sx, int sy) -> int32_t {
    if (kernel_rules) return luma(clampi(sx, 0, f.width - 1), clampi(sy, 0, f.height - 1));
    if (sx < 0 || sx >= f.width || sy < 0 || sy >= f.height) return g;
    return luma(sx, sy);
  };
  const int step = s.interlace != 0 ? 2 : 1;
  int32_t h[6], v[6], fall[6], rise[6];
  for (int k = 1; k <= 6; ++k) {
    const int dy = k * step;
    h[k - 1] = sample(x - k, y) + sample(x + k, y);
    v[k - 1] = sample(x, y - dy) + sample(x, y + dy);
    fall[k - 1] = sample(x - k, y - dy) + sample(x + k, y + dy);
    rise[k - 1] = sample(x - k, y + dy) + sample(x + k, y - dy);
  }
  return correction_from_lines(g, h, v, fall, rise,
                               analysis_constants(s.level_f1, s.level_f2, s.sharp));
}

TEST(KernelSteps, HelperFunctionsFollowTheirRules) {
  EXPECT_EQ(clampi(-3, 0, 9), 0);
  EXPECT_EQ(clampi(12, 0, 9), 9);
  EXPECT_EQ(clampi(4, 0, 9), 4);
  EXPECT_EQ(clip8(-1), 0);
  EXPECT_EQ(clip8(256), 255);
  EXPECT_EQ(clip8(77), 77);
  EXPECT_EQ(luma_from_bgrx(0xFFFFFFFFu), 255u);
  EXPECT_EQ(luma_from_bgrx(0x00000000u), 0u);
  // Byte 3 plays no part.
  EXPECT_EQ(luma_from_bgrx(0xAB102030u), luma_from_bgrx(0x00102030u));
}

TEST(KernelSteps, IntegerLumaEqualsTruncatedLumaOrExceedsItByOne) {
  int above = 0;
  for (uint32_t c = 0; c < (1u << 24); c += 7) {
    const int diff = static_cast<int>(luma_from_bgrx(c)) - cpu_luma(c);
    ASSERT_TRUE(diff == 0 || diff == 1) << std::hex << c;
    above += diff;
  }
  // About half of all colours.
  const double share = above / double((1u << 24) / 7);
  EXPECT_GT(share, 0.4);
  EXPECT_LT(share, 0.6);
}

TEST(KernelSteps, BlockThreadsFillEveryTileElementExactlyOnce) {
  constexpr int kSize = TileShape<16, 16>::size;
  static_assert(kSize == 1120);
  const Frame f = gpu_test::uniform_frame(40, 40, rgb(90, 90, 90));  // luma 90 everywhere
  std::array<int, kSize> writes{};
  for (int ty = 0; ty < 16; ++ty) {
    for (int tx = 0; tx < 16; ++tx) {
      std::array<uint8_t, kSize> tile{};
      fill_tile<16, 16>(tile.data(), reinterpret_cast<const uint8_t*>(f.pixels.data()), 160, 40, 40,
                        1, 1, tx, ty);
      int mine = 0;
      for (int i = 0; i < kSize; ++i) {
        if (tile[i] != 0) {
          ++writes[i];
          ++mine;
        }
      }
      const int expected = tx < 12 ? (ty < 8 ? 6 : 4) : (ty < 8 ? 3 : 2);
      ASSERT_EQ(mine, expected) << "thread " << tx << "," << ty;
    }
  }
  for (int i = 0; i < kSize; ++i) ASSERT_EQ(writes[i], 1) << "element " << i;
}

TEST(KernelSteps, TileReplicatesEdgePixelsOutward) {
  // Each pixel's luma encodes its position: 10 x + y on a 5 x 4 frame.
  Frame f{5, 4, std::vector<uint32_t>(20)};
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 5; ++x) f.at(x, y) = gpu_test::grey(10 * x + y);
  std::array<uint8_t, 1120> tile{};
  for (int ty = 0; ty < 16; ++ty)
    for (int tx = 0; tx < 16; ++tx)
      fill_tile<16, 16>(tile.data(), reinterpret_cast<const uint8_t*>(f.pixels.data()), 20, 5, 4, 0,
                        0, tx, ty);
  for (int r = 0; r < 40; ++r) {
    for (int c = 0; c < 28; ++c) {
      const int x = clampi(c - 6, 0, 4), y = clampi(r - 12, 0, 3);
      ASSERT_EQ(tile[28 * r + c], 10 * x + y) << r << "," << c;
    }
  }
}

TEST(KernelSteps, ColourStepReturnsEveryColourUnchangedWhenDIsZero) {
  for (uint32_t c = 0; c < (1u << 24); ++c) {
    ASSERT_EQ(colour_step(c | 0x5A000000u, 0, 0), c) << std::hex << c;
  }
}

TEST(KernelSteps, NoiseViewAmplifiesTheRemovedPartAroundMidGrey) {
  // A uniform correction moves all three channels by roughly the same amount.
  const uint32_t in = rgb(120, 120, 120);
  EXPECT_EQ(colour_step(in, 0, 1), rgb(127, 127, 127));
  const uint32_t darker = colour_step(in, 40, 0);  // output well below input
  const uint32_t brighter = colour_step(in, -40, 0);
  ASSERT_GT(red_of(in) - red_of(darker), 26);
  ASSERT_GT(red_of(brighter) - red_of(in), 26);
  EXPECT_EQ(colour_step(in, 40, 1), rgb(255, 255, 255));
  EXPECT_EQ(colour_step(in, -40, 1), rgb(0, 0, 0));
  // Small differences are scaled by five.
  const uint32_t small = colour_step(in, 2, 0);
  EXPECT_EQ(red_of(colour_step(in, 2, 1)), 127 + 5 * (120 - red_of(small)));
}

TEST(KernelEmulation, WorkedEdgeExample) {
  Frame f = gpu_test::uniform_frame(13, 1, gpu_test::grey(100));
  f.at(0, 0) = gpu_test::grey(60);
  const Settings s{70, 70, 2, 0, 0};
  const Frame out = gpu_test::emulated(f, s);
  EXPECT_EQ(direct_correction(f, 0, 0, s, true), -10);
  EXPECT_EQ(direct_correction(f, 1, 0, s, true), 9);
  EXPECT_EQ(out.at(0, 0), rgb(68, 71, 70));
  EXPECT_EQ(out.at(1, 0), rgb(93, 90, 91));
  for (int x = 2; x <= 4; ++x) EXPECT_EQ(out.at(x, 0), gpu_test::grey(102)) << x;
  for (int x = 5; x <= 6; ++x) EXPECT_EQ(out.at(x, 0), gpu_test::grey(101)) << x;
  for (int x = 7; x <= 12; ++x) EXPECT_EQ(out.at(x, 0), gpu_test::grey(100)) << x;

  // The CPU path sees the step on one line only.
  const Frame cpu = gpu_test::cpu_path(f, s);
  EXPECT_EQ(cpu.at(0, 0), rgb(62, 65, 64));
  EXPECT_EQ(cpu.at(1, 0), gpu_test::grey(100));

  const Frame noise = gpu_test::emulated(f, Settings{70, 70, 2, 0, 1});
  EXPECT_EQ(noise.at(0, 0), rgb(87, 72, 77));
}

TEST(KernelEmulation, UniformFramesComeBackUnchanged) {
  for (const uint32_t colour :
       {rgb(0, 0, 0), rgb(255, 255, 255), rgb(200, 30, 90) | 0xFF000000u, rgb(17, 250, 3)}) {
    for (const auto& [w, h] : {std::pair{1, 1}, {1, 37}, {37, 1}, {33, 18}}) {
      for (const int interlace : {0, 1}) {
        const Frame f = gpu_test::uniform_frame(w, h, colour);
        const Frame out = gpu_test::emulated(f, Settings{1, 1, 6, interlace, 0});
        const Frame noise = gpu_test::emulated(f, Settings{100, 100, 6, interlace, 1});
        for (size_t i = 0; i < f.pixels.size(); ++i) {
          ASSERT_EQ(out.pixels[i], colour & 0xFFFFFFu) << w << "x" << h << " at " << i;
          ASSERT_EQ(noise.pixels[i], rgb(127, 127, 127)) << w << "x" << h << " at " << i;
        }
      }
    }
  }
}

// For every pixel: the kernel's output is the single-precision rebuild of the D
// that the kernel's sampling rules give, the CPU path's is the double-precision
// rebuild of the D that its own rules give, and where the two rules see the same
// samples the two D agree. So the paths differ only through the luma rule, the
// samples beyond the frame and the colour precision.
void expect_differences_only_where_allowed(const Frame& f, const Settings& s) {
  const Frame gpu = gpu_test::emulated(f, s);
  const Frame cpu = gpu_test::cpu_path(f, s);
  const int step = s.interlace != 0 ? 2 : 1;
  bool lumas_agree = true;
  for (const uint32_t p : f.pixels)
    lumas_agree &= luma_from_bgrx(p) == static_cast<uint32_t>(cpu_luma(p));
  for (int y = 0; y < f.height; ++y) {
    for (int x = 0; x < f.width; ++x) {
      const uint32_t in = f.at(x, y);
      const int32_t d_gpu = direct_correction(f, x, y, s, true);
      const int32_t d_cpu = direct_correction(f, x, y, s, false);
      ASSERT_EQ(gpu.at(x, y), colour_step(in, d_gpu, s.show_noise)) << x << "," << y;
      ASSERT_EQ(cpu.at(x, y), rebuild_pixel(in, d_cpu, s.show_noise != 0)) << x << "," << y;
      if (d_gpu == 0 && s.show_noise == 0) {
        ASSERT_EQ(gpu.at(x, y), in & 0xFFFFFFu);
      }
      const bool inside = x >= 6 && x < f.width - 6 && y >= 6 * step && y < f.height - 6 * step;
      if (inside && lumas_agree) {
        ASSERT_EQ(d_gpu, d_cpu) << x << "," << y;
      }
    }
  }
}

// Random colours whose two luma rules give the same value.
Frame agreeing_frame(int w, int h, uint32_t seed) {
  Frame f = gpu_test::random_frame(w, h, seed);
  for (uint32_t& p : f.pixels)
    while (luma_from_bgrx(p) != static_cast<uint32_t>(cpu_luma(p))) p = p * 1664525u + 1013904223u;
  return f;
}

TEST(KernelEmulation, DiffersFromTheCpuPathOnlyWhereAllowed) {
  const std::vector<Settings> settings = {{70, 70, 2, 0, 0}, {100, 100, 6, 0, 0},
                                          {30, 90, 0, 1, 0}, {70, 70, 2, 2, 1},
                                          {0, 0, 6, 0, 0},   {1, 100, 3, 1, 1}};
  const std::vector<std::pair<int, int>> sizes = {{1, 1},   {1, 29},  {29, 1},
                                                  {16, 16}, {17, 17}, {45, 38}};
  uint32_t seed = 1;
  for (const Settings& s : settings) {
    for (const auto& [w, h] : sizes) {
      SCOPED_TRACE(testing::Message()
                   << w << "x" << h << " f1 " << s.level_f1 << " f2 " << s.level_f2 << " sharp "
                   << s.sharp << " interlace " << s.interlace << " noise " << s.show_noise);
      expect_differences_only_where_allowed(gpu_test::random_frame(w, h, seed++), s);
      expect_differences_only_where_allowed(gpu_test::textured_frame(w, h, seed++), s);
      expect_differences_only_where_allowed(agreeing_frame(w, h, seed++), s);
    }
  }
}

TEST(KernelEmulation, InterlacedFieldsStayApartAwayFromTopAndBottom) {
  // Even rows black, odd rows white; then the odd field replaced by other content.
  const int w = 20, h = 48;
  Frame bw{w, h, std::vector<uint32_t>(w * h)};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) bw.at(x, y) = y % 2 == 0 ? rgb(0, 0, 0) : rgb(255, 255, 255);
  Frame other = bw;
  const Frame noise = gpu_test::random_frame(w, h, 99);
  for (int y = 1; y < h; y += 2)
    for (int x = 0; x < w; ++x) other.at(x, y) = noise.at(x, y);
  for (const int interlace : {1, 2}) {
    const Settings s{70, 70, 4, interlace, 0};
    const Frame a = gpu_test::emulated(bw, s);
    const Frame b = gpu_test::emulated(other, s);
    for (int y = 12; y < h - 12; y += 2)
      for (int x = 0; x < w; ++x) ASSERT_EQ(a.at(x, y), b.at(x, y)) << x << "," << y;
    // Near the top and bottom the clamp reaches the other field's edge row:
    // row 0 (even field) reaches row 0 only, but row 1 samples row 0 upward.
    Frame moved_row0 = bw;
    for (int x = 0; x < w; ++x) moved_row0.at(x, 0) = gpu_test::grey(128);
    EXPECT_NE(direct_correction(bw, 5, 1, s, true), direct_correction(moved_row0, 5, 1, s, true));
    EXPECT_EQ(direct_correction(bw, 5, 13, s, true), direct_correction(moved_row0, 5, 13, s, true));
  }
}

}  // namespace
