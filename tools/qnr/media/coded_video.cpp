#include "media/coded_video.h"

#include <cstring>
#include <string>

namespace qnr {

namespace {

ParametersPtr new_parameters() {
  ParametersPtr parameters(avcodec_parameters_alloc());
  if (!parameters) throw std::bad_alloc();
  return parameters;
}

std::string rational_text(AVRational value) {
  return std::to_string(value.num) + "/" + std::to_string(value.den);
}

AVRational rational(const TextRecord& record, const std::string& key) {
  const std::string& text = record.text(key);
  const size_t slash = text.find('/');
  try {
    if (slash == std::string::npos) throw RecordError("");
    size_t used = 0;
    const int num = std::stoi(text.substr(0, slash), &used);
    if (used != slash) throw RecordError("");
    const int den = std::stoi(text.substr(slash + 1), &used);
    if (used != text.size() - slash - 1) throw RecordError("");
    return {num, den};
  } catch (const std::exception&) {
    throw RecordError("its " + key + " is not a fraction: \"" + text + "\"");
  }
}

// The numbered fields of the parameters, each with its record key.
template <class Visit> void each_number(AVCodecParameters& p, Visit&& visit) {
  visit("video.codec_type", p.codec_type);
  visit("video.codec_id", p.codec_id);
  visit("video.codec_tag", p.codec_tag);
  visit("video.format", p.format);
  visit("video.bit_rate", p.bit_rate);
  visit("video.bits_per_coded_sample", p.bits_per_coded_sample);
  visit("video.bits_per_raw_sample", p.bits_per_raw_sample);
  visit("video.profile", p.profile);
  visit("video.level", p.level);
  visit("video.width", p.width);
  visit("video.height", p.height);
  visit("video.field_order", p.field_order);
  visit("video.color_range", p.color_range);
  visit("video.color_primaries", p.color_primaries);
  visit("video.color_trc", p.color_trc);
  visit("video.color_space", p.color_space);
  visit("video.chroma_location", p.chroma_location);
  visit("video.video_delay", p.video_delay);
}

}  // namespace

CodedVideo CodedVideo::copy() const {
  CodedVideo out;
  out.parameters = new_parameters();
  check_av(avcodec_parameters_copy(out.parameters.get(), parameters.get()),
           "cannot copy the video's parameters");
  out.time_base = time_base;
  out.frame_rate = frame_rate;
  out.sample_aspect = sample_aspect;
  out.muxer_options.add_all(muxer_options);
  return out;
}

CodedVideo describe_coded_video(const AVCodecContext& encoder, AVRational sample_aspect,
                                const Dictionary& left_options) {
  CodedVideo video;
  video.parameters = new_parameters();
  check_av(avcodec_parameters_from_context(video.parameters.get(), &encoder),
           "cannot set up the video stream");
  video.time_base = encoder.time_base;
  video.frame_rate = encoder.framerate;
  video.sample_aspect = sample_aspect;
  video.muxer_options.add_all(left_options);
  return video;
}

void add_coded_video(const CodedVideo& video, TextRecord& record) {
  AVCodecParameters& p = *video.parameters;
  each_number(p, [&](const char* key, auto& value) {
    record.add_number(key, static_cast<int64_t>(value));
  });
  record.add("video.sample_aspect_ratio", rational_text(p.sample_aspect_ratio));
  record.add("video.extradata", to_hex(p.extradata, static_cast<size_t>(p.extradata_size)));
  record.add("video.time_base", rational_text(video.time_base));
  record.add("video.frame_rate", rational_text(video.frame_rate));
  record.add("video.sample_aspect", rational_text(video.sample_aspect));
  const AVDictionaryEntry* entry = nullptr;
  while ((entry = av_dict_get(video.muxer_options.entries, "", entry, AV_DICT_IGNORE_SUFFIX))) {
    record.add("video.muxer_option", std::string(entry->key) + "=" + entry->value);
  }
}

CodedVideo read_coded_video(const TextRecord& record) {
  CodedVideo video;
  video.parameters = new_parameters();
  AVCodecParameters& p = *video.parameters;
  each_number(p, [&](const char* key, auto& value) {
    value = static_cast<std::remove_reference_t<decltype(value)>>(record.number(key));
  });
  p.sample_aspect_ratio = rational(record, "video.sample_aspect_ratio");
  const std::vector<uint8_t> extradata = from_hex(record.text("video.extradata"));
  if (!extradata.empty()) {
    p.extradata =
        static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (p.extradata == nullptr) throw std::bad_alloc();
    std::memcpy(p.extradata, extradata.data(), extradata.size());
    p.extradata_size = static_cast<int>(extradata.size());
  }
  video.time_base = rational(record, "video.time_base");
  video.frame_rate = rational(record, "video.frame_rate");
  video.sample_aspect = rational(record, "video.sample_aspect");
  for (const std::string& option : record.all("video.muxer_option")) {
    const size_t eq = option.find('=');
    if (eq == std::string::npos) throw RecordError("a muxer option without a value");
    video.muxer_options.set(option.substr(0, eq), option.substr(eq + 1));
  }
  if (p.codec_type != AVMEDIA_TYPE_VIDEO || video.time_base.num <= 0 || video.time_base.den <= 0) {
    throw RecordError("its video is not described");
  }
  return video;
}

}  // namespace qnr
