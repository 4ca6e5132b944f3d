// The pieces of qnr that decide things on their own: the settings-line
// reader, the reading of ffprobe's report, and the encoder's command line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "ffmpeg_commands.h"
#include "probe.h"
#include "script_line.h"

namespace qnr {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(ScriptLine, ReadsTheLinesHostsStore) {
  ScriptCall call;
  std::string error;
  ASSERT_TRUE(parse_script_line("  Config( 70 , -3,+2,0,2147483647 ) ", call, error)) << error;
  EXPECT_EQ(call.name, "Config");
  EXPECT_THAT(call.arguments, ElementsAre(70, -3, 2, 0, 2147483647));
  ASSERT_TRUE(parse_script_line("VirtualDub.video.filters.instance[12].Config(1,2,3,4,-2147483648)",
                                call, error)) << error;
  EXPECT_THAT(call.arguments, ElementsAre(1, 2, 3, 4, -2147483648));
  ASSERT_TRUE(parse_script_line("Reset();", call, error)) << error;
  EXPECT_EQ(call.name, "Reset");
  EXPECT_TRUE(call.arguments.empty());
}

TEST(ScriptLine, RejectsWhatAHostWouldNotRun) {
  ScriptCall call;
  std::string error;
  for (const char* line : {"Config 70,70,2,0,1", "(70)", "Config(70,,2)", "Config(70,70,2,0,1);;",
                           "Config(2147483648)", "Config(0x10)", "Config(-)", "9Config(1)",
                           "VirtualDub.video.filters.instance[x].Config(1)"}) {
    EXPECT_FALSE(parse_script_line(line, call, error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
}

const char* kProbeReport =
    "[STREAM]\nindex=0\ncodec_name=h264\ncodec_type=video\nwidth=1920\nheight=1080\n"
    "sample_aspect_ratio=4:3\ncolor_range=tv\ncolor_space=bt709\ncolor_transfer=bt709\n"
    "color_primaries=bt709\nr_frame_rate=30000/1001\navg_frame_rate=0/0\nnb_frames=N/A\n"
    "[SIDE_DATA]\nrotation=-90\n[/SIDE_DATA]\n[/STREAM]\n"
    "[STREAM]\nindex=1\ncodec_name=pcm_s16le\ncodec_type=audio\n[/STREAM]\n"
    "[STREAM]\nindex=2\ncodec_name=hdmv_pgs_subtitle\ncodec_type=subtitle\n[/STREAM]\n"
    "[STREAM]\nindex=3\ncodec_name=ass\ncodec_type=subtitle\n[/STREAM]\n"
    "[FORMAT]\nduration=10.010000\n[/FORMAT]\n";

TEST(Probe, ReadsSizeRateFramesAndStreamsFromFfprobesReport) {
  MediaInfo info;
  std::string error;
  ASSERT_TRUE(parse_probe_output(kProbeReport, info, error)) << error;
  // A quarter turn: ffmpeg decodes it upright, so the sides swap.
  EXPECT_EQ(info.width, 1080);
  EXPECT_EQ(info.height, 1920);
  EXPECT_EQ(info.frame_rate.text(), "30000/1001");
  EXPECT_FALSE(info.frame_count.has_value());
  EXPECT_EQ(info.estimated_frames, 300);
  EXPECT_EQ(info.sample_aspect.text(), "4/3");
  EXPECT_EQ(info.color_space, "bt709");
  ASSERT_EQ(info.streams.size(), 4u);
  EXPECT_EQ(info.streams[2].codec, "hdmv_pgs_subtitle");

  EXPECT_FALSE(parse_probe_output("[STREAM]\nindex=0\ncodec_type=audio\n[/STREAM]\n", info, error));
  EXPECT_EQ(error, "it has no video stream");
  EXPECT_FALSE(parse_probe_output("[STREAM]\ncodec_type=video\nwidth=0\nheight=5\n[/STREAM]\n",
                                  info, error));
}

bool has_pair(const std::vector<std::string>& argv, const std::string& a, const std::string& b) {
  for (size_t i = 0; i + 1 < argv.size(); ++i) {
    if (argv[i] == a && argv[i + 1] == b) return true;
  }
  return false;
}

TEST(EncoderCommand, FitsTheInputsStreamsToTheContainer) {
  MediaInfo info;
  std::string error;
  ASSERT_TRUE(parse_probe_output(kProbeReport, info, error));
  EncodeRequest request{&info, "in.mkv", "out.mp4", "mp4", "", {"-crf", "20"}};
  const std::vector<std::string> mp4 = encoder_command(request);
  EXPECT_TRUE(has_pair(mp4, "-s", "1080x1920"));
  EXPECT_TRUE(has_pair(mp4, "-framerate", "30000/1001"));
  EXPECT_TRUE(has_pair(mp4, "-c:v", "libx264"));
  EXPECT_TRUE(has_pair(mp4, "-pix_fmt", "yuv420p"));
  // PCM does not go into MP4: it becomes AAC; picture subtitles are dropped,
  // text subtitles become MP4's own.
  EXPECT_TRUE(has_pair(mp4, "-map", "1:1"));
  EXPECT_TRUE(has_pair(mp4, "-c:a:0", "aac"));
  EXPECT_FALSE(has_pair(mp4, "-map", "1:2"));
  EXPECT_TRUE(has_pair(mp4, "-map", "1:3"));
  EXPECT_TRUE(has_pair(mp4, "-c:s:0", "mov_text"));
  // Colours go back through the matrix they came in with.
  EXPECT_TRUE(has_pair(mp4, "-vf", "scale=out_color_matrix=bt709:out_range=limited,setsar=4/3"));
  EXPECT_TRUE(has_pair(mp4, "-colorspace", "bt709"));
  // The user's options come last, so they win.
  EXPECT_EQ(std::vector<std::string>(mp4.end() - 3, mp4.end() - 1),
            (std::vector<std::string>{"-crf", "20"}));

  request.extension = "mkv";
  request.extra.clear();
  const std::vector<std::string> mkv = encoder_command(request);
  EXPECT_TRUE(has_pair(mkv, "-c:a:0", "copy"));
  EXPECT_TRUE(has_pair(mkv, "-c:s:0", "copy"));
  EXPECT_TRUE(has_pair(mkv, "-c:s:1", "copy"));

  info.width = 1081;
  request.codec = "libx264";
  EXPECT_TRUE(has_pair(encoder_command(request), "-pix_fmt", "yuv444p"));
  request.codec = "ffv1";
  const std::vector<std::string> ffv1 = encoder_command(request);
  EXPECT_TRUE(has_pair(ffv1, "-c:v", "ffv1"));
  EXPECT_EQ(std::count(ffv1.begin(), ffv1.end(), "-crf"), 0);

  // An image takes one frame and nothing else from the input.
  request = {&info, "in.mkv", "out.png", "png", "", {}};
  const std::vector<std::string> png = encoder_command(request);
  EXPECT_EQ(std::count(png.begin(), png.end(), "-i"), 1);
  EXPECT_TRUE(has_pair(png, "-frames:v", "1"));
  EXPECT_TRUE(has_pair(png, "-pix_fmt", "rgb24"));
}

}  // namespace
}  // namespace qnr
