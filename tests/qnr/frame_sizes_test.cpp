// Every frame size a decoder may give, through the converter into the
// module's bitmap and back: no conversion may write or read past a buffer
// qnr owns (AddressSanitizer watches the sanitizer build), and the pixels
// must equal swscale's own conversion into a generously padded buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "media/frame_convert.h"

namespace qnr {
namespace {

struct Size {
  int32_t width;
  int32_t height;
};

// The sizes users film and share, portrait included, beside every width up
// to 160 (swscale's x86 code works in groups of 8 and 16 pixels).
std::vector<Size> sizes_to_sweep() {
  std::vector<Size> sizes;
  for (int32_t w = 1; w <= 160; ++w) sizes.push_back({w, 1 + w % 5});
  for (Size s : {Size{1080, 1920}, Size{1080, 1080}, Size{360, 640}, Size{540, 960}, Size{854, 480},
                 Size{426, 240}, Size{1366, 768}, Size{1912, 1080}}) {
    sizes.push_back(s);
  }
  return sizes;
}

const AVPixelFormat kFormats[] = {AV_PIX_FMT_YUV420P,     AV_PIX_FMT_NV12,  AV_PIX_FMT_YUV422P,
                                  AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_RGB24, AV_PIX_FMT_GRAY8};

std::string describe(AVPixelFormat format, Size size) {
  return std::string(av_get_pix_fmt_name(format)) + " " + std::to_string(size.width) + "x" +
         std::to_string(size.height);
}

// A decoded frame of noise; 10-bit samples stay within their range.
FramePtr noise_frame(AVPixelFormat format, Size size, uint32_t seed) {
  FramePtr frame = new_frame();
  frame->format = format;
  frame->width = size.width;
  frame->height = size.height;
  EXPECT_GE(av_frame_get_buffer(frame.get(), 0), 0);
  std::mt19937 random(seed);
  const bool deep = av_pix_fmt_desc_get(format)->comp[0].depth > 8;
  for (int p = 0; p < 4 && frame->buf[p] != nullptr; ++p) {
    uint8_t* bytes = frame->buf[p]->data;
    for (size_t i = 0; i < frame->buf[p]->size; ++i) {
      bytes[i] = static_cast<uint8_t>(random() & ((deep && i % 2 == 1) ? 0x03 : 0xFF));
    }
  }
  return frame;
}

// swscale's conversion with rows 256 bytes longer than the picture, top row
// first: the reference that needs nothing of qnr's buffer handling. Encoder
// frames of an untagged range are written in limited range, as qnr writes them.
std::vector<uint32_t> reference_convert(const uint8_t* const src[4], const int src_stride[4],
                                        AVPixelFormat from, Size size, AVPixelFormat to,
                                        uint8_t* const dst_planes[4], const int dst_stride[4]) {
  SwsContext* context = sws_getContext(size.width, size.height, from, size.width, size.height, to,
                                       SWS_BICUBIC, nullptr, nullptr, nullptr);
  EXPECT_NE(context, nullptr);
  if (dst_planes != nullptr) {
    int *inv_table, *table, src_full, dst_full, brightness, contrast, saturation;
    sws_getColorspaceDetails(context, &inv_table, &src_full, &table, &dst_full, &brightness,
                             &contrast, &saturation);
    sws_setColorspaceDetails(context, inv_table, src_full, table, 0, brightness, contrast,
                             saturation);
  }
  std::vector<uint32_t> packed;
  if (dst_planes != nullptr) {
    sws_scale(context, src, src_stride, 0, size.height, dst_planes, dst_stride);
  } else {
    const int pitch = size.width * 4 + 256;
    std::vector<uint8_t> padded(static_cast<size_t>(pitch) * size.height);
    uint8_t* dst[4] = {padded.data(), nullptr, nullptr, nullptr};
    const int stride[4] = {pitch, 0, 0, 0};
    sws_scale(context, src, src_stride, 0, size.height, dst, stride);
    packed.resize(static_cast<size_t>(size.width) * size.height);
    for (int32_t y = 0; y < size.height; ++y) {
      std::memcpy(&packed[static_cast<size_t>(y) * size.width], padded.data() + y * pitch,
                  static_cast<size_t>(size.width) * 4);
    }
  }
  sws_freeContext(context);
  return packed;
}

std::vector<uint32_t> top_down(HostFrame& host) {
  std::vector<uint32_t> packed(static_cast<size_t>(host.width) * host.height);
  for (int32_t y = 0; y < host.height; ++y) {
    std::memcpy(&packed[static_cast<size_t>(y) * host.width], host.top_row(y),
                static_cast<size_t>(host.width) * 4);
  }
  return packed;
}

TEST(FrameSizes, DecodedFramesOfEverySizeBecomeBitmapsAsSwscaleConvertsThem) {
  FrameConverter converter;
  for (AVPixelFormat format : kFormats) {
    for (Size size : sizes_to_sweep()) {
      FramePtr frame = noise_frame(format, size, static_cast<uint32_t>(size.width));
      HostFrame host;
      converter.to_host(*frame, 1, host);
      ASSERT_EQ(host.view.pitch, host.pitch) << describe(format, size);
      const std::vector<uint32_t> expected = reference_convert(
          frame->data, frame->linesize, format, size, AV_PIX_FMT_BGR0, nullptr, nullptr);
      ASSERT_EQ(top_down(host), expected) << describe(format, size);
    }
  }
}

TEST(FrameSizes, TurnedPicturesOfOddSizesStayInTheirBuffers) {
  FrameConverter converter;
  for (Size size : {Size{1, 1}, Size{6, 3}, Size{854, 2}, Size{1080, 3}, Size{157, 9}}) {
    FramePtr frame = noise_frame(AV_PIX_FMT_YUV420P, size, 7);
    HostFrame upright, turned;
    converter.to_host(*frame, 1, upright);
    converter.to_host(*frame, 6, turned);
    ASSERT_EQ(turned.width, size.height);
    ASSERT_EQ(turned.height, size.width);
    // A quarter turn clockwise: the stored picture's left column is the top row.
    for (int32_t y = 0; y < turned.height; ++y) {
      for (int32_t x = 0; x < turned.width; ++x) {
        uint32_t a, b;
        std::memcpy(&a, turned.top_row(y) + x * 4, 4);
        std::memcpy(&b, upright.top_row(size.height - 1 - x) + y * 4, 4);
        ASSERT_EQ(a, b) << describe(AV_PIX_FMT_YUV420P, size) << " at " << x << "," << y;
      }
    }
  }
}

TEST(FrameSizes, BitmapsOfEverySizeBecomeEncoderFramesAsSwscaleConvertsThem) {
  FrameConverter converter;
  for (AVPixelFormat format : kFormats) {
    for (Size size : sizes_to_sweep()) {
      HostFrame host;
      host.resize(size.width, size.height);
      std::mt19937 random(static_cast<uint32_t>(size.width));
      for (uint8_t& byte : host.storage) byte = static_cast<uint8_t>(random());
      const PictureFormat picture{size.width, size.height, format, AVCOL_SPC_UNSPECIFIED,
                                  AVCOL_RANGE_UNSPECIFIED};
      FramePtr converted = converter.from_host(host, picture);

      FramePtr expected = new_frame();
      expected->format = format;
      expected->width = size.width;
      expected->height = size.height;
      ASSERT_GE(av_frame_get_buffer(expected.get(), 0), 0);
      const uint8_t* src[4] = {host.top_row(0), nullptr, nullptr, nullptr};
      const int src_stride[4] = {-static_cast<int>(host.pitch), 0, 0, 0};
      reference_convert(src, src_stride, AV_PIX_FMT_BGR0, size, format, expected->data,
                        expected->linesize);
      const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
      for (int plane = 0; plane < av_pix_fmt_count_planes(format); ++plane) {
        const bool chroma = plane == 1 || plane == 2;
        const int rows = chroma ? AV_CEIL_RSHIFT(size.height, desc->log2_chroma_h) : size.height;
        const int bytes = av_image_get_linesize(format, size.width, plane);
        for (int y = 0; y < rows; ++y) {
          ASSERT_EQ(0, std::memcmp(converted->data[plane] + y * converted->linesize[plane],
                                   expected->data[plane] + y * expected->linesize[plane], bytes))
              << describe(format, size) << " plane " << plane << " row " << y;
        }
      }
    }
  }
}

}  // namespace
}  // namespace qnr
