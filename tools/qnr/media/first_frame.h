// What the first decoded frame tells the output: its upright size, alpha,
// fields, aspect ratio, colour and pixel format. A run that starts later in
// the video (a long job's segment) sets its encoder up from the video's own
// first frame, which the job's plan records as one line of text.
#pragma once

#include <string>

#include "media/frame_convert.h"
#include "media/libav.h"
#include "media/video_encoder.h"

namespace qnr {

// `frame` as stored, turned by `orientation` for display.
FirstFrame describe_first_frame(const AVFrame& frame, const AVStream& stream,
                                Orientation orientation);

// The first frame of the video of `input`, as a single run meets it. Throws
// Failure when the video gives none.
FirstFrame read_first_frame(const std::string& input);

// As one line, "96x64 format=0 interlaced=0 ...", and back (throws
// RecordError).
std::string first_frame_text(const FirstFrame& first);
FirstFrame first_frame_from_text(const std::string& text);

}  // namespace qnr
