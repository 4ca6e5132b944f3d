#include "media_output.h"

#include "failure.h"
#include "output_format.h"

namespace qnr {

MediaOutput::MediaOutput(const OutputRequest& request)
    : request_(request), args_(parse_encoder_args(request.encoder_args)) {
  if (args_.format) request_.format = *args_.format;
  if (args_.codec) request_.codec = *args_.codec;
  const Container container = choose_container(request_);
  single_image_ = container.single_image;
  codec_ = choose_video_codec(request_, container.format, args_.encoder_options);
  muxer_ = std::make_unique<Muxer>(container.format, request_.url, request_.name);
  add_muxer_defaults(container.format, request_.streamed, args_.muxer_options);
}

MediaOutput::~MediaOutput() = default;

void MediaOutput::map_streams(const MediaInput& input) {
  input_ = &input;
  StreamChoice choice;
  choice.video_only = single_image_ || request_.sequence;
  choice.sequence = request_.sequence;
  choice.drop_audio = args_.drop_audio;
  choice.drop_subtitles = args_.drop_subtitles;
  choice.drop_data = args_.drop_data;
  choice.quiet = request_.quiet;
  streams_ = qnr::map_streams(input, muxer_->context(), choice);
  if (!choice.video_only) copy_metadata_and_chapters(*input.format, muxer_->context());
}

int MediaOutput::output_stream_of(int index) const {
  const std::vector<int>& map = streams_.output_of;
  return index >= 0 && index < static_cast<int>(map.size()) ? map[index] : -1;
}

std::string MediaOutput::encoder_name() const { return codec_ != nullptr ? codec_->name : ""; }

PictureFormat MediaOutput::open(const FirstFrame& first) {
  AVStream* in = input_->video_stream();
  VideoEncoderSetup setup;
  setup.codec = codec_;
  setup.pixel_format = args_.pixel_format;
  setup.interlace = request_.interlace;
  setup.global_header = (muxer_->format().flags & AVFMT_GLOBALHEADER) != 0;
  setup.time_base = in->time_base;
  setup.frame_rate = av_guess_frame_rate(input_->format, in, nullptr);
  setup.quiet = request_.quiet;
  const PictureFormat picture = encoder_.open(setup, first, args_.encoder_options);
  // What the encoder did not take goes to the muxer.
  args_.muxer_options.add_all(args_.encoder_options);

  const AVCodecContext& enc = encoder_.context();
  AVStream& out = muxer_->stream(streams_.video);
  check_av(avcodec_parameters_from_context(out.codecpar, &enc), "cannot set up the video stream");
  out.time_base = enc.time_base;
  out.avg_frame_rate = enc.framerate;
  out.sample_aspect_ratio = first.sample_aspect;
  add_video_muxer_defaults(&muxer_->format(), enc.time_base, args_.muxer_options);

  muxer_->write_header(args_.muxer_options);
  if (const AVDictionaryEntry* left =
          av_dict_get(args_.muxer_options.entries, "", nullptr, AV_DICT_IGNORE_SUFFIX)) {
    throw Failure(
        std::string("neither the encoder nor the container knows the option -") + left->key,
        kExitUsage);
  }
  opened_ = true;
  return picture;
}

void MediaOutput::write_to(int out, AVPacket* packet, AVRational time_base) {
  av_packet_rescale_ts(packet, time_base, muxer_->stream(out).time_base);
  packet->stream_index = out;
  muxer_->write(packet);
}

std::function<void(AVPacket*)> MediaOutput::writer_to(int out, AVRational time_base) {
  return [this, out, time_base](AVPacket* packet) { write_to(out, packet, time_base); };
}

void MediaOutput::write_copied(AVPacket* packet, AVRational input_time_base) {
  const int out = output_stream_of(packet->stream_index);
  if (out < 0) return;
  if (AudioConversion* conversion = streams_.audio[packet->stream_index].get()) {
    conversion->convert(packet, writer_to(out, conversion->time_base()));
    return;
  }
  if (SubtitleConversion* conversion = streams_.subtitles[packet->stream_index].get()) {
    conversion->convert(packet, writer_to(out, conversion->time_base()));
    return;
  }
  packet->pos = -1;
  write_to(out, packet, input_time_base);
}

void MediaOutput::encode(AVFrame* frame) {
  encoder_.encode(frame, writer_to(streams_.video, encoder_.context().time_base));
}

void MediaOutput::finish() {
  if (finished_ || !muxer_->header_written()) return;
  finished_ = true;
  for (auto& conversion : streams_.audio) {
    if (!conversion) continue;
    conversion->convert(nullptr, writer_to(conversion->output_stream(), conversion->time_base()));
  }
  muxer_->finish();
}

}  // namespace qnr
