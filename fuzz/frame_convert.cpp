// qnr's frame converter, both ways, for every pixel format swscale takes in or
// gives out, at any size from 1 to 300 a side, every orientation, colour
// matrix and range. The host bitmap is an exact-size allocation whose last
// row ends at the heap's redzone (and a decoded frame's planes are what
// av_frame_get_buffer gives, as decoders do), so a write past either stops
// the fuzzer. Each result must equal swscale's own conversion, with the
// same colour details, into a buffer with a kilobyte of padding after every
// row and a megabyte-sized margin.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "media/frame_convert.h"

namespace {

using qnr_fuzz::require;

constexpr int kFlags = SWS_BICUBIC;
constexpr int kPadding = 1024;

std::vector<AVPixelFormat> formats(bool input) {
  std::vector<AVPixelFormat> all;
  for (const AVPixFmtDescriptor* d = av_pix_fmt_desc_next(nullptr); d != nullptr;
       d = av_pix_fmt_desc_next(d)) {
    const AVPixelFormat f = av_pix_fmt_desc_get_id(d);
    if ((d->flags & AV_PIX_FMT_FLAG_HWACCEL) != 0) continue;
    if (input ? sws_isSupportedInput(f) : sws_isSupportedOutput(f)) all.push_back(f);
  }
  return all;
}

const std::vector<AVPixelFormat>& inputs() {
  static const std::vector<AVPixelFormat> all = formats(true);
  return all;
}
AVPixelFormat pick(FuzzedDataProvider& in, const std::vector<AVPixelFormat>& from) {
  return from[in.ConsumeIntegralInRange<size_t>(0, from.size() - 1)];
}
const std::vector<AVPixelFormat>& outputs() {
  static const std::vector<AVPixelFormat> all = formats(false);
  return all;
}

// As the converter sets them: the given matrix both sides, the range of the
// YUV side from the format or the frame, the RGB side's range left alone.
void set_colour(SwsContext* sws, AVColorSpace space, int src_full, int dst_full, bool src_is_yuv) {
  int* inv = nullptr;
  int* table = nullptr;
  int in_full = 0, out_full = 0, brightness = 0, contrast = 0, saturation = 0;
  sws_getColorspaceDetails(sws, &inv, &in_full, &table, &out_full, &brightness, &contrast,
                           &saturation);
  const int* c = sws_getCoefficients(space);
  sws_setColorspaceDetails(sws, c, src_is_yuv ? src_full : in_full, c,
                           src_is_yuv ? out_full : dst_full, brightness, contrast, saturation);
}

// Fills every plane's rows (not their padding) with bytes from the input.
void fill_planes(AVFrame& frame, const std::vector<uint8_t>& pool) {
  const int planes = av_pix_fmt_count_planes(static_cast<AVPixelFormat>(frame.format));
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  size_t at = 0;
  for (int p = 0; p < planes; ++p) {
    const int rows =
        (p == 1 || p == 2) ? AV_CEIL_RSHIFT(frame.height, d->log2_chroma_h) : frame.height;
    const int bytes =
        av_image_get_linesize(static_cast<AVPixelFormat>(frame.format), frame.width, p);
    for (int r = 0; r < rows; ++r) {
      uint8_t* row = frame.data[p] + int64_t{r} * frame.linesize[p];
      for (int x = 0; x < bytes; ++x, ++at) {
        row[x] = pool.empty() ? static_cast<uint8_t>(at * 131 + 7) : pool[at % pool.size()];
      }
    }
  }
  if ((d->flags & AV_PIX_FMT_FLAG_PAL) != 0 && frame.data[1] != nullptr) {
    for (int i = 0; i < 1024; ++i, ++at) {
      frame.data[1][i] = pool.empty() ? static_cast<uint8_t>(i) : pool[at % pool.size()];
    }
  }
}

// Planes with `kPadding` bytes after every row: swscale's reference output.
struct PaddedPicture {
  std::vector<uint8_t> storage[4];
  uint8_t* data[4] = {};
  int linesize[4] = {};
};

void padded(PaddedPicture& pic, AVPixelFormat format, int w, int h) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
  for (int p = 0; p < av_pix_fmt_count_planes(format); ++p) {
    const int rows = (p == 1 || p == 2) ? AV_CEIL_RSHIFT(h, d->log2_chroma_h) : h;
    pic.linesize[p] = (av_image_get_linesize(format, w, p) + kPadding + 63) & ~63;
    pic.storage[p].assign(size_t(pic.linesize[p]) * (rows + 4) + kPadding, 0);
    pic.data[p] = pic.storage[p].data();
  }
  if ((d->flags & AV_PIX_FMT_FLAG_PAL) != 0 && pic.data[1] == nullptr) {
    pic.storage[1].assign(1024 + kPadding, 0);
    pic.data[1] = pic.storage[1].data();
  }
}

void decoded_to_host(FuzzedDataProvider& in, qnr::FrameConverter& converter) {
  const AVPixelFormat format = pick(in, inputs());
  const int w = in.ConsumeIntegralInRange(1, 300), h = in.ConsumeIntegralInRange(1, 300);
  const qnr::Orientation orientation = in.ConsumeIntegralInRange(1, 8);
  qnr::FramePtr frame = qnr::new_frame();
  frame->format = format;
  frame->width = w;
  frame->height = h;
  frame->colorspace = static_cast<AVColorSpace>(in.ConsumeIntegralInRange(0, 14));
  frame->color_range = static_cast<AVColorRange>(in.ConsumeIntegralInRange(0, 2));
  if (av_frame_get_buffer(frame.get(), 0) < 0) return;
  fill_planes(*frame, in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 4096)));

  qnr::HostFrame out;
  const AVPixelFormat target = qnr::has_alpha(format) ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR0;
  SwsContext* sws = sws_getContext(w, h, format, w, h, target, kFlags, nullptr, nullptr, nullptr);
  try {
    converter.to_host(*frame, orientation, out);
  } catch (const std::exception&) {
    // A Bayer picture of odd height is refused too: swscale leaves its last row unwritten.
    const bool odd_bayer =
        (av_pix_fmt_desc_get(format)->flags & AV_PIX_FMT_FLAG_BAYER) != 0 && h % 2 != 0;
    require(sws == nullptr || odd_bayer, "to_host refuses only what swscale refuses");
    sws_freeContext(sws);
    return;
  }
  require(out.width == (qnr::swaps_sides(orientation) ? h : w), "upright width");
  require(out.height == (qnr::swaps_sides(orientation) ? w : h), "upright height");
  require(out.alpha == qnr::has_alpha(format), "alpha as the format has it");

  require(sws != nullptr, "swscale takes the format");
  const bool full = qnr::is_full_range_format(format) || frame->color_range == AVCOL_RANGE_JPEG;
  set_colour(sws, frame->colorspace, full ? 1 : 0, 0, true);
  PaddedPicture ref;
  padded(ref, target, w, h);
  sws_scale(sws, frame->data, frame->linesize, 0, h, ref.data, ref.linesize);
  sws_freeContext(sws);

  for (int32_t dy = 0; dy < out.height; ++dy) {
    const uint8_t* row = out.top_row(dy);
    for (int32_t dx = 0; dx < out.width; ++dx) {
      // Where display pixel (dx, dy) was stored, for each EXIF orientation.
      int32_t x = dx, y = dy;
      switch (orientation) {
        case 2: x = w - 1 - dx; break;
        case 3:
          x = w - 1 - dx;
          y = h - 1 - dy;
          break;
        case 4: y = h - 1 - dy; break;
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
        default: break;
      }
      require(std::memcmp(row + 4 * dx, ref.data[0] + int64_t{y} * ref.linesize[0] + 4 * x, 4) == 0,
              "to_host gives swscale's pixel");
    }
  }
}

void host_to_encoder(FuzzedDataProvider& in, qnr::FrameConverter& converter) {
  qnr::HostFrame bitmap;
  bitmap.resize(in.ConsumeIntegralInRange(1, 300), in.ConsumeIntegralInRange(1, 300));
  bitmap.alpha = in.ConsumeBool();
  qnr::PictureFormat format;
  format.pixel_format = pick(in, outputs());
  const bool scaled = in.ConsumeIntegralInRange(0, 3) == 0;
  format.width = scaled ? in.ConsumeIntegralInRange(1, 300) : bitmap.width;
  format.height = scaled ? in.ConsumeIntegralInRange(1, 300) : bitmap.height;
  format.colorspace = static_cast<AVColorSpace>(in.ConsumeIntegralInRange(0, 14));
  format.range = static_cast<AVColorRange>(in.ConsumeIntegralInRange(0, 2));
  const std::vector<uint8_t> pool =
      in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 4096));
  for (int32_t r = 0; r < bitmap.height; ++r) {
    uint8_t* row = bitmap.top_row(r);
    for (int32_t b = 0; b < 4 * bitmap.width; ++b) {
      const size_t at = size_t(r) * 4 * bitmap.width + b;
      row[b] = pool.empty() ? static_cast<uint8_t>(at * 151 + 3) : pool[at % pool.size()];
    }
  }
  // The storage, exact-size, after the conversion: it must not have been written.
  const std::vector<uint8_t> before = bitmap.storage;
  const AVPixelFormat source = bitmap.alpha ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR0;
  SwsContext* sws = sws_getContext(bitmap.width, bitmap.height, source, format.width, format.height,
                                   format.pixel_format, kFlags, nullptr, nullptr, nullptr);
  qnr::FramePtr frame;
  try {
    frame = converter.from_host(bitmap, format);
  } catch (const std::exception&) {
    // Only a conversion swscale itself refuses may fail.
    require(sws == nullptr && format.pixel_format != AV_PIX_FMT_PAL8,
            "from_host refuses only what swscale refuses");
    return;
  }
  require(bitmap.storage == before, "from_host leaves the bitmap alone");
  require(frame != nullptr && frame->width == format.width && frame->height == format.height,
          "a frame of the asked size");
  if (format.pixel_format == AV_PIX_FMT_PAL8) {
    require(frame->format == AV_PIX_FMT_PAL8, "a palette frame");
    sws_freeContext(sws);
    return;
  }
  require(frame->format == format.pixel_format, "a frame of the asked format");

  require(sws != nullptr, "swscale gives the format");
  const bool full =
      qnr::is_full_range_format(format.pixel_format) || format.range == AVCOL_RANGE_JPEG;
  set_colour(sws, format.colorspace, 0, full ? 1 : 0, false);
  PaddedPicture ref;
  padded(ref, format.pixel_format, format.width, format.height);
  const uint8_t* src[4] = {bitmap.top_row(0), nullptr, nullptr, nullptr};
  const int src_stride[4] = {-static_cast<int>(bitmap.pitch), 0, 0, 0};
  sws_scale(sws, src, src_stride, 0, bitmap.height, ref.data, ref.linesize);
  sws_freeContext(sws);

  // For a format with alpha at an odd width, or at any width when it
  // scales, swscale (5.1) makes some samples near a row's end (the chroma's,
  // or any plane's when it scales) from memory it never wrote: they differ
  // from run to run, so those conversions are checked for their bounds and
  // size only.
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format.pixel_format);
  if ((d->flags & AV_PIX_FMT_FLAG_ALPHA) != 0 && (format.width % 2 == 1 || scaled)) return;
  for (int p = 0; p < av_pix_fmt_count_planes(format.pixel_format); ++p) {
    const bool chroma = p == 1 || p == 2;
    const int rows = chroma ? AV_CEIL_RSHIFT(format.height, d->log2_chroma_h) : format.height;
    const int bytes = av_image_get_linesize(format.pixel_format, format.width, p);
    for (int r = 0; r < rows; ++r) {
      const uint8_t* got = frame->data[p] + int64_t{r} * frame->linesize[p];
      const uint8_t* want = ref.data[p] + int64_t{r} * ref.linesize[p];
      for (int b = 0; b < bytes; ++b) {
        if (got[b] == want[b]) continue;
        std::fprintf(stderr, "%dx%d %s to %dx%d %s: plane %d row %d byte %d of %d: %d, not %d\n",
                     bitmap.width, bitmap.height, bitmap.alpha ? "bgra" : "bgr0", format.width,
                     format.height, av_get_pix_fmt_name(format.pixel_format), p, r, b, bytes,
                     got[b], want[b]);
        qnr_fuzz::fail("from_host gives swscale's rows");
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  av_log_set_level(AV_LOG_QUIET);
  FuzzedDataProvider in(data, size);
  // One converter for a few conversions, as a worker keeps one from frame to frame.
  qnr::FrameConverter converter;
  for (int round = in.ConsumeIntegralInRange(1, 2); round > 0 && in.remaining_bytes() > 0;
       --round) {
    if (in.ConsumeBool()) {
      decoded_to_host(in, converter);
    } else {
      host_to_encoder(in, converter);
    }
  }
  return 0;
}
