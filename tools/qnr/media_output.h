// The output side: the container picked from the name (or -f), the codec and
// quality that container gets by default, which of the input's other streams
// it keeps (copied packet by packet), the video encoder, and the muxer.
#pragma once

#include <string>
#include <vector>

#include "audio_convert.h"
#include "frame_convert.h"
#include "libav.h"
#include "media_input.h"

namespace qnr {

struct OutputRequest {
  std::string name;         // as the user gave it, for messages
  std::string url;          // what libavformat writes to
  std::string format;       // -f NAME, "" to pick from the name
  std::string codec;        // --codec NAME, "" for the container's default
  std::vector<std::string> encoder_args;  // after "--": -key value pairs, -an, -sn, -dn
  bool streamed = false;    // a pipe or device: written once, front to back
  bool sequence = false;    // an image-sequence pattern (%d, %03d)
  bool interlace = false;   // --interlace: code the video as interlaced
  bool quiet = false;       // no notes
};

// What the first decoded frame says about the picture.
struct FirstFrame {
  int32_t width = 0;   // upright, as filtered
  int32_t height = 0;
  bool alpha = false;
  bool interlaced = false;
  bool top_field_first = true;
  AVRational sample_aspect{0, 1};
  AVColorSpace colorspace = AVCOL_SPC_UNSPECIFIED;
  AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
  AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
  AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
  bool yuv = true;  // decoded as YUV (the colour tags then describe it)
};

// Prints "qnr: note: ..." unless quiet.
void note(bool quiet, const std::string& text);

class MediaOutput {
 public:
  // Picks the container and codec. Throws Failure (usage status) for a
  // container qnr cannot fill or options it does not know.
  explicit MediaOutput(const OutputRequest& request);
  // Adds the video and the input's other streams that the container keeps.
  void map_streams(const MediaInput& input);
  ~MediaOutput();
  MediaOutput(const MediaOutput&) = delete;
  MediaOutput& operator=(const MediaOutput&) = delete;

  // Image files hold one picture: the first frame.
  bool single_image() const { return single_image_; }
  // Output stream of input stream `index`, or -1 when it is not kept.
  int output_stream_of(int index) const;

  // Opens the encoder for the first frame and writes the file's header.
  // Returns the format the frames must come in.
  PictureFormat open(const FirstFrame& first);
  bool opened() const { return opened_; }
  // Whether the video is coded as interlaced (set by open).
  bool interlaced() const { return interlaced_; }

  // A packet of a kept stream, in the input stream's time base.
  void write_copied(AVPacket* packet, AVRational input_time_base);
  // A frame for the encoder with its pts in the input video's time base;
  // null drains the encoder.
  void encode(AVFrame* frame);
  // Writes the end of the file and closes it.
  void finish();
  // Which encoder the video got, e.g. "libx264".
  std::string encoder_name() const;

 private:
  void write(AVPacket* packet);
  [[noreturn]] void write_failed(int code);

  OutputRequest request_;
  const MediaInput* input_ = nullptr;
  bool drop_audio_ = false, drop_subtitles_ = false, drop_data_ = false;
  AVFormatContext* format_ = nullptr;
  const AVCodec* codec_ = nullptr;
  CodecPtr encoder_;
  AVDictionary* encoder_options_ = nullptr;
  AVDictionary* muxer_options_ = nullptr;
  std::string pixel_format_;  // -pix_fmt
  std::vector<int> stream_map_;  // input stream -> output stream, -1 dropped
  // Text subtitles the container holds only in its own format, by input stream.
  struct SubtitleConversion {
    CodecPtr decoder;
    CodecPtr encoder;
  };
  std::vector<std::unique_ptr<SubtitleConversion>> subtitles_;
  std::vector<std::unique_ptr<AudioConversion>> audio_;  // by input stream
  bool convert_subtitle(const AVStream& stream, const std::string& described);
  void write_subtitle(SubtitleConversion& conversion, AVPacket* packet, AVRational input_time_base);
  int video_out_ = -1;
  bool single_image_ = false;
  bool opened_ = false;
  bool interlaced_ = false;
  bool header_written_ = false;
  bool finished_ = false;
  int64_t last_pts_ = AV_NOPTS_VALUE;
  PacketPtr packet_;
};

}  // namespace qnr
