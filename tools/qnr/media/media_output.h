// The output side of a run: the container and codec the output gets, the
// input's streams it keeps, the video encoder opened on the first frame,
// and the muxer that all of them write to.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "media/coded_video.h"
#include "media/damage.h"
#include "media/encoder_args.h"
#include "media/frame_convert.h"
#include "media/libav.h"
#include "media/media_input.h"
#include "media/muxer.h"
#include "media/output_clock.h"
#include "media/output_request.h"
#include "media/stream_map.h"
#include "media/video_encoder.h"

namespace qnr {

class MediaOutput {
 public:
  // Picks the container and codec. Throws Failure (usage status) for a
  // container qnr cannot fill or options it does not know.
  explicit MediaOutput(const OutputRequest& request);
  // Adds the video and the input's other streams that the container keeps.
  void map_streams(const MediaInput& input);
  // Sends the encoded video to `sink` instead of the container, which then
  // takes no other stream and writes no file: a segment of a long job. Call
  // before map_streams.
  void send_video_to(VideoPacketSink sink);
  ~MediaOutput();
  MediaOutput(const MediaOutput&) = delete;
  MediaOutput& operator=(const MediaOutput&) = delete;

  // Image files hold one picture: the first frame.
  bool single_image() const { return single_image_; }
  // Output stream of input stream `index`, or -1 when it is not kept.
  int output_stream_of(int index) const;

  // Opens the encoder for the first frame and writes the file's header.
  // Returns the format the frames must come in.
  PictureFormat open(const FirstFrame& first, bool module_rgb = true);
  bool opened() const { return opened_; }
  // Whether the video is coded as interlaced (set by open).
  bool interlaced() const { return encoder_.interlaced(); }

  // A packet of a kept stream, in the input stream's time base. One that
  // cannot be kept (damaged) is left out and counted, or with --strict
  // stops the job.
  void write_copied(AVPacket* packet, AVRational input_time_base);
  // A frame for the encoder with its pts and duration in the input video's
  // time base; null drains the encoder.
  void encode(AVFrame* frame);
  // Writes the end of the file and closes it, with notes on what was lost.
  void finish();

  // The encoded video as the container would take it; set by open.
  const CodedVideo& coded_video() const { return coded_; }
  // Opens the file with video that is already encoded (a long job's joined
  // segments) in place of the encoder.
  void open_coded(const CodedVideo& video);
  // A packet of that video, in `time_base`.
  void write_video(AVPacket* packet, AVRational time_base);
  // How the video's timestamps are kept: as they are, or in slots of a frame
  // rate (some codecs and containers). After map_streams. Throws Failure when
  // a rate is needed and nothing gives one.
  ClockMode clock_mode();
  // Whether frames too close together are merged (GIF): a decision that
  // needs the frame before, which a segment does not see.
  bool merges_frames() {
    set_up_clock();
    return clock_.min_centiseconds > 0;
  }

 private:
  // A packet of output stream `out` in `time_base`; false when the muxer
  // refused a copied packet (`copied`), with `refusal` its code.
  bool write_to(int out, AVPacket* packet, AVRational time_base, bool copied = false,
                int* refusal = nullptr);
  std::function<void(AVPacket*)> writer_to(int out, AVRational time_base);
  void set_up_video_stream(const CodedVideo& video);
  void write_header();
  void check_muxer_options();
  void packet_lost(int index, int64_t pts, int64_t duration, AVRational time_base,
                   const std::string& why);
  void set_up_clock();
  void set_up_timestamp_shifts();
  void reencode_after_change(int index, const std::string& to, double at);

  OutputRequest request_;
  EncoderArgs args_;
  const MediaInput* input_ = nullptr;
  const AVCodec* codec_ = nullptr;
  std::unique_ptr<Muxer> muxer_;
  StreamMap streams_;
  VideoEncoder encoder_;
  VideoPacketSink sink_;
  CodedVideo coded_;
  OutputClock clock_;
  std::unique_ptr<FramePlacer> placer_;
  FramePtr previous_;                  // the last frame, for a constant rate to repeat
  std::vector<int64_t> shift_;         // added to each output stream's timestamps
  std::vector<int64_t> last_dts_;      // of each output stream, to keep them rising
  std::unique_ptr<DamageLog> damage_;  // the writer's
  bool single_image_ = false;
  bool opened_ = false;
  bool finished_ = false;
};

}  // namespace qnr
