#include "media/first_frame.h"

#include <utility>

namespace qnr {

FirstFrame describe_first_frame(const AVFrame& frame, const AVStream& stream,
                                Orientation orientation) {
  const bool turned = swaps_sides(orientation);
  FirstFrame first;
  first.width = turned ? frame.height : frame.width;
  first.height = turned ? frame.width : frame.height;
  first.source_format = static_cast<AVPixelFormat>(frame.format);
  first.alpha = has_alpha(first.source_format);
  first.interlaced = frame.interlaced_frame != 0;
  first.top_field_first = !frame.interlaced_frame || frame.top_field_first != 0;
  AVRational sar = frame.sample_aspect_ratio;
  if (sar.num <= 0 || sar.den <= 0) sar = stream.sample_aspect_ratio;
  if (sar.num <= 0 || sar.den <= 0) sar = {0, 1};
  if (turned && sar.num > 0) std::swap(sar.num, sar.den);
  first.sample_aspect = sar;
  first.colorspace = frame.colorspace;
  first.primaries = frame.color_primaries;
  first.transfer = frame.color_trc;
  first.range = frame.color_range;
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(first.source_format);
  first.yuv = desc != nullptr && !(desc->flags & AV_PIX_FMT_FLAG_RGB) && desc->nb_components >= 3;
  return first;
}

}  // namespace qnr
