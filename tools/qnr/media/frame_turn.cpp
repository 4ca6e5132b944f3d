#include "media/frame_turn.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qnr {

namespace {

// The subsampling of plane `plane`: chroma planes of YUV are smaller, every
// other plane (luma, alpha, RGB's) has the picture's size.
bool subsampled_plane(const AVPixFmtDescriptor& desc, int plane) {
  if ((desc.flags & AV_PIX_FMT_FLAG_RGB) != 0) return false;
  for (int c = 1; c <= 2 && c < desc.nb_components; ++c) {
    if (desc.comp[c].plane == plane) return true;
  }
  return false;
}

int plane_count(const AVPixFmtDescriptor& desc) {
  int planes = 0;
  for (int c = 0; c < desc.nb_components; ++c) planes = std::max(planes, desc.comp[c].plane + 1);
  return planes;
}

}  // namespace

bool turns_in_layout(const AVFrame& frame, Orientation orientation) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  if (desc == nullptr || desc->nb_components == 0) return false;
  constexpr uint64_t kNotPlain = AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
                                 AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BAYER;
  if ((desc->flags & kNotPlain) != 0) return false;
  // One component per plane, each sample a byte or a word: moving whole
  // samples moves whole pixels.
  if (plane_count(*desc) != desc->nb_components) return false;
  for (int c = 0; c < desc->nb_components; ++c) {
    const int step = desc->comp[c].step;
    if (step != 1 && step != 2) return false;
  }
  if (swaps_sides(orientation) && desc->log2_chroma_w != desc->log2_chroma_h) return false;
  return frame.width % (1 << desc->log2_chroma_w) == 0 &&
         frame.height % (1 << desc->log2_chroma_h) == 0;
}

FramePtr turned_upright(const AVFrame& frame, Orientation orientation) {
  const auto format = static_cast<AVPixelFormat>(frame.format);
  const AVPixFmtDescriptor& desc = *av_pix_fmt_desc_get(format);
  const bool swap = swaps_sides(orientation);
  FramePtr out = new_frame();
  out->format = frame.format;
  out->width = swap ? frame.height : frame.width;
  out->height = swap ? frame.width : frame.height;
  check_av(av_frame_get_buffer(out.get(), 0), "cannot allocate a turned frame");
  for (int plane = 0; plane < plane_count(desc); ++plane) {
    const bool small = subsampled_plane(desc, plane);
    const int32_t w = small ? AV_CEIL_RSHIFT(frame.width, desc.log2_chroma_w) : frame.width;
    const int32_t h = small ? AV_CEIL_RSHIFT(frame.height, desc.log2_chroma_h) : frame.height;
    const int32_t out_w = swap ? h : w, out_h = swap ? w : h;
    int step = 1;
    for (int c = 0; c < desc.nb_components; ++c) {
      if (desc.comp[c].plane == plane) step = desc.comp[c].step;
    }
    for (int32_t dy = 0; dy < out_h; ++dy) {
      uint8_t* row = out->data[plane] + int64_t{dy} * out->linesize[plane];
      for (int32_t dx = 0; dx < out_w; ++dx) {
        int32_t x = dx, y = dy;
        stored_pixel_of(orientation, dx, dy, w, h, x, y);
        std::memcpy(row + int64_t{dx} * step,
                    frame.data[plane] + int64_t{y} * frame.linesize[plane] + int64_t{x} * step,
                    step);
      }
    }
  }
  out->pts = frame.pts;
  out->color_range = frame.color_range;
  out->colorspace = frame.colorspace;
  out->color_primaries = frame.color_primaries;
  out->color_trc = frame.color_trc;
  out->interlaced_frame = frame.interlaced_frame;
  out->top_field_first = frame.top_field_first;
  out->sample_aspect_ratio = frame.sample_aspect_ratio;
  if (swap) std::swap(out->sample_aspect_ratio.num, out->sample_aspect_ratio.den);
  return out;
}

}  // namespace qnr
