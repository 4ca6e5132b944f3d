// What a note says of a frame that differs from the video's first in size or
// pixel aspect ratio. The output keeps the first frame's: frames of another
// size are scaled to it, and every frame is written with its aspect ratio.
#pragma once

#include <cstdint>
#include <string>

#include "media/first_frame.h"
#include "media/libav.h"

namespace qnr {

// `number` counts frames from 1 at the video's first.
std::string size_change_text(int64_t number, int32_t width, int32_t height,
                             const FirstFrame& first);

// Whether `sar` (already turned with the picture) is a known ratio that
// differs from the first frame's known one.
bool aspect_changed(AVRational sar, const FirstFrame& first);
std::string aspect_change_text(int64_t number, AVRational sar, const FirstFrame& first);

}  // namespace qnr
