#include "media/input_timeline.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace qnr {

namespace {

constexpr int64_t kLargestStep = 10 * int64_t{AV_TIME_BASE};  // a gap longer is a jump
constexpr int64_t kLargestStepBack = AV_TIME_BASE / 10;       // so is going back further

void shift(AVPacket& packet, int64_t by) {
  if (packet.dts != AV_NOPTS_VALUE) packet.dts += by;
  if (packet.pts != AV_NOPTS_VALUE) packet.pts += by;
}

}  // namespace

InputTimeline::InputTimeline(const AVFormatContext& format, int video, AVRational video_rate)
    : format_(format),
      may_jump_((format.iformat->flags & AVFMT_TS_DISCONT) != 0),
      video_(video),
      video_rate_(video_rate),
      streams_(format.nb_streams) {}

int64_t InputTimeline::duration_of(const AVPacket& packet, AVRational time_base) const {
  if (packet.duration > 0) return av_rescale_q(packet.duration, time_base, AV_TIME_BASE_Q);
  if (packet.stream_index == video_ && video_rate_.num > 0 && video_rate_.den > 0) {
    return av_rescale_q(1, av_inv_q(video_rate_), AV_TIME_BASE_Q);
  }
  return 0;
}

int64_t InputTimeline::jump_of(int stream, int64_t dts) const {
  const StreamClock& clock = streams_[stream];
  if (clock.next != AV_NOPTS_VALUE) {
    const int64_t delta = dts - clock.next;
    return std::llabs(delta) > kLargestStep || dts + kLargestStepBack < clock.last ? delta : 0;
  }
  // A stream's first packet: only a jump far from the other streams counts.
  if (last_dts_ != AV_NOPTS_VALUE && std::llabs(dts - last_dts_) > kLargestStep) {
    return dts - last_dts_;
  }
  return 0;
}

void InputTimeline::fix(AVPacket& packet) {
  const int index = packet.stream_index;
  if (!may_jump_ || packet.dts == AV_NOPTS_VALUE || index < 0 ||
      index >= static_cast<int>(streams_.size())) {
    return;
  }
  const AVRational time_base = format_.streams[index]->time_base;
  shift(packet, av_rescale_q(offset_, AV_TIME_BASE_Q, time_base));
  // Subtitles and data come seconds apart: only video and sound tell a jump.
  const AVMediaType type = format_.streams[index]->codecpar->codec_type;
  if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) return;
  int64_t dts = av_rescale_q(packet.dts, time_base, AV_TIME_BASE_Q);
  if (const int64_t jump = jump_of(index, dts); jump != 0) {
    offset_ -= jump;
    shift(packet, -av_rescale_q(jump, AV_TIME_BASE_Q, time_base));
    dts -= jump;
    if (jumps_++ == 0) first_jump_ = dts;
  }
  StreamClock& clock = streams_[index];
  clock.last = clock.last == AV_NOPTS_VALUE ? dts : std::max(clock.last, dts);
  clock.next = dts + duration_of(packet, time_base);
  last_dts_ = dts;
}

std::string InputTimeline::note(const std::string& input) const {
  if (jumps_ == 0) return "";
  char at[32];
  std::snprintf(at, sizeof at, "%.2f s", first_jump_ / double(AV_TIME_BASE));
  return "the clock of " + input + " jumps " +
         (jumps_ == 1 ? std::string("once") : std::to_string(jumps_) + " times") + ", first at " +
         at +
         " (recordings joined, or a clock reset): video and sound after each jump follow on "
         "without a break";
}

}  // namespace qnr
