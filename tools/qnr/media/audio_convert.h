// Audio the output container cannot hold as it is, re-encoded into the
// container's usual audio codec (AAC, or Opus for WebM) with its timing.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "media/libav.h"

struct AVFilterGraph;
struct AVFilterContext;

namespace qnr {

class AudioConversion {
 public:
  // Adds the output stream, at `sample_rate` (0: the encoder's nearest to
  // the input's). Null (and no stream) when it cannot be done. With
  // `into_stream`, codes into that output stream of the input's own codec,
  // rate and channels instead of adding one.
  static std::unique_ptr<AudioConversion> create(const AVStream& input, const char* encoder,
                                                 AVFormatContext* output, int sample_rate = 0,
                                                 int into_stream = -1);
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
  bool build_graph(int rate, AVSampleFormat format, const AVChannelLayout& layout);
  void follow_format(const AVFrame& frame, const std::function<void(AVPacket*)>& write);
  void drain_graph(const std::function<void(AVPacket*)>& write, bool end);
  void drain_encoder(const std::function<void(AVPacket*)>& write);

  CodecPtr decoder_;
  CodecPtr encoder_;
  AVFilterGraph* graph_ = nullptr;
  AVFilterContext* source_ = nullptr;
  AVFilterContext* sink_ = nullptr;
  AVRational input_time_base_{1, 1};
  int output_stream_ = -1;
  // Packets go into a copied AAC stream that came with ADTS headers (a
  // transport stream's), which the container's filter strips: they get one.
  bool adts_ = false;
  // What the graph takes: the decoder's format, until its frames change.
  int graph_rate_ = 0;
  AVSampleFormat graph_format_ = AV_SAMPLE_FMT_NONE;
  AVChannelLayout graph_layout_{};
};

// A copied audio stream whose format may change midway (broadcast
// recordings switch between stereo and 5.1, 48 and 44.1 kHz), which a
// container that stores one format per stream cannot follow. Each packet is
// decoded to see.
class AudioFormatWatch {
 public:
  // Null where the stream has no decoder.
  static std::unique_ptr<AudioFormatWatch> create(const AVStream& input);
  // "" while the packet's sound is in the stream's first format; else what it
  // changed to, as "6 channels at 44100 Hz" (the watch then stops).
  std::string changed(const AVPacket& packet);
  // The first format, as "2 channels at 48000 Hz".
  std::string first() const;

 private:
  CodecPtr decoder_;
  FramePtr frame_ = new_frame();
  int rate_ = 0;
  int channels_ = 0;
  bool done_ = false;
};

}  // namespace qnr
