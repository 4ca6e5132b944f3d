#include "media/media_input.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/parseutils.h>
}

#include "base/failure.h"
#include "base/interrupt.h"
#include "media/sequence_name.h"

namespace qnr {

MediaInput::~MediaInput() {
  decoder.reset();
  if (format != nullptr) avformat_close_input(&format);
}

std::string input_url(const std::string& name) {
  if (name == "-") return "pipe:0";
  if (name.find("://") != std::string::npos || is_sequence_pattern(name)) return name;
  return "file:" + name;
}

bool is_cover_art(const AVStream& stream) {
  return (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
}

namespace {

void check_input_file(const std::string& name) {
  if (name == "-" || is_sequence_pattern(name) || name.find("://") != std::string::npos) {
    return;
  }
  struct stat info {};
  if (::stat(name.c_str(), &info) != 0) {
    throw Failure("cannot read " + name + ": " + std::strerror(errno) +
                  "; check the input file's name");
  }
  if (S_ISDIR(info.st_mode)) throw Failure(name + " is a directory; name a video or image file");
  if (::access(name.c_str(), R_OK) != 0) {
    throw Failure("cannot read " + name + ": " + std::strerror(errno) +
                  "; check the file's permissions");
  }
}

int stop_when_interrupted(void*) { return interrupted_signal() != 0 ? 1 : 0; }

// An MP4 or MOV whose index comes after its pictures cannot be read from a
// pipe: the demuxer reads the whole file to reach the index and cannot go
// back to the pictures (except a file small enough to still be in its buffer).
void check_index_reachable(const MediaInput& input) {
  AVFormatContext* format = input.format;
  AVIOContext* pb = format->pb;
  if (pb == nullptr || (pb->seekable & AVIO_SEEKABLE_NORMAL) != 0 ||
      std::strncmp(format->iformat->name, "mov", 3) != 0) {
    return;
  }
  const int64_t here = avio_tell(pb);
  int64_t first = here;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    if (avformat_index_get_entries_count(format->streams[i]) == 0) continue;
    first = std::min(first, avformat_index_get_entry(format->streams[i], 0)->pos);
  }
  if (first >= here) return;
  if (avio_seek(pb, first, SEEK_SET) >= 0 && avio_seek(pb, here, SEEK_SET) >= 0) return;
  throw Failure("cannot read " + input.name +
                " from a pipe: its index (the moov box) comes after its pictures, and a pipe "
                "cannot go back to them; give the file's name instead, or move the index to "
                "the front first (ffmpeg -i IN -c copy -movflags +faststart OUT)");
}

void open_container(MediaInput& input) {
  input.format = avformat_alloc_context();
  if (input.format == nullptr) throw std::bad_alloc();
  input.format->interrupt_callback = {stop_when_interrupted, nullptr};
  const std::string url = input_url(input.name);
  if (int code = avformat_open_input(&input.format, url.c_str(), nullptr, nullptr); code < 0) {
    throw_if_interrupted();
    throw Failure("cannot read " + input.name + " as video or image: " + av_error_text(code) +
                  " (is it damaged or not a media file?)");
  }
  check_index_reachable(input);
  if (int code = avformat_find_stream_info(input.format, nullptr); code < 0) {
    throw_if_interrupted();
    throw Failure("cannot read " + input.name + " as video or image: " + av_error_text(code) +
                  " (is it damaged?)");
  }
}

// The first video stream that is not cover art.
int find_video_stream(const MediaInput& input) {
  bool cover_art = false;
  for (unsigned i = 0; i < input.format->nb_streams; ++i) {
    const AVStream* stream = input.format->streams[i];
    if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    if (is_cover_art(*stream)) {
      cover_art = true;
      continue;
    }
    return static_cast<int>(i);
  }
  throw Failure("cannot filter " + input.name + ": it has no video stream" +
                (cover_art ? " (its only picture is cover art)" : ""));
}

void open_video_decoder(MediaInput& input) {
  const AVStream& stream = *input.video_stream();
  int code = 0;
  input.decoder = open_decoder(stream, 0, &code);  // one thread per processor
  if (input.decoder) return;
  if (code == AVERROR_DECODER_NOT_FOUND) {
    throw Failure("cannot filter " + input.name + ": no decoder for its video codec " +
                  avcodec_get_name(stream.codecpar->codec_id));
  }
  throw Failure("cannot decode the video of " + input.name + ": " + av_error_text(code));
}

// The container's frame count, or an estimate from the duration and rate.
void count_frames(MediaInput& input) {
  AVStream* stream = input.video_stream();
  if (stream->nb_frames > 0) {
    input.frame_count = stream->nb_frames;
    return;
  }
  const AVRational rate = av_guess_frame_rate(input.format, stream, nullptr);
  double seconds = 0;
  if (stream->duration > 0) {
    seconds = stream->duration * av_q2d(stream->time_base);
  } else if (input.format->duration > 0) {
    seconds = input.format->duration / double(AV_TIME_BASE);
  }
  if (seconds > 0 && rate.num > 0 && rate.den > 0) {
    input.estimated_frames = std::llround(seconds * av_q2d(rate));
  }
}

// The stream's own duration where the header gives one, else the end
// Matroska's muxers note for each track, else the file's duration when the
// video is all it holds; never a length estimated from the data.
void find_expected_end(MediaInput& input) {
  const AVFormatContext* format = input.format;
  const AVStream* stream = input.video_stream();
  if (format->duration_estimation_method != AVFMT_DURATION_FROM_STREAM) return;
  const AVRational time_base = stream->time_base;
  if (stream->duration > 0) {
    const int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
    input.expected_end = (start + stream->duration) * av_q2d(time_base);
    return;
  }
  int64_t end = 0;
  if (const AVDictionaryEntry* tag = av_dict_get(stream->metadata, "DURATION", nullptr, 0);
      tag != nullptr && av_parse_time(&end, tag->value, 1) == 0 && end > 0) {
    input.expected_end = end / double(AV_TIME_BASE);
    return;
  }
  if (format->nb_streams == 1 && format->duration > 0) {
    const int64_t start = format->start_time == AV_NOPTS_VALUE ? 0 : format->start_time;
    input.expected_end = (start + format->duration) / double(AV_TIME_BASE);
  }
}

}  // namespace

std::unique_ptr<MediaInput> open_media_input(const std::string& name) {
  check_input_file(name);
  auto input = std::make_unique<MediaInput>();
  input->name = name;
  open_container(*input);
  input->video = find_video_stream(*input);
  open_video_decoder(*input);
  count_frames(*input);
  find_expected_end(*input);
  if (is_sequence_pattern(name)) input->sequence_gap = sequence_gap(name);
  return input;
}

}  // namespace qnr
