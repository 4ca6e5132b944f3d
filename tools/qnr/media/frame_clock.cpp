#include "media/frame_clock.h"

#include "base/failure.h"

namespace qnr {

int64_t decoded_duration(const AVFrame& frame) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
  return frame.duration > 0 ? frame.duration : 0;
#else
  return frame.pkt_duration > 0 ? frame.pkt_duration : 0;
#endif
}

void set_frame_duration(AVFrame& frame, int64_t duration) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
  frame.duration = duration;
#else
  frame.pkt_duration = duration;
#endif
}

FrameClock::FrameClock(AVRational time_base, AVRational stream_rate, AVRational user_rate,
                       const std::string& input)
    : time_base_(time_base), stream_rate_(stream_rate), user_rate_(user_rate), input_(input) {}

int64_t FrameClock::period() const {
  if (stream_rate_.num <= 0 || stream_rate_.den <= 0) return 0;
  return av_rescale_q(1, av_inv_q(stream_rate_), time_base_);
}

FrameTime FrameClock::at_user_rate(const AVFrame& frame) {
  if (count_ == 0 && frame.best_effort_timestamp != AV_NOPTS_VALUE) {
    first_pts_ = frame.best_effort_timestamp;
  }
  // Counted from the first frame, so the rounding of one frame never adds up.
  const AVRational period = av_inv_q(user_rate_);
  FrameTime time;
  time.pts = first_pts_ + av_rescale_q(count_, period, time_base_);
  time.duration = first_pts_ + av_rescale_q(count_ + 1, period, time_base_) - time.pts;
  return time;
}

FrameTime FrameClock::next(const AVFrame& frame) {
  FrameTime time;
  if (user_rate_.num > 0) {
    time = at_user_rate(frame);
  } else {
    time.pts = frame.best_effort_timestamp;
    time.duration = decoded_duration(frame);
    if (time.pts == AV_NOPTS_VALUE) {
      const int64_t step = last_duration_ > 0 ? last_duration_ : period();
      if (last_pts_ != AV_NOPTS_VALUE && step <= 0) {
        throw Failure("cannot tell when the frames of " + input_ +
                      " are shown: they carry no timestamps and the stream gives no frame "
                      "rate; give one with --rate, e.g. --rate 25");
      }
      time.pts = last_pts_ == AV_NOPTS_VALUE ? 0 : last_pts_ + step;
    }
    // Nothing said: the frame lasts as long as the one before it.
    if (time.duration <= 0 && last_pts_ != AV_NOPTS_VALUE && time.pts > last_pts_) {
      time.duration = time.pts - last_pts_;
    }
    if (time.duration <= 0) time.duration = period();
  }
  ++count_;
  last_pts_ = time.pts;
  last_duration_ = time.duration;
  return time;
}

}  // namespace qnr
