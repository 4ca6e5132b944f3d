// Damage met in the input: a video frame that does not decode cleanly, a
// packet of another stream that cannot be kept or that the demuxer flags
// corrupt, a hole in the video's timestamps, leading packets that give no
// picture, an input that ends before its header says. Each is counted so that the job goes on and
// says at the end what was lost, one line per kind; with --strict the first one stops the job
// instead. One log per thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qnr {

class DamageLog {
 public:
  // `input` names the input in messages.
  DamageLog(const std::string& input, bool strict);

  // Video frame `number` (from 1) did not decode cleanly: `why`.
  void frame_damaged(int64_t number, const std::string& why);
  // A packet of `stream` ("audio stream 1 (aac)") at `at` seconds, lasting
  // `length` seconds, was left out: `why`.
  void packet_lost(const std::string& stream, double at, double length, const std::string& why);
  // A packet of `stream` at `at` seconds that the demuxer flags corrupt (a
  // transport error, or cut short by the end of the file) was kept as it is.
  void packet_flagged(const std::string& stream, double at);
  // No video frames between `from` and `to` seconds, where frames come
  // every `step` seconds: the hole comes before frame `next` (from 1).
  void hole(int64_t next, double from, double to, double step);
  // The video's first `packets` packets gave no picture (it starts inside a
  // group of pictures, or they are damaged); its first frame is at `first`.
  void leading_packets(int64_t packets, double first);
  // The video ended after `frames` frames at `reached` seconds where the
  // header says `expected`.
  void ended_early(int64_t frames, double reached, double expected);
  // The video ended after `frames` frames at `reached` seconds where the
  // header declares `declared` frames.
  void fewer_frames(int64_t frames, double reached, int64_t declared);
  // Reading stopped after `frames` frames: `why`.
  void reading_stopped(int64_t frames, const std::string& why);

  // What was lost, one line each, for notes at the end of the job.
  std::vector<std::string> notes() const;

 private:
  [[noreturn]] void stop(const std::string& what) const;

  struct Lost {
    int64_t packets = 0;
    double seconds = 0;
  };
  std::string input_;
  bool strict_;
  struct Hole {
    int64_t count = 0;
    double seconds = 0;
    std::string first;  // where the first one is
  };
  int64_t damaged_frames_ = 0;
  std::map<std::string, Lost> lost_;        // by stream
  std::map<std::string, int64_t> flagged_;  // by stream
  Hole holes_;
  std::string leading_;
  std::string early_end_;  // "" when the input ended where it should
};

}  // namespace qnr
