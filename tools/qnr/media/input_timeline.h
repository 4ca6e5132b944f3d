// The input's clock made continuous. A transport or program stream may
// jump: two recordings joined with cat, a broadcaster's clock reset. Where
// the next packet of its video or sound is more than a tenth of a second
// before the last one, or more than ten seconds away from where it should
// be, the jump is taken out of every stream from there on alike, so video,
// sound and subtitles stay in sync and follow on without a break, as ffmpeg
// plays and converts such files. Other containers keep their timestamps as
// they are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "media/libav.h"

namespace qnr {

class InputTimeline {
 public:
  // `format`: the opened input; `video`, `video_rate`: its filtered stream
  // and that stream's frame rate ({0, 1} when unknown), which says where a
  // video packet without a duration ends.
  InputTimeline(const AVFormatContext& format, int video, AVRational video_rate);

  // Moves the packet (in its stream's time base) onto the continuous clock.
  void fix(AVPacket& packet);

  int jumps() const { return jumps_; }
  // What was done, for a note about `input`: "" when its clock never jumped.
  std::string note(const std::string& input) const;

 private:
  struct StreamClock {
    int64_t next = AV_NOPTS_VALUE;  // where its next packet should start
    int64_t last = AV_NOPTS_VALUE;  // the latest decoding time it had
  };
  // How far `dts` (continuous, AV_TIME_BASE) is from where it should be;
  // 0 when it is no jump.
  int64_t jump_of(int stream, int64_t dts) const;
  int64_t duration_of(const AVPacket& packet, AVRational time_base) const;

  const AVFormatContext& format_;
  bool may_jump_;
  int video_;
  AVRational video_rate_;
  std::vector<StreamClock> streams_;
  int64_t offset_ = 0;                 // added to every packet, AV_TIME_BASE
  int64_t last_dts_ = AV_NOPTS_VALUE;  // of any stream
  int jumps_ = 0;
  int64_t first_jump_ = 0;
};

}  // namespace qnr
