#include "tune/tune_source_format.h"

#include <cstring>
#include <string_view>

#include "base/json.h"
#include "media/frame_convert.h"

namespace qnr {

namespace {

// The conversion takes swscale's coefficients for the frame's colorspace,
// which are BT.601's for every space it has none of its own for.
std::string matrix_name(AVColorSpace space) {
  switch (space) {
    case AVCOL_SPC_BT709: return "BT.709";
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return "BT.601";
    case AVCOL_SPC_FCC: return "FCC";
    case AVCOL_SPC_SMPTE240M: return "SMPTE 240M";
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return "BT.2020";
    case AVCOL_SPC_UNSPECIFIED: return "BT.601 (unmarked)";
    default: {
      const char* name = av_color_space_name(space);
      return std::string("BT.601 (for ") + (name != nullptr ? name : "an unknown matrix") + ")";
    }
  }
}

bool fields_in(AVFieldOrder order) {
  return order == AV_FIELD_TT || order == AV_FIELD_BB || order == AV_FIELD_TB ||
         order == AV_FIELD_BT;
}

}  // namespace

SourceFormat describe_source(const AVFrame& first, const AVFormatContext& format,
                             const AVStream& stream, int64_t frame_count) {
  SourceFormat facts;
  const auto pixel_format = static_cast<AVPixelFormat>(first.format);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(pixel_format);
  const char* name = av_get_pix_fmt_name(pixel_format);
  facts.pixel_format = name != nullptr ? name : "unknown";
  facts.bit_depth = desc != nullptr ? desc->comp[0].depth : 8;
  facts.rgb = desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0;
  facts.matrix = facts.rgb ? "" : matrix_name(first.colorspace);
  facts.full_range =
      facts.rgb || first.color_range == AVCOL_RANGE_JPEG || is_full_range_format(pixel_format);
  // The frame's own flags first; a stream that marks its fields in the
  // container while the first picture says nothing counts as interlaced too.
  const AVFieldOrder order = stream.codecpar->field_order;
  if (first.interlaced_frame) {
    facts.field_order = first.top_field_first ? "top field first" : "bottom field first";
  } else if (fields_in(order)) {
    facts.field_order =
        order == AV_FIELD_TT || order == AV_FIELD_TB ? "top field first" : "bottom field first";
  } else {
    facts.field_order = "progressive";
  }
  const std::string_view demuxer = format.iformat != nullptr ? format.iformat->name : "";
  facts.still = frame_count == 1 || demuxer.starts_with("image2") || demuxer.ends_with("_pipe");
  return facts;
}

bool interlaced(const SourceFormat& format) { return format.field_order != "progressive"; }

std::string source_format_json(const SourceFormat& format) {
  std::string json = "{\"pixel_format\":" + json_string(format.pixel_format);
  json += ",\"bit_depth\":" + std::to_string(format.bit_depth);
  json += ",\"filtered_bits\":8";
  json += ",\"rgb\":" + std::string(format.rgb ? "true" : "false");
  json += ",\"matrix\":" + json_string(format.matrix);
  json += ",\"range\":" + json_string(format.full_range ? "full" : "limited");
  json += ",\"field_order\":" + json_string(format.field_order);
  json += ",\"interlaced\":" + std::string(interlaced(format) ? "true" : "false");
  json += ",\"still\":" + std::string(format.still ? "true" : "false");
  return json + "}";
}

}  // namespace qnr
