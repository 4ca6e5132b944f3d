#include "decode_timeline.h"

namespace qnr {

DecodeTimeline::DecodeTimeline(int64_t depth, int64_t first_pts, int64_t step)
    : depth_(depth), first_pts_(first_pts), step_(step > 0 ? step : 1) {}

int64_t DecodeTimeline::next(int64_t pts) {
  waiting_.push(pts);
  const int64_t i = index_++;
  if (i < depth_) return first_pts_ - (depth_ - i) * step_;
  // No packet still to come is shown before the (i - depth)-th frame: it is
  // the smallest of those seen and not yet given out.
  const int64_t dts = waiting_.top();
  waiting_.pop();
  return dts;
}

}  // namespace qnr
