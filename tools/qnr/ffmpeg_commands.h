// The ffmpeg command lines: one that decodes the input into raw bgr0 frames
// on its standard output, one that encodes raw bgr0 frames from its standard
// input into the output, with the input's other streams copied beside them.
#pragma once

#include <string>
#include <vector>

#include "probe.h"

namespace qnr {

// How ffmpeg should open a local path: "file:" keeps a name with a colon from
// being read as a protocol. Patterns and URLs go through unchanged.
std::string ffmpeg_path(const std::string& path);

std::vector<std::string> decoder_command(const std::string& input);

// Image outputs hold one frame: the first.
bool is_image_extension(const std::string& extension);

struct EncodeRequest {
  const MediaInfo* media = nullptr;
  std::string input;          // the original input, for its other streams; "" for none
  std::string output;         // the path ffmpeg writes
  std::string extension;      // of the final output name, lower case
  std::string codec;          // --codec, "" for the default of the container
  std::vector<std::string> extra;  // after "--", appended last so they win
};
std::vector<std::string> encoder_command(const EncodeRequest& request);

}  // namespace qnr
