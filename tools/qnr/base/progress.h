// The progress line on standard error: rewritten in place on a terminal,
// a plain line every few seconds otherwise, nothing with --quiet.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace qnr {

class Progress {
 public:
  using Clock = std::chrono::steady_clock;
  // `total` is exact when the container says; `estimate` is shown with "~".
  Progress(bool quiet, std::optional<int64_t> total, std::optional<int64_t> estimate);

  void frame_done();  // one more frame written; prints when it is time
  void finish();      // ends the in-place line and stops the clock
  int64_t frames() const { return frames_; }
  double seconds() const;
  // "N frames in X s (Y fps)"
  std::string summary() const;

 private:
  void print(bool final_line);

  bool quiet_;
  bool terminal_;
  std::optional<int64_t> total_;
  bool estimated_ = false;
  int64_t frames_ = 0;
  Clock::time_point started_;
  Clock::time_point last_print_;
  std::optional<Clock::time_point> stopped_;
  bool printed_in_place_ = false;
};

}  // namespace qnr
