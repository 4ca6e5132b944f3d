// What ffprobe says about an input: the first video stream's size, rate,
// frame count and colour tags, and the other streams that may be copied.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qnr {

struct Rational {
  int64_t num = 0;
  int64_t den = 0;
  bool valid() const { return num > 0 && den > 0; }
  double value() const { return valid() ? double(num) / double(den) : 0.0; }
  std::string text() const { return std::to_string(num) + "/" + std::to_string(den); }
};

struct StreamInfo {
  int index = 0;
  std::string type;   // video, audio, subtitle, attachment, data
  std::string codec;  // ffmpeg's codec name
};

struct MediaInfo {
  int32_t width = 0;   // as decoded, after the display rotation ffmpeg applies
  int32_t height = 0;
  Rational frame_rate;          // average rate, else the stream's base rate
  Rational sample_aspect;       // 0/0 when unknown
  std::optional<int64_t> frame_count;       // from the container, when it says
  std::optional<int64_t> estimated_frames;  // from duration x rate otherwise
  std::string color_space, color_primaries, color_transfer, color_range;  // "" when unknown
  std::vector<StreamInfo> streams;  // every stream, video included
};

// Parses ffprobe's default output format (sections of key=value lines).
// False with a message when it names no usable video stream.
bool parse_probe_output(const std::string& text, MediaInfo& info, std::string& error);

// The ffprobe arguments that produce what parse_probe_output reads.
std::vector<std::string> probe_command(const std::string& input);

}  // namespace qnr
