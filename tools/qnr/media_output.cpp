#include "media_output.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "failure.h"
#include "interrupt.h"

namespace qnr {

namespace {

bool one_of(const char* value, std::initializer_list<const char*> set) {
  return value != nullptr &&
         std::any_of(set.begin(), set.end(), [&](const char* s) { return std::strcmp(value, s) == 0; });
}

// The codec and quality each container gets unless --codec says otherwise.
struct CodecDefault {
  const char* codec;
  std::vector<std::pair<const char*, const char*>> options;
};

bool default_codec(const AVOutputFormat* format, const std::string& name, CodecDefault& out) {
  const char* muxer = format->name;
  if (one_of(muxer, {"mp4", "mov", "ipod", "matroska", "avi", "mpegts", "flv"})) {
    out = {"libx264", {{"crf", "16"}, {"preset", "medium"}}};
    return true;
  }
  if (one_of(muxer, {"webm"})) {
    out = {"libvpx-vp9", {{"crf", "30"}, {"b", "0"}, {"row-mt", "1"}}};
    return true;
  }
  if (one_of(muxer, {"gif"})) {
    out = {"gif", {}};
    return true;
  }
  if (one_of(muxer, {"null"})) {
    out = {"wrapped_avframe", {}};
    return true;
  }
  if (one_of(muxer, {"image2", "image2pipe"})) {
    const AVCodecID id = av_guess_codec(format, nullptr, name.c_str(), nullptr, AVMEDIA_TYPE_VIDEO);
    const AVCodec* codec = avcodec_find_encoder(id);
    if (codec == nullptr) return false;
    out = {codec->name, {}};
    return true;
  }
  return false;
}

// Containers that can be written front to back without going back to fill in
// an index or sizes.
bool streamable(const AVOutputFormat* format) {
  return one_of(format->name, {"matroska", "webm", "mpegts", "nut", "flv", "null", "image2pipe",
                               "yuv4mpegpipe", "ogg", "h264", "hevc", "rawvideo", "gif"});
}

// Codecs a container without a codec list of its own carries.
bool known_to_fit(const AVOutputFormat* format, const AVCodecParameters& par) {
  if (one_of(format->name, {"mpegts"})) {
    switch (par.codec_id) {
      case AV_CODEC_ID_MP2: case AV_CODEC_ID_MP3: case AV_CODEC_ID_AAC: case AV_CODEC_ID_AC3:
      case AV_CODEC_ID_EAC3: case AV_CODEC_ID_DTS: case AV_CODEC_ID_OPUS: case AV_CODEC_ID_TRUEHD:
      case AV_CODEC_ID_DVB_SUBTITLE: case AV_CODEC_ID_DVB_TELETEXT: case AV_CODEC_ID_HDMV_PGS_SUBTITLE:
      case AV_CODEC_ID_PCM_BLURAY: case AV_CODEC_ID_SMPTE_KLV: case AV_CODEC_ID_TIMED_ID3:
        return true;
      default:
        return false;
    }
  }
  return false;
}

// Whether the muxer writes a header for this stream alone: it refuses
// codecs it only takes experimentally and parameters it cannot store (a
// sample rate FLV lacks), which its codec list does not say.
bool muxer_accepts(const AVOutputFormat* format, const AVStream& stream) {
  AVFormatContext* scratch = nullptr;
  if (avformat_alloc_output_context2(&scratch, format, nullptr, nullptr) < 0) return false;
  bool accepted = false;
  AVStream* copy = avformat_new_stream(scratch, nullptr);
  if (copy != nullptr && avcodec_parameters_copy(copy->codecpar, stream.codecpar) >= 0 &&
      avio_open_dyn_buf(&scratch->pb) >= 0) {
    copy->codecpar->codec_tag = 0;
    copy->time_base = stream.time_base;
    copy->disposition = stream.disposition;
    av_dict_copy(&copy->metadata, stream.metadata, 0);
    scratch->pb->seekable = AVIO_SEEKABLE_NORMAL;
    accepted = avformat_write_header(scratch, nullptr) >= 0;
    uint8_t* bytes = nullptr;
    avio_close_dyn_buf(scratch->pb, &bytes);
    av_free(bytes);
    scratch->pb = nullptr;
  }
  avformat_free_context(scratch);
  return accepted;
}

// Whether the container stores this stream as it is.
bool container_takes(const AVOutputFormat* format, const AVStream& stream) {
  const AVCodecParameters& par = *stream.codecpar;
  if (par.codec_id == AV_CODEC_ID_NONE) return false;
  if (one_of(format->name, {"gif", "image2", "image2pipe", "null"})) return false;
  if (par.codec_type == AVMEDIA_TYPE_ATTACHMENT) {
    if (!one_of(format->name, {"matroska"})) return false;
  } else {
    const int fits = avformat_query_codec(format, par.codec_id, FF_COMPLIANCE_NORMAL);
    if (fits == 0 || (fits < 0 && !known_to_fit(format, par))) return false;
  }
  return muxer_accepts(format, stream);
}

const char* kind_of(AVMediaType type) {
  const char* text = av_get_media_type_string(type);
  return text != nullptr ? text : "data";
}

std::string write_hint(int code) {
  if (code == AVERROR(ENOSPC)) return " (free some space on the output's disk)";
  if (code == AVERROR(EPIPE)) return " (the program reading the output quit)";
  return "";
}

AVPixelFormat choose_pixel_format(const AVCodec* codec, const FirstFrame& first) {
  if (std::strcmp(codec->name, "libx264") == 0) {
    // 4:2:0 needs even sides; odd-sized frames keep their size in 4:4:4.
    return (first.width % 2 != 0 || first.height % 2 != 0) ? AV_PIX_FMT_YUV444P : AV_PIX_FMT_YUV420P;
  }
  if (std::strcmp(codec->name, "libvpx-vp9") == 0) {
    return first.alpha ? AV_PIX_FMT_YUVA420P : AV_PIX_FMT_YUV420P;
  }
  if (std::strcmp(codec->name, "gif") == 0) return AV_PIX_FMT_PAL8;
  const AVPixelFormat source = first.alpha ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR0;
  if (codec->pix_fmts == nullptr) return source;
  std::vector<AVPixelFormat> usable;
  for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f) {
    if (sws_isSupportedOutput(*f) > 0) usable.push_back(*f);
  }
  if (usable.empty()) return codec->pix_fmts[0];
  usable.push_back(AV_PIX_FMT_NONE);
  return avcodec_find_best_pix_fmt_of_list(usable.data(), source, first.alpha ? 1 : 0, nullptr);
}

bool is_rgb(AVPixelFormat format) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  return desc != nullptr && (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) != 0;
}

}  // namespace

void note(bool quiet, const std::string& text) {
  if (!quiet) std::fprintf(stderr, "qnr: note: %s\n", text.c_str());
}

MediaOutput::MediaOutput(const OutputRequest& request)
    : request_(request), packet_(new_packet()) {
  // The options after "--": a few choose streams or the container, the rest
  // go to the encoder (and to the muxer when the encoder has no such option).
  const std::vector<std::string>& args = request_.encoder_args;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || arg[0] != '-') {
      throw Failure("encoder options come as -name value; \"" + arg + "\" is not one", kExitUsage);
    }
    if (arg == "-an") { drop_audio_ = true; continue; }
    if (arg == "-sn") { drop_subtitles_ = true; continue; }
    if (arg == "-dn") { drop_data_ = true; continue; }
    if (i + 1 >= args.size()) throw Failure("encoder option " + arg + " needs a value", kExitUsage);
    const std::string value = args[++i];
    std::string key = arg.substr(1);
    if (key.size() > 2 && (key.ends_with(":v") || key.ends_with(":V"))) key.resize(key.size() - 2);
    if (key == "q") key = "qscale";
    if (key == "f") {
      request_.format = value;
    } else if (key == "c" || key == "codec" || key == "vcodec") {
      request_.codec = value;
    } else if (key == "pix_fmt") {
      pixel_format_ = value;
    } else if (key == "movflags" || key == "brand" || key == "write_tmcd") {
      av_dict_set(&muxer_options_, key.c_str(), value.c_str(), 0);
    } else {
      av_dict_set(&encoder_options_, key.c_str(), value.c_str(), 0);
    }
  }

  // The container.
  const AVOutputFormat* format = nullptr;
  if (!request_.format.empty()) {
    format = av_guess_format(request_.format.c_str(), nullptr, nullptr);
    if (format == nullptr) throw Failure("unknown output format \"" + request_.format + "\"", kExitUsage);
  } else {
    format = av_guess_format(nullptr, request_.name.c_str(), nullptr);
    if (format == nullptr) {
      throw Failure("cannot tell the output format from \"" + request_.name +
                        "\"; give it an extension such as .mp4 or .mkv, or add -f FORMAT",
                    kExitUsage);
    }
  }
  if (std::strcmp(format->name, "image2") == 0 && !request_.sequence) {
    // One picture into one file, written through qnr's own handle on it.
    format = av_guess_format("image2pipe", nullptr, nullptr);
    single_image_ = true;
  }
  if (request_.streamed && !streamable(format)) {
    throw Failure("the " + std::string(format->name) + " container cannot be written to " +
                      request_.name + " (it needs a seekable file); use -f matroska, mpegts or nut",
                  kExitUsage);
  }

  CodecDefault defaults{};
  if (!request_.codec.empty()) {
    codec_ = avcodec_find_encoder_by_name(request_.codec.c_str());
    if (codec_ == nullptr || codec_->type != AVMEDIA_TYPE_VIDEO) {
      throw Failure("no video encoder named \"" + request_.codec + "\" (ffmpeg -encoders lists them)",
                    kExitUsage);
    }
  } else {
    if (!default_codec(format, request_.name, defaults)) {
      throw Failure("qnr has no default video codec for the " + std::string(format->name) +
                        " container of " + request_.name + "; name one with --codec",
                    kExitUsage);
    }
    codec_ = avcodec_find_encoder_by_name(defaults.codec);
    if (codec_ == nullptr) {
      throw Failure(std::string("this FFmpeg has no ") + defaults.codec + " encoder for " +
                    request_.name + "; name another with --codec");
    }
    for (const auto& [key, value] : defaults.options) {
      if (av_dict_get(encoder_options_, key, nullptr, 0) == nullptr) {
        av_dict_set(&encoder_options_, key, value, 0);
      }
    }
  }
  if (std::strcmp(codec_->name, "mjpeg") == 0 &&
      av_dict_get(encoder_options_, "qscale", nullptr, 0) == nullptr) {
    av_dict_set(&encoder_options_, "qscale", "2", 0);
  }

  check_av(avformat_alloc_output_context2(&format_, format, nullptr, request_.url.c_str()),
           "cannot set up " + request_.name);
  // Transport streams keep the input's timestamps instead of starting anew
  // at the muxer's own delay.
  if (one_of(format->name, {"mpegts"}) && av_dict_get(muxer_options_, "mpegts_copyts", nullptr, 0) == nullptr) {
    av_dict_set(&muxer_options_, "mpegts_copyts", "1", 0);
  }
  if (one_of(format->name, {"mp4", "mov", "ipod"}) && !request_.streamed &&
      av_dict_get(muxer_options_, "movflags", nullptr, 0) == nullptr) {
    av_dict_set(&muxer_options_, "movflags", "+faststart", 0);
  }
}

void MediaOutput::map_streams(const MediaInput& input) {
  input_ = &input;
  const AVOutputFormat* format = format_->oformat;
  // The streams, in the input's order: the video, and whatever else fits.
  AVFormatContext* in = input.format;
  stream_map_.assign(in->nb_streams, -1);
  subtitles_.resize(in->nb_streams);
  audio_.resize(in->nb_streams);
  bool audio_kept = false;
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    const AVStream* stream = in->streams[i];
    const AVCodecParameters& par = *stream->codecpar;
    if (static_cast<int>(i) == input.video) {
      AVStream* out = avformat_new_stream(format_, nullptr);
      if (out == nullptr) throw std::bad_alloc();
      video_out_ = out->index;
      stream_map_[i] = out->index;
      av_dict_copy(&out->metadata, stream->metadata, 0);
      av_dict_set(&out->metadata, "rotate", nullptr, 0);
      av_dict_set(&out->metadata, "encoder", nullptr, 0);
      out->disposition = stream->disposition;
      continue;
    }
    if (single_image_ || request_.sequence) continue;
    const bool cover = (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
    const std::string what = cover ? "cover art" : std::string(kind_of(par.codec_type)) + " stream";
    const std::string described = what + " " + std::to_string(i) + " (" + avcodec_get_name(par.codec_id) + ")";
    if ((par.codec_type == AVMEDIA_TYPE_AUDIO && drop_audio_) ||
        (par.codec_type == AVMEDIA_TYPE_SUBTITLE && drop_subtitles_) ||
        (par.codec_type == AVMEDIA_TYPE_DATA && drop_data_)) {
      continue;
    }
    if (par.codec_type == AVMEDIA_TYPE_AUDIO && one_of(format->name, {"flv"}) && audio_kept) {
      note(request_.quiet, described + " left out: the flv container holds one audio stream");
      continue;
    }
    if (par.codec_type == AVMEDIA_TYPE_VIDEO && !cover) {
      note(request_.quiet, "video stream " + std::to_string(i) + " left out: qnr filters one video stream");
      continue;
    }
    if (!container_takes(format, *stream)) {
      if (par.codec_type == AVMEDIA_TYPE_SUBTITLE && convert_subtitle(*stream, described)) continue;
      const char* audio_codec = one_of(format->name, {"mp4", "mov", "ipod", "mpegts", "flv"}) ? "aac"
                                : one_of(format->name, {"webm"})                           ? "libopus"
                                                                                           : nullptr;
      if (par.codec_type == AVMEDIA_TYPE_AUDIO && audio_codec != nullptr) {
        if (auto conversion = AudioConversion::create(*stream, audio_codec, format_)) {
          stream_map_[i] = conversion->output_stream();
          audio_[i] = std::move(conversion);
          audio_kept = true;
          note(request_.quiet, described + " re-encoded as " + audio_codec + " for the " +
                                   format->name + " container");
          continue;
        }
      }
      note(request_.quiet, described + " left out: the " + format->name + " container does not hold it");
      continue;
    }
    AVStream* out = avformat_new_stream(format_, nullptr);
    if (out == nullptr) throw std::bad_alloc();
    check_av(avcodec_parameters_copy(out->codecpar, stream->codecpar), "cannot copy " + described);
    out->codecpar->codec_tag = 0;
    out->time_base = stream->time_base;
    out->disposition = stream->disposition;
    out->sample_aspect_ratio = stream->sample_aspect_ratio;
    av_dict_copy(&out->metadata, stream->metadata, 0);
    stream_map_[i] = out->index;
    if (par.codec_type == AVMEDIA_TYPE_AUDIO) audio_kept = true;
  }

  if (!single_image_ && !request_.sequence) {
    av_dict_copy(&format_->metadata, in->metadata, 0);
    av_dict_set(&format_->metadata, "encoder", nullptr, 0);
    if (in->nb_chapters > 0) {
      format_->chapters = static_cast<AVChapter**>(av_calloc(in->nb_chapters, sizeof(AVChapter*)));
      if (format_->chapters == nullptr) throw std::bad_alloc();
      for (unsigned c = 0; c < in->nb_chapters; ++c) {
        const AVChapter* from = in->chapters[c];
        auto* to = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        if (to == nullptr) throw std::bad_alloc();
        to->id = from->id;
        to->time_base = from->time_base;
        to->start = from->start;
        to->end = from->end;
        av_dict_copy(&to->metadata, from->metadata, 0);
        format_->chapters[format_->nb_chapters++] = to;
      }
    }
  }
}

MediaOutput::~MediaOutput() {
  if (format_ != nullptr) {
    if (format_->pb != nullptr && !(format_->oformat->flags & AVFMT_NOFILE)) avio_closep(&format_->pb);
    avformat_free_context(format_);
  }
  av_dict_free(&encoder_options_);
  av_dict_free(&muxer_options_);
}

int MediaOutput::output_stream_of(int index) const {
  return index >= 0 && index < static_cast<int>(stream_map_.size()) ? stream_map_[index] : -1;
}

std::string MediaOutput::encoder_name() const { return codec_ != nullptr ? codec_->name : ""; }

PictureFormat MediaOutput::open(const FirstFrame& first) {
  const AVStream* in = input_->video_stream();
  encoder_.reset(avcodec_alloc_context3(codec_));
  if (!encoder_) throw std::bad_alloc();
  AVCodecContext* enc = encoder_.get();

  PictureFormat picture;
  picture.width = first.width;
  picture.height = first.height;
  if (!pixel_format_.empty()) {
    picture.pixel_format = av_get_pix_fmt(pixel_format_.c_str());
    if (picture.pixel_format == AV_PIX_FMT_NONE) {
      throw Failure("unknown pixel format \"" + pixel_format_ + "\" after --", kExitUsage);
    }
  } else {
    picture.pixel_format = choose_pixel_format(codec_, first);
  }
  if (first.alpha && !has_alpha(picture.pixel_format)) {
    note(request_.quiet, std::string("transparency dropped: ") + codec_->name + " in " +
                             av_get_pix_fmt_name(picture.pixel_format) + " has no alpha plane");
  }
  // Colour tags describe YUV; the frames are converted back with the matrix
  // and range they came with, so the colours survive the round trip.
  if (!is_rgb(picture.pixel_format)) {
    if (first.yuv) {
      picture.colorspace = first.colorspace;
      picture.range = first.range;
      enc->colorspace = first.colorspace;
      enc->color_primaries = first.primaries;
      enc->color_trc = first.transfer;
    }
    if (is_full_range_format(picture.pixel_format)) picture.range = AVCOL_RANGE_JPEG;
    enc->color_range = picture.range;
  }

  enc->width = picture.width;
  enc->height = picture.height;
  enc->pix_fmt = picture.pixel_format;
  enc->time_base = in->time_base;
  enc->framerate = av_guess_frame_rate(input_->format, const_cast<AVStream*>(in), nullptr);
  enc->sample_aspect_ratio = first.sample_aspect;
  enc->thread_count = 0;
  if (first.interlaced || request_.interlace) {
    enc->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    // Named as FFmpeg's own tools name coded fields, which containers map
    // to the field order players read.
    if (codec_->id == AV_CODEC_ID_MJPEG) {
      enc->field_order = first.top_field_first ? AV_FIELD_TT : AV_FIELD_BB;
    } else {
      enc->field_order = first.top_field_first ? AV_FIELD_TB : AV_FIELD_BT;
    }
    interlaced_ = true;
    // x264 takes the field order from its own settings, not from the frames.
    if (std::strcmp(codec_->name, "libx264") == 0 &&
        av_dict_get(encoder_options_, "x264-params", nullptr, 0) == nullptr) {
      av_dict_set(&encoder_options_, "x264-params", first.top_field_first ? "tff=1" : "bff=1", 0);
    }
  }
  // A fixed quantiser (-q, JPEG's default) is a flag and a quality, not an option.
  if (const AVDictionaryEntry* q = av_dict_get(encoder_options_, "qscale", nullptr, 0)) {
    enc->flags |= AV_CODEC_FLAG_QSCALE;
    enc->global_quality = FF_QP2LAMBDA * std::atoi(q->value);
    av_dict_set(&encoder_options_, "qscale", nullptr, 0);
  }
  if (format_->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

  if (int code = avcodec_open2(enc, codec_, &encoder_options_); code < 0) {
    std::string why = last_library_error();
    if (why.empty()) why = av_error_text(code);
    throw Failure("cannot open the " + std::string(codec_->name) + " encoder for " +
                  std::to_string(picture.width) + "x" + std::to_string(picture.height) + " " +
                  av_get_pix_fmt_name(picture.pixel_format) + ": " + why +
                  " (check --codec and the options after --)");
  }
  // What the encoder did not take goes to the muxer.
  for (const AVDictionaryEntry* e = nullptr; (e = av_dict_get(encoder_options_, "", e, AV_DICT_IGNORE_SUFFIX));) {
    av_dict_set(&muxer_options_, e->key, e->value, 0);
  }

  AVStream* out = format_->streams[video_out_];
  check_av(avcodec_parameters_from_context(out->codecpar, enc), "cannot set up the video stream");
  out->time_base = enc->time_base;
  out->avg_frame_rate = enc->framerate;
  out->sample_aspect_ratio = first.sample_aspect;

  // MP4's edit list, which says when a late track starts, counts in the
  // movie's time scale: the video's own keeps that start to the tick.
  if (one_of(format_->oformat->name, {"mp4", "mov", "ipod"}) && enc->time_base.den > 0 &&
      av_dict_get(muxer_options_, "movie_timescale", nullptr, 0) == nullptr) {
    av_dict_set_int(&muxer_options_, "movie_timescale", enc->time_base.den, 0);
  }
  if (!(format_->oformat->flags & AVFMT_NOFILE)) {
    if (int code = avio_open(&format_->pb, request_.url.c_str(), AVIO_FLAG_WRITE); code < 0) {
      throw Failure("cannot write " + request_.name + ": " + av_error_text(code));
    }
  }
  if (int code = avformat_write_header(format_, &muxer_options_); code < 0) {
    std::string why = last_library_error();
    if (why.empty()) why = av_error_text(code);
    throw Failure("cannot write " + request_.name + ": " + why + write_hint(code));
  }
  header_written_ = true;
  if (const AVDictionaryEntry* left = av_dict_get(muxer_options_, "", nullptr, AV_DICT_IGNORE_SUFFIX)) {
    throw Failure(std::string("neither the encoder nor the container knows the option -") + left->key,
                  kExitUsage);
  }
  opened_ = true;
  return picture;
}

void MediaOutput::write_failed(int code) {
  throw Failure("writing " + request_.name + " failed: " + av_error_text(code) + write_hint(code));
}

void MediaOutput::write(AVPacket* packet) {
  if (int code = av_interleaved_write_frame(format_, packet); code < 0) write_failed(code);
}

// Text subtitles become the text format of MP4 (or WebM): the text and its
// timing survive, the styling that format lacks does not.
bool MediaOutput::convert_subtitle(const AVStream& stream, const std::string& described) {
  const AVCodecDescriptor* desc = avcodec_descriptor_get(stream.codecpar->codec_id);
  if (desc == nullptr || !(desc->props & AV_CODEC_PROP_TEXT_SUB)) return false;
  const char* target = one_of(format_->oformat->name, {"mp4", "mov", "ipod"}) ? "mov_text"
                       : one_of(format_->oformat->name, {"webm"})            ? "webvtt"
                                                                             : nullptr;
  const AVCodec* decoder = avcodec_find_decoder(stream.codecpar->codec_id);
  const AVCodec* encoder = target != nullptr ? avcodec_find_encoder_by_name(target) : nullptr;
  if (decoder == nullptr || encoder == nullptr) return false;
  auto conversion = std::make_unique<SubtitleConversion>();
  conversion->decoder.reset(avcodec_alloc_context3(decoder));
  conversion->encoder.reset(avcodec_alloc_context3(encoder));
  if (!conversion->decoder || !conversion->encoder) throw std::bad_alloc();
  AVCodecContext* dec = conversion->decoder.get();
  AVCodecContext* enc = conversion->encoder.get();
  if (avcodec_parameters_to_context(dec, stream.codecpar) < 0) return false;
  dec->pkt_timebase = stream.time_base;
  if (avcodec_open2(dec, decoder, nullptr) < 0) return false;
  enc->time_base = stream.time_base;
  if (dec->subtitle_header != nullptr) {
    enc->subtitle_header = static_cast<uint8_t*>(av_mallocz(dec->subtitle_header_size + 1));
    if (enc->subtitle_header == nullptr) throw std::bad_alloc();
    std::memcpy(enc->subtitle_header, dec->subtitle_header, dec->subtitle_header_size);
    enc->subtitle_header_size = dec->subtitle_header_size;
  }
  if (avcodec_open2(enc, encoder, nullptr) < 0) return false;
  AVStream* out = avformat_new_stream(format_, nullptr);
  if (out == nullptr) throw std::bad_alloc();
  if (avcodec_parameters_from_context(out->codecpar, enc) < 0) return false;
  out->time_base = stream.time_base;
  out->disposition = stream.disposition;
  av_dict_copy(&out->metadata, stream.metadata, 0);
  stream_map_[stream.index] = out->index;
  subtitles_[stream.index] = std::move(conversion);
  note(request_.quiet, described + " converted to " + target + " for the " +
                           format_->oformat->name + " container");
  return true;
}

void MediaOutput::write_subtitle(SubtitleConversion& conversion, AVPacket* packet,
                                 AVRational input_time_base) {
  AVSubtitle subtitle{};
  int got = 0;
  if (avcodec_decode_subtitle2(conversion.decoder.get(), &subtitle, &got, packet) < 0 || !got) return;
  std::vector<uint8_t> buffer(1 << 16);
  const int size = avcodec_encode_subtitle(conversion.encoder.get(), buffer.data(),
                                           static_cast<int>(buffer.size()), &subtitle);
  avsubtitle_free(&subtitle);
  if (size < 0) return;
  PacketPtr out = new_packet();
  check_av(av_new_packet(out.get(), size), "cannot convert a subtitle");
  std::memcpy(out->data, buffer.data(), static_cast<size_t>(size));
  out->pts = out->dts = packet->pts;
  out->duration = packet->duration;
  const int index = output_stream_of(packet->stream_index);
  av_packet_rescale_ts(out.get(), input_time_base, format_->streams[index]->time_base);
  out->stream_index = index;
  write(out.get());
}

void MediaOutput::write_copied(AVPacket* packet, AVRational input_time_base) {
  const int out = output_stream_of(packet->stream_index);
  if (out < 0) return;
  if (AudioConversion* conversion = audio_[packet->stream_index].get()) {
    conversion->convert(packet, [&](AVPacket* encoded) {
      av_packet_rescale_ts(encoded, conversion->time_base(), format_->streams[out]->time_base);
      encoded->stream_index = out;
      write(encoded);
    });
    return;
  }
  if (SubtitleConversion* conversion = subtitles_[packet->stream_index].get()) {
    write_subtitle(*conversion, packet, input_time_base);
    return;
  }
  av_packet_rescale_ts(packet, input_time_base, format_->streams[out]->time_base);
  packet->stream_index = out;
  packet->pos = -1;
  write(packet);
}

void MediaOutput::encode(AVFrame* frame) {
  AVCodecContext* enc = encoder_.get();
  if (frame != nullptr) {
    // Timestamps must rise; a repeated one (a damaged file) moves on a tick.
    if (frame->pts == AV_NOPTS_VALUE) {
      frame->pts = last_pts_ == AV_NOPTS_VALUE ? 0 : last_pts_ + 1;
    } else if (last_pts_ != AV_NOPTS_VALUE && frame->pts <= last_pts_) {
      frame->pts = last_pts_ + 1;
    }
    last_pts_ = frame->pts;
    // A fixed quantiser is read from each frame.
    if (enc->flags & AV_CODEC_FLAG_QSCALE) frame->quality = enc->global_quality;
  }
  if (int code = avcodec_send_frame(enc, frame); code < 0 && code != AVERROR_EOF) {
    throw Failure("the " + std::string(codec_->name) + " encoder failed: " + av_error_text(code));
  }
  for (;;) {
    const int code = avcodec_receive_packet(enc, packet_.get());
    if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) break;
    if (code < 0) {
      throw Failure("the " + std::string(codec_->name) + " encoder failed: " + av_error_text(code));
    }
    // Encoders leave the duration out; without it the last frame of an MP4
    // gets none and players cut it.
    if (packet_->duration <= 0 && enc->framerate.num > 0 && enc->framerate.den > 0) {
      packet_->duration = av_rescale_q(1, av_inv_q(enc->framerate), enc->time_base);
    }
    av_packet_rescale_ts(packet_.get(), enc->time_base, format_->streams[video_out_]->time_base);
    packet_->stream_index = video_out_;
    write(packet_.get());
  }
}

void MediaOutput::finish() {
  if (finished_ || !header_written_) return;
  finished_ = true;
  for (auto& conversion : audio_) {
    if (!conversion) continue;
    const int out = conversion->output_stream();
    conversion->convert(nullptr, [&](AVPacket* encoded) {
      av_packet_rescale_ts(encoded, conversion->time_base(), format_->streams[out]->time_base);
      encoded->stream_index = out;
      write(encoded);
    });
  }
  if (int code = av_write_trailer(format_); code < 0) write_failed(code);
  if (format_->pb != nullptr && !(format_->oformat->flags & AVFMT_NOFILE)) {
    avio_flush(format_->pb);
    const int error = format_->pb->error;
    if (int code = avio_closep(&format_->pb); code < 0) write_failed(code);
    if (error < 0) write_failed(error);
  }
}

}  // namespace qnr
