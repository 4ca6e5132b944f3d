#include "media/output_clock.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "base/failure.h"

namespace qnr {

namespace {

// Containers that count frames at a constant rate.
bool constant_rate_container(const AVOutputFormat* format) {
  return one_of(format->name, {"mpeg", "vob", "svcd", "dvd", "vcd", "mxf", "mxf_d10", "mxf_opatom",
                               "ogg", "ogv", "yuv4mpegpipe"});
}

// The mpeg4 encoder codes time in at most 16 bits per second.
bool clock_too_fine(const AVCodec* codec, AVRational input_time_base) {
  return codec->id == AV_CODEC_ID_MPEG4 && input_time_base.den > 65535;
}

std::string rate_text(AVRational rate) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g fps", av_q2d(rate));
  return text;
}

}  // namespace

OutputClock choose_output_clock(const ClockChoice& choice) {
  const AVCodec* codec = choice.codec;
  const std::string container = std::string("the ") + choice.format->name + " container";
  OutputClock clock;
  if (constant_rate_container(choice.format)) {
    clock = {ClockMode::constant, {1, 1}, {0, 1}, container};
  } else if (one_of(codec->name, {"libtheora"})) {
    clock = {ClockMode::constant, {1, 1}, {0, 1}, codec->name};
  } else if (one_of(choice.format->name, {"avi"})) {
    clock = {ClockMode::slots, {1, 1}, {0, 1}, container};
  } else if (codec->supported_framerates != nullptr ||
             clock_too_fine(codec, choice.input_time_base)) {
    clock = {ClockMode::slots, {1, 1}, {0, 1}, codec->name};
  }
  AVRational rate = choice.user_rate.num > 0 ? choice.user_rate : choice.input_rate;
  if (clock.mode == ClockMode::exact) {
    if (one_of(choice.format->name, {"gif"})) clock.min_centiseconds = 2;
    clock.time_base = choice.input_time_base;
    clock.frame_rate = rate.num > 0 && rate.den > 0 ? rate : AVRational{0, 1};
    return clock;
  }
  if (rate.num <= 0 || rate.den <= 0) {
    throw Failure("cannot tell the frame rate of " + choice.input + ", which " + clock.reason +
                  " needs; give it with --rate, e.g. --rate 25");
  }
  if (codec->supported_framerates != nullptr) {
    rate = codec->supported_framerates[av_find_nearest_q_idx(rate, codec->supported_framerates)];
  }
  clock.frame_rate = rate;
  clock.time_base = av_inv_q(rate);
  return clock;
}

FramePlacer::FramePlacer(const OutputClock& clock, AVRational input_time_base)
    : clock_(clock), input_time_base_(input_time_base) {}

FramePlacer::Placement FramePlacer::place(int64_t pts, int64_t duration) {
  Placement placement;
  if (clock_.mode == ClockMode::exact) {
    placement.pts = av_rescale_q(pts, input_time_base_, clock_.time_base);
    placement.duration = av_rescale_q(duration, input_time_base_, clock_.time_base);
    if (clock_.min_centiseconds > 0) {
      const int64_t cs = av_rescale_q(pts, input_time_base_, {1, 100});
      if (started_ && cs - last_kept_cs_ < clock_.min_centiseconds) {
        placement.copies = 0;
        ++merged_;
        return placement;
      }
      started_ = true;
      last_kept_cs_ = cs;
    }
    return placement;
  }
  // In slots of the clock, as ffmpeg weighs a frame against the next free slot.
  const double scale = av_q2d(input_time_base_) / av_q2d(clock_.time_base);
  double at = pts * scale;
  if (!started_) next_slot_ = std::llround(at);
  started_ = true;
  last_end_ = duration > 0 ? at + duration * scale : 0;
  double length = std::min(duration > 0 ? std::round(duration * scale) : 1.0, 1.0);
  double early = at - next_slot_;  // below 0: before its slot
  if (early < 0 && early + length > 0) {
    length += early;
    early = 0;
    at = next_slot_;
  }
  const double late = early + length;
  int copies = 1;
  int repeat = 0;
  if (clock_.mode == ClockMode::constant) {
    if (late < -1.1) {
      copies = 0;
    } else if (late > 1.1) {
      copies = static_cast<int>(std::llround(late));
      if (early > 1.1) repeat = static_cast<int>(std::llround(early - 0.6));
    }
  } else if (late <= -0.6) {
    copies = 0;
  } else if (late > 0.6) {
    next_slot_ = std::llround(at);
  }
  placement.repeat_previous = std::min(repeat, copies);
  placement.copies = copies - placement.repeat_previous;
  placement.pts = next_slot_;
  placement.duration = 1;
  next_slot_ += copies;
  if (copies == 0) ++dropped_;
  repeated_ += std::max(copies - 1, 0);
  return placement;
}

FramePlacer::Placement FramePlacer::finish() {
  Placement placement;
  placement.copies = 0;
  placement.pts = next_slot_;
  placement.duration = 1;
  if (clock_.mode != ClockMode::constant || !started_) return placement;
  // Only a frame that lasts well past its slot: an ordinary last frame's end
  // differs from the next slot by rounding alone.
  const double missing = last_end_ - static_cast<double>(next_slot_);
  if (missing < 1.5) return placement;
  placement.repeat_previous = static_cast<int>(std::llround(missing));
  next_slot_ += placement.repeat_previous;
  repeated_ += placement.repeat_previous;
  return placement;
}

std::string FramePlacer::note() const {
  if (merged_ > 0) {
    return std::to_string(merged_) + (merged_ == 1 ? " frame" : " frames") +
           " merged into the frame before: GIF delays count in centiseconds, and browsers "
           "show a delay under " +
           std::to_string(clock_.min_centiseconds) + " as 10";
  }
  if (repeated_ == 0 && dropped_ == 0) return "";
  std::string what;
  if (repeated_ > 0)
    what = std::to_string(repeated_) + (repeated_ == 1 ? " frame" : " frames") + " repeated";
  if (dropped_ > 0) {
    what += (what.empty() ? std::to_string(dropped_) + (dropped_ == 1 ? " frame" : " frames")
                          : " and " + std::to_string(dropped_)) +
            " dropped";
  }
  return what + " to fit the " + rate_text(clock_.frame_rate) + " that " + clock_.reason + " needs";
}

}  // namespace qnr
