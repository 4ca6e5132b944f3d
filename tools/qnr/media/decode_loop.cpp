#include "media/decode_loop.h"

#include <algorithm>
#include <new>

#include "base/failure.h"
#include "base/interrupt.h"

namespace qnr {

namespace {

// How far short of the end its header gives an input may stop without being
// called cut short: headers round, and the last frame's length varies.
constexpr double kEndTolerance = 0.5;

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
  dating_ = FrameDating(input_.video_stream()->time_base, input_.video_rate());
  return true;
}

bool DecodeLoop::next(AVFrame* frame) {
  AVCodecContext* decoder = input_.decoder.get();
  for (;;) {
    const int code = avcodec_receive_frame(decoder, frame);
    if (code >= 0) {
      dating_.date(*frame);
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
  if (frame.decode_error_flags != 0 || (frame.flags & AV_FRAME_FLAG_CORRUPT) != 0) {
    damage_.frame_damaged(frames_before_ + kept_ + 1, "the decoder met damaged data");
  }
  ++kept_;
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
  if (stopped_by_ != 0) {
    damage_.reading_stopped(frames_before_ + kept_, av_error_text(stopped_by_));
  } else if (input_.expected_end && video_end_ < *input_.expected_end - kEndTolerance) {
    damage_.ended_early(frames_before_ + kept_, video_end_, *input_.expected_end);
  }
}

}  // namespace qnr
