// The video encoder's clock. Where the codec and the container take any
// timestamps, frames keep the input's, in its time base. Where they count
// frames instead, the clock is the frame rate and each frame goes to a slot
// of it, as ffmpeg's own rate handling places them. In slots (AVI; MPEG-1/2
// in other containers; the mpeg4 encoder where the input's clock is finer
// than it codes) a frame takes the next free slot, or its own when that is
// later, and one that would land well before its time is dropped: gaps stay
// gaps. At a constant rate (MPEG program streams, MXF, Ogg; Theora anywhere)
// a frame well before its slot is dropped, and a gap of more than a slot is
// filled by repeating the frame before it.
#pragma once

#include <cstdint>
#include <string>

#include "media/libav.h"

namespace qnr {

enum class ClockMode { exact, slots, constant };

struct OutputClock {
  ClockMode mode = ClockMode::exact;
  AVRational time_base{1, 1};   // the encoder's
  AVRational frame_rate{0, 1};  // {0, 1} when unknown (exact mode only)
  std::string reason;           // what needs the rate: "mpeg2video", "the avi container"
  // GIF counts delays in centiseconds, and browsers show one under 2 as 10:
  // a frame closer than this to the one kept before is merged into it.
  int min_centiseconds = 0;
};

struct ClockChoice {
  const AVOutputFormat* format = nullptr;
  const AVCodec* codec = nullptr;
  AVRational input_time_base{1, 1};
  AVRational input_rate{0, 1};  // the input video's frame rate, {0, 1} when unknown
  AVRational user_rate{0, 1};   // --rate
  std::string input;            // its name, for messages
};

// Throws Failure when a frame rate is needed and nothing gives one.
OutputClock choose_output_clock(const ClockChoice& choice);

// Where each frame goes on the clock.
class FramePlacer {
 public:
  FramePlacer(const OutputClock& clock, AVRational input_time_base);

  struct Placement {
    int repeat_previous = 0;  // copies of the frame before, first, at pts, pts + 1, ...
    int copies = 1;           // then copies of this frame, each one slot on
    int64_t pts = 0;          // of the first copy, in the encoder's time base
    int64_t duration = 0;     // of each copy, in the encoder's time base
  };
  // A frame at `pts` lasting `duration`, both in the input's time base.
  Placement place(int64_t pts, int64_t duration);
  // After the last frame: at a constant rate, the copies of it that fill its
  // own duration (a slideshow's last picture lasts as long as the others).
  Placement finish();

  // What the rate cost, for a note; "" when no frame was repeated or dropped.
  std::string note() const;

 private:
  OutputClock clock_;
  AVRational input_time_base_;
  int64_t next_slot_ = 0;
  bool started_ = false;
  double last_end_ = 0;  // where the last frame ends, in slots
  int64_t repeated_ = 0;
  int64_t dropped_ = 0;
  int64_t merged_ = 0;
  int64_t last_kept_cs_ = 0;
};

}  // namespace qnr
