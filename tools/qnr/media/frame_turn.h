// Turning a decoded frame upright in its own layout: every plane's samples
// moved as the picture's orientation says, nothing resampled, so a turned
// phone video keeps its depth and colour exactly as an upright one does.
#pragma once

#include "media/frame_convert.h"
#include "media/libav.h"

namespace qnr {

// Whether `frame` can be turned by `orientation` sample for sample: planar
// layouts whose samples are whole bytes or 16-bit words, sides that are
// whole chroma samples (else a mirrored chroma sample would sit half a pixel
// off), and for a quarter turn the same chroma subsampling across and down
// (4:2:0, 4:4:4, grey; 4:2:2 would turn into a layout no encoder takes).
bool turns_in_layout(const AVFrame& frame, Orientation orientation);

// The frame turned upright: a new frame of the same format with sides
// swapped where the orientation says. Colour tags, field flags and the
// timestamp come along; side data (the display matrix) does not. Only for
// formats turns_in_layout accepts.
FramePtr turned_upright(const AVFrame& frame, Orientation orientation);

}  // namespace qnr
