// Decoded frames into the filter's bitmaps and back: each decoded picture
// becomes a bottom-up 32-bit BGRX (BGRA when it has an alpha plane) host
// bitmap, turned upright first when its orientation says so; the filtered
// bitmap becomes a frame in the encoder's format and size.
#pragma once

#include <cstdint>
#include <vector>

#include "media/libav.h"
#include "vdhost/bitmap.h"

namespace qnr {

// How a stored picture is turned for display, numbered as EXIF numbers it:
// 1 as stored, 2 mirrored, 3 half a turn, 4 upside down, 5 transposed,
// 6 a quarter turn clockwise, 7 transversed, 8 a quarter turn anticlockwise.
using Orientation = int;
bool swaps_sides(Orientation orientation);
// The stored pixel (x, y) shown at upright pixel (dx, dy), for a stored
// picture of w x h.
void stored_pixel_of(Orientation orientation, int32_t dx, int32_t dy, int32_t w, int32_t h,
                     int32_t& x, int32_t& y);
// From a display matrix (the stream's side data); 1 without one.
Orientation orientation_from_matrix(const int32_t* matrix);
// From a stream's display matrix side data; 1 without one.
Orientation stream_orientation(const AVStream& stream);
// From the frame itself: EXIF's Orientation tag, else the frame's display matrix.
Orientation frame_orientation(const AVFrame& frame, Orientation stream_orientation);

// True for the JPEG-style YUV formats, which are full range by definition.
bool is_full_range_format(AVPixelFormat format);
// Whether samples of `format` tagged `range` are read as full range: what the
// conversion to the filter's bitmap assumes.
bool reads_full_range(AVPixelFormat format, AVColorRange range);
// True for pixel formats with an alpha plane.
bool has_alpha(AVPixelFormat format);

// Bytes of a row of `width` 32-bit pixels, padded for swscale. Its x86 code
// converts whole groups of 16 pixels and so writes up to 60 bytes past the
// last pixel of a row (in a bottom-up bitmap the top row is the last in
// memory); a 64-byte multiple with one more 64-byte block behind it keeps
// every such write inside the row's own padding.
int64_t padded_pitch(int32_t width);

// A host bitmap with its own storage: bottom-up rows, `padded_pitch` bytes
// apart, so any conversion into or out of it stays inside the storage.
struct HostFrame {
  int32_t width = 0;
  int32_t height = 0;
  int64_t pitch = 0;
  bool alpha = false;  // byte 3 holds the picture's alpha
  std::vector<uint8_t> storage;
  HostBitmap view{};

  void resize(int32_t w, int32_t h);
  uint8_t* lowest() { return storage.data(); }
  // Image row r counted from the top.
  uint8_t* top_row(int32_t r) { return storage.data() + (height - 1 - r) * pitch; }
};

// What the encoder takes: size, pixel format and the colour matrix and range
// of YUV formats.
struct PictureFormat {
  int32_t width = 0;
  int32_t height = 0;
  AVPixelFormat pixel_format = AV_PIX_FMT_NONE;
  AVColorSpace colorspace = AVCOL_SPC_UNSPECIFIED;
  AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
};

// One per thread: keeps its scaler contexts from frame to frame.
class FrameConverter {
 public:
  FrameConverter() = default;
  FrameConverter(const FrameConverter&) = delete;
  FrameConverter& operator=(const FrameConverter&) = delete;
  ~FrameConverter();

  // Fills `out` (resized as needed) from a decoded frame, upright. With
  // `fields`, the two fields of a picture with halved chroma rows are
  // converted apart, so neither takes the other's colour.
  void to_host(const AVFrame& frame, Orientation orientation, HostFrame& out, bool fields = false);
  // A new frame in `format` from the host bitmap, scaled when sizes differ.
  FramePtr from_host(HostFrame& bitmap, const PictureFormat& format, bool fields = false);
  // A decoded frame (stored as it is shown) in `format`: the frame's own
  // buffers where its format, size and range already are the encoder's, else
  // converted from its own matrix and range without passing through RGB.
  FramePtr to_picture(const AVFrame& frame, const PictureFormat& format, bool fields = false);

 private:
  SwsContext* in_ = nullptr;
  SwsContext* out_ = nullptr;
  SwsContext* picture_ = nullptr;
  std::vector<uint8_t> upright_;  // top-down rows before turning
};

// Copies byte 3 (alpha) of every pixel from `from` into `to`: the filter
// works on colour and writes 0 there.
void restore_alpha(const HostFrame& from, HostFrame& to);

}  // namespace qnr
