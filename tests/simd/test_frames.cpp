#include "test_frames.h"

#include <algorithm>
#include <climits>
#include <sstream>

#include <gtest/gtest.h>

#include "core/color.h"
#include "support/filter_call.h"

const char* fill_name(Fill fill) {
  switch (fill) {
    case Fill::random: return "random";
    case Fill::black: return "black";
    case Fill::white: return "white";
    case Fill::alternating: return "alternating";
    case Fill::bump: return "bump";
    case Fill::vertical_stripes: return "vertical_stripes";
    case Fill::horizontal_stripes: return "horizontal_stripes";
  }
  return "?";
}

namespace {

uint32_t grey(uint32_t v) { return v | v << 8 | v << 16; }

uint32_t pattern_word(Fill fill, int32_t x, int32_t y, int32_t width, int32_t rows,
                      std::mt19937& rng) {
  switch (fill) {
    case Fill::black: return 0;
    case Fill::white: return grey(255);
    case Fill::alternating: return ((x + y) & 1) != 0 ? grey(255) : 0;
    case Fill::bump: return (x == width / 2 && y == rows / 2) ? grey(130) : grey(100);
    case Fill::vertical_stripes: return (x / 2) % 2 != 0 ? grey(240) : 0x102030;
    case Fill::horizontal_stripes: return y % 3 == 0 ? 0xFF00FF : grey(20);
    case Fill::random: break;
  }
  return rng() & 0xFFFFFF;
}

}  // namespace

TestFrame make_frame(Fill fill, int32_t width, int32_t rows, std::mt19937& rng) {
  TestFrame frame;
  frame.width = width;
  frame.rows = rows;
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(rows);
  frame.src.resize(pixels);
  frame.luma.resize(pixels);
  for (int32_t y = 0; y < rows; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const size_t i = static_cast<size_t>(y) * width + x;
      const uint32_t word = pattern_word(fill, x, y, width, rows, rng);
      frame.src[i] = word | (rng() & 0xFF000000u);
      frame.luma[i] = fill == Fill::random ? static_cast<uint8_t>(rng()) : cpu_luma(word);
    }
  }
  return frame;
}

const std::vector<FilterSettings> kSettings = {
    {70, 70, 2},
    {0, 0, 0},
    {0, 0, 6},
    {100, 100, 6},
    {0, 100, 6},
    {1, 3, 1},
    {INT_MIN, INT_MAX, INT_MIN},
    {INT_MAX, INT_MIN, INT_MAX},
    {-1, -70, -6},
    {2147483, 6451, 1 << 27},  // 10 L and 333 L wrap; S x C wraps
    {1000000, -1000000, 123456789},
    {400, -400, 6},  // the widest levels whose thresholds never wrap
    {-401, 401, 6},  // just beyond them
    {-400, 400, 1 << 20},
};

namespace {

// Words on either side of dst that the filter must leave alone: more than the
// widest version's block, so a whole-vector store past either end shows.
constexpr size_t kGuardWords = 64;
constexpr uint32_t kGuardWord = 0x6B1D0F2Eu;

bool guard_intact(const std::vector<uint32_t>& buffer, size_t first, size_t end) {
  for (size_t i = first; i < end; ++i) {
    if (buffer[i] != kGuardWord) return false;
  }
  return true;
}

}  // namespace

std::vector<uint32_t> run_filter(CpuFilterFunction filter, const TestFrame& frame,
                                 const FilterSettings& settings, uint32_t sentinel) {
  const size_t pixels = frame.src.size();
  std::vector<uint32_t> buffer(pixels + 2 * kGuardWords, kGuardWord);
  std::fill_n(buffer.begin() + kGuardWords, pixels, sentinel);
  uint32_t* const dst = buffer.data() + kGuardWords;
  const testing_frames::FilterCall call(frame.src.data(), dst, frame.luma.data(), frame.width,
                                        frame.rows, settings);
  filter(call.args);
  EXPECT_TRUE(guard_intact(buffer, 0, kGuardWords)) << "written before dst";
  EXPECT_TRUE(guard_intact(buffer, kGuardWords + pixels, buffer.size())) << "written after dst";
  return {dst, dst + pixels};
}

std::string first_difference(const std::vector<uint32_t>& expected,
                             const std::vector<uint32_t>& actual, int32_t width) {
  if (expected.size() != actual.size()) return "sizes differ";
  for (size_t i = 0; i < expected.size(); ++i) {
    if (expected[i] != actual[i]) {
      std::ostringstream out;
      out << "first difference at x=" << i % width << " y=" << i / width << ": plain 0x" << std::hex
          << expected[i] << ", optimised 0x" << actual[i];
      return out.str();
    }
  }
  return {};
}
