#include "media/audio_convert.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
}

#include <string>

namespace qnr {

namespace {

std::string layout_text(const AVChannelLayout& layout) {
  char text[256] = {};
  av_channel_layout_describe(&layout, text, sizeof text);
  return text;
}

int pick_sample_rate(const AVCodec* codec, int wanted) {
  if (codec->supported_samplerates == nullptr) return wanted;
  int best = codec->supported_samplerates[0];
  for (const int* rate = codec->supported_samplerates; *rate != 0; ++rate) {
    if (*rate == wanted) return wanted;
    if (*rate == 48000) best = 48000;
  }
  return best;
}

}  // namespace

AudioConversion::~AudioConversion() { avfilter_graph_free(&graph_); }

AVRational AudioConversion::time_base() const { return encoder_->time_base; }

std::unique_ptr<AudioConversion> AudioConversion::create(const AVStream& input,
                                                         const char* encoder_name,
                                                         AVFormatContext* output, int sample_rate) {
  const AVCodec* encoder = avcodec_find_encoder_by_name(encoder_name);
  if (encoder == nullptr) return nullptr;
  std::unique_ptr<AudioConversion> c(new AudioConversion());
  c->decoder_ = open_decoder(input, 1);
  if (!c->decoder_ || c->decoder_->sample_rate <= 0) return nullptr;
  AVCodecContext* dec = c->decoder_.get();
  if (dec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    const int channels = dec->ch_layout.nb_channels;
    av_channel_layout_uninit(&dec->ch_layout);
    av_channel_layout_default(&dec->ch_layout, channels);
  }
  c->input_time_base_ = input.time_base;
  if (!c->open_encoder(encoder, (output->oformat->flags & AVFMT_GLOBALHEADER) != 0, sample_rate) ||
      !c->build_graph()) {
    return nullptr;
  }

  AVStream* out = avformat_new_stream(output, nullptr);
  if (out == nullptr) throw std::bad_alloc();
  if (avcodec_parameters_from_context(out->codecpar, c->encoder_.get()) < 0) return nullptr;
  out->time_base = c->encoder_->time_base;
  out->disposition = input.disposition;
  av_dict_copy(&out->metadata, input.metadata, 0);
  c->output_stream_ = out->index;
  return c;
}

// The decoder's channels at the rate asked for, else the one nearest its own
// that the encoder takes.
bool AudioConversion::open_encoder(const AVCodec* encoder, bool global_header, int sample_rate) {
  const AVCodecContext* dec = decoder_.get();
  encoder_.reset(avcodec_alloc_context3(encoder));
  if (!encoder_) throw std::bad_alloc();
  AVCodecContext* enc = encoder_.get();
  enc->sample_rate = sample_rate > 0 ? sample_rate : pick_sample_rate(encoder, dec->sample_rate);
  enc->sample_fmt = encoder->sample_fmts != nullptr ? encoder->sample_fmts[0] : dec->sample_fmt;
  if (av_channel_layout_copy(&enc->ch_layout, &dec->ch_layout) < 0) return false;
  enc->time_base = {1, enc->sample_rate};
  enc->bit_rate = 96000LL * enc->ch_layout.nb_channels;
  if (global_header) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  return avcodec_open2(enc, encoder, nullptr) >= 0;
}

// Resampled, converted and cut into the encoder's frame size.
bool AudioConversion::build_graph() {
  const AVCodecContext* dec = decoder_.get();
  const AVCodecContext* enc = encoder_.get();
  graph_ = avfilter_graph_alloc();
  if (graph_ == nullptr) throw std::bad_alloc();
  const std::string source_args = "time_base=1/" + std::to_string(dec->sample_rate) +
                                  ":sample_rate=" + std::to_string(dec->sample_rate) +
                                  ":sample_fmt=" + av_get_sample_fmt_name(dec->sample_fmt) +
                                  ":channel_layout=" + layout_text(dec->ch_layout);
  if (avfilter_graph_create_filter(&source_, avfilter_get_by_name("abuffer"), "in",
                                   source_args.c_str(), nullptr, graph_) < 0 ||
      avfilter_graph_create_filter(&sink_, avfilter_get_by_name("abuffersink"), "out", nullptr,
                                   nullptr, graph_) < 0) {
    return false;
  }
  const std::string chain = "aresample=" + std::to_string(enc->sample_rate) +
                            ",aformat=sample_fmts=" + av_get_sample_fmt_name(enc->sample_fmt) +
                            ":channel_layouts=" + layout_text(enc->ch_layout);
  if (link_filter_chain(graph_, source_, sink_, chain.c_str()) < 0 ||
      avfilter_graph_config(graph_, nullptr) < 0) {
    return false;
  }
  if (enc->frame_size > 0 && !(enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE)) {
    av_buffersink_set_frame_size(sink_, static_cast<unsigned>(enc->frame_size));
  }
  return true;
}

bool AudioConversion::convert(const AVPacket* packet, const std::function<void(AVPacket*)>& write) {
  AVCodecContext* dec = decoder_.get();
  if (avcodec_send_packet(dec, packet) < 0 && packet != nullptr) return false;
  bool decoded = true;
  FramePtr frame = new_frame();
  for (;;) {
    const int code = avcodec_receive_frame(dec, frame.get());
    if (code == AVERROR(EAGAIN)) return decoded;
    if (code == AVERROR_EOF) break;
    if (code < 0) {
      decoded = false;
      continue;
    }
    const int64_t pts = frame->best_effort_timestamp;
    frame->pts = pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE
                                       : av_rescale_q(pts, input_time_base_, {1, dec->sample_rate});
    check_av(av_buffersrc_add_frame(source_, frame.get()), "converting the audio failed");
    drain_graph(write, false);
  }
  check_av(av_buffersrc_add_frame(source_, nullptr), "converting the audio failed");
  drain_graph(write, true);
  return decoded;
}

void AudioConversion::drain_graph(const std::function<void(AVPacket*)>& write, bool end) {
  FramePtr frame = new_frame();
  const AVRational sink_time_base = av_buffersink_get_time_base(sink_);
  for (;;) {
    const int code = av_buffersink_get_frame(sink_, frame.get());
    if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) break;
    check_av(code, "converting the audio failed");
    if (frame->pts != AV_NOPTS_VALUE)
      frame->pts = av_rescale_q(frame->pts, sink_time_base, encoder_->time_base);
    check_av(avcodec_send_frame(encoder_.get(), frame.get()), "encoding the audio failed");
    av_frame_unref(frame.get());
    drain_encoder(write);
  }
  if (end) {
    check_av(avcodec_send_frame(encoder_.get(), nullptr), "encoding the audio failed");
    drain_encoder(write);
  }
}

void AudioConversion::drain_encoder(const std::function<void(AVPacket*)>& write) {
  PacketPtr packet = new_packet();
  for (;;) {
    const int code = avcodec_receive_packet(encoder_.get(), packet.get());
    if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) return;
    check_av(code, "encoding the audio failed");
    write(packet.get());
    av_packet_unref(packet.get());
  }
}

}  // namespace qnr
