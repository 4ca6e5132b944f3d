// Frames from the decoder's pipe, through N filter instances on interleaved
// frames (one thread each, one frame at a time per instance, as the filter
// requires), to the encoder's pipe in their original order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vdhost.h"

namespace qnr {

class Progress;

struct PipelineOutcome {
  int64_t frames = 0;       // frames written to the encoder
  bool truncated = false;   // the decoder stopped in the middle of a frame
  int write_errno = 0;      // the encoder's pipe failed (EPIPE: it quit early)
  std::string error;        // any other failure, e.g. a frame the filter could not process
};

struct PipelineRequest {
  std::vector<vdhost::FilterInstance*> instances;  // one thread each
  int decoder_fd = -1;
  int encoder_fd = -1;
  int32_t width = 0;
  int32_t height = 0;
  std::optional<int64_t> max_frames;  // stop reading after this many
  Progress* progress = nullptr;
  // Called with each frame before and after filtering (the demo keeps one).
  void (*observe)(void* context, int64_t index, const uint32_t* before, const uint32_t* after,
                  int64_t pitch) = nullptr;
  void* observe_context = nullptr;
};

// Runs the whole stream; starts and ends the instances around it.
PipelineOutcome run_pipeline(const PipelineRequest& request);

// The host's frame layout: bottom-up rows (the lowest address holds the
// bottom row) with a 16-byte-aligned pitch, as hosts hand frames to filters.
int64_t host_pitch(int32_t width);

}  // namespace qnr
