#include "media/output_format.h"

#include <stdlib.h>

#include <cstring>
#include <utility>
#include <vector>

#include "base/failure.h"

namespace qnr {

namespace {

// The codec and quality each container gets unless --codec says otherwise.
struct CodecDefault {
  const char* codec;
  std::vector<std::pair<const char*, const char*>> options;
};

bool default_codec(const AVOutputFormat* format, const std::string& name, CodecDefault& out) {
  const char* muxer = format->name;
  if (one_of(muxer, {"mp4", "mov", "ipod", "matroska", "avi", "mpegts", "flv"})) {
    out = {"libx264", {{"crf", "16"}, {"preset", "medium"}}};
    return true;
  }
  if (one_of(muxer, {"webm"})) {
    out = {"libvpx-vp9", {{"crf", "30"}, {"b", "0"}, {"row-mt", "1"}}};
    return true;
  }
  if (one_of(muxer, {"gif"})) {
    out = {"gif", {}};
    return true;
  }
  // MPEG program streams (.mpg, .vob) and MXF: MPEG-2 at a fine fixed
  // quantiser, a keyframe every 15 frames for seeking as DVD players do.
  if (one_of(muxer, {"mpeg", "vob", "svcd", "dvd", "mxf"})) {
    out = {"mpeg2video", {{"qscale", "2"}, {"g", "15"}}};
    return true;
  }
  if (one_of(muxer, {"ogv", "ogg"})) {
    out = {"libtheora", {{"qscale", "8"}}};
    return true;
  }
  if (one_of(muxer, {"webp"})) {
    out = {"libwebp_anim", {{"quality", "90"}}};
    return true;
  }
  if (one_of(muxer, {"null"})) {
    out = {"wrapped_avframe", {}};
    return true;
  }
  // NUT mostly carries video down a pipe to another program: lossless, so
  // the next step codes the filtered picture itself.
  if (one_of(muxer, {"nut"})) {
    out = {"ffv1", {}};
    return true;
  }
  // YUV4MPEG carries the frames as they are; APNG has one codec of its own.
  if (one_of(muxer, {"yuv4mpegpipe", "apng"})) {
    const AVCodec* codec = avcodec_find_encoder(format->video_codec);
    if (codec == nullptr) return false;
    out = {codec->name, {}};
    return true;
  }
  if (one_of(muxer, {"image2", "image2pipe"})) {
    const AVCodecID id = av_guess_codec(format, nullptr, name.c_str(), nullptr, AVMEDIA_TYPE_VIDEO);
    const AVCodec* codec = avcodec_find_encoder(id);
    if (codec == nullptr) return false;
    out = {codec->name, {}};
    return true;
  }
  return false;
}

// Containers that can be written front to back without going back to fill in
// an index or sizes.
bool streamable(const AVOutputFormat* format) {
  return one_of(format->name,
                {"matroska", "webm", "mpegts", "nut", "flv", "null", "image2pipe", "yuv4mpegpipe",
                 "ogg", "ogv", "mpeg", "vob", "svcd", "dvd", "h264", "hevc", "rawvideo", "gif"});
}

const AVOutputFormat* named_container(const OutputRequest& request) {
  if (!request.format.empty()) {
    const AVOutputFormat* format = av_guess_format(request.format.c_str(), nullptr, nullptr);
    if (format == nullptr) {
      throw Failure("unknown output format \"" + request.format + "\"", kExitUsage);
    }
    return format;
  }
  const AVOutputFormat* format = av_guess_format(nullptr, request.name.c_str(), nullptr);
  if (format == nullptr) {
    throw Failure("cannot tell the output format from \"" + request.name +
                      "\"; give it an extension such as .mp4 or .mkv, or add -f FORMAT",
                  kExitUsage);
  }
  return format;
}

// x265 and SVT-AV1 print their own banners straight to standard error,
// past qnr's one-line messages: errors only, and not even those under -q
// (a log level the user set stays).
void silence_banners(const AVCodec* codec, bool quiet, Dictionary& encoder_options) {
  if (std::strcmp(codec->name, "libx265") == 0) {
    const std::string level = quiet ? "log-level=none" : "log-level=error";
    const AVDictionaryEntry* params =
        av_dict_get(encoder_options.entries, "x265-params", nullptr, 0);
    if (params == nullptr) {
      encoder_options.set("x265-params", level);
    } else if (std::strstr(params->value, "log-level") == nullptr) {
      encoder_options.set("x265-params", std::string(params->value) + ":" + level);
    }
  }
  // SVT-AV1 reads its level from the environment when an encoder opens;
  // this runs before qnr starts its threads.
  if (std::strcmp(codec->name, "libsvtav1") == 0) ::setenv("SVT_LOG", quiet ? "0" : "1", 0);
}

const AVCodec* default_video_codec(const OutputRequest& request, const AVOutputFormat* format,
                                   Dictionary& encoder_options) {
  CodecDefault defaults{};
  if (!default_codec(format, request.name, defaults)) {
    throw Failure("qnr has no default video codec for the " + std::string(format->name) +
                      " container of " + request.name + "; name one with --codec",
                  kExitUsage);
  }
  const AVCodec* codec = avcodec_find_encoder_by_name(defaults.codec);
  if (codec == nullptr) {
    throw Failure(std::string("this FFmpeg has no ") + defaults.codec + " encoder for " +
                  request.name + "; name another with --codec");
  }
  for (const auto& [key, value] : defaults.options) encoder_options.set_default(key, value);
  return codec;
}

}  // namespace

Container choose_container(const OutputRequest& request) {
  Container container{named_container(request)};
  if (std::strcmp(container.format->name, "image2") == 0 && !request.sequence) {
    // One picture into one file, written through qnr's own handle on it.
    container.format = av_guess_format("image2pipe", nullptr, nullptr);
    container.single_image = true;
  }
  if (request.streamed && !streamable(container.format)) {
    throw Failure("the " + std::string(container.format->name) +
                      " container cannot be written to " + request.name +
                      " (it needs a seekable file); use -f matroska, mpegts or nut",
                  kExitUsage);
  }
  return container;
}

const AVCodec* choose_video_codec(const OutputRequest& request, const AVOutputFormat* format,
                                  Dictionary& encoder_options) {
  const AVCodec* codec = nullptr;
  if (!request.codec.empty()) {
    codec = avcodec_find_encoder_by_name(request.codec.c_str());
    if (codec == nullptr || codec->type != AVMEDIA_TYPE_VIDEO) {
      throw Failure(
          "no video encoder named \"" + request.codec + "\" (ffmpeg -encoders lists them)",
          kExitUsage);
    }
  } else {
    codec = default_video_codec(request, format, encoder_options);
  }
  if (std::strcmp(codec->name, "mjpeg") == 0) encoder_options.set_default("qscale", "2");
  silence_banners(codec, request.quiet, encoder_options);
  return codec;
}

void add_muxer_defaults(const AVOutputFormat* format, bool streamed, Dictionary& muxer_options) {
  // Transport streams keep the input's timestamps instead of starting anew
  // at the muxer's own delay.
  if (one_of(format->name, {"mpegts"})) muxer_options.set_default("mpegts_copyts", "1");
  if (one_of(format->name, {"mp4", "mov", "ipod"}) && !streamed) {
    muxer_options.set_default("movflags", "+faststart");
  }
}

void add_video_muxer_defaults(const AVOutputFormat* format, AVRational video_time_base,
                              Dictionary& muxer_options) {
  // MP4's edit list, which says when a late track starts, counts in the
  // movie's time scale: the video's own keeps that start to the tick.
  if (one_of(format->name, {"mp4", "mov", "ipod"}) && video_time_base.den > 0) {
    muxer_options.set_default("movie_timescale", std::to_string(video_time_base.den));
  }
}

const char* audio_codec_for(const AVOutputFormat* format) {
  if (one_of(format->name, {"mp4", "mov", "ipod", "mpegts", "flv"})) return "aac";
  if (one_of(format->name, {"webm"})) return "libopus";
  if (one_of(format->name, {"mpeg", "vob", "svcd", "dvd"})) return "mp2";
  if (one_of(format->name, {"ogv", "ogg"})) return "libvorbis";
  if (one_of(format->name, {"mxf"})) return "pcm_s16le";
  return nullptr;
}

int audio_sample_rate_for(const AVOutputFormat* format) {
  return one_of(format->name, {"mxf"}) ? 48000 : 0;
}

const char* text_subtitle_codec_for(const AVOutputFormat* format) {
  if (one_of(format->name, {"mp4", "mov", "ipod"})) return "mov_text";
  if (one_of(format->name, {"webm"})) return "webvtt";
  if (one_of(format->name, {"matroska"})) return "ass";
  return nullptr;
}

}  // namespace qnr
