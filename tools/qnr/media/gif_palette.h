// GIF's frames have 256 colours: each frame gets its own palette, chosen
// from its own colours and dithered, so a GIF keeps as much of the picture
// as the format allows.
#pragma once

#include "media/libav.h"

namespace qnr {

// A palette (PAL8) frame of the same size from a BGRA or BGR0 frame.
FramePtr to_own_palette(const AVFrame& frame);

}  // namespace qnr
