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

FrameDating::FrameDating(AVRational time_base, AVRational stream_rate)
    : time_base_(time_base), stream_rate_(stream_rate) {}

int64_t FrameDating::period() const {
  if (stream_rate_.num <= 0 || stream_rate_.den <= 0) return 0;
  return av_rescale_q(1, av_inv_q(stream_rate_), time_base_);
}

void FrameDating::date(AVFrame& frame) {
  int64_t pts = frame.best_effort_timestamp;
  int64_t duration = decoded_duration(frame);
  if (pts == AV_NOPTS_VALUE) {
    const int64_t step = last_duration_ > 0 ? last_duration_ : period();
    if (last_pts_ != AV_NOPTS_VALUE && step <= 0) return;
    pts = last_pts_ == AV_NOPTS_VALUE ? 0 : last_pts_ + step;
  }
  // Nothing said: the frame lasts as long as the one before it.
  if (duration <= 0 && last_pts_ != AV_NOPTS_VALUE && pts > last_pts_) {
    duration = pts - last_pts_;
  }
  if (duration <= 0) duration = period();
  frame.best_effort_timestamp = pts;
  set_frame_duration(frame, duration);
  last_pts_ = pts;
  last_duration_ = duration;
}

FrameClock::FrameClock(AVRational time_base, AVRational user_rate, const std::string& input)
    : time_base_(time_base), user_rate_(user_rate), input_(input) {}

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
  } else if (frame.best_effort_timestamp == AV_NOPTS_VALUE) {
    throw Failure("cannot tell when the frames of " + input_ +
                  " are shown: they carry no timestamps and the stream gives no frame "
                  "rate; give one with --rate, e.g. --rate 25");
  } else {
    time.pts = frame.best_effort_timestamp;
    time.duration = decoded_duration(frame);
  }
  ++count_;
  return time;
}

}  // namespace qnr
