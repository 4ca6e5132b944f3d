// Frames of the input by time, for `qnr tune`: the first frame whose time is
// at or after the time asked, as the bitmap the module receives in `qnr`.
// Seeks go to the nearest keyframe before the time and decode forward;
// recently decoded frames are kept, so stepping and settings changes on the
// same frame decode nothing.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "media/damage.h"
#include "media/decode_loop.h"
#include "media/frame_convert.h"
#include "media/libav.h"
#include "media/media_input.h"
#include "tune/tune_source_format.h"

namespace qnr {

struct SourceFrame {
  HostFrame bitmap;       // bottom-up BGRX, as the module receives it
  double seconds = 0;     // from the video's start
  int64_t number = 0;     // counted from 0, from the time and the frame rate
  int64_t timestamp = 0;  // in the stream's time base
  // The frame as decoded and how it is turned: what a run adds the filter's
  // correction to.
  FramePtr decoded;
  Orientation orientation = 1;
};

struct InputFacts {
  int32_t width = 0;  // of the first frame, upright
  int32_t height = 0;
  std::optional<int64_t> frame_count;  // when the container says
  double duration = 0;                 // seconds, 0 when unknown
  double frame_rate = 0;               // frames per second, 0 when unknown
  bool still = false;                  // a picture file rather than a video
  SourceFormat format;                 // of the first frame
};

// How far the decode towards a requested time has come, for a page that
// shows progress while a far seek runs. Times in seconds from the video's start.
struct SeekProgress {
  bool decoding = false;
  double target = 0;   // the time asked for
  double from = 0;     // the first frame this decode gave (its keyframe)
  double reached = 0;  // the latest frame it gave
};

// Thrown by FrameSource::at when its caller gave the request up while it
// decoded (a newer request of the same page took its place).
struct SeekAbandoned : std::exception {
  const char* what() const noexcept override { return "the request was given up"; }
};

class FrameSource {
 public:
  // Opens the input and decodes its first frame. Throws Failure.
  explicit FrameSource(const std::string& name);
  ~FrameSource();
  FrameSource(const FrameSource&) = delete;
  FrameSource& operator=(const FrameSource&) = delete;

  const InputFacts& facts() const { return facts_; }

  // The first frame at or after `seconds` (the last frame for times past the
  // end). Safe to call from several threads; they take turns. Throws Failure.
  // `give_up`, when given, is asked before decoding and after every frame
  // decoded; once it says true, at() throws SeekAbandoned and the source
  // stays ready for the next request.
  std::shared_ptr<const SourceFrame> at(double seconds,
                                        const std::function<bool()>& give_up = nullptr);

  // The decode under way, if any; never waits for it.
  SeekProgress progress() const;

  // The time of the first keyframe after the frame at `seconds`, or of the
  // last keyframe before it: none past either end, nor before a frame of an
  // input whose container keeps no keyframe index. Keyframes are the
  // pictures the decoder marks so. Decodes as a seek does, and gives up as
  // at() does. Throws Failure.
  std::optional<double> keyframe_after(double seconds,
                                       const std::function<bool()>& give_up = nullptr);
  std::optional<double> keyframe_before(double seconds,
                                        const std::function<bool()>& give_up = nullptr);

  // The time of the stream's last frame, once decoding has reached it: the
  // header's duration may promise more (a short or cut file).
  std::optional<double> end_seconds();
  // What did not decode cleanly so far, one line each.
  std::vector<std::string> damage_notes();

 private:
  struct Decoded {
    FramePtr frame;
    // The lowest target this frame is known to answer: the previous frame's
    // time + 1 when both came out of one decoding run, else its own time.
    int64_t answers_from = 0;
    bool last = false;  // the stream's last frame
  };

  void open();
  // Throws Failure when the file on disk is no longer the one opened.
  void check_unchanged() const;
  int64_t target_of(double seconds) const;
  const Decoded* cached(int64_t target) const;
  const Decoded& decode_to(int64_t target, const std::function<bool()>& give_up);
  // The timestamp of the first frame at or after `target` (the last frame's
  // past the end), from the cache or decoded, and whether it is a keyframe.
  std::pair<int64_t, bool> frame_at(int64_t target, const std::function<bool()>& give_up);
  double seconds_of(int64_t pts) const;
  void seek(int64_t position);
  // The next decoded frame of the current run, or null at the end of the stream.
  FramePtr next_frame();
  const Decoded& keep(FramePtr frame);
  void evict(int64_t around);
  std::shared_ptr<const SourceFrame> convert(const Decoded& decoded);

  std::string name_;
  struct FileIdentity {
    uint64_t device = 0, inode = 0;
    int64_t size = 0, modified_ns = 0;
    bool operator==(const FileIdentity&) const = default;
  };
  std::optional<FileIdentity> opened_;  // none for what is not a regular file
  std::unique_ptr<MediaInput> input_;
  // Damage is gone on from, as a run goes on; the page shows what decodes.
  DamageLog damage_;
  std::unique_ptr<DecodeLoop> loop_;
  InputFacts facts_;
  AVRational time_base_{1, 1};
  int64_t start_ = 0;  // the timestamp of time 0
  Orientation stream_orientation_ = 1;

  std::mutex mutex_;
  FrameConverter converter_;
  std::map<int64_t, Decoded> decoded_;  // by timestamp
  size_t decoded_bytes_ = 0;
  std::optional<int64_t> last_pts_;  // of the current run, while it can go on
  bool run_from_start_ = false;      // the current run began at the stream's start
  bool input_ended_ = false;
  std::optional<double> end_seconds_;
  bool index_complete_ = false;  // a seek has run, so the demuxer's index is whole
  // While decoding towards a target: pictures before it that nothing refers
  // to are skipped. The lowest int64_t otherwise.
  int64_t skip_below_ = std::numeric_limits<int64_t>::min();
  std::vector<std::shared_ptr<const SourceFrame>> converted_;  // most recent last

  mutable std::mutex progress_mutex_;  // apart from mutex_, which a decode holds
  SeekProgress progress_;
};

}  // namespace qnr
