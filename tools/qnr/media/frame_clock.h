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

struct FrameTime {
  int64_t pts = 0;
  int64_t duration = 0;  // 0 when nothing says
};

class FrameClock {
 public:
  // `stream_rate` is the stream's own frame rate, {0, 1} when unknown;
  // `user_rate` the one --rate gave, {0, 1} for none. `input` names the input
  // in messages.
  FrameClock(AVRational time_base, AVRational stream_rate, AVRational user_rate,
             const std::string& input);

  // The next frame in presentation order. Throws Failure when it has no
  // timestamp and nothing tells how long the frame before it lasted.
  FrameTime next(const AVFrame& frame);

 private:
  FrameTime at_user_rate(const AVFrame& frame);
  // One period of the stream's frame rate, 0 when unknown.
  int64_t period() const;

  AVRational time_base_;
  AVRational stream_rate_;
  AVRational user_rate_;
  std::string input_;
  int64_t count_ = 0;
  int64_t first_pts_ = 0;  // with --rate: where the first frame is
  int64_t last_pts_ = AV_NOPTS_VALUE;
  int64_t last_duration_ = 0;
};

// The duration the decoder gives a frame, in its stream's time base; 0 when
// it gives none.
int64_t decoded_duration(const AVFrame& frame);
// Sets the duration a frame carries to the encoder, in its time base.
void set_frame_duration(AVFrame& frame, int64_t duration);

}  // namespace qnr
