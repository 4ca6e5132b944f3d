#include "media/frame_convert.h"

#include "base/failure.h"
#include "media/gif_palette.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace qnr {

namespace {

constexpr int kScaleFlags = SWS_BICUBIC;

bool is_full_range(AVPixelFormat format, AVColorRange range) {
  return is_full_range_format(format) || range == AVCOL_RANGE_JPEG;
}

// swscale refuses some conversions (a far too stretched scale such as 1x300
// to 300x1, a size it cannot filter); say which, rather than "out of memory".
[[noreturn]] void refused(int32_t src_w, int32_t src_h, AVPixelFormat src, int32_t dst_w,
                          int32_t dst_h, AVPixelFormat dst) {
  const char* from = av_get_pix_fmt_name(src);
  const char* to = av_get_pix_fmt_name(dst);
  throw Failure("cannot convert a " + std::to_string(src_w) + "x" + std::to_string(src_h) + " " +
                (from != nullptr ? from : "unknown") + " picture to " + std::to_string(dst_w) +
                "x" + std::to_string(dst_h) + " " + (to != nullptr ? to : "unknown") +
                " (FFmpeg's scaler refuses it)");
}

// Whether the two fields of a picture are converted apart: where chroma rows
// are halved on either side, each chroma row belongs to one field, and a
// conversion of the whole picture would blend the two. Each field then needs
// an even number of rows.
bool fields_apart(bool fields, AVPixelFormat from, AVPixelFormat to, int32_t height_from,
                  int32_t height_to) {
  if (!fields || height_from != height_to || height_from % 4 != 0) return false;
  const AVPixFmtDescriptor* a = av_pix_fmt_desc_get(from);
  const AVPixFmtDescriptor* b = av_pix_fmt_desc_get(to);
  return (a != nullptr && a->log2_chroma_h > 0) || (b != nullptr && b->log2_chroma_h > 0);
}

// A cached scaler for a picture of h rows, or for one field of it.
// The context is updated in place before a refusal throws: swscale frees
// the old one when it cannot make the new, and the caller must not keep it.
SwsContext* scaler(SwsContext*& context, int32_t w, int32_t h, AVPixelFormat from, int32_t dw,
                   int32_t dh, AVPixelFormat to, bool apart) {
  const int32_t rows = apart ? h / 2 : h, dst_rows = apart ? dh / 2 : dh;
  context = sws_getCachedContext(context, w, rows, from, dw, dst_rows, to, kScaleFlags, nullptr,
                                 nullptr, nullptr);
  if (context == nullptr) refused(w, rows, from, dw, dst_rows, to);
  return context;
}

// Matrices and ranges as ffmpeg's own scaler takes them; -1 keeps a range.
void set_colour(SwsContext* context, AVColorSpace from_space, int from_full, AVColorSpace to_space,
                int to_full) {
  int* inv_table = nullptr;
  int* table = nullptr;
  int in_full = 0, out_full = 0, brightness = 0, contrast = 0, saturation = 0;
  sws_getColorspaceDetails(context, &inv_table, &in_full, &table, &out_full, &brightness, &contrast,
                           &saturation);
  sws_setColorspaceDetails(context, sws_getCoefficients(from_space),
                           from_full < 0 ? in_full : from_full, sws_getCoefficients(to_space),
                           to_full < 0 ? out_full : to_full, brightness, contrast, saturation);
}

// The whole picture, or its two fields one after the other (each plane's
// rows alternate between the fields, whatever the sign of its stride).
void scale(SwsContext* context, const uint8_t* const src[4], const int src_stride[4], int32_t h,
           uint8_t* const dst[4], const int dst_stride[4], bool apart) {
  if (!apart) {
    sws_scale(context, src, src_stride, 0, h, dst, dst_stride);
    return;
  }
  for (int field = 0; field < 2; ++field) {
    const uint8_t* s[4];
    uint8_t* d[4];
    int ss[4], ds[4];
    for (int i = 0; i < 4; ++i) {
      s[i] = src[i] != nullptr ? src[i] + field * src_stride[i] : nullptr;
      d[i] = dst[i] != nullptr ? dst[i] + field * dst_stride[i] : nullptr;
      ss[i] = 2 * src_stride[i];
      ds[i] = 2 * dst_stride[i];
    }
    sws_scale(context, s, ss, 0, h / 2, d, ds);
  }
}

// A new frame holding references to `frame`'s buffers, without its side
// data, metadata or picture type (which an encoder would take as orders).
FramePtr buffers_of(const AVFrame& frame) {
  FramePtr out = new_frame();
  if (frame.extended_buf != nullptr) {
    check_av(av_frame_ref(out.get(), &frame), "cannot reference a frame");
    while (out->nb_side_data > 0) av_frame_remove_side_data(out.get(), out->side_data[0]->type);
    av_dict_free(&out->metadata);
    out->pict_type = AV_PICTURE_TYPE_NONE;
    return out;
  }
  out->format = frame.format;
  out->width = frame.width;
  out->height = frame.height;
  for (int i = 0; i < AV_NUM_DATA_POINTERS; ++i) {
    if (frame.buf[i] != nullptr) {
      out->buf[i] = av_buffer_ref(frame.buf[i]);
      if (out->buf[i] == nullptr) throw std::bad_alloc();
    }
    out->data[i] = frame.data[i];
    out->linesize[i] = frame.linesize[i];
  }
  return out;
}

}  // namespace

bool reads_full_range(AVPixelFormat format, AVColorRange range) {
  return is_full_range(format, range);
}

bool is_full_range_format(AVPixelFormat format) {
  switch (format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P: return true;
    default: return false;
  }
}

void stored_pixel_of(Orientation o, int32_t dx, int32_t dy, int32_t w, int32_t h, int32_t& x,
                     int32_t& y) {
  switch (o) {
    case 2:
      x = w - 1 - dx;
      y = dy;
      break;
    case 3:
      x = w - 1 - dx;
      y = h - 1 - dy;
      break;
    case 4:
      x = dx;
      y = h - 1 - dy;
      break;
    case 5:
      x = dy;
      y = dx;
      break;
    case 6:
      x = dy;
      y = h - 1 - dx;
      break;
    case 7:
      x = w - 1 - dy;
      y = h - 1 - dx;
      break;
    case 8:
      x = w - 1 - dy;
      y = dx;
      break;
    default:
      x = dx;
      y = dy;
      break;
  }
}

bool swaps_sides(Orientation orientation) { return orientation >= 5 && orientation <= 8; }

Orientation orientation_from_matrix(const int32_t* matrix) {
  if (matrix == nullptr) return 1;
  const double angle = av_display_rotation_get(matrix);
  if (std::isnan(angle)) return 1;
  // The matrix's anticlockwise angle, negated: how far clockwise the stored
  // picture is turned to be shown, as ffmpeg's own tools read it.
  double clockwise = -std::round(angle);
  clockwise -= 360 * std::floor(clockwise / 360 + 0.9 / 360);
  if (std::fabs(clockwise - 90) < 1) return 6;
  if (std::fabs(clockwise - 180) < 1) return 3;
  if (std::fabs(clockwise - 270) < 1) return 8;
  return 1;
}

Orientation stream_orientation(const AVStream& stream) {
  size_t size = 0;
  const uint8_t* matrix = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  return matrix != nullptr && size >= 9 * sizeof(int32_t)
             ? orientation_from_matrix(reinterpret_cast<const int32_t*>(matrix))
             : 1;
}

Orientation frame_orientation(const AVFrame& frame, Orientation stream_orientation) {
  if (const AVDictionaryEntry* tag = av_dict_get(frame.metadata, "Orientation", nullptr, 0)) {
    const int value = std::atoi(tag->value);
    if (value >= 1 && value <= 8) return value;
  }
  if (const AVFrameSideData* side = av_frame_get_side_data(&frame, AV_FRAME_DATA_DISPLAYMATRIX)) {
    return orientation_from_matrix(reinterpret_cast<const int32_t*>(side->data));
  }
  return stream_orientation;
}

bool has_alpha(AVPixelFormat format) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  return desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
}

int64_t padded_pitch(int32_t width) {
  constexpr int64_t kBlock = 64;
  return ((int64_t{width} * 4 + kBlock - 1) & ~(kBlock - 1)) + kBlock;
}

void HostFrame::resize(int32_t w, int32_t h) {
  width = w;
  height = h;
  pitch = padded_pitch(w);
  const size_t bytes = static_cast<size_t>(pitch) * static_cast<size_t>(h);
  if (storage.size() != bytes) storage.assign(std::max<size_t>(bytes, 1), 0);
  view = vdhost::bitmap_view(storage.data(), w, h, pitch);
}

FrameConverter::~FrameConverter() {
  sws_freeContext(in_);
  sws_freeContext(out_);
  sws_freeContext(picture_);
}

void FrameConverter::to_host(const AVFrame& frame, Orientation orientation, HostFrame& out,
                             bool fields) {
  const auto format = static_cast<AVPixelFormat>(frame.format);
  const bool alpha = has_alpha(format);
  const AVPixelFormat target = alpha ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR0;
  const int32_t w = frame.width, h = frame.height;
  // The scaler turns a Bayer mosaic into colour two rows at a time and
  // leaves an odd last row unwritten: refused rather than left holding the
  // previous frame's pixels.
  if (const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
      d != nullptr && (d->flags & AV_PIX_FMT_FLAG_BAYER) != 0 && h % 2 != 0) {
    throw Failure("cannot convert a " + std::to_string(w) + "x" + std::to_string(h) + " " +
                  d->name + " picture: a Bayer picture needs an even number of rows");
  }
  const bool apart = fields_apart(fields, format, target, h, h);
  in_ = scaler(in_, w, h, format, w, h, target, apart);
  set_colour(in_, frame.colorspace, is_full_range(format, frame.color_range) ? 1 : 0,
             frame.colorspace, -1);

  const bool turned = orientation != 1;
  out.resize(swaps_sides(orientation) ? h : w, swaps_sides(orientation) ? w : h);
  out.alpha = alpha;
  if (!turned) {
    // Straight into the bottom-up bitmap: top row first, walking down in memory.
    uint8_t* dst[4] = {out.top_row(0), nullptr, nullptr, nullptr};
    int dst_stride[4] = {-static_cast<int>(out.pitch), 0, 0, 0};
    scale(in_, frame.data, frame.linesize, h, dst, dst_stride, apart);
    return;
  }
  const int64_t stored_pitch = padded_pitch(w);
  upright_.resize(static_cast<size_t>(stored_pitch) * static_cast<size_t>(h));
  uint8_t* dst[4] = {upright_.data(), nullptr, nullptr, nullptr};
  int dst_stride[4] = {static_cast<int>(stored_pitch), 0, 0, 0};
  scale(in_, frame.data, frame.linesize, h, dst, dst_stride, apart);
  for (int32_t dy = 0; dy < out.height; ++dy) {
    auto* row = reinterpret_cast<uint32_t*>(out.top_row(dy));
    for (int32_t dx = 0; dx < out.width; ++dx) {
      int32_t x, y;
      stored_pixel_of(orientation, dx, dy, w, h, x, y);
      std::memcpy(&row[dx], upright_.data() + y * stored_pitch + int64_t{x} * 4, 4);
    }
  }
}

FramePtr FrameConverter::from_host(HostFrame& bitmap, const PictureFormat& format, bool fields) {
  if (format.pixel_format == AV_PIX_FMT_PAL8) {
    PictureFormat full = format;
    full.pixel_format = AV_PIX_FMT_BGRA;
    return to_own_palette(*from_host(bitmap, full));
  }
  const AVPixelFormat source = bitmap.alpha ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR0;
  const bool apart =
      fields_apart(fields, source, format.pixel_format, bitmap.height, format.height);
  out_ = scaler(out_, bitmap.width, bitmap.height, source, format.width, format.height,
                format.pixel_format, apart);
  set_colour(out_, format.colorspace, -1, format.colorspace,
             is_full_range(format.pixel_format, format.range) ? 1 : 0);

  FramePtr frame = new_frame();
  frame->format = format.pixel_format;
  frame->width = format.width;
  frame->height = format.height;
  check_av(av_frame_get_buffer(frame.get(), 0), "cannot allocate a frame for the encoder");
  const uint8_t* src[4] = {bitmap.top_row(0), nullptr, nullptr, nullptr};
  const int src_stride[4] = {-static_cast<int>(bitmap.pitch), 0, 0, 0};
  scale(out_, src, src_stride, bitmap.height, frame->data, frame->linesize, apart);
  return frame;
}

FramePtr FrameConverter::to_picture(const AVFrame& frame, const PictureFormat& format,
                                    bool fields) {
  const auto source = static_cast<AVPixelFormat>(frame.format);
  const bool from_full = is_full_range(source, frame.color_range);
  const bool to_full = is_full_range(format.pixel_format, format.range);
  if (source == format.pixel_format && frame.width == format.width &&
      frame.height == format.height && from_full == to_full) {
    return buffers_of(frame);
  }
  if (format.pixel_format == AV_PIX_FMT_PAL8) {
    HostFrame bitmap;
    to_host(frame, 1, bitmap, fields);
    return from_host(bitmap, format, fields);
  }
  const bool apart = fields_apart(fields, source, format.pixel_format, frame.height, format.height);
  picture_ = scaler(picture_, frame.width, frame.height, source, format.width, format.height,
                    format.pixel_format, apart);
  set_colour(picture_, frame.colorspace, from_full ? 1 : 0, format.colorspace, to_full ? 1 : 0);
  FramePtr out = new_frame();
  out->format = format.pixel_format;
  out->width = format.width;
  out->height = format.height;
  check_av(av_frame_get_buffer(out.get(), 0), "cannot allocate a frame for the encoder");
  scale(picture_, frame.data, frame.linesize, frame.height, out->data, out->linesize, apart);
  return out;
}

void restore_alpha(const HostFrame& from, HostFrame& to) {
  for (int32_t r = 0; r < from.height; ++r) {
    const uint8_t* s = from.storage.data() + r * from.pitch;
    uint8_t* d = to.storage.data() + r * to.pitch;
    for (int32_t x = 0; x < from.width; ++x) d[4 * x + 3] = s[4 * x + 3];
  }
}

}  // namespace qnr
