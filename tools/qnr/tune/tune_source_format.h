// What the page tells a restorer about the input's pictures: the decoded
// format and its depth, the matrix and range the conversion to the module's
// 8-bit bitmap reads, the field order, and whether it is a single picture.
#pragma once

#include <string>

#include "media/libav.h"

namespace qnr {

struct SourceFormat {
  std::string pixel_format;  // as FFmpeg names it, e.g. "yuv420p10le"
  int bit_depth = 8;         // per component, of the decoded picture
  bool rgb = false;          // no matrix: the picture is stored as RGB
  std::string matrix;        // e.g. "BT.709"; "BT.601 (unmarked)" when the file says none
  bool full_range = false;   // 0-255 rather than 16-235
  std::string field_order;   // "progressive", "top field first" or "bottom field first"
  bool still = false;        // a single picture rather than a video
};

// From the first decoded frame and its stream; `frame_count` is the
// container's count when it gives one (0 when not).
SourceFormat describe_source(const AVFrame& first, const AVFormatContext& format,
                             const AVStream& stream, int64_t frame_count);

bool interlaced(const SourceFormat& format);

// The facts as one JSON object.
std::string source_format_json(const SourceFormat& format);

}  // namespace qnr
