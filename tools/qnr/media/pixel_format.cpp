#include "media/pixel_format.h"

#include <algorithm>
#include <vector>

namespace qnr {

namespace {

bool subsampled_across_odd_side(AVPixelFormat format, int32_t width, int32_t height) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  return desc != nullptr && ((desc->log2_chroma_w > 0 && width % 2 != 0) ||
                             (desc->log2_chroma_h > 0 && height % 2 != 0));
}

// The codec's formats that the scaler writes; a palette only for GIF.
std::vector<AVPixelFormat> candidates(const AVCodec* codec) {
  std::vector<AVPixelFormat> usable;
  for (const AVPixelFormat* f = codec->pix_fmts; f != nullptr && *f != AV_PIX_FMT_NONE; ++f) {
    if (*f != AV_PIX_FMT_PAL8 && sws_isSupportedOutput(*f) > 0) usable.push_back(*f);
  }
  return usable;
}

// The nearest to `source` of `usable` (the source itself when there), as
// ffmpeg picks a format for an encoder.
AVPixelFormat nearest(std::vector<AVPixelFormat> usable, AVPixelFormat source, bool alpha) {
  if (std::find(usable.begin(), usable.end(), source) != usable.end()) return source;
  usable.push_back(AV_PIX_FMT_NONE);
  return avcodec_find_best_pix_fmt_of_list(usable.data(), source, alpha ? 1 : 0, nullptr);
}

// A palette is a way of storing a picture, not a layout to keep: the
// filtered picture needs colours of its own.
AVPixelFormat comparable_source(const PixelFormatChoice& choice) {
  if (choice.source == AV_PIX_FMT_NONE || choice.source == AV_PIX_FMT_PAL8) {
    return choice.alpha ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR0;
  }
  return choice.source;
}

}  // namespace

int bits_per_channel(AVPixelFormat format) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  if (desc == nullptr) return 8;
  int bits = 0;
  for (int c = 0; c < desc->nb_components; ++c) bits = std::max(bits, desc->comp[c].depth);
  return bits;
}

AVPixelFormat choose_pixel_format(const PixelFormatChoice& choice) {
  const AVCodec* codec = choice.codec;
  if (codec->id == AV_CODEC_ID_GIF) return AV_PIX_FMT_PAL8;
  const AVPixelFormat source = comparable_source(choice);
  std::vector<AVPixelFormat> usable = candidates(codec);
  // JPEG readers take YUV as full range with the BT.601 matrix, whatever a
  // file says: the formats that are full range by definition.
  if (codec->id == AV_CODEC_ID_MJPEG) {
    usable = {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUVJ444P};
  }
  if (usable.empty()) return codec->pix_fmts != nullptr ? codec->pix_fmts[0] : source;
  AVPixelFormat chosen = nearest(usable, source, choice.alpha);
  // x264 and x265 refuse halved chroma across an odd side: keep the size,
  // not the subsampling.
  if (one_of(codec->name, {"libx264", "libx265"}) &&
      subsampled_across_odd_side(chosen, choice.width, choice.height)) {
    std::erase_if(usable, [&](AVPixelFormat f) {
      return subsampled_across_odd_side(f, choice.width, choice.height);
    });
    if (!usable.empty()) chosen = nearest(usable, source, choice.alpha);
  }
  return chosen;
}

}  // namespace qnr
