// An MP4 or MOV file opened a second time to read only the bytes wanted.
// The container's index, read from the header when the file was first
// opened, places every sample of every stream; the second opening reads
// through a reader that gives zeros for the samples of the streams whose
// bytes are not wanted instead of reading them. A long job's plan walks
// every video packet for its time and place at the cost of the file's
// header; its join copies the sound without reading the video it replaces.
#pragma once

#include <memory>
#include <vector>

#include "media/libav.h"
#include "media/media_input.h"

namespace qnr {

// What a reading wants of each stream.
enum class StreamUse {
  none,   // discarded
  times,  // packets with their times, flags and places; their bytes are zeros
  whole,  // packets as the file holds them
};

class IndexedInput {
 public:
  virtual ~IndexedInput() = default;
  // The second opening, its streams numbered as the input's.
  virtual AVFormatContext* format() = 0;
  // Bytes read from the file so far, header included.
  virtual int64_t bytes_read() const = 0;
};

// Null where the input is not a plain MP4 or MOV file whose index places
// its samples, a `times` stream is a codec the demuxer parses from the
// packets' bytes (MPEG-1, VC-1, VP8, VP9), or a wanted sample shares bytes
// with one that is not: there, the file must be read as it is.
std::unique_ptr<IndexedInput> open_indexed_input(const MediaInput& input,
                                                 const std::vector<StreamUse>& uses);

// The video's packets for their times and places; every other stream discarded.
std::unique_ptr<IndexedInput> open_packet_times(const MediaInput& input);

}  // namespace qnr
