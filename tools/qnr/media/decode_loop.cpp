#include "media/decode_loop.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <utility>

#include "base/failure.h"
#include "base/interrupt.h"

namespace qnr {

namespace {

// How far short of the end its header gives an input may stop without being
// called cut short: headers round, and the last frame's length varies.
constexpr double kEndTolerance = 0.5;
// Fewer frames than a header declares by more than this is an early end.
constexpr int64_t kCountTolerance = 2;
// A step between two frames this many times the usual one, and at least
// this long, is a hole; steps within an eighth of the usual one (rounded
// timestamps) are the usual one, and a few of them must come first.
constexpr int64_t kHoleSteps = 5;
constexpr double kShortestHole = 0.25;
constexpr int64_t kSteadySteps = 3;
// How many timestamps of packets sent before the first frame are kept.
constexpr size_t kLeadingLimit = 100000;

bool same_step(int64_t step, int64_t usual) { return std::llabs(step - usual) <= usual / 8 + 1; }

}  // namespace

DecodeLoop::DecodeLoop(MediaInput& input, DamageLog& damage)
    : input_(input),
      damage_(damage),
      dating_(input.video_stream()->time_base, input.video_rate()) {}

bool DecodeLoop::seek(int64_t pts) {
  if (av_seek_frame(input_.format, input_.video, pts, AVSEEK_FLAG_BACKWARD) < 0) return false;
  if (sent_) avcodec_flush_buffers(input_.decoder.get());
  sent_ = draining_ = ended_ = false;
  stopped_by_ = 0;
  steps_.last_pts = AV_NOPTS_VALUE;
  corrupt_.clear();
  leading_checked_ = true;
  leading_.clear();
  dating_ = FrameDating(input_.video_stream()->time_base, input_.video_rate());
  return true;
}

bool DecodeLoop::next(AVFrame* frame) {
  AVCodecContext* decoder = input_.decoder.get();
  for (;;) {
    const int code = avcodec_receive_frame(decoder, frame);
    if (code >= 0) {
      check_flagged(frame->pts);
      check_leading(frame->pts);
      dating_.date(*frame);
      find_hole(*frame);
      return true;
    }
    if (code == AVERROR_EOF || (code == AVERROR(EAGAIN) && draining_)) {
      if (!ended_) report_end();
      ended_ = true;
      return false;
    }
    if (code != AVERROR(EAGAIN)) {
      decoding_failed(code);
      continue;
    }
    if (!feed()) {
      draining_ = true;
      decode(nullptr);
    }
  }
}

void DecodeLoop::keep(const AVFrame& frame) {
  const int64_t number = frames_before_ + kept_ + 1;
  if (hole_.from != AV_NOPTS_VALUE) {
    const double time_base = av_q2d(input_.video_stream()->time_base);
    damage_.hole(number, hole_.from * time_base, hole_.to * time_base, steps_.smallest * time_base);
  }
  if (flagged_) {
    damage_.frame_damaged(number, "the demuxer flags its data corrupt");
  } else if (frame.decode_error_flags != 0 || (frame.flags & AV_FRAME_FLAG_CORRUPT) != 0) {
    damage_.frame_damaged(number, "the decoder met damaged data");
  }
  ++kept_;
}

// Whether the frame's packet was flagged corrupt; flags of packets that gave
// no frame are dropped as the frames go past them.
void DecodeLoop::check_flagged(int64_t pts) {
  flagged_ = pts != AV_NOPTS_VALUE && corrupt_.erase(pts) > 0;
  if (pts != AV_NOPTS_VALUE) corrupt_.erase(corrupt_.begin(), corrupt_.lower_bound(pts));
}

// Packets sent before the first frame that come before it in time gave no
// picture; a later segment's are the segment before's.
void DecodeLoop::check_leading(int64_t pts) {
  if (leading_checked_) return;
  leading_checked_ = true;
  if (preroll_ || pts == AV_NOPTS_VALUE) return;
  const int64_t before =
      std::count_if(leading_.begin(), leading_.end(), [&](int64_t sent) { return sent < pts; });
  leading_.clear();
  if (before > 0) damage_.leading_packets(before, pts * av_q2d(input_.video_stream()->time_base));
}

// A step between two frames far longer than the video's steady one.
void DecodeLoop::find_hole(const AVFrame& frame) {
  hole_ = {};
  if (frame.pts == AV_NOPTS_VALUE) return;
  const int64_t last = std::exchange(steps_.last_pts, frame.pts);
  if (last == AV_NOPTS_VALUE || frame.pts <= last) return;
  const int64_t step = frame.pts - last;
  if (steps_.smallest == 0) {
    steps_.smallest = step;
    steps_.steady = 1;
    return;
  }
  if (same_step(step, steps_.smallest)) {
    ++steps_.steady;
    return;
  }
  // A frame or two dropped: neither a hole nor irregular.
  const int64_t whole = (step + steps_.smallest / 2) / steps_.smallest;
  if (whole > 1 && whole <= kHoleSteps && same_step(step, whole * steps_.smallest)) return;
  const bool long_enough = step * av_q2d(input_.video_stream()->time_base) >= kShortestHole;
  if (step > kHoleSteps * steps_.smallest && long_enough) {
    if (!steps_.irregular && steps_.steady >= kSteadySteps) hole_ = {last, frame.pts};
    return;
  }
  steps_.irregular = true;
  steps_.smallest = std::min(steps_.smallest, step);
}

bool DecodeLoop::feed() {
  AVPacket& packet = *packet_;
  for (;;) {
    const int code = av_read_frame(input_.format, &packet);
    // A sequence's picture reader fails at a missing picture: its end here.
    if (code == AVERROR_EOF || (code == AVERROR(EIO) && !input_.sequence_gap.empty())) {
      return false;
    }
    if (code < 0) {
      read_failed(code);
      return false;
    }
    // Told first: the hook may take another stream's packet away.
    const bool video = packet.stream_index == input_.video;
    if (hook_) hook_(packet);
    if (video) {
      note_video_end(packet);
      const int64_t pts = packet.pts;
      if (pts != AV_NOPTS_VALUE) {
        if ((packet.flags & AV_PKT_FLAG_CORRUPT) != 0) corrupt_.insert(pts);
        const bool shown = (packet.flags & AV_PKT_FLAG_DISCARD) == 0;
        if (!leading_checked_ && shown && leading_.size() < kLeadingLimit) leading_.push_back(pts);
      }
      decode(&packet);
    }
    av_packet_unref(&packet);
    if (video) return true;
  }
}

void DecodeLoop::decode(const AVPacket* packet) {
  if (packet != nullptr) sent_ = true;
  const int code = avcodec_send_packet(input_.decoder.get(), packet);
  // A damaged packet is skipped, as players do; the frames around it go on.
  if (code < 0 && code != AVERROR_EOF) decoding_failed(code);
}

void DecodeLoop::decoding_failed(int code) {
  if (code == AVERROR(ENOMEM)) throw std::bad_alloc();
  if (preroll_ && kept_ == 0) return;
  damage_.frame_damaged(frames_before_ + kept_ + 1, av_error_text(code));
}

// Damaged data ends the input where it is, as a player stops there; any
// other failure to read is the job's.
void DecodeLoop::read_failed(int code) {
  throw_if_interrupted();
  if (code != AVERROR_INVALIDDATA) {
    throw Failure("reading " + input_.name + " failed: " + av_error_text(code));
  }
  stopped_by_ = code;
}

// Where the video read so far ends, to tell an input cut short.
void DecodeLoop::note_video_end(const AVPacket& packet) {
  const int64_t start = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
  if (start == AV_NOPTS_VALUE) return;
  const AVRational time_base = input_.video_stream()->time_base;
  video_end_ = std::max(video_end_, (start + packet.duration) * av_q2d(time_base));
}

void DecodeLoop::report_end() {
  const int64_t frames = frames_before_ + kept_;
  if (stopped_by_ != 0) {
    damage_.reading_stopped(frames, av_error_text(stopped_by_));
  } else if (input_.declared_frames && frames < *input_.declared_frames - kCountTolerance) {
    damage_.fewer_frames(frames, video_end_, *input_.declared_frames);
  } else if (input_.expected_end && video_end_ < *input_.expected_end - kEndTolerance) {
    damage_.ended_early(frames, video_end_, *input_.expected_end);
  }
}

}  // namespace qnr
