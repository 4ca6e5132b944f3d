#include "media/audio_convert.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
}

#include <cstring>
#include <string>

#include "base/failure.h"

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

AudioConversion::~AudioConversion() {
  avfilter_graph_free(&graph_);
  av_channel_layout_uninit(&graph_layout_);
}

AVRational AudioConversion::time_base() const { return encoder_->time_base; }

std::unique_ptr<AudioConversion> AudioConversion::create(const AVStream& input,
                                                         const char* encoder_name,
                                                         AVFormatContext* output, int sample_rate,
                                                         int into_stream) {
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
      !c->build_graph(dec->sample_rate, dec->sample_fmt, dec->ch_layout)) {
    return nullptr;
  }
  if (into_stream >= 0) {
    c->output_stream_ = into_stream;
    c->adts_ = input.codecpar->codec_id == AV_CODEC_ID_AAC && input.codecpar->extradata == nullptr;
    return c;
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
bool AudioConversion::build_graph(int rate, AVSampleFormat format, const AVChannelLayout& layout) {
  const AVCodecContext* enc = encoder_.get();
  avfilter_graph_free(&graph_);
  graph_ = avfilter_graph_alloc();
  if (graph_ == nullptr) throw std::bad_alloc();
  graph_rate_ = rate;
  graph_format_ = format;
  av_channel_layout_uninit(&graph_layout_);
  if (av_channel_layout_copy(&graph_layout_, &layout) < 0) throw std::bad_alloc();
  const std::string source_args =
      "time_base=1/" + std::to_string(rate) + ":sample_rate=" + std::to_string(rate) +
      ":sample_fmt=" + av_get_sample_fmt_name(format) + ":channel_layout=" + layout_text(layout);
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

// A decoder's frames that change format midway go through a new graph, after
// the old one has given up what it held.
void AudioConversion::follow_format(const AVFrame& frame,
                                    const std::function<void(AVPacket*)>& write) {
  AVChannelLayout layout{};
  if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    av_channel_layout_default(&layout, frame.ch_layout.nb_channels);
  } else if (av_channel_layout_copy(&layout, &frame.ch_layout) < 0) {
    throw std::bad_alloc();
  }
  const bool same = frame.sample_rate == graph_rate_ && frame.format == graph_format_ &&
                    av_channel_layout_compare(&layout, &graph_layout_) == 0;
  if (!same) {
    check_av(av_buffersrc_add_frame(source_, nullptr), "converting the audio failed");
    drain_graph(write, false);
    if (!build_graph(frame.sample_rate, static_cast<AVSampleFormat>(frame.format), layout)) {
      av_channel_layout_uninit(&layout);
      throw Failure("cannot convert the audio after its format changed");
    }
  }
  av_channel_layout_uninit(&layout);
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
    follow_format(*frame, write);
    const int64_t pts = frame->best_effort_timestamp;
    frame->pts = pts == AV_NOPTS_VALUE
                     ? AV_NOPTS_VALUE
                     : av_rescale_q(pts, input_time_base_, {1, frame->sample_rate});
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

namespace {

// An ADTS header (no CRC) in front of a raw AAC frame.
void add_adts_header(const AVCodecContext& encoder, AVPacket& packet) {
  static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                               22050, 16000, 12000, 11025, 8000,  7350};
  int rate_index = 0;
  while (rate_index < 12 && kRates[rate_index] != encoder.sample_rate) ++rate_index;
  const int channels = encoder.ch_layout.nb_channels == 8 ? 7 : encoder.ch_layout.nb_channels;
  const int profile = encoder.profile >= 0 ? encoder.profile : FF_PROFILE_AAC_LOW;
  const int length = packet.size + 7;
  const uint8_t header[7] = {
      0xFF,
      0xF1,
      static_cast<uint8_t>((profile << 6) | (rate_index << 2) | (channels >> 2)),
      static_cast<uint8_t>(((channels & 3) << 6) | (length >> 11)),
      static_cast<uint8_t>((length >> 3) & 0xFF),
      static_cast<uint8_t>(((length & 7) << 5) | 0x1F),
      0xFC};
  PacketPtr framed = new_packet();
  check_av(av_new_packet(framed.get(), length), "encoding the audio failed");
  std::memcpy(framed->data, header, sizeof header);
  std::memcpy(framed->data + 7, packet.data, packet.size);
  check_av(av_packet_copy_props(framed.get(), &packet), "encoding the audio failed");
  av_packet_unref(&packet);
  av_packet_move_ref(&packet, framed.get());
}

}  // namespace

void AudioConversion::drain_encoder(const std::function<void(AVPacket*)>& write) {
  PacketPtr packet = new_packet();
  for (;;) {
    const int code = avcodec_receive_packet(encoder_.get(), packet.get());
    if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) return;
    check_av(code, "encoding the audio failed");
    if (adts_) add_adts_header(*encoder_, *packet);
    write(packet.get());
    av_packet_unref(packet.get());
  }
}

std::unique_ptr<AudioFormatWatch> AudioFormatWatch::create(const AVStream& input) {
  std::unique_ptr<AudioFormatWatch> watch(new AudioFormatWatch());
  watch->decoder_ = open_decoder(input, 1);
  if (!watch->decoder_) return nullptr;
  return watch;
}

namespace {

std::string format_text(int channels, int rate) {
  return std::to_string(channels) + (channels == 1 ? " channel" : " channels") + " at " +
         std::to_string(rate) + " Hz";
}

}  // namespace

std::string AudioFormatWatch::first() const { return format_text(channels_, rate_); }

std::string AudioFormatWatch::changed(const AVPacket& packet) {
  if (done_) return "";
  // A packet that does not decode is the damage report's, not a change.
  if (avcodec_send_packet(decoder_.get(), &packet) < 0) return "";
  std::string change;
  while (avcodec_receive_frame(decoder_.get(), frame_.get()) >= 0) {
    const int rate = frame_->sample_rate;
    const int channels = frame_->ch_layout.nb_channels;
    av_frame_unref(frame_.get());
    if (rate_ == 0) {
      rate_ = rate;
      channels_ = channels;
    } else if (change.empty() && (rate != rate_ || channels != channels_)) {
      change = format_text(channels, rate);
    }
  }
  if (!change.empty()) done_ = true;
  return change;
}

}  // namespace qnr
