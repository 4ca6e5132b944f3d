// The input side: the container opened once, the one video stream that is
// filtered (never cover art), and its decoder with the decoder's own threads.
#pragma once

#include <optional>
#include <string>

#include "media/libav.h"

namespace qnr {

struct MediaInput {
  std::string name;  // as the user gave it, for messages
  AVFormatContext* format = nullptr;
  int video = -1;  // index of the filtered stream
  CodecPtr decoder;
  std::optional<int64_t> frame_count;       // from the container, when it says
  std::optional<int64_t> estimated_frames;  // from duration x rate otherwise
  // Where the container's header says the video ends, in seconds on its
  // clock; unknown where the length is only estimated from what was read.
  std::optional<double> expected_end;
  // An image sequence that stops at a missing picture: a note saying so.
  std::string sequence_gap;

  MediaInput() = default;
  MediaInput(const MediaInput&) = delete;
  MediaInput& operator=(const MediaInput&) = delete;
  ~MediaInput();

  AVStream* video_stream() const { return format->streams[video]; }
  // The video's frame rate as libavformat guesses it; {0, 1} when unknown.
  AVRational video_rate() const { return av_guess_frame_rate(format, video_stream(), nullptr); }
};

// A picture stored as a video stream (an album's cover): never the video
// that is filtered.
bool is_cover_art(const AVStream& stream);

// What libavformat opens for a name: "-" is standard input, a plain path is
// read as a file even when it has a colon or a percent sign in it; only an
// image-sequence pattern goes to the picture reader as it is.
std::string input_url(const std::string& name);

// Opens the input and its video decoder. Throws Failure with a message that
// names the file and what is wrong with it.
std::unique_ptr<MediaInput> open_media_input(const std::string& name);

}  // namespace qnr
