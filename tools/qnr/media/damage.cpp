#include "media/damage.h"

#include <cmath>
#include <cstdio>

#include "base/failure.h"

namespace qnr {

namespace {

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", seconds);
  return text;
}

std::string count_text(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

DamageLog::DamageLog(const std::string& input, bool strict) : input_(input), strict_(strict) {}

void DamageLog::stop(const std::string& what) const {
  throw Failure(what + " (--strict stops at damage in the input)");
}

void DamageLog::frame_damaged(int64_t number, const std::string& why) {
  if (strict_) {
    stop("the video of " + input_ + " is damaged at frame " + std::to_string(number) + ": " + why);
  }
  ++damaged_frames_;
}

void DamageLog::packet_lost(const std::string& stream, double at, double length,
                            const std::string& why) {
  if (strict_) {
    stop(stream + " of " + input_ + " has a damaged packet at " + seconds_text(at) + ": " + why);
  }
  Lost& lost = lost_[stream];
  ++lost.packets;
  lost.seconds += length;
}

void DamageLog::packet_flagged(const std::string& stream, double at) {
  if (strict_) {
    stop(stream + " of " + input_ + " has a damaged packet at " + seconds_text(at) +
         ": the demuxer flags it corrupt");
  }
  ++flagged_[stream];
}

void DamageLog::hole(int64_t next, double from, double to, double step) {
  const int64_t missing = step > 0 ? std::llround((to - from) / step) - 1 : 0;
  std::string where = "before frame " + std::to_string(next) + ", from " + seconds_text(from) +
                      " to " + seconds_text(to);
  if (missing > 0) where += " (about " + count_text(missing, "frame", "frames") + " missing)";
  if (strict_) stop("the video of " + input_ + " has a hole in its timestamps " + where);
  if (holes_.count++ == 0) holes_.first = where;
  holes_.seconds += to - from;
}

void DamageLog::leading_packets(int64_t packets, double first) {
  const std::string what = "the video of " + input_ + " starts with " +
                           count_text(packets, "packet", "packets") +
                           " that give no picture (it begins inside a group of pictures, or "
                           "they are damaged); its first frame is at " +
                           seconds_text(first);
  if (strict_) stop(what);
  leading_ = what;
}

void DamageLog::ended_early(int64_t frames, double reached, double expected) {
  const std::string what = "input ends early: " + count_text(frames, "frame", "frames") + ", to " +
                           seconds_text(reached) + " of the " + seconds_text(expected) + " that " +
                           input_ + " says it lasts";
  if (strict_) stop(what);
  early_end_ = what;
}

void DamageLog::fewer_frames(int64_t frames, double reached, int64_t declared) {
  const std::string what = "input ends early: " + std::to_string(frames) + " of the " +
                           count_text(declared, "frame", "frames") + " that the header of " +
                           input_ + " declares, to " + seconds_text(reached);
  if (strict_) stop(what);
  early_end_ = what;
}

void DamageLog::reading_stopped(int64_t frames, const std::string& why) {
  const std::string what = "input ends early: " + count_text(frames, "frame", "frames") +
                           ", where reading " + input_ + " failed: " + why;
  if (strict_) stop(what);
  early_end_ = what;
}

std::vector<std::string> DamageLog::notes() const {
  std::vector<std::string> notes;
  if (!leading_.empty()) notes.push_back(leading_);
  if (holes_.count > 0) {
    notes.push_back(
        "the video of " + input_ + " has " +
        (holes_.count == 1 ? std::string("a hole") : std::to_string(holes_.count) + " holes") +
        " in its timestamps, " + seconds_text(holes_.seconds) +
        " with no frames (the data is missing), the first " + holes_.first);
  }
  if (damaged_frames_ > 0) {
    notes.push_back("the video of " + input_ +
                    " is damaged: " + count_text(damaged_frames_, "frame", "frames") +
                    " did not decode cleanly (the decoder hid or skipped the damage); the "
                    "others went on");
  }
  for (const auto& [stream, lost] : lost_) {
    notes.push_back(stream + " of " + input_ + ": " +
                    count_text(lost.packets, "damaged packet", "damaged packets") + " (" +
                    seconds_text(lost.seconds) + ") left out");
  }
  for (const auto& [stream, packets] : flagged_) {
    notes.push_back(stream + " of " + input_ + ": " + count_text(packets, "packet", "packets") +
                    " flagged corrupt by the demuxer (damaged in transport or cut short), "
                    "kept as they are");
  }
  if (!early_end_.empty()) notes.push_back(early_end_);
  return notes;
}

}  // namespace qnr
