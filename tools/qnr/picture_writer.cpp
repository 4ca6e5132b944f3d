#include "picture_writer.h"

#include <cstring>

#include "failure.h"
#include "libav.h"
#include "output_file.h"

namespace qnr {

namespace {

struct FormatFree {
  void operator()(AVFormatContext* format) const {
    if (format->pb != nullptr) avio_closep(&format->pb);
    avformat_free_context(format);
  }
};

using MuxerPtr = std::unique_ptr<AVFormatContext, FormatFree>;

constexpr AVPixelFormat kSource = AV_PIX_FMT_BGR0;

const AVCodec* find_encoder(const PictureStream& stream, const AVOutputFormat* format) {
  const AVCodec* codec =
      stream.codec.empty() ? avcodec_find_encoder(av_guess_codec(
                                 format, nullptr, stream.path.c_str(), nullptr, AVMEDIA_TYPE_VIDEO))
                           : avcodec_find_encoder_by_name(stream.codec.c_str());
  if (codec == nullptr) throw Failure("no encoder for " + stream.path);
  return codec;
}

CodecPtr open_encoder(const PictureStream& stream, const AVCodec* codec, bool global_header) {
  CodecPtr encoder(avcodec_alloc_context3(codec));
  if (!encoder) throw std::bad_alloc();
  encoder->width = stream.width;
  encoder->height = stream.height;
  encoder->time_base = {1, stream.rate};
  encoder->framerate = {stream.rate, 1};
  encoder->pix_fmt = codec->pix_fmts == nullptr
                         ? kSource
                         : avcodec_find_best_pix_fmt_of_list(codec->pix_fmts, kSource, 0, nullptr);
  if (std::strcmp(codec->name, "libx264") == 0) encoder->pix_fmt = AV_PIX_FMT_YUV420P;
  if (global_header) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  Dictionary options;
  for (const auto& [key, value] : stream.options) options.set(key, value);
  check_av(avcodec_open2(encoder.get(), codec, &options.entries),
           "cannot open the encoder for " + stream.path);
  return encoder;
}

// The encoder's output from one frame (null: the last), into the file.
struct PictureEncoder {
  const PictureStream& stream;
  AVCodecContext* encoder;
  AVFormatContext* muxer;
  AVStream* video;
  PacketPtr packet = new_packet();

  void encode(const AVFrame* frame) {
    check_av(avcodec_send_frame(encoder, frame), "encoding " + stream.path + " failed");
    for (;;) {
      const int code = avcodec_receive_packet(encoder, packet.get());
      if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) return;
      check_av(code, "encoding " + stream.path + " failed");
      if (packet->duration <= 0) packet->duration = 1;
      av_packet_rescale_ts(packet.get(), encoder->time_base, video->time_base);
      packet->stream_index = video->index;
      check_av(av_interleaved_write_frame(muxer, packet.get()),
               "writing " + stream.path + " failed");
    }
  }
};

// Picture `index` drawn and converted into the encoder's format.
FramePtr draw_frame(const PictureStream& stream, int index, SwsContext* scaler,
                    AVPixelFormat format, std::vector<uint32_t>& pixels) {
  stream.draw(index, pixels);
  FramePtr frame = new_frame();
  frame->format = format;
  frame->width = stream.width;
  frame->height = stream.height;
  check_av(av_frame_get_buffer(frame.get(), 0), "cannot allocate a frame");
  const uint8_t* src[4] = {reinterpret_cast<const uint8_t*>(pixels.data()), nullptr, nullptr,
                           nullptr};
  const int stride[4] = {stream.width * 4, 0, 0, 0};
  sws_scale(scaler, src, stride, 0, stream.height, frame->data, frame->linesize);
  frame->pts = index;
  return frame;
}

}  // namespace

void write_pictures(const PictureStream& stream) {
  OutputFile file({stream.path, true, "", ""});
  const AVOutputFormat* format = av_guess_format(nullptr, stream.path.c_str(), nullptr);
  if (format == nullptr) throw Failure("cannot tell the format of " + stream.path);
  if (std::strcmp(format->name, "image2") == 0) {
    format = av_guess_format("image2pipe", nullptr, nullptr);
  }
  const AVCodec* codec = find_encoder(stream, format);

  AVFormatContext* raw = nullptr;
  check_av(avformat_alloc_output_context2(&raw, format, nullptr, file.url().c_str()),
           "cannot set up " + stream.path);
  MuxerPtr muxer(raw);
  const CodecPtr encoder = open_encoder(stream, codec, (format->flags & AVFMT_GLOBALHEADER) != 0);
  AVStream* video = avformat_new_stream(muxer.get(), nullptr);
  if (video == nullptr) throw std::bad_alloc();
  check_av(avcodec_parameters_from_context(video->codecpar, encoder.get()),
           "cannot set up " + stream.path);
  video->time_base = encoder->time_base;
  check_av(avio_open(&muxer->pb, file.url().c_str(), AVIO_FLAG_WRITE),
           "cannot write " + stream.path);
  check_av(avformat_write_header(muxer.get(), nullptr), "cannot write " + stream.path);

  std::unique_ptr<SwsContext, SwsFree> scaler(
      sws_getContext(stream.width, stream.height, kSource, stream.width, stream.height,
                     encoder->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!scaler) throw std::bad_alloc();
  std::vector<uint32_t> pixels(static_cast<size_t>(stream.width) *
                               static_cast<size_t>(stream.height));
  PictureEncoder out{stream, encoder.get(), muxer.get(), video};
  for (int index = 0; index < stream.frames; ++index) {
    out.encode(draw_frame(stream, index, scaler.get(), encoder->pix_fmt, pixels).get());
  }
  out.encode(nullptr);
  check_av(av_write_trailer(muxer.get()), "writing " + stream.path + " failed");
  check_av(avio_closep(&muxer->pb), "writing " + stream.path + " failed");
  file.commit();
}

}  // namespace qnr
