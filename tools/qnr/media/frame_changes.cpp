#include "media/frame_changes.h"

namespace qnr {

namespace {

std::string ratio_text(AVRational q) { return std::to_string(q.num) + ":" + std::to_string(q.den); }

}  // namespace

std::string size_change_text(int64_t number, int32_t width, int32_t height,
                             const FirstFrame& first) {
  const std::string first_size = std::to_string(first.width) + "x" + std::to_string(first.height);
  return "frame " + std::to_string(number) + " is " + std::to_string(width) + "x" +
         std::to_string(height) + " where the video began at " + first_size +
         "; such frames are filtered at their own size and scaled to " + first_size;
}

bool aspect_changed(AVRational sar, const FirstFrame& first) {
  const AVRational was = first.sample_aspect;
  return sar.num > 0 && sar.den > 0 && was.num > 0 && was.den > 0 && av_cmp_q(sar, was) != 0;
}

std::string aspect_change_text(int64_t number, AVRational sar, const FirstFrame& first) {
  const std::string was = ratio_text(first.sample_aspect);
  return "frame " + std::to_string(number) + " has a pixel aspect ratio of " + ratio_text(sar) +
         " where the video began at " + was + "; the output gives every frame " + was +
         ", so such frames show wider or narrower than they should";
}

}  // namespace qnr
