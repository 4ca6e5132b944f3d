#include "media/video_encoder.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/failure.h"
#include "base/note.h"
#include "media/frame_clock.h"
#include "media/pixel_format.h"

namespace qnr {

namespace {

AVPixelFormat pixel_format_for(const VideoEncoderSetup& setup, const FirstFrame& first) {
  if (setup.pixel_format.empty()) {
    return choose_pixel_format(
        {setup.codec, first.source_format, first.alpha, first.width, first.height});
  }
  const AVPixelFormat format = av_get_pix_fmt(setup.pixel_format.c_str());
  if (format == AV_PIX_FMT_NONE) {
    throw Failure("unknown pixel format \"" + setup.pixel_format + "\" after --", kExitUsage);
  }
  return format;
}

bool is_rgb(AVPixelFormat format) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  return desc != nullptr && (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) != 0;
}

}  // namespace

PictureFormat VideoEncoder::open(const VideoEncoderSetup& setup, const FirstFrame& first,
                                 Dictionary& options) {
  const AVCodec* codec = setup.codec;
  encoder_.reset(avcodec_alloc_context3(codec));
  if (!encoder_) throw std::bad_alloc();
  AVCodecContext* enc = encoder_.get();

  PictureFormat picture;
  picture.width = first.width;
  picture.height = first.height;
  picture.pixel_format = pixel_format_for(setup, first);
  if (first.alpha && !has_alpha(picture.pixel_format)) {
    note(setup.quiet, std::string("transparency dropped: ") + codec->name + " in " +
                          av_get_pix_fmt_name(picture.pixel_format) + " has no alpha plane");
  }
  const int depth = bits_per_channel(first.source_format);
  if (depth > 8) {
    note(setup.quiet, "the filter works at 8 bits per channel: the input's " +
                          std::to_string(depth) + " bits are filtered at 8 and written as " +
                          av_get_pix_fmt_name(picture.pixel_format));
  }
  set_colour(first, picture);

  enc->width = picture.width;
  enc->height = picture.height;
  enc->pix_fmt = picture.pixel_format;
  enc->time_base = setup.time_base;
  enc->framerate = setup.frame_rate;
  enc->sample_aspect_ratio = first.sample_aspect;
  enc->thread_count = 0;
  if (first.interlaced || setup.interlace) {
    // Two fields need an even number of rows, and x264 wants whole chroma
    // rows in each field too: a multiple of 4 rows in 4:2:0 (720x486 is
    // not). Encoders refuse the rest, so such a picture is coded progressive
    // instead of failing the job.
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(picture.pixel_format);
    const bool whole_chroma_rows = std::strcmp(codec->name, "libx264") == 0 && desc != nullptr;
    const int field_rows = 2 << (whole_chroma_rows ? desc->log2_chroma_h : 0);
    if (picture.height % field_rows == 0) {
      set_fields(first, options);
    } else {
      note(setup.quiet, "the video is coded progressive: its " + std::to_string(picture.height) +
                            " rows in " + av_get_pix_fmt_name(picture.pixel_format) +
                            " cannot be split into two fields");
    }
  }
  set_fixed_quantiser(options);
  if (setup.global_header) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

  if (int code = avcodec_open2(enc, codec, &options.entries); code < 0) {
    std::string why = last_library_error();
    if (why.empty()) why = av_error_text(code);
    throw Failure("cannot open the " + std::string(codec->name) + " encoder for " +
                  std::to_string(picture.width) + "x" + std::to_string(picture.height) + " " +
                  av_get_pix_fmt_name(picture.pixel_format) + ": " + why +
                  " (check --codec and the options after --)");
  }
  return picture;
}

// Colour tags describe YUV; the frames are converted back with the matrix
// and range they came with, so the colours survive the round trip.
void VideoEncoder::set_colour(const FirstFrame& first, PictureFormat& picture) {
  if (is_rgb(picture.pixel_format)) return;
  AVCodecContext* enc = encoder_.get();
  if (first.yuv) {
    picture.colorspace = first.colorspace;
    picture.range = first.range;
    enc->colorspace = first.colorspace;
    enc->color_primaries = first.primaries;
    enc->color_trc = first.transfer;
  }
  if (is_full_range_format(picture.pixel_format)) picture.range = AVCOL_RANGE_JPEG;
  // JPEG readers decode with the BT.601 matrix whatever the picture came
  // with, so that is the one its numbers are made with.
  if (enc->codec->id == AV_CODEC_ID_MJPEG) {
    picture.colorspace = AVCOL_SPC_BT470BG;
    enc->colorspace = AVCOL_SPC_BT470BG;
  }
  enc->color_range = picture.range;
}

void VideoEncoder::set_fields(const FirstFrame& first, Dictionary& options) {
  AVCodecContext* enc = encoder_.get();
  enc->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
  // Named as FFmpeg's own tools name coded fields, which containers map
  // to the field order players read.
  if (enc->codec->id == AV_CODEC_ID_MJPEG) {
    enc->field_order = first.top_field_first ? AV_FIELD_TT : AV_FIELD_BB;
  } else {
    enc->field_order = first.top_field_first ? AV_FIELD_TB : AV_FIELD_BT;
  }
  interlaced_ = true;
  // x264 takes the field order from its own settings, not from the frames.
  if (std::strcmp(enc->codec->name, "libx264") == 0) {
    options.set_default("x264-params", first.top_field_first ? "tff=1" : "bff=1");
  }
}

// A fixed quantiser (-q, JPEG's default) is a flag and a quality, not an option.
void VideoEncoder::set_fixed_quantiser(Dictionary& options) {
  const AVDictionaryEntry* q = av_dict_get(options.entries, "qscale", nullptr, 0);
  if (q == nullptr) return;
  AVCodecContext* enc = encoder_.get();
  enc->flags |= AV_CODEC_FLAG_QSCALE;
  enc->global_quality = FF_QP2LAMBDA * std::atoi(q->value);
  av_dict_set(&options.entries, "qscale", nullptr, 0);
}

void VideoEncoder::failed(int code) const {
  throw Failure("the " + std::string(encoder_->codec->name) +
                " encoder failed: " + av_error_text(code));
}

void VideoEncoder::encode(AVFrame* frame, const std::function<void(AVPacket*)>& write) {
  AVCodecContext* enc = encoder_.get();
  if (frame != nullptr) {
    // Timestamps must rise; a repeated one (a damaged file) moves on a tick.
    if (frame->pts == AV_NOPTS_VALUE) {
      frame->pts = last_pts_ == AV_NOPTS_VALUE ? 0 : last_pts_ + 1;
    } else if (last_pts_ != AV_NOPTS_VALUE && frame->pts <= last_pts_) {
      frame->pts = last_pts_ + 1;
    }
    last_pts_ = frame->pts;
    if (const int64_t duration = decoded_duration(*frame); duration > 0) {
      // Bounded: an encoder that drops frames never asks for theirs.
      if (durations_.size() > 1000) durations_.erase(durations_.begin());
      durations_[frame->pts] = duration;
    }
    // A fixed quantiser is read from each frame.
    if (enc->flags & AV_CODEC_FLAG_QSCALE) frame->quality = enc->global_quality;
  }
  if (int code = avcodec_send_frame(enc, frame); code < 0 && code != AVERROR_EOF) failed(code);
  for (;;) {
    const int code = avcodec_receive_packet(enc, packet_.get());
    if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) break;
    if (code < 0) failed(code);
    // Encoders leave the duration out; without it the last frame of an MP4
    // gets none and players cut it. Each packet takes its frame's, so the
    // last frame of variable-rate video lasts as long as it did.
    if (packet_->duration <= 0) {
      if (auto known = durations_.find(packet_->pts); known != durations_.end()) {
        packet_->duration = known->second;
        durations_.erase(known);
      } else if (enc->framerate.num > 0 && enc->framerate.den > 0) {
        packet_->duration = av_rescale_q(1, av_inv_q(enc->framerate), enc->time_base);
      }
    }
    write(packet_.get());
  }
}

}  // namespace qnr
