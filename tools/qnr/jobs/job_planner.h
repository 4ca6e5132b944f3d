// Making a long job's plan: the presentation timestamp of every packet of
// the input's video, read without decoding; the video cut into segments of
// about S seconds at the first frame on or after each multiple of S; and
// the video kept whole, with the reason, where timestamps cannot place every
// frame exactly (missing, repeated or running backwards, a transport
// stream's jump or wrap).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "jobs/input_ranges.h"
#include "jobs/job_plan.h"
#include "media/indexed_input.h"
#include "media/libav.h"
#include "media/media_input.h"

namespace qnr {

struct VideoScan {
  std::vector<int64_t> pts;  // of the video's packets, in presentation order
  // Why the video cannot be split exactly and stays one segment; "" when it can.
  std::string one_segment_because;
  int64_t key_interval = 0;  // the longest distance between keyframes; 0 with fewer than two
  AVRational time_base{1, 1};
  std::vector<PacketPlace> places;  // of the video's packets, in the file's order
};

// Reads every packet of the video: from `index` (its packets without their
// bytes) where there is one, else from the input. Throws Failure when it
// cannot be read.
VideoScan scan_video(MediaInput& input, IndexedInput* index, bool quiet);

struct Split {
  std::vector<SegmentSpan> segments;
  int64_t preroll = 0;              // ticks decoded before a segment's first frame
  std::string one_segment_because;  // as the scan's
};

// The segments of a scanned video.
Split split_video(const VideoScan& scan, double segment_seconds);

}  // namespace qnr
