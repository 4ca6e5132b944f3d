// The filtered video's encoder: its pixel format, colour tags, field order
// and fixed quantiser set from the first frame and the user's options, then
// fed the frames in order.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "media/frame_convert.h"
#include "media/libav.h"

namespace qnr {

// What the first decoded frame says about the picture.
struct FirstFrame {
  int32_t width = 0;  // upright, as filtered
  int32_t height = 0;
  AVPixelFormat source_format = AV_PIX_FMT_NONE;  // as decoded
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

// What the encoder is opened with beside the first frame.
struct VideoEncoderSetup {
  const AVCodec* codec = nullptr;
  std::string pixel_format;    // -pix_fmt, "" to choose one for the codec
  bool interlace = false;      // --interlace
  bool global_header = false;  // the container keeps the codec's headers apart
  AVRational time_base{1, 1};  // the input video's
  AVRational frame_rate{0, 1};
  bool quiet = false;
  // The frames written are the filter's own 8-bit output (else the input's
  // frames with its correction, at their own depth).
  bool module_rgb = true;
};

// Closed captions (CEA-608/708 as ATSC A/53 data) go with the picture they
// came with: the decoded frame's are given to the filtered one.
void carry_captions(const AVFrame& decoded, AVFrame& filtered);

class VideoEncoder {
 public:
  // Opens the encoder for the first frame with `options`; those it does not
  // know are left there. Returns the format the frames must come in. Throws
  // Failure.
  PictureFormat open(const VideoEncoderSetup& setup, const FirstFrame& first, Dictionary& options);
  // Whether the video is coded as interlaced.
  bool interlaced() const { return interlaced_; }
  const AVCodecContext& context() const { return *encoder_; }
  // Whether frames came with closed captions this encoder does not write.
  bool captions_lost() const { return captions_lost_; }

  // A frame with its pts and duration in the encoder's time base, or null
  // to drain; `write` gets each packet, in that time base, with its frame's
  // duration.
  void encode(AVFrame* frame, const std::function<void(AVPacket*)>& write);

 private:
  void set_colour(const FirstFrame& first, PictureFormat& picture);
  void set_fields(const FirstFrame& first, Dictionary& options);
  void set_fixed_quantiser(Dictionary& options);
  [[noreturn]] void failed(int code) const;

  CodecPtr encoder_;
  bool interlaced_ = false;
  bool captions_lost_ = false;
  int64_t last_pts_ = AV_NOPTS_VALUE;
  std::map<int64_t, int64_t> durations_;  // of the frames sent, by pts
  PacketPtr packet_ = new_packet();
};

}  // namespace qnr
