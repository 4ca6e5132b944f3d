// FFmpeg's libraries as qnr uses them: their headers, owners that free what
// they allocate, and their messages turned into text for qnr's own errors.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

struct AVFilterGraph;
struct AVFilterContext;

#include <initializer_list>
#include <memory>
#include <string>

namespace qnr {

struct FrameFree {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct CodecFree {
  void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct SwsFree {
  void operator()(SwsContext* sws) const { sws_freeContext(sws); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;

FramePtr new_frame();
PacketPtr new_packet();

// Options for the libraries, freed with their owner. Their calls take
// `&entries`, which they may replace.
struct Dictionary {
  AVDictionary* entries = nullptr;

  Dictionary() = default;
  Dictionary(Dictionary&& other) noexcept;
  Dictionary& operator=(Dictionary&& other) noexcept;
  ~Dictionary();

  bool has(const char* key) const;
  void set(const std::string& key, const std::string& value);
  // A default that an option the user gave keeps out.
  void set_default(const char* key, const std::string& value);
  // Takes every entry of `other`, replacing those of the same name.
  void add_all(const Dictionary& other);
};

// Whether `value` (a format's or a codec's name) is one of `names`.
bool one_of(const char* value, std::initializer_list<const char*> names);

// Puts `chain` (filters in FFmpeg's graph syntax) into `graph` between
// `source` and `sink`. Returns the library's code.
int link_filter_chain(AVFilterGraph* graph, AVFilterContext* source, AVFilterContext* sink,
                      const char* chain);

// The decoder of `stream`, opened with its parameters and time base.
// `threads` as FFmpeg counts them: 0 for one per processor, 1 for none of
// its own. Null when this FFmpeg has no decoder for the codec (`error`
// AVERROR_DECODER_NOT_FOUND) or cannot open one (`error` its code).
CodecPtr open_decoder(const AVStream& stream, int threads, int* error = nullptr);

// "Invalid data found when processing input" for an AVERROR code.
std::string av_error_text(int code);

// The libraries' own log lines would break qnr's one-line errors: they are
// kept (the last error-level line) instead of printed.
void capture_library_log();
std::string last_library_error();

// Raises a Failure when a library call returned a negative code.
void check_av(int code, const std::string& what);

}  // namespace qnr
