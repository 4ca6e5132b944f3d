#include "media/libav.h"

extern "C" {
#include <libavfilter/avfilter.h>
}

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "base/failure.h"

namespace qnr {

namespace {
std::mutex log_mutex;
std::string last_error;

void keep_errors(void* object, int level, const char* format, va_list args) {
  if (level > AV_LOG_ERROR) return;
  char line[1024];
  std::vsnprintf(line, sizeof line, format, args);
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (text.empty()) return;
  (void)object;
  std::lock_guard lock(log_mutex);
  last_error = text;
}
}  // namespace

FramePtr new_frame() {
  FramePtr frame(av_frame_alloc());
  if (!frame) throw std::bad_alloc();
  return frame;
}

PacketPtr new_packet() {
  PacketPtr packet(av_packet_alloc());
  if (!packet) throw std::bad_alloc();
  return packet;
}

Dictionary::Dictionary(Dictionary&& other) noexcept
    : entries(std::exchange(other.entries, nullptr)) {}

Dictionary& Dictionary::operator=(Dictionary&& other) noexcept {
  if (this != &other) {
    av_dict_free(&entries);
    entries = std::exchange(other.entries, nullptr);
  }
  return *this;
}

Dictionary::~Dictionary() { av_dict_free(&entries); }

bool Dictionary::has(const char* key) const {
  return av_dict_get(entries, key, nullptr, 0) != nullptr;
}

void Dictionary::set(const std::string& key, const std::string& value) {
  av_dict_set(&entries, key.c_str(), value.c_str(), 0);
}

void Dictionary::set_default(const char* key, const std::string& value) {
  if (!has(key)) av_dict_set(&entries, key, value.c_str(), 0);
}

void Dictionary::add_all(const Dictionary& other) { av_dict_copy(&entries, other.entries, 0); }

bool one_of(const char* value, std::initializer_list<const char*> names) {
  return value != nullptr && std::any_of(names.begin(), names.end(), [&](const char* name) {
           return std::strcmp(value, name) == 0;
         });
}

int link_filter_chain(AVFilterGraph* graph, AVFilterContext* source, AVFilterContext* sink,
                      const char* chain) {
  AVFilterInOut* outputs = avfilter_inout_alloc();
  AVFilterInOut* inputs = avfilter_inout_alloc();
  int code = AVERROR(ENOMEM);
  if (outputs != nullptr && inputs != nullptr) {
    outputs->name = av_strdup("in");
    outputs->filter_ctx = source;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink;
    code = avfilter_graph_parse_ptr(graph, chain, &inputs, &outputs, nullptr);
  }
  avfilter_inout_free(&inputs);
  avfilter_inout_free(&outputs);
  return code;
}

namespace {

// FFmpeg's own VP9 decoder ignores the alpha channel WebM carries beside the
// picture; libvpx's decoder reads it.
const AVCodec* choose_decoder(const AVStream& stream) {
  if (stream.codecpar->codec_id == AV_CODEC_ID_VP9) {
    const AVDictionaryEntry* alpha = av_dict_get(stream.metadata, "alpha_mode", nullptr, 0);
    if (alpha != nullptr && std::strcmp(alpha->value, "1") == 0) {
      if (const AVCodec* libvpx = avcodec_find_decoder_by_name("libvpx-vp9")) return libvpx;
    }
  }
  return avcodec_find_decoder(stream.codecpar->codec_id);
}

}  // namespace

CodecPtr open_decoder(const AVStream& stream, int threads, int* error) {
  int ignored = 0;
  int& code = error != nullptr ? *error : ignored;
  const AVCodec* codec = choose_decoder(stream);
  if (codec == nullptr) {
    code = AVERROR_DECODER_NOT_FOUND;
    return nullptr;
  }
  CodecPtr decoder(avcodec_alloc_context3(codec));
  if (!decoder) throw std::bad_alloc();
  code = avcodec_parameters_to_context(decoder.get(), stream.codecpar);
  if (code < 0) return nullptr;
  decoder->pkt_timebase = stream.time_base;
  decoder->thread_count = threads;
  decoder->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  code = avcodec_open2(decoder.get(), codec, nullptr);
  if (code < 0) return nullptr;
  return decoder;
}

std::string av_error_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

void capture_library_log() { av_log_set_callback(keep_errors); }

std::string last_library_error() {
  std::lock_guard lock(log_mutex);
  return last_error;
}

void check_av(int code, const std::string& what) {
  if (code >= 0) return;
  if (code == AVERROR(ENOMEM)) throw std::bad_alloc();
  throw Failure(what + ": " + av_error_text(code));
}

}  // namespace qnr
