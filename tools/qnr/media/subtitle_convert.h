// Text subtitles the output container holds only in its own text format
// (MP4's, WebM's), converted packet by packet: the text and its timing
// survive, the styling that format lacks does not.
#pragma once

#include <functional>
#include <memory>

#include "media/libav.h"

namespace qnr {

class SubtitleConversion {
 public:
  // Adds the output stream. Null (and no stream) when the input is not text
  // or cannot be converted into `encoder`.
  static std::unique_ptr<SubtitleConversion> create(const AVStream& input, const char* encoder,
                                                    AVFormatContext* output);

  int output_stream() const { return output_stream_; }
  // The input stream's, which the converted packets keep.
  AVRational time_base() const { return time_base_; }
  // One packet of the input stream; `write` gets the converted packet in
  // time_base(). False when it does not decode or convert (damaged): it is
  // left out.
  bool convert(AVPacket* packet, const std::function<void(AVPacket*)>& write);

 private:
  SubtitleConversion() = default;

  CodecPtr decoder_;
  CodecPtr encoder_;
  AVRational time_base_{1, 1};
  int output_stream_ = -1;
};

}  // namespace qnr
