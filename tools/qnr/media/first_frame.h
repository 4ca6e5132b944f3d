// What the first decoded frame tells the output: its upright size, alpha,
// fields, aspect ratio, colour and pixel format.
#pragma once

#include "media/frame_convert.h"
#include "media/libav.h"
#include "media/video_encoder.h"

namespace qnr {

// `frame` as stored, turned by `orientation` for display.
FirstFrame describe_first_frame(const AVFrame& frame, const AVStream& stream,
                                Orientation orientation);

}  // namespace qnr
