#include "media/damage.h"

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

void DamageLog::ended_early(int64_t frames, double reached, double expected) {
  const std::string what = "input ends early: " + count_text(frames, "frame", "frames") + ", to " +
                           seconds_text(reached) + " of the " + seconds_text(expected) + " that " +
                           input_ + " says it lasts";
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
  if (!early_end_.empty()) notes.push_back(early_end_);
  return notes;
}

}  // namespace qnr
