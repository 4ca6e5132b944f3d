#include "ffmpeg_commands.h"

#include <sys/stat.h>

#include <algorithm>
#include <set>

namespace qnr {

namespace {

const std::vector<std::string> kQuietFfmpeg = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel",
                                               "error"};

bool one_of(const std::string& value, std::initializer_list<const char*> set) {
  return std::any_of(set.begin(), set.end(), [&](const char* s) { return value == s; });
}

bool is_mp4_family(const std::string& ext) { return one_of(ext, {"mp4", "m4v", "mov"}); }
bool is_matroska(const std::string& ext) { return one_of(ext, {"mkv", "mka"}); }

bool is_text_subtitle(const std::string& codec) {
  return one_of(codec, {"subrip", "srt", "ass", "ssa", "mov_text", "webvtt", "text"});
}

// What happens to one audio or subtitle stream of the input in this container:
// "" drops it, "copy" copies it, anything else is the encoder that converts it.
std::string treatment(const StreamInfo& stream, const std::string& ext) {
  if (stream.type == "audio") {
    if (is_mp4_family(ext)) {
      // Others (FLAC, PCM, Vorbis...) are not stored in MP4 by this ffmpeg without
      // experimental flags: they become AAC.
      return one_of(stream.codec, {"aac", "mp3", "ac3", "eac3", "alac"}) ? "copy" : "aac";
    }
    if (ext == "webm") return one_of(stream.codec, {"opus", "vorbis"}) ? "copy" : "libopus";
    return "copy";
  }
  if (stream.type == "subtitle") {
    if (is_matroska(ext)) return "copy";
    if (is_mp4_family(ext)) return is_text_subtitle(stream.codec) ? "mov_text" : "";
    if (ext == "webm") return is_text_subtitle(stream.codec) ? "webvtt" : "";
    return "";
  }
  // Fonts and other attachments travel only in Matroska.
  if (stream.type == "attachment") return is_matroska(ext) ? "copy" : "";
  return "";
}

// The scaler's name for the matrix ffmpeg used to decode to RGB, so the
// conversion back uses the same one and colours survive the round trip.
std::string scaler_matrix(const std::string& color_space) {
  if (color_space == "bt709") return "bt709";
  if (color_space == "bt470bg" || color_space == "smpte170m") return "bt601";
  if (color_space == "smpte240m") return "smpte240m";
  if (color_space == "fcc") return "fcc";
  if (color_space == "bt2020nc" || color_space == "bt2020c") return "bt2020";
  return "";
}

}  // namespace

std::string ffmpeg_path(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && path.rfind("file:", 0) != 0) return "file:" + path;
  return path;
}

bool is_image_extension(const std::string& ext) {
  return one_of(ext, {"png", "jpg", "jpeg", "bmp", "tif", "tiff", "webp", "ppm", "pgm", "pam"});
}

std::vector<std::string> decoder_command(const std::string& input) {
  std::vector<std::string> argv = kQuietFfmpeg;
  // Every decoded frame exactly once, in the order decoded.
  for (const char* arg : {"-i"}) argv.push_back(arg);
  argv.push_back(ffmpeg_path(input));
  for (const char* arg : {"-map", "0:v:0", "-fps_mode", "passthrough", "-f", "rawvideo",
                          "-pix_fmt", "bgr0", "pipe:1"}) {
    argv.push_back(arg);
  }
  return argv;
}

std::vector<std::string> encoder_command(const EncodeRequest& request) {
  const MediaInfo& media = *request.media;
  const std::string& ext = request.extension;
  const bool image = is_image_extension(ext);
  std::vector<std::string> argv = kQuietFfmpeg;
  auto add = [&](std::initializer_list<std::string> args) {
    argv.insert(argv.end(), args.begin(), args.end());
  };
  add({"-y", "-f", "rawvideo", "-pix_fmt", "bgr0", "-s",
       std::to_string(media.width) + "x" + std::to_string(media.height), "-framerate",
       media.frame_rate.text(), "-i", "pipe:0"});

  // The input's other streams, chosen one by one for what this container takes.
  std::vector<std::pair<const StreamInfo*, std::string>> copied;
  if (!image && !request.input.empty()) {
    for (const StreamInfo& stream : media.streams) {
      if (stream.type == "video" || stream.index < 0) continue;
      std::string how = treatment(stream, ext);
      if (!how.empty()) copied.emplace_back(&stream, how);
    }
    add({"-i", ffmpeg_path(request.input)});
  }
  add({"-map", "0:v:0"});
  if (!image && !request.input.empty()) {
    for (const auto& [stream, how] : copied) add({"-map", "1:" + std::to_string(stream->index)});
    add({"-map_metadata", "1", "-map_chapters", "1"});
  }

  // Video: the container's default codec unless the user chose one.
  const bool odd = media.width % 2 != 0 || media.height % 2 != 0;
  const bool x264_family = is_mp4_family(ext) || is_matroska(ext) || ext == "avi";
  const std::string codec = request.codec.empty() && x264_family ? "libx264" : request.codec;
  if (!codec.empty()) add({"-c:v", codec});
  if (codec == "libx264") {
    // 4:2:0 needs even sides; odd-sized frames keep their size in 4:4:4.
    add({"-crf", "16", "-preset", "medium", "-pix_fmt", odd ? "yuv444p" : "yuv420p"});
  } else if (ext == "webm" && request.codec.empty()) {
    add({"-c:v", "libvpx-vp9", "-crf", "30", "-b:v", "0", "-row-mt", "1"});
  } else if (request.codec.empty() && one_of(ext, {"png", "tif", "tiff"})) {
    add({"-pix_fmt", "rgb24"});
  } else if (request.codec.empty() && one_of(ext, {"jpg", "jpeg"})) {
    add({"-q:v", "2"});
  }

  if (!image) {
    std::vector<std::string> filters;
    const std::string matrix = scaler_matrix(media.color_space);
    const bool full_range = media.color_range == "pc";
    if (!matrix.empty()) {
      filters.push_back("scale=out_color_matrix=" + matrix +
                        ":out_range=" + (full_range ? "full" : "limited"));
    }
    if (media.sample_aspect.valid() && media.sample_aspect.num != media.sample_aspect.den) {
      filters.push_back("setsar=" + media.sample_aspect.text());
    }
    if (!filters.empty()) {
      std::string chain;
      for (const std::string& f : filters) chain += (chain.empty() ? "" : ",") + f;
      add({"-vf", chain});
    }
    // The input's tags describe YUV video; an RGB input's ("gbr") do not apply.
    if (!matrix.empty()) {
      add({"-colorspace", media.color_space});
      if (!media.color_primaries.empty()) add({"-color_primaries", media.color_primaries});
      if (!media.color_transfer.empty()) add({"-color_trc", media.color_transfer});
      if (!media.color_range.empty()) add({"-color_range", media.color_range});
    }
  }

  // Other streams: per output stream, counted within each kind.
  int audio = 0, subtitle = 0, attachment = 0;
  for (const auto& [stream, how] : copied) {
    if (stream->type == "audio") add({"-c:a:" + std::to_string(audio++), how});
    if (stream->type == "subtitle") add({"-c:s:" + std::to_string(subtitle++), how});
    if (stream->type == "attachment") ++attachment;
  }
  (void)attachment;
  if (is_mp4_family(ext)) add({"-movflags", "+faststart"});
  if (image) add({"-frames:v", "1", "-update", "1"});

  argv.insert(argv.end(), request.extra.begin(), request.extra.end());
  argv.push_back(ffmpeg_path(request.output));
  return argv;
}

}  // namespace qnr
