#include "demo/picture_writer.h"

#include <cstring>

#include "base/failure.h"
#include "media/libav.h"
#include "media/output_file.h"

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

const AVOutputFormat* find_format(const PictureStream& stream) {
  const AVOutputFormat* format = av_guess_format(nullptr, stream.path.c_str(), nullptr);
  if (format == nullptr) throw Failure("cannot tell the format of " + stream.path);
  if (std::strcmp(format->name, "image2") == 0) {
    format = av_guess_format("image2pipe", nullptr, nullptr);
  }
  return format;
}

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

}  // namespace

struct PictureWriter::Encoder {
  std::string path;
  int32_t width = 0;
  int32_t height = 0;
  int64_t next_pts = 0;
  OutputFile file;
  MuxerPtr muxer;
  CodecPtr codec;
  AVStream* video = nullptr;
  std::unique_ptr<SwsContext, SwsFree> scaler;
  PacketPtr packet = new_packet();

  explicit Encoder(const PictureStream& stream)
      : path(stream.path),
        width(stream.width),
        height(stream.height),
        file({stream.path, true, "", ""}) {}

  // Sends a frame (null: the end) and writes every packet the encoder has ready.
  void send(const AVFrame* frame) {
    check_av(avcodec_send_frame(codec.get(), frame), "encoding " + path + " failed");
    for (;;) {
      const int code = avcodec_receive_packet(codec.get(), packet.get());
      if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) return;
      check_av(code, "encoding " + path + " failed");
      if (packet->duration <= 0) packet->duration = 1;
      av_packet_rescale_ts(packet.get(), codec->time_base, video->time_base);
      packet->stream_index = video->index;
      check_av(av_interleaved_write_frame(muxer.get(), packet.get()),
               "writing " + path + " failed");
    }
  }
};

PictureWriter::PictureWriter(const PictureStream& stream)
    : encoder_(std::make_unique<Encoder>(stream)) {
  Encoder& e = *encoder_;
  const AVOutputFormat* format = find_format(stream);
  const AVCodec* codec = find_encoder(stream, format);
  AVFormatContext* raw = nullptr;
  check_av(avformat_alloc_output_context2(&raw, format, nullptr, e.file.url().c_str()),
           "cannot set up " + stream.path);
  e.muxer.reset(raw);
  e.codec = open_encoder(stream, codec, (format->flags & AVFMT_GLOBALHEADER) != 0);

  e.video = avformat_new_stream(e.muxer.get(), nullptr);
  if (e.video == nullptr) throw std::bad_alloc();
  check_av(avcodec_parameters_from_context(e.video->codecpar, e.codec.get()),
           "cannot set up " + stream.path);
  e.video->time_base = e.codec->time_base;
  check_av(avio_open(&e.muxer->pb, e.file.url().c_str(), AVIO_FLAG_WRITE),
           "cannot write " + stream.path);
  check_av(avformat_write_header(e.muxer.get(), nullptr), "cannot write " + stream.path);

  e.scaler.reset(sws_getContext(stream.width, stream.height, kSource, stream.width, stream.height,
                                e.codec->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!e.scaler) throw std::bad_alloc();
}

PictureWriter::~PictureWriter() = default;

void PictureWriter::write(const uint32_t* pixels) {
  Encoder& e = *encoder_;
  FramePtr frame = new_frame();
  frame->format = e.codec->pix_fmt;
  frame->width = e.width;
  frame->height = e.height;
  check_av(av_frame_get_buffer(frame.get(), 0), "cannot allocate a frame");
  const uint8_t* src[4] = {reinterpret_cast<const uint8_t*>(pixels), nullptr, nullptr, nullptr};
  const int stride[4] = {e.width * 4, 0, 0, 0};
  sws_scale(e.scaler.get(), src, stride, 0, e.height, frame->data, frame->linesize);
  frame->pts = e.next_pts++;
  e.send(frame.get());
}

void PictureWriter::finish() {
  Encoder& e = *encoder_;
  e.send(nullptr);
  check_av(av_write_trailer(e.muxer.get()), "writing " + e.path + " failed");
  check_av(avio_closep(&e.muxer->pb), "writing " + e.path + " failed");
  e.file.commit();
}

}  // namespace qnr
