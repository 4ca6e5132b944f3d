// Input frames for comparing the optimised versions with the plain ones: a
// packed BGRX frame with its luma plane, filled randomly or with patterns that
// stress the edges, the thresholds and the rounding.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/frame_filter.h"
#include "support/settings.h"

using testing_frames::FilterSettings;

enum class Fill { random, black, white, alternating, bump, vertical_stripes, horizontal_stripes };
inline constexpr Fill kAllFills[] = {Fill::random,
                                     Fill::black,
                                     Fill::white,
                                     Fill::alternating,
                                     Fill::bump,
                                     Fill::vertical_stripes,
                                     Fill::horizontal_stripes};
const char* fill_name(Fill fill);

struct TestFrame {
  int32_t width = 0;
  int32_t rows = 0;
  std::vector<uint32_t> src;
  std::vector<uint8_t> luma;
};

// Random frames draw the plane independently of the colours (every plane is a
// valid input); pattern frames take their plane from the colours by cpu_luma.
// Byte 3 of every word is random: it must change nothing.
TestFrame make_frame(Fill fill, int32_t width, int32_t rows, std::mt19937& rng);

// Defaults, zeros, dialog limits, and values far beyond them whose products wrap.
extern const std::vector<FilterSettings> kSettings;

// Runs `filter` on the frame; dst starts as `sentinel` everywhere so a word
// left unwritten shows, and lies between guard zones that must stay untouched
// (checked here, as a test failure).
std::vector<uint32_t> run_filter(CpuFilterFunction filter, const TestFrame& frame,
                                 const FilterSettings& settings, uint32_t sentinel);

// Empty when equal; otherwise where and how the first difference shows.
std::string first_difference(const std::vector<uint32_t>& expected,
                             const std::vector<uint32_t>& actual, int32_t width);
