// Which of the input's streams the output keeps, and how: the filtered
// video; others copied packet by packet where the container takes them as
// they are, text subtitles converted and audio re-encoded where it takes
// them in another form, anything else left out with a note. A QuickTime
// timecode track goes along as the video's timecode where the container has
// one. Chapters and the container's metadata come along.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "media/audio_convert.h"
#include "media/libav.h"
#include "media/media_input.h"
#include "media/subtitle_convert.h"

namespace qnr {

// What the user chose to keep.
struct StreamChoice {
  bool video_only = false;  // an image file or an image sequence
  bool sequence = false;    // of those, an image sequence
  bool drop_audio = false;
  bool drop_subtitles = false;
  bool drop_data = false;
  bool quiet = false;  // no notes
};

// What becomes of each input stream, by input stream index.
struct StreamMap {
  std::vector<int> output_of;  // its output stream, -1 when left out
  int video = -1;              // the filtered video's output stream
  std::vector<std::unique_ptr<AudioConversion>> audio;
  std::vector<std::unique_ptr<SubtitleConversion>> subtitles;
  // Copied audio watched for a change of format (from a broadcast stream
  // into a container that stores one format per stream).
  std::vector<std::unique_ptr<AudioFormatWatch>> watches;
};

// Adds the output streams, in the input's order.
StreamMap map_streams(const MediaInput& input, AVFormatContext* output, const StreamChoice& choice);

// "audio stream 1 (aac)", "cover art 2 (png)", "timecode track 3 (01:00:00:00)", for notes.
std::string describe_stream(const AVStream& stream);

// The input container's metadata (less the name of the encoder that wrote
// it) and its chapters.
void copy_metadata_and_chapters(const AVFormatContext& input, AVFormatContext* output);

}  // namespace qnr
