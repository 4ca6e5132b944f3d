// The pixel format the video is encoded in. It follows the input: its own
// format where the codec takes it, else the one of the codec's nearest to it
// in depth, chroma layout and alpha, as ffmpeg chooses; JPEG in the
// full-range YUV its readers assume, GIF with a palette. The filter itself
// works on 8 bits per channel in between.
#pragma once

#include <string>

#include "media/libav.h"

namespace qnr {

struct PixelFormatChoice {
  const AVCodec* codec = nullptr;
  AVPixelFormat source = AV_PIX_FMT_NONE;  // as decoded
  bool alpha = false;                      // the source has an alpha plane
  int32_t width = 0;
  int32_t height = 0;
};

AVPixelFormat choose_pixel_format(const PixelFormatChoice& choice);

// Bits per channel of the format's deepest component (8 for yuv420p).
int bits_per_channel(AVPixelFormat format);

}  // namespace qnr
