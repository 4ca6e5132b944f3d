// Frames from the input's decoder, through N filter instances (one thread
// each, one frame at a time per instance, as a host runs them), into the
// encoder in their original order with their own timestamps; the input's
// other kept streams go to the muxer beside them, packet by packet.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "media/correction.h"
#include "media/frame_convert.h"
#include "media/media_input.h"
#include "media/media_output.h"
#include "vdhost/frame_filter.h"

namespace qnr {

class Progress;

// Sees each frame before and after filtering, in order, on the writer's thread.
using FrameObserver =
    std::function<void(int64_t index, const HostFrame& before, const HostFrame& after)>;

// What a run over part of the video does with each decoded frame, in order.
enum class FrameChoice { take, skip, stop };
using FrameSelector = std::function<FrameChoice(const AVFrame& frame)>;

struct PipelineRequest {
  MediaInput* input = nullptr;
  MediaOutput* output = nullptr;
  std::vector<vdhost::FrameFilter*> filters;  // one thread each
  std::optional<int64_t> max_frames;          // stop after this many
  Progress* progress = nullptr;
  bool quiet = false;
  FrameObserver observe;  // empty for none (the demo keeps one frame)
  AVRational rate{0, 1};  // --rate: the input video's frame rate, {0, 1} for its own
  bool strict = false;    // --strict: damage in the input stops the run
  FrameSelector select;   // empty: every frame is taken
  // Where decoding starts: at the keyframe at or before this timestamp (in
  // the video's time base); unset for the start.
  std::optional<int64_t> seek_to;
  // The run's first frame is not the video's first but the one after these
  // many: damage before the run has a frame is not the run's, and messages
  // count frames from the video's start.
  std::optional<int64_t> frames_before;
  // The video's own first frame, for a run that starts later in the video:
  // the encoder is set up from it, as a run from the start sets it up.
  std::optional<FirstFrame> first;
  // What is written: the decoded frames with the filter's correction, or the
  // filter's own RGB.
  OutputRoad road = OutputRoad::correction;
};

struct PipelineResult {
  int64_t frames = 0;               // encoded
  std::vector<std::string> notes;   // about the input as a whole, for the end of the job
  std::vector<std::string> damage;  // those of `notes` about damage in the frames read
};

// Runs the whole stream. Each instance is started on its first frame and
// ended at the end. Throws Failure (or the library's exception) from
// whichever thread failed first.
PipelineResult run_pipeline(const PipelineRequest& request);

}  // namespace qnr
