// Decoding timestamps for video joined from segments that were encoded
// apart. Each segment's encoder started its own clock of decoding times, so
// next to each other they may run backwards at a joint. Over the whole
// stream, the packet decoded i-th gets the i-th smallest presentation
// timestamp, `depth` places back (depth: the most packets any frame waits
// behind, over all segments), and the first `depth` packets get times before
// the first frame's, one `step` apart. The times rise strictly and never pass
// a packet's own presentation time.
#pragma once

#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

namespace qnr {

class DecodeTimeline {
 public:
  // `first_pts`: the smallest presentation time of the stream's first
  // depth + 1 packets; `step` > 0.
  DecodeTimeline(int64_t depth, int64_t first_pts, int64_t step);

  // The decoding time of the next packet, given its presentation time.
  int64_t next(int64_t pts);

 private:
  int64_t depth_;
  int64_t first_pts_;
  int64_t step_;
  int64_t index_ = 0;
  std::priority_queue<int64_t, std::vector<int64_t>, std::greater<int64_t>> waiting_;
};

}  // namespace qnr
