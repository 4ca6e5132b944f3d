// Decoding timestamps for video joined from segments that were encoded
// apart. Each segment's encoder started its own clock of decoding times, so
// side by side they may run backwards at a joint. Over the whole stream, the
// packet decoded i-th gets the i-th smallest presentation time `depth`
// places back (depth: the most packets any frame waits behind, over all
// segments), and the first `depth` packets times before the first frame's,
// spaced as the first frames are: as an encoder with that reordering delay
// dates them in one long run. The times rise strictly and never pass a
// packet's own presentation time.
#pragma once

#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

namespace qnr {

class DecodeTimeline {
 public:
  // `earliest`: the stream's smallest presentation times in order, at least
  // one and up to depth + 1 of them; a shorter list lowers the depth to fit.
  DecodeTimeline(int64_t depth, std::vector<int64_t> earliest);

  int64_t depth() const { return depth_; }
  // The decoding time of the next packet, given its presentation time.
  int64_t next(int64_t pts);

 private:
  int64_t depth_;
  std::vector<int64_t> earliest_;
  int64_t index_ = 0;
  std::priority_queue<int64_t, std::vector<int64_t>, std::greater<int64_t>> waiting_;
};

}  // namespace qnr
