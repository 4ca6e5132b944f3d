#include "media/subtitle_convert.h"

#include <cstring>
#include <vector>

namespace qnr {

namespace {

bool is_text_subtitle(const AVCodecParameters& par) {
  const AVCodecDescriptor* desc = avcodec_descriptor_get(par.codec_id);
  return desc != nullptr && (desc->props & AV_CODEC_PROP_TEXT_SUB) != 0;
}

// The styles the decoder read (an ASS header) go to the encoder as they are.
void copy_subtitle_header(const AVCodecContext& from, AVCodecContext& to) {
  if (from.subtitle_header == nullptr) return;
  to.subtitle_header = static_cast<uint8_t*>(av_mallocz(from.subtitle_header_size + 1));
  if (to.subtitle_header == nullptr) throw std::bad_alloc();
  std::memcpy(to.subtitle_header, from.subtitle_header, from.subtitle_header_size);
  to.subtitle_header_size = from.subtitle_header_size;
}

}  // namespace

std::unique_ptr<SubtitleConversion> SubtitleConversion::create(const AVStream& input,
                                                               const char* encoder_name,
                                                               AVFormatContext* output) {
  if (!is_text_subtitle(*input.codecpar)) return nullptr;
  if (encoder_name == nullptr) return nullptr;
  const AVCodec* encoder = avcodec_find_encoder_by_name(encoder_name);
  if (encoder == nullptr) return nullptr;
  std::unique_ptr<SubtitleConversion> c(new SubtitleConversion());
  c->decoder_ = open_decoder(input, 1);
  if (!c->decoder_) return nullptr;
  c->encoder_.reset(avcodec_alloc_context3(encoder));
  if (!c->encoder_) throw std::bad_alloc();
  AVCodecContext* enc = c->encoder_.get();
  enc->time_base = input.time_base;
  copy_subtitle_header(*c->decoder_, *enc);
  if (avcodec_open2(enc, encoder, nullptr) < 0) return nullptr;

  AVStream* out = avformat_new_stream(output, nullptr);
  if (out == nullptr) throw std::bad_alloc();
  if (avcodec_parameters_from_context(out->codecpar, enc) < 0) return nullptr;
  out->time_base = input.time_base;
  out->disposition = input.disposition;
  av_dict_copy(&out->metadata, input.metadata, 0);
  c->time_base_ = input.time_base;
  c->output_stream_ = out->index;
  return c;
}

bool SubtitleConversion::convert(AVPacket* packet, const std::function<void(AVPacket*)>& write) {
  AVSubtitle subtitle{};
  int got = 0;
  if (avcodec_decode_subtitle2(decoder_.get(), &subtitle, &got, packet) < 0) return false;
  if (!got) return true;
  std::vector<uint8_t> buffer(1 << 16);
  const int size = avcodec_encode_subtitle(encoder_.get(), buffer.data(),
                                           static_cast<int>(buffer.size()), &subtitle);
  avsubtitle_free(&subtitle);
  if (size < 0) return false;
  PacketPtr out = new_packet();
  check_av(av_new_packet(out.get(), size), "cannot convert a subtitle");
  std::memcpy(out->data, buffer.data(), static_cast<size_t>(size));
  out->pts = out->dts = packet->pts;
  out->duration = packet->duration;
  write(out.get());
  return true;
}

}  // namespace qnr
