// When each decoded video frame is shown and for how long, in the input
// stream's time base. A frame keeps its own timestamp; one without (raw
// camera streams carry none) follows the frame before it by that frame's
// duration or, failing that, by one period of the stream's frame rate. With
// --rate every frame is one period of that rate after the one before it,
// whatever the input says.
#pragma once

#include <cstdint>
#include <string>

#include "media/libav.h"

namespace qnr {

// Gives each decoded frame, in presentation order, a timestamp where it has
// none and a duration where it has none: the decode loop dates every frame
// this way for every reader.
class FrameDating {
 public:
  // `stream_rate` is the stream's own frame rate, {0, 1} when unknown.
  FrameDating(AVRational time_base, AVRational stream_rate);

  // A frame without a timestamp after the first keeps none when nothing
  // tells how long the frame before it lasted.
  void date(AVFrame& frame);

 private:
  // One period of the stream's frame rate, 0 when unknown.
  int64_t period() const;

  AVRational time_base_;
  AVRational stream_rate_;
  int64_t last_pts_ = AV_NOPTS_VALUE;
  int64_t last_duration_ = 0;
};

struct FrameTime {
  int64_t pts = 0;
  int64_t duration = 0;  // 0 when nothing says
};

class FrameClock {
 public:
  // `user_rate` is the one --rate gave, {0, 1} for none. `input` names the
  // input in messages.
  FrameClock(AVRational time_base, AVRational user_rate, const std::string& input);

  // The next dated frame in presentation order. Throws Failure when it still
  // has no timestamp (nothing tells how long the frame before it lasted).
  FrameTime next(const AVFrame& frame);

 private:
  FrameTime at_user_rate(const AVFrame& frame);

  AVRational time_base_;
  AVRational user_rate_;
  std::string input_;
  int64_t count_ = 0;
  int64_t first_pts_ = 0;  // with --rate: where the first frame is
};

// The duration the decoder gives a frame, in its stream's time base; 0 when
// it gives none.
int64_t decoded_duration(const AVFrame& frame);
// Sets the duration a frame carries to the encoder, in its time base.
void set_frame_duration(AVFrame& frame, int64_t duration);

}  // namespace qnr
