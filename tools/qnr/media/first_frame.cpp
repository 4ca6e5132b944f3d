#include "media/first_frame.h"

#include <cstdio>
#include <utility>

#include "base/failure.h"
#include "base/record_text.h"
#include "media/damage.h"
#include "media/decode_loop.h"
#include "media/media_input.h"

namespace qnr {

namespace {

// What the pixel format alone decides.
void take_format(AVPixelFormat format, FirstFrame& first) {
  first.source_format = format;
  first.alpha = has_alpha(format);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  first.yuv = desc != nullptr && !(desc->flags & AV_PIX_FMT_FLAG_RGB) && desc->nb_components >= 3;
}

constexpr char kTextFormat[] =
    "%dx%d format=%d interlaced=%d top_field_first=%d sample_aspect=%d/%d colorspace=%d "
    "primaries=%d transfer=%d range=%d";

}  // namespace

FirstFrame describe_first_frame(const AVFrame& frame, const AVStream& stream,
                                Orientation orientation) {
  const bool turned = swaps_sides(orientation);
  FirstFrame first;
  first.width = turned ? frame.height : frame.width;
  first.height = turned ? frame.width : frame.height;
  take_format(static_cast<AVPixelFormat>(frame.format), first);
  first.interlaced = frame.interlaced_frame != 0;
  first.top_field_first = !frame.interlaced_frame || frame.top_field_first != 0;
  AVRational sar = frame.sample_aspect_ratio;
  if (sar.num <= 0 || sar.den <= 0) sar = stream.sample_aspect_ratio;
  if (sar.num <= 0 || sar.den <= 0) sar = {0, 1};
  if (turned && sar.num > 0) std::swap(sar.num, sar.den);
  first.sample_aspect = sar;
  first.colorspace = frame.colorspace;
  first.primaries = frame.color_primaries;
  first.transfer = frame.color_trc;
  first.range = frame.color_range;
  return first;
}

FirstFrame read_first_frame(const std::string& name, int video_stream) {
  const std::unique_ptr<MediaInput> input = open_media_input(name, video_stream);
  // Damage is the run's to count; here only the first frame matters.
  DamageLog damage(name, false);
  DecodeLoop loop(*input, damage);
  FramePtr frame = new_frame();
  if (!loop.next(frame.get())) {
    throw Failure(
        "the video stream of " + name + " has no frames (is the file damaged or cut short?)",
        kExitCannotRetry);
  }
  const AVStream& stream = *input->video_stream();
  return describe_first_frame(*frame, stream,
                              frame_orientation(*frame, stream_orientation(stream)));
}

std::string first_frame_text(const FirstFrame& first) {
  char text[256];
  std::snprintf(text, sizeof text, kTextFormat, first.width, first.height,
                static_cast<int>(first.source_format), first.interlaced ? 1 : 0,
                first.top_field_first ? 1 : 0, first.sample_aspect.num, first.sample_aspect.den,
                static_cast<int>(first.colorspace), static_cast<int>(first.primaries),
                static_cast<int>(first.transfer), static_cast<int>(first.range));
  return text;
}

namespace {

// Whether a number read from a record names one of FFmpeg's colour
// properties: any other value would not fit the enum it is kept in.
bool in_enum(int value, int count) { return value >= 0 && value < count; }

}  // namespace

FirstFrame first_frame_from_text(const std::string& text) {
  int width = 0, height = 0, format = 0, interlaced = 0, top_first = 0, sar_num = 0, sar_den = 0,
      colorspace = 0, primaries = 0, transfer = 0, range = 0, used = 0;
  const std::string with_end = std::string(kTextFormat) + "%n";
  const int got =
      std::sscanf(text.c_str(), with_end.c_str(), &width, &height, &format, &interlaced, &top_first,
                  &sar_num, &sar_den, &colorspace, &primaries, &transfer, &range, &used);
  if (got != 11 || used != static_cast<int>(text.size()) || width <= 0 || height <= 0 ||
      av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format)) == nullptr || sar_den <= 0 ||
      interlaced < 0 || interlaced > 1 || top_first < 0 || top_first > 1 ||
      !in_enum(colorspace, AVCOL_SPC_NB) || !in_enum(primaries, AVCOL_PRI_NB) ||
      !in_enum(transfer, AVCOL_TRC_NB) || !in_enum(range, AVCOL_RANGE_NB)) {
    throw RecordError("its first frame is malformed: \"" + text + "\"");
  }
  FirstFrame first;
  first.width = width;
  first.height = height;
  take_format(static_cast<AVPixelFormat>(format), first);
  first.interlaced = interlaced == 1;
  first.top_field_first = top_first == 1;
  first.sample_aspect = {sar_num, sar_den};
  first.colorspace = static_cast<AVColorSpace>(colorspace);
  first.primaries = static_cast<AVColorPrimaries>(primaries);
  first.transfer = static_cast<AVColorTransferCharacteristic>(transfer);
  first.range = static_cast<AVColorRange>(range);
  return first;
}

}  // namespace qnr
