#include "probe.h"

#include <charconv>
#include <cmath>
#include <map>
#include <sstream>

namespace qnr {

namespace {

using Section = std::map<std::string, std::string>;

std::optional<int64_t> to_integer(const std::string& text) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

Rational to_rational(const std::string& text, char separator) {
  const size_t at = text.find(separator);
  if (at == std::string::npos) return {};
  auto num = to_integer(text.substr(0, at));
  auto den = to_integer(text.substr(at + 1));
  if (!num || !den) return {};
  return {*num, *den};
}

std::string known(const Section& section, const std::string& key) {
  auto it = section.find(key);
  if (it == section.end() || it->second == "unknown" || it->second == "N/A") return "";
  return it->second;
}

}  // namespace

std::vector<std::string> probe_command(const std::string& input) {
  return {"ffprobe", "-v", "error", "-show_entries",
          "stream=index,codec_type,codec_name,width,height,r_frame_rate,avg_frame_rate,"
          "nb_frames,sample_aspect_ratio,color_space,color_primaries,color_transfer,color_range:"
          "stream_side_data=rotation:format=duration",
          "-of", "default", "--", input};
}

bool parse_probe_output(const std::string& text, MediaInfo& info, std::string& error) {
  std::vector<Section> streams;
  Section format;
  Section* current = nullptr;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "[STREAM]") {
      streams.emplace_back();
      current = &streams.back();
    } else if (line == "[FORMAT]") {
      current = &format;
    } else if (line == "[/STREAM]" || line == "[/FORMAT]") {
      current = nullptr;
    } else if (current != nullptr && line.find('=') != std::string::npos &&
               line.front() != '[') {
      const size_t eq = line.find('=');
      // Side data sits inside its stream; only its rotation is asked for.
      current->emplace(line.substr(0, eq), line.substr(eq + 1));
    }
  }

  const Section* video = nullptr;
  info.streams.clear();
  for (const Section& s : streams) {
    StreamInfo stream;
    stream.index = static_cast<int>(to_integer(known(s, "index")).value_or(-1));
    stream.type = known(s, "codec_type");
    stream.codec = known(s, "codec_name");
    info.streams.push_back(stream);
    if (video == nullptr && stream.type == "video") video = &s;
  }
  if (video == nullptr) {
    error = "it has no video stream";
    return false;
  }
  const auto width = to_integer(known(*video, "width"));
  const auto height = to_integer(known(*video, "height"));
  if (!width || !height || *width <= 0 || *height <= 0 || *width > 65535 || *height > 65535) {
    error = "its video stream has no usable frame size";
    return false;
  }
  info.width = static_cast<int32_t>(*width);
  info.height = static_cast<int32_t>(*height);
  // ffmpeg turns rotated video upright while decoding: a quarter turn swaps the sides.
  if (auto rotation = to_integer(known(*video, "rotation")); rotation && std::abs(*rotation) % 180 == 90) {
    std::swap(info.width, info.height);
  }

  info.frame_rate = to_rational(known(*video, "avg_frame_rate"), '/');
  if (!info.frame_rate.valid()) info.frame_rate = to_rational(known(*video, "r_frame_rate"), '/');
  if (!info.frame_rate.valid()) info.frame_rate = {25, 1};
  info.sample_aspect = to_rational(known(*video, "sample_aspect_ratio"), ':');

  info.frame_count.reset();
  info.estimated_frames.reset();
  if (auto frames = to_integer(known(*video, "nb_frames")); frames && *frames > 0) {
    info.frame_count = *frames;
  } else if (const std::string duration = known(format, "duration"); !duration.empty()) {
    const double seconds = std::strtod(duration.c_str(), nullptr);
    if (seconds > 0) info.estimated_frames = std::llround(seconds * info.frame_rate.value());
  }

  info.color_space = known(*video, "color_space");
  info.color_primaries = known(*video, "color_primaries");
  info.color_transfer = known(*video, "color_transfer");
  info.color_range = known(*video, "color_range");
  return true;
}

}  // namespace qnr
