#include "media/correction.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "media/frame_turn.h"

namespace qnr {

namespace {

// Corrections range over -255..255: each one's scaled value, looked up.
using ScaleTable = std::array<int32_t, 511>;

ScaleTable luma_table(int depth, bool full_range) {
  ScaleTable table{};
  for (int c = -255; c <= 255; ++c) table[c + 255] = scaled_luma_correction(c, depth, full_range);
  return table;
}

ScaleTable rgb_table(int depth) {
  ScaleTable table{};
  for (int c = -255; c <= 255; ++c) table[c + 255] = scaled_rgb_correction(c, depth);
  return table;
}

inline uint32_t read_sample(const uint8_t* p, bool wide, bool big) {
  if (!wide) return p[0];
  return big ? (uint32_t{p[0]} << 8 | p[1]) : (uint32_t{p[1]} << 8 | p[0]);
}

inline void write_sample(uint8_t* p, uint32_t v, bool wide, bool big) {
  if (!wide) {
    p[0] = static_cast<uint8_t>(v);
  } else if (big) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
  } else {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
  }
}

// Adds the scaled corrections to one full-resolution component, leaving
// the other bits of each sample's word as they are.
void correct_component(const Corrections& corrections, const AVComponentDescriptor& comp, bool big,
                       const ScaleTable& table, AVFrame& frame) {
  const bool wide = comp.shift + comp.depth > 8;
  const uint32_t mask = (1u << comp.depth) - 1;
  const int32_t top = static_cast<int32_t>(mask);
  for (int32_t y = 0; y < corrections.height; ++y) {
    const int16_t* c = corrections.values.data() + int64_t{y} * corrections.width;
    uint8_t* row = frame.data[comp.plane] + int64_t{y} * frame.linesize[comp.plane] + comp.offset;
    for (int32_t x = 0; x < corrections.width; ++x) {
      if (c[x] == 0) continue;
      uint8_t* p = row + int64_t{x} * comp.step;
      const uint32_t word = read_sample(p, wide, big);
      const int32_t value = static_cast<int32_t>((word >> comp.shift) & mask);
      const int32_t moved = std::clamp(value + table[c[x] + 255], 0, top);
      const uint32_t out =
          (word & ~(mask << comp.shift)) | (static_cast<uint32_t>(moved) << comp.shift);
      write_sample(p, out, wide, big);
    }
  }
}

}  // namespace

bool takes_module_rgb(AVPixelFormat format) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  if (desc == nullptr) return true;
  constexpr uint64_t kNotCovered = AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
                                   AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BAYER |
                                   AV_PIX_FMT_FLAG_FLOAT;
  if ((desc->flags & kNotCovered) != 0 || desc->nb_components == 0) return true;
  const bool rgb = (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0;
  const int used = rgb ? 3 : 1;
  if (desc->nb_components < used) return true;
  for (int i = 0; i < used; ++i) {
    const AVComponentDescriptor& comp = desc->comp[i];
    // Samples are read as one byte or one 16-bit word.
    if (comp.depth < 8 || comp.shift + comp.depth > 16) return true;
    if (rgb && comp.depth == 8) return true;  // 8-bit RGB: the filter's own output
  }
  return false;
}

bool writes_correction(OutputRoad road, const AVFrame& frame, Orientation orientation) {
  return road == OutputRoad::correction &&
         !takes_module_rgb(static_cast<AVPixelFormat>(frame.format)) &&
         (orientation == 1 || turns_in_layout(frame, orientation));
}

int pixel_correction(uint32_t before, uint32_t after) {
  int largest = 0, sum = 0;
  bool tie = false;
  for (int shift = 0; shift <= 16; shift += 8) {
    const int change =
        static_cast<int>((after >> shift) & 0xff) - static_cast<int>((before >> shift) & 0xff);
    sum += change;
    if (std::abs(change) > std::abs(largest)) {
      largest = change;
      tie = false;
    } else if (change == -largest && change != 0) {
      tie = true;
    }
  }
  if (!tie) return largest;
  return sum > 0 ? std::abs(largest) : sum < 0 ? -std::abs(largest) : 0;
}

int scaled_luma_correction(int c, int depth, bool full_range) {
  const int64_t unit = int64_t{1} << (depth - 8);
  if (full_range) return static_cast<int>(c * unit);
  // c * 219 * 2^(depth-8) / 255, rounded half away from zero.
  const int64_t num = int64_t{std::abs(c)} * 219 * unit;
  const int64_t rounded = (2 * num + 255) / (2 * 255);
  return static_cast<int>(c < 0 ? -rounded : rounded);
}

void measure_corrections(const HostFrame& before, const HostFrame& after, Orientation orientation,
                         int32_t stored_width, int32_t stored_height, Corrections& out) {
  out.width = stored_width;
  out.height = stored_height;
  out.values.assign(static_cast<size_t>(stored_width) * static_cast<size_t>(stored_height), 0);
  out.any = false;
  for (int32_t dy = 0; dy < before.height; ++dy) {
    const uint8_t* b = before.storage.data() + int64_t{before.height - 1 - dy} * before.pitch;
    const uint8_t* a = after.storage.data() + int64_t{after.height - 1 - dy} * after.pitch;
    for (int32_t dx = 0; dx < before.width; ++dx) {
      uint32_t bw, aw;
      std::memcpy(&bw, b + 4 * int64_t{dx}, 4);
      std::memcpy(&aw, a + 4 * int64_t{dx}, 4);
      if (((bw ^ aw) & 0xffffff) == 0) continue;
      const int c = pixel_correction(bw, aw);
      if (c == 0) continue;
      int32_t x = dx, y = dy;
      if (orientation != 1) stored_pixel_of(orientation, dx, dy, stored_width, stored_height, x, y);
      out.values[int64_t{y} * stored_width + x] = static_cast<int16_t>(c);
      out.any = true;
    }
  }
}

void apply_corrections(const Corrections& corrections, bool full_range, AVFrame& frame) {
  if (!corrections.any) return;
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  const bool big = (desc->flags & AV_PIX_FMT_FLAG_BE) != 0;
  if ((desc->flags & AV_PIX_FMT_FLAG_RGB) != 0) {
    for (int i = 0; i < 3; ++i) {
      correct_component(corrections, desc->comp[i], big, rgb_table(desc->comp[i].depth), frame);
    }
    return;
  }
  correct_component(corrections, desc->comp[0], big, luma_table(desc->comp[0].depth, full_range),
                    frame);
}

FramePtr add_correction(const HostFrame& before, const HostFrame& after, Orientation orientation,
                        AVFrame& frame, Corrections& scratch) {
  FramePtr upright = orientation != 1 ? turned_upright(frame, orientation) : nullptr;
  AVFrame& written = upright ? *upright : frame;
  measure_corrections(before, after, 1, written.width, written.height, scratch);
  if (scratch.any) {
    check_av(av_frame_make_writable(&written), "cannot copy a decoded frame");
    const auto format = static_cast<AVPixelFormat>(written.format);
    apply_corrections(scratch, reads_full_range(format, written.color_range), written);
  }
  return upright;
}

}  // namespace qnr
