// The options after "--" on qnr's command line, as -name value pairs: a few
// choose streams, the container, the codec or the pixel format; the rest go
// to the video encoder (and to the muxer when the encoder has no such option).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "media/libav.h"

namespace qnr {

struct EncoderArgs {
  std::optional<std::string> format;  // -f: overrides qnr's own -f
  std::optional<std::string> codec;   // -c, -codec, -vcodec: overrides --codec
  std::string pixel_format;           // -pix_fmt, "" to let qnr choose
  bool drop_audio = false;            // -an
  bool drop_subtitles = false;        // -sn
  bool drop_data = false;             // -dn
  Dictionary encoder_options;         // -q becomes qscale; a ":v" suffix is dropped
  Dictionary muxer_options;           // those only a muxer has, e.g. -movflags
};

// Throws Failure (usage status) for an argument that is not -name, or a
// -name without its value.
EncoderArgs parse_encoder_args(const std::vector<std::string>& args);

}  // namespace qnr
