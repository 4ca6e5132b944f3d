// Audio the output container cannot hold as it is, re-encoded into the
// container's usual audio codec (AAC, or Opus for WebM) with its timing.
#pragma once

#include <functional>
#include <memory>

#include "media/libav.h"

struct AVFilterGraph;
struct AVFilterContext;

namespace qnr {

class AudioConversion {
 public:
  // Adds the output stream, at `sample_rate` (0: the encoder's nearest to
  // the input's). Null (and no stream) when it cannot be done.
  static std::unique_ptr<AudioConversion> create(const AVStream& input, const char* encoder,
                                                 AVFormatContext* output, int sample_rate = 0);
  ~AudioConversion();

  int output_stream() const { return output_stream_; }
  AVRational time_base() const;
  // One packet of the input stream, or null at the end; `write` gets each
  // encoded packet in time_base(). False when the packet did not decode
  // (damaged): its sound is left out.
  bool convert(const AVPacket* packet, const std::function<void(AVPacket*)>& write);

 private:
  AudioConversion() = default;
  bool open_encoder(const AVCodec* encoder, bool global_header, int sample_rate);
  bool build_graph();
  void drain_graph(const std::function<void(AVPacket*)>& write, bool end);
  void drain_encoder(const std::function<void(AVPacket*)>& write);

  CodecPtr decoder_;
  CodecPtr encoder_;
  AVFilterGraph* graph_ = nullptr;
  AVFilterContext* source_ = nullptr;
  AVFilterContext* sink_ = nullptr;
  AVRational input_time_base_{1, 1};
  int output_stream_ = -1;
};

}  // namespace qnr
