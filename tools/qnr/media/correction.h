// The correction road: the filter changes only brightness, so instead of
// writing the filter's 8-bit RGB, qnr takes from it each pixel's correction
// and adds that to the decoded frame itself, at the frame's own depth and
// layout. Colour planes and everything the filter did not change stay
// exactly as decoded.
//
// The rule, for one pixel:
//  1. c = the change of largest magnitude among blue, green and red between
//     the filter's input and output words (the filter adds the same amount
//     to each channel unless a channel stops at 0 or 255). Where a rise and
//     a fall of the same size tie, the sign of the three changes' sum
//     decides, and c = 0 where that sum is 0. c = 0 where nothing moved.
//  2. YUV and grey: Y += round(c * 219/255 * 2^(depth-8)) for limited range,
//     Y += c * 2^(depth-8) for full range; rounded half away from zero.
//     RGB deeper than 8 bits: each of R, G and B += c * 2^(depth-8).
//  3. A changed sample is clamped to 0..2^depth-1; one with no correction
//     keeps its value (superwhite and other codes outside the nominal range
//     included).
// 8-bit RGB inputs (and palettes, Bayer, float) keep the filter's own output.
#pragma once

#include <cstdint>
#include <vector>

#include "media/frame_convert.h"
#include "media/libav.h"

namespace qnr {

// Which picture a run writes: the decoded frame with the filter's correction
// added (the default), or the filter's own 8-bit RGB output (--rgb, and
// always for Show noise, which is a picture of the noise).
enum class OutputRoad { correction, module_rgb };
inline OutputRoad output_road(bool rgb, bool show_noise) {
  return rgb || show_noise ? OutputRoad::module_rgb : OutputRoad::correction;
}

// True where frames of `format` are written as the filter's own output even
// on the correction road: 8-bit RGB, palettes, and layouts the rule does not
// cover.
bool takes_module_rgb(AVPixelFormat format);

// Whether a frame decoded as `frame`, turned by `orientation`, is written as
// itself with the filter's correction (else as the filter's own output). A
// picture stored turned is turned upright in its own layout where it can be
// (frame_turn.h), else it keeps the filter's output.
bool writes_correction(OutputRoad road, const AVFrame& frame, Orientation orientation);

// Step 1: the correction between one input and one output BGRX word.
int pixel_correction(uint32_t before, uint32_t after);

// Step 2 for a luma sample: c in 8-bit full-range RGB units as code values
// of a `depth`-bit plane.
int scaled_luma_correction(int c, int depth, bool full_range);
// Step 2 for an RGB sample deeper than 8 bits.
inline int scaled_rgb_correction(int c, int depth) { return c * (1 << (depth - 8)); }

// Corrections of a stored picture, one per pixel, from the filter's input
// and output bitmaps (upright, turned by `orientation`).
struct Corrections {
  int32_t width = 0;  // as stored
  int32_t height = 0;
  std::vector<int16_t> values;
  bool any = false;  // some pixel moved
};
void measure_corrections(const HostFrame& before, const HostFrame& after, Orientation orientation,
                         int32_t stored_width, int32_t stored_height, Corrections& out);

// Adds the corrections to `frame` (writable, of the corrections' size) by
// steps 2 and 3. `full_range` for YUV and grey as the frame was read.
void apply_corrections(const Corrections& corrections, bool full_range, AVFrame& frame);

// The picture a run writes on the correction road, from the filter's input
// and output bitmaps: `frame` itself with the correction added when it is
// stored upright (and nullptr is returned), else a copy turned upright with
// the correction added. `frame` must be one writes_correction accepts.
FramePtr add_correction(const HostFrame& before, const HostFrame& after, Orientation orientation,
                        AVFrame& frame, Corrections& scratch);

}  // namespace qnr
