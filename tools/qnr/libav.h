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

// "Invalid data found when processing input" for an AVERROR code.
std::string av_error_text(int code);

// The libraries' own log lines would break qnr's one-line errors: they are
// kept (the last error-level line) instead of printed.
void capture_library_log();
std::string last_library_error();

// Raises a Failure when a library call returned a negative code.
void check_av(int code, const std::string& what);

}  // namespace qnr
