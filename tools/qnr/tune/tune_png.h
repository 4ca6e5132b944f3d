// A host bitmap as a PNG file in memory: 8-bit RGB, top row first, the
// bitmap's B, G and R bytes unchanged (byte 3 is left out). Encoded by
// libavcodec at the fastest compression level: the page asks for a new
// picture on every settings change, and speed counts more than size on the
// loopback.
#pragma once

#include <cstdint>
#include <string>

#include "media/frame_convert.h"

namespace qnr {

// Throws Failure when the encoder is missing or fails.
std::string encode_png(const HostFrame& bitmap);

}  // namespace qnr
