#include "media/stream_map.h"

#include <string>

#include "base/note.h"
#include "media/output_format.h"

namespace qnr {

namespace {

// Codecs a container without a codec list of its own carries.
bool known_to_fit(const AVOutputFormat* format, const AVCodecParameters& par) {
  if (one_of(format->name, {"mpegts"})) {
    switch (par.codec_id) {
      case AV_CODEC_ID_MP2:
      case AV_CODEC_ID_MP3:
      case AV_CODEC_ID_AAC:
      case AV_CODEC_ID_AC3:
      case AV_CODEC_ID_EAC3:
      case AV_CODEC_ID_DTS:
      case AV_CODEC_ID_OPUS:
      case AV_CODEC_ID_TRUEHD:
      case AV_CODEC_ID_DVB_SUBTITLE:
      case AV_CODEC_ID_DVB_TELETEXT:
      case AV_CODEC_ID_HDMV_PGS_SUBTITLE:
      case AV_CODEC_ID_PCM_BLURAY:
      case AV_CODEC_ID_SMPTE_KLV:
      case AV_CODEC_ID_TIMED_ID3: return true;
      default: return false;
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

// A QuickTime timecode track. The demuxer hands its timecode to the video it
// belongs to, as metadata that these containers store again: mov and mp4 as a
// timecode track of their own, Matroska as a tag, MXF in its header.
bool is_timecode_track(const AVStream& stream) {
  return stream.codecpar->codec_type == AVMEDIA_TYPE_DATA &&
         stream.codecpar->codec_tag == MKTAG('t', 'm', 'c', 'd');
}

bool keeps_timecode(const AVOutputFormat* format) {
  return one_of(format->name, {"mov", "mp4", "ipod", "matroska", "webm", "mxf"});
}

// "audio stream 1 (aac)", "cover art 2 (png)", "timecode track 3 (01:00:00:00)", for notes.
std::string describe(const AVStream& stream) {
  const AVCodecParameters& par = *stream.codecpar;
  const char* kind = av_get_media_type_string(par.codec_type);
  const std::string what = is_cover_art(stream) ? "cover art"
                           : is_timecode_track(stream)
                               ? "timecode track"
                               : std::string(kind != nullptr ? kind : "data") + " stream";
  const AVDictionaryEntry* timecode = av_dict_get(stream.metadata, "timecode", nullptr, 0);
  const char* detail = is_timecode_track(stream) && timecode != nullptr
                           ? timecode->value
                           : avcodec_get_name(par.codec_id);
  return what + " " + std::to_string(stream.index) + " (" + detail + ")";
}

int add_video_stream(const AVStream& stream, AVFormatContext* output) {
  AVStream* out = avformat_new_stream(output, nullptr);
  if (out == nullptr) throw std::bad_alloc();
  av_dict_copy(&out->metadata, stream.metadata, 0);
  // The frames are turned upright and coded anew.
  av_dict_set(&out->metadata, "rotate", nullptr, 0);
  av_dict_set(&out->metadata, "encoder", nullptr, 0);
  out->disposition = stream.disposition;
  return out->index;
}

int add_copied_stream(const AVStream& stream, AVFormatContext* output,
                      const std::string& described) {
  AVStream* out = avformat_new_stream(output, nullptr);
  if (out == nullptr) throw std::bad_alloc();
  check_av(avcodec_parameters_copy(out->codecpar, stream.codecpar), "cannot copy " + described);
  out->codecpar->codec_tag = 0;
  out->time_base = stream.time_base;
  out->disposition = stream.disposition;
  out->sample_aspect_ratio = stream.sample_aspect_ratio;
  av_dict_copy(&out->metadata, stream.metadata, 0);
  return out->index;
}

// The streams other than the filtered video, one at a time.
struct StreamMapper {
  AVFormatContext* output;
  const StreamChoice& choice;
  StreamMap& map;
  const AVStream& video;    // the filtered video
  bool audio_kept = false;  // FLV holds one audio stream

  bool dropped(AVMediaType type) const {
    return (type == AVMEDIA_TYPE_AUDIO && choice.drop_audio) ||
           (type == AVMEDIA_TYPE_SUBTITLE && choice.drop_subtitles) ||
           (type == AVMEDIA_TYPE_DATA && choice.drop_data);
  }

  void keep(const AVStream& stream) {
    const AVMediaType type = stream.codecpar->codec_type;
    const char* container = output->oformat->name;
    const std::string described = describe(stream);
    if (dropped(type)) return;
    if (type == AVMEDIA_TYPE_AUDIO && one_of(container, {"flv"}) && audio_kept) {
      note(choice.quiet, described + " left out: the flv container holds one audio stream");
      return;
    }
    if (type == AVMEDIA_TYPE_VIDEO && !is_cover_art(stream)) {
      note(choice.quiet, "video stream " + std::to_string(stream.index) +
                             " left out: qnr filters one video stream");
      return;
    }
    if (is_timecode_track(stream)) {
      keep_timecode(described);
      return;
    }
    if (container_takes(output->oformat, stream)) {
      map.output_of[stream.index] = add_copied_stream(stream, output, described);
      if (type == AVMEDIA_TYPE_AUDIO) audio_kept = true;
      return;
    }
    if (type == AVMEDIA_TYPE_SUBTITLE && convert_subtitle(stream, described)) return;
    if (type == AVMEDIA_TYPE_AUDIO && reencode_audio(stream, described)) return;
    note(choice.quiet, described + " left out: the " + container + " container does not hold it");
  }

  void keep_timecode(const std::string& described) {
    const char* container = output->oformat->name;
    if (av_dict_get(video.metadata, "timecode", nullptr, 0) == nullptr) {
      note(choice.quiet, described + " left out: it is not the filtered video's timecode");
    } else if (!keeps_timecode(output->oformat)) {
      note(choice.quiet,
           described + " left out: the " + container + " container holds no timecode");
    }
  }

  bool convert_subtitle(const AVStream& stream, const std::string& described) {
    const char* target = text_subtitle_codec_for(output->oformat);
    auto conversion = SubtitleConversion::create(stream, target, output);
    if (!conversion) return false;
    map.output_of[stream.index] = conversion->output_stream();
    map.subtitles[stream.index] = std::move(conversion);
    note(choice.quiet, described + " converted to " + target + " for the " + output->oformat->name +
                           " container");
    return true;
  }

  bool reencode_audio(const AVStream& stream, const std::string& described) {
    const char* target = audio_codec_for(output->oformat);
    if (target == nullptr) return false;
    auto conversion =
        AudioConversion::create(stream, target, output, audio_sample_rate_for(output->oformat));
    if (!conversion) return false;
    map.output_of[stream.index] = conversion->output_stream();
    map.audio[stream.index] = std::move(conversion);
    audio_kept = true;
    note(choice.quiet, described + " re-encoded as " + target + " for the " +
                           output->oformat->name + " container");
    return true;
  }
};

}  // namespace

std::string describe_stream(const AVStream& stream) { return describe(stream); }

StreamMap map_streams(const MediaInput& input, AVFormatContext* output,
                      const StreamChoice& choice) {
  const unsigned count = input.format->nb_streams;
  StreamMap map;
  map.output_of.assign(count, -1);
  map.audio.resize(count);
  map.subtitles.resize(count);
  StreamMapper mapper{output, choice, map, *input.video_stream()};
  std::string left_out;  // from a picture output, which holds the video alone
  for (unsigned i = 0; i < count; ++i) {
    const AVStream& stream = *input.format->streams[i];
    if (static_cast<int>(i) == input.video) {
      map.video = map.output_of[i] = add_video_stream(stream, output);
    } else if (!choice.video_only) {
      mapper.keep(stream);
    } else if (!mapper.dropped(stream.codecpar->codec_type)) {
      left_out += (left_out.empty() ? "" : ", ") + describe(stream);
    }
  }
  if (!left_out.empty()) {
    note(choice.quiet,
         left_out + " left out: " + (choice.sequence ? "an image sequence" : "an image file") +
             " holds pictures only");
  }
  return map;
}

void copy_metadata_and_chapters(const AVFormatContext& input, AVFormatContext* output) {
  av_dict_copy(&output->metadata, input.metadata, 0);
  av_dict_set(&output->metadata, "encoder", nullptr, 0);
  if (input.nb_chapters == 0) return;
  output->chapters = static_cast<AVChapter**>(av_calloc(input.nb_chapters, sizeof(AVChapter*)));
  if (output->chapters == nullptr) throw std::bad_alloc();
  for (unsigned c = 0; c < input.nb_chapters; ++c) {
    const AVChapter* from = input.chapters[c];
    auto* to = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
    if (to == nullptr) throw std::bad_alloc();
    to->id = from->id;
    to->time_base = from->time_base;
    to->start = from->start;
    to->end = from->end;
    av_dict_copy(&to->metadata, from->metadata, 0);
    output->chapters[output->nb_chapters++] = to;
  }
}

}  // namespace qnr
