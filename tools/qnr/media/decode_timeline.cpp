#include "media/decode_timeline.h"

#include <algorithm>

namespace qnr {

DecodeTimeline::DecodeTimeline(int64_t depth, std::vector<int64_t> earliest)
    : earliest_(std::move(earliest)) {
  std::sort(earliest_.begin(), earliest_.end());
  depth_ =
      std::max<int64_t>(0, std::min<int64_t>(depth, static_cast<int64_t>(earliest_.size()) - 1));
}

int64_t DecodeTimeline::next(int64_t pts) {
  waiting_.push(pts);
  const int64_t i = index_++;
  if (i < depth_) {
    // Before the first frame by as long as the first `depth` frames last.
    return earliest_[i] - (earliest_[depth_] - earliest_[0]);
  }
  // No packet still to come is shown before the (i - depth)-th frame: it is
  // the smallest of those seen and not yet given out.
  const int64_t dts = waiting_.top();
  waiting_.pop();
  return dts;
}

}  // namespace qnr
