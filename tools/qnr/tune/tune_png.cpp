#include "tune/tune_png.h"

#include <cstring>

#include "base/failure.h"

namespace qnr {

namespace {

// Stored, uncompressed deflate blocks. On noisy 1080p video every real
// compression level costs 150 to 450 ms a frame here (encoding, and as much
// again for the browser's decoding) and saves about 40 %; stored blocks cost
// a few milliseconds at both ends, and the loopback carries 6 MB at once.
constexpr int kCompressionLevel = 0;
constexpr const char* kPrediction = "none";

void fill_rgb(const HostFrame& bitmap, AVFrame& rgb) {
  for (int32_t y = 0; y < bitmap.height; ++y) {
    const uint8_t* in = bitmap.storage.data() + (bitmap.height - 1 - y) * bitmap.pitch;
    uint8_t* out = rgb.data[0] + static_cast<ptrdiff_t>(y) * rgb.linesize[0];
    for (int32_t x = 0; x < bitmap.width; ++x, in += 4, out += 3) {
      out[0] = in[2];
      out[1] = in[1];
      out[2] = in[0];
    }
  }
}

}  // namespace

std::string encode_png(const HostFrame& bitmap) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (codec == nullptr) throw Failure("this FFmpeg has no PNG encoder");
  CodecPtr encoder(avcodec_alloc_context3(codec));
  if (!encoder) throw std::bad_alloc();
  encoder->width = bitmap.width;
  encoder->height = bitmap.height;
  encoder->pix_fmt = AV_PIX_FMT_RGB24;
  encoder->time_base = {1, 25};
  encoder->compression_level = kCompressionLevel;
  av_opt_set(encoder->priv_data, "pred", kPrediction, 0);
  check_av(avcodec_open2(encoder.get(), codec, nullptr), "cannot open the PNG encoder");

  FramePtr rgb = new_frame();
  rgb->format = AV_PIX_FMT_RGB24;
  rgb->width = bitmap.width;
  rgb->height = bitmap.height;
  check_av(av_frame_get_buffer(rgb.get(), 0), "cannot make a picture for PNG");
  fill_rgb(bitmap, *rgb);

  check_av(avcodec_send_frame(encoder.get(), rgb.get()), "PNG encoding failed");
  PacketPtr packet = new_packet();
  check_av(avcodec_receive_packet(encoder.get(), packet.get()), "PNG encoding failed");
  return std::string(reinterpret_cast<const char*>(packet->data), packet->size);
}

}  // namespace qnr
