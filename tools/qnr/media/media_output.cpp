#include "media/media_output.h"

#include <cstdio>

#include "base/failure.h"
#include "base/note.h"
#include "media/frame_clock.h"
#include "media/output_format.h"

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
  damage_ = std::make_unique<DamageLog>(input.name, request_.strict);
  StreamChoice choice;
  choice.video_only = single_image_ || request_.sequence || sink_;
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

void MediaOutput::send_video_to(VideoPacketSink sink) { sink_ = std::move(sink); }

ClockMode MediaOutput::clock_mode() {
  set_up_clock();
  return clock_.mode;
}

void MediaOutput::set_up_clock() {
  AVStream* in = input_->video_stream();
  ClockChoice choice;
  choice.format = &muxer_->format();
  choice.codec = codec_;
  choice.input_time_base = in->time_base;
  choice.input_rate = av_guess_frame_rate(input_->format, in, nullptr);
  choice.user_rate = request_.rate;
  choice.input = input_->name;
  clock_ = choose_output_clock(choice);
  placer_ = std::make_unique<FramePlacer>(clock_, in->time_base);
}

// Before FFmpeg 6, the Matroska muxer left Opus's codec delay out of the
// stored times, which its reader takes off again: each pass moved the
// sound earlier against the video. Added here, the stored times come back
// as they went in.
void MediaOutput::set_up_timestamp_shifts() {
  const AVFormatContext& format = *muxer_->context();
  shift_.assign(format.nb_streams, 0);
  last_dts_.assign(format.nb_streams, AV_NOPTS_VALUE);
  if (avformat_version() >= AV_VERSION_INT(60, 0, 0) ||
      !one_of(format.oformat->name, {"matroska", "webm"})) {
    return;
  }
  for (unsigned i = 0; i < format.nb_streams; ++i) {
    const AVStream& stream = *format.streams[i];
    if (stream.codecpar->codec_id == AV_CODEC_ID_OPUS && stream.codecpar->initial_padding > 0) {
      shift_[i] = av_rescale_q(stream.codecpar->initial_padding, {1, 48000}, stream.time_base);
    }
  }
}

PictureFormat MediaOutput::open(const FirstFrame& first, bool module_rgb) {
  set_up_clock();
  VideoEncoderSetup setup;
  setup.codec = codec_;
  setup.pixel_format = args_.pixel_format;
  setup.interlace = request_.interlace;
  setup.global_header = (muxer_->format().flags & AVFMT_GLOBALHEADER) != 0;
  setup.time_base = clock_.time_base;
  setup.frame_rate = clock_.frame_rate;
  setup.quiet = request_.quiet;
  setup.module_rgb = module_rgb;
  const PictureFormat picture = encoder_.open(setup, first, args_.encoder_options);
  // What the encoder did not take goes to the muxer.
  args_.muxer_options.add_all(args_.encoder_options);

  coded_ = describe_coded_video(encoder_.context(), first.sample_aspect, args_.encoder_options);
  set_up_video_stream(coded_);
  if (sink_) {
    check_muxer_options();
  } else {
    write_header();
  }
  set_up_timestamp_shifts();
  opened_ = true;
  return picture;
}

void MediaOutput::open_coded(const CodedVideo& video) {
  set_up_clock();
  coded_ = video.copy();
  args_.muxer_options.add_all(coded_.muxer_options);
  set_up_video_stream(coded_);
  write_header();
  set_up_timestamp_shifts();
  opened_ = true;
}

void MediaOutput::set_up_video_stream(const CodedVideo& video) {
  AVStream& out = muxer_->stream(streams_.video);
  check_av(avcodec_parameters_copy(out.codecpar, video.parameters.get()),
           "cannot set up the video stream");
  out.time_base = video.time_base;
  out.avg_frame_rate = video.frame_rate;
  out.sample_aspect_ratio = video.sample_aspect;
  add_video_muxer_defaults(&muxer_->format(), video.time_base, args_.muxer_options);
}

namespace {

[[noreturn]] void unknown_option(const AVDictionaryEntry& left) {
  throw Failure(std::string("neither the encoder nor the container knows the option -") + left.key,
                kExitUsage);
}

}  // namespace

void MediaOutput::write_header() {
  muxer_->write_header(args_.muxer_options);
  if (const AVDictionaryEntry* left =
          av_dict_get(args_.muxer_options.entries, "", nullptr, AV_DICT_IGNORE_SUFFIX)) {
    unknown_option(*left);
  }
}

// Writes the header into memory, to refuse there and then what the file
// would refuse: options the container does not know, a stream it cannot
// hold. The container writes nothing afterwards.
void MediaOutput::check_muxer_options() {
  AVFormatContext* context = muxer_->context();
  Dictionary options;
  options.add_all(args_.muxer_options);
  if ((context->oformat->flags & AVFMT_NOFILE) == 0) {
    check_av(avio_open_dyn_buf(&context->pb), "cannot set up the video stream");
    context->pb->seekable = AVIO_SEEKABLE_NORMAL;
  }
  const int code = avformat_write_header(context, &options.entries);
  if (context->pb != nullptr) {
    uint8_t* bytes = nullptr;
    avio_close_dyn_buf(context->pb, &bytes);
    av_free(bytes);
    context->pb = nullptr;
  }
  if (code < 0) {
    std::string why = last_library_error();
    if (why.empty()) why = av_error_text(code);
    throw Failure("the " + std::string(context->oformat->name) +
                  " container refuses the video: " + why);
  }
  if (const AVDictionaryEntry* left =
          av_dict_get(options.entries, "", nullptr, AV_DICT_IGNORE_SUFFIX)) {
    unknown_option(*left);
  }
}

void MediaOutput::write_video(AVPacket* packet, AVRational time_base) {
  write_to(streams_.video, packet, time_base);
}

bool MediaOutput::write_to(int out, AVPacket* packet, AVRational time_base, bool copied,
                           int* refusal) {
  av_packet_rescale_ts(packet, time_base, muxer_->stream(out).time_base);
  packet->stream_index = out;
  if (shift_[out] != 0) {
    if (packet->pts != AV_NOPTS_VALUE) packet->pts += shift_[out];
    if (packet->dts != AV_NOPTS_VALUE) packet->dts += shift_[out];
  }
  // Each stream's decoding times must rise, as ffmpeg keeps them: a packet
  // that overlaps the one before (where joined recordings meet) goes on a tick.
  int64_t& last = last_dts_[out];
  if (packet->dts != AV_NOPTS_VALUE && last != AV_NOPTS_VALUE &&
      !(muxer_->format().flags & AVFMT_NOTIMESTAMPS)) {
    const int64_t least = last + ((muxer_->format().flags & AVFMT_TS_NONSTRICT) ? 0 : 1);
    if (packet->dts < least) {
      if (packet->pts != AV_NOPTS_VALUE && packet->pts >= packet->dts) {
        packet->pts = std::max(packet->pts, least);
      }
      packet->dts = least;
    }
  }
  const int64_t dts = packet->dts;
  if (!copied) {
    muxer_->write(packet);
  } else if (const int code = muxer_->offer(packet); code < 0) {
    if (refusal != nullptr) *refusal = code;
    return false;
  }
  if (dts != AV_NOPTS_VALUE) last = dts;
  return true;
}

std::function<void(AVPacket*)> MediaOutput::writer_to(int out, AVRational time_base) {
  return [this, out, time_base](AVPacket* packet) { write_to(out, packet, time_base); };
}

void MediaOutput::packet_lost(int index, int64_t pts, int64_t duration, AVRational time_base,
                              const std::string& why) {
  damage_->packet_lost(describe_stream(*input_->format->streams[index]),
                       pts == AV_NOPTS_VALUE ? 0 : pts * av_q2d(time_base),
                       duration * av_q2d(time_base), why);
}

void MediaOutput::write_copied(AVPacket* packet, AVRational input_time_base) {
  const int index = packet->stream_index;
  const int out = output_stream_of(index);
  if (out < 0) return;
  // Where the packet was, for a note, before writing moves it.
  const int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
  const int64_t duration = packet->duration;
  // Flagged corrupt by the demuxer (a transport error, or cut short at the
  // end of the file) but still written: damage that the output carries.
  const bool flagged = (packet->flags & AV_PKT_FLAG_CORRUPT) != 0;
  bool kept = true;
  std::string why = "it does not decode";
  if (AudioFormatWatch* watch = streams_.watches[index].get()) {
    if (const std::string to = watch->changed(*packet); !to.empty()) {
      const int64_t start = input_->format->start_time;
      const double from = start == AV_NOPTS_VALUE ? 0 : start / double(AV_TIME_BASE);
      reencode_after_change(index, to, pts * av_q2d(input_time_base) - from);
    }
    if (!streams_.audio[index] && streams_.watches[index] == nullptr) return;  // left out
  }
  if (AudioConversion* conversion = streams_.audio[index].get()) {
    kept = conversion->convert(packet, writer_to(out, conversion->time_base()));
  } else if (SubtitleConversion* conversion = streams_.subtitles[index].get()) {
    kept = conversion->convert(packet, writer_to(out, conversion->time_base()));
  } else if (packet->flags & AV_PKT_FLAG_DISCARD) {
    // Before the start an edit list sets (a cut made without re-encoding):
    // the video's decoder leaves such frames out, and so does the copy.
    return;
  } else {
    packet->pos = -1;
    int refusal = 0;
    kept = write_to(out, packet, input_time_base, true, &refusal);
    if (!kept) why = av_error_text(refusal);
  }
  if (!kept) {
    packet_lost(index, pts, duration, input_time_base, why);
  } else if (flagged) {
    damage_->packet_flagged(describe_stream(*input_->format->streams[index]),
                            pts == AV_NOPTS_VALUE ? 0 : pts * av_q2d(input_time_base));
  }
}

// The container stores the stream's first format: from the change on, the
// sound is coded anew in that format (its codec, rate and channels), so that
// it plays at its speed; where that cannot be, the rest is left out.
void MediaOutput::reencode_after_change(int index, const std::string& to, double at) {
  const AVStream& stream = *input_->format->streams[index];
  const AudioFormatWatch& watch = *streams_.watches[index];
  char when[32];
  std::snprintf(when, sizeof when, "%.1f s", at);
  const std::string change =
      describe_stream(stream) + " changes from " + watch.first() + " to " + to + " at " + when;
  const AVCodec* encoder = avcodec_find_encoder(stream.codecpar->codec_id);
  std::unique_ptr<AudioConversion> conversion;
  if (encoder != nullptr) {
    conversion = AudioConversion::create(stream, encoder->name, muxer_->context(),
                                         stream.codecpar->sample_rate, output_stream_of(index));
  }
  const char* container = muxer_->format().name;
  if (conversion) {
    note(request_.quiet, change + ": re-encoded from there in the first format (the " + container +
                             " container holds one)");
    streams_.audio[index] = std::move(conversion);
    streams_.watches[index].reset();
    return;
  }
  note(request_.quiet, change + ": the rest left out (the " + std::string(container) +
                           " container holds one format and qnr cannot re-encode it)");
  streams_.watches[index].reset();
  streams_.output_of[index] = -1;
}

void MediaOutput::encode(AVFrame* frame) {
  const AVRational time_base = encoder_.context().time_base;
  const std::function<void(AVPacket*)> write =
      sink_ ? [this, time_base](AVPacket* packet) { sink_(packet, time_base); }
            : writer_to(streams_.video, time_base);
  const FramePlacer::Placement place =
      frame != nullptr ? placer_->place(frame->pts, decoded_duration(*frame)) : placer_->finish();
  int64_t pts = place.pts;
  auto send = [&](AVFrame* picture) {
    picture->pts = pts++;
    set_frame_duration(*picture, place.duration);
    encoder_.encode(picture, write);
  };
  if (frame == nullptr) {
    for (int i = 0; i < place.repeat_previous && previous_; ++i) send(previous_.get());
    encoder_.encode(nullptr, write);
    return;
  }
  for (int i = 0; i < place.repeat_previous && previous_; ++i) send(previous_.get());
  for (int i = 0; i < place.copies; ++i) {
    send(frame);
    // A caption is shown once: a repeated picture goes without it.
    av_frame_remove_side_data(frame, AV_FRAME_DATA_A53_CC);
  }
  if (clock_.mode == ClockMode::constant) {
    if (!previous_) previous_ = new_frame();
    av_frame_unref(previous_.get());
    check_av(av_frame_ref(previous_.get(), frame), "cannot keep a frame to repeat");
  }
}

void MediaOutput::finish() {
  if (finished_ || sink_ || !muxer_->header_written()) return;
  finished_ = true;
  for (auto& conversion : streams_.audio) {
    if (!conversion) continue;
    conversion->convert(nullptr, writer_to(conversion->output_stream(), conversion->time_base()));
  }
  muxer_->finish();
  if (encoder_.captions_lost()) {
    note(request_.quiet, "closed captions left out: the " +
                             std::string(encoder_.context().codec->name) +
                             " encoder does not carry them");
  }
  if (const std::string rate = placer_->note(); !rate.empty()) note(request_.quiet, rate);
  for (const std::string& line : damage_->notes()) note(request_.quiet, line);
}

}  // namespace qnr
