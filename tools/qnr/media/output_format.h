// What an output gets from its name (or -f): the container, the video codec
// and quality each container gets by default, the muxer settings qnr adds,
// and the codecs a container's audio and text subtitles are converted into
// when it cannot hold them as they are.
#pragma once

#include "media/libav.h"
#include "media/output_request.h"

namespace qnr {

struct Container {
  const AVOutputFormat* format = nullptr;
  bool single_image = false;  // an image file: one picture, the first frame
};

// From -f, else from the name. Throws Failure (usage status) when neither
// names a container, or the output is streamed and the container cannot be.
Container choose_container(const OutputRequest& request);

// --codec, else the container's default with the default quality options
// the user did not give; the encoder's own banners silenced. Throws Failure.
const AVCodec* choose_video_codec(const OutputRequest& request, const AVOutputFormat* format,
                                  Dictionary& encoder_options);

// Settings each container gets unless the user gave them.
void add_muxer_defaults(const AVOutputFormat* format, bool streamed, Dictionary& muxer_options);
// The same for those that depend on the video encoder's time base.
void add_video_muxer_defaults(const AVOutputFormat* format, AVRational video_time_base,
                              Dictionary& muxer_options);

// The audio codec the container's audio is re-encoded into; null where qnr
// leaves such audio out.
const char* audio_codec_for(const AVOutputFormat* format);
// The sample rate the container's audio must have; 0 where any will do.
int audio_sample_rate_for(const AVOutputFormat* format);
// The text subtitle codec the container holds; null where it has none.
const char* text_subtitle_codec_for(const AVOutputFormat* format);

}  // namespace qnr
