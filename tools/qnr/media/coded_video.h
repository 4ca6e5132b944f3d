// The encoded video as a container takes it: the codec's parameters (its
// headers included), time base, frame rate and pixel aspect, and the options
// the encoder left for the container. A long job's segments each record it;
// the join refuses segments whose records differ and opens its output with
// it in place of an encoder.
#pragma once

#include <functional>
#include <memory>

#include "base/record_text.h"
#include "media/libav.h"

namespace qnr {

// Where encoded packets go when they do not go to a container; each in
// `time_base`.
using VideoPacketSink = std::function<void(AVPacket* packet, AVRational time_base)>;

struct ParametersFree {
  void operator()(AVCodecParameters* parameters) const { avcodec_parameters_free(&parameters); }
};
using ParametersPtr = std::unique_ptr<AVCodecParameters, ParametersFree>;

struct CodedVideo {
  ParametersPtr parameters;
  AVRational time_base{0, 1};
  AVRational frame_rate{0, 1};
  AVRational sample_aspect{0, 1};
  Dictionary muxer_options;  // what the encoder did not take

  CodedVideo copy() const;
};

// From an opened encoder and the options it left.
CodedVideo describe_coded_video(const AVCodecContext& encoder, AVRational sample_aspect,
                                const Dictionary& left_options);

// As fields "video.<name>" of a record, and back (throws RecordError).
void add_coded_video(const CodedVideo& video, TextRecord& record);
CodedVideo read_coded_video(const TextRecord& record);

}  // namespace qnr
