// The one loop that reads an input's video frames, for every reader of video
// in qnr: the single run's pipeline, a segment worker and the tuning page.
// It reads the input packet by packet, shows each packet to the reader's hook
// first (for the other streams, the input's clock), decodes the video's,
// dates the frames that carry no timestamp (frame_clock.h), and takes damage
// the same way for every reader, by its damage log's policy: counted and gone
// on from, or with --strict the end of the job.
//  - A packet the decoder refuses or a frame it cannot give: damage at the
//    next frame; the frames around it go on, as players do.
//  - A frame that decodes with damage flags: damage, when the reader keeps it.
//  - Data the demuxer finds invalid: the input ends there, after the frames
//    the decoder still holds, as a player stops; any other failure to read
//    is the job's.
//  - A video that ends before its header says: damage, at its end.
// Running out of memory is qnr's own failure, never damage.
#pragma once

#include <cstdint>
#include <functional>

#include "media/damage.h"
#include "media/frame_clock.h"
#include "media/libav.h"
#include "media/media_input.h"

namespace qnr {

class DecodeLoop {
 public:
  // Sees every packet read, in the order read, before the loop decodes it;
  // it may change it (the input's clock) or take its data away.
  using PacketHook = std::function<void(AVPacket& packet)>;

  // Both must outlive the loop.
  DecodeLoop(MediaInput& input, DamageLog& damage);

  void on_packet(PacketHook hook) { hook_ = std::move(hook); }
  // The reader's first frame is not the video's first (a segment): what goes
  // wrong before it keeps one is not the run's damage, and messages count
  // frames from the video's start, `frames_before` of them before the
  // reader's first.
  void start_later(int64_t frames_before) {
    preroll_ = true;
    frames_before_ = frames_before;
  }

  // Goes to the keyframe at or before `pts` (in the video's time base) and
  // decodes afresh from there. False when the input cannot seek; it is then
  // where it was.
  bool seek(int64_t pts);

  // The next frame in presentation order, dated; false at the end of the
  // video (or where damage ended the input). Throws Failure for a failure
  // to read and, under --strict, for damage.
  bool next(AVFrame* frame);
  // The reader keeps `frame` as the next frame of its run: counted, and
  // its damage flags noted.
  void keep(const AVFrame& frame);
  int64_t kept() const { return kept_; }

 private:
  // Reads until a video packet went to the decoder; false at the end of the
  // input.
  bool feed();
  void decode(const AVPacket* packet);
  void decoding_failed(int code);
  void read_failed(int code);
  void note_video_end(const AVPacket& packet);
  void report_end();

  MediaInput& input_;
  DamageLog& damage_;
  PacketHook hook_;
  FrameDating dating_;
  PacketPtr packet_ = new_packet();
  bool preroll_ = false;
  bool sent_ = false;      // a packet went to the decoder since it was opened or flushed
  bool draining_ = false;  // the input is read to its end; the decoder gives what it holds
  bool ended_ = false;
  int stopped_by_ = 0;    // the error that ended reading early
  double video_end_ = 0;  // seconds, of the video read so far
  int64_t frames_before_ = 0;
  int64_t kept_ = 0;
};

}  // namespace qnr
