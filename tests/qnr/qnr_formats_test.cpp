// What the encoder gets: the input's depth and chroma layout, JPEG's own
// colour matrix, subtitles Matroska holds, and encoders that keep quiet.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "qnr_support.h"

namespace qnr_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(QnrFormats, ThePixelFormatFollowsTheInput) {
  TempDir dir;
  const std::string clip = "testsrc2=size=64x48:rate=25";
  ffmpeg({"-f", "lavfi", "-i", clip, "-t", "0.2", "-c:v", "libx264", "-pix_fmt", "yuv420p10le",
          "-color_primaries", "bt2020", "-color_trc", "smpte2084", "-colorspace", "bt2020nc",
          dir / "hdr10.mkv"});
  ffmpeg({"-f", "lavfi", "-i", clip, "-t", "0.2", "-c:v", "prores_ks", "-pix_fmt", "yuv422p10le",
          dir / "prores.mov"});
  ffmpeg({"-f", "lavfi", "-i", clip, "-t", "0.2", "-c:v", "libx264", dir / "camera.mp4"});
  ffmpeg({"-f", "lavfi", "-i", clip, "-frames:v", "1", "-pix_fmt", "rgb48be", dir / "deep.png"});
  ffmpeg({"-f", "lavfi", "-i", clip, "-frames:v", "1", "-pix_fmt", "gray", dir / "grey.png"});
  struct Case {
    std::string input, output;
    std::vector<std::string> options;
    std::string stream;  // codec, pixel format, transfer
    bool deeper;         // more than 8 bits written as the filter's 8-bit RGB: a note says so
  };
  const std::vector<Case> cases = {
      {"hdr10.mkv", "out.mp4", {}, "h264,yuv420p10le,smpte2084", false},
      {"hdr10.mkv", "rgb.mp4", {"--rgb"}, "h264,yuv420p10le,smpte2084", true},
      {"hdr10.mkv", "out.mkv", {"--codec", "libx265"}, "hevc,yuv420p10le,smpte2084", false},
      {"prores.mov", "out.mov", {"--codec", "prores_ks"}, "prores,yuv422p10le,unknown", false},
      {"prores.mov", "out.mp4", {}, "h264,yuv422p10le,unknown", false},
      {"camera.mp4", "out.mkv", {"--codec", "libx265"}, "hevc,yuv420p,unknown", false},
      {"camera.mp4", "out.mkv", {"--codec", "ffv1"}, "ffv1,yuv420p,unknown", false},
      {"deep.png", "out.png", {}, "png,rgb48be,unknown", false},
      {"grey.png", "out.png", {}, "png,gray,unknown", false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {dir / c.input, dir / c.output, "-y"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Ran ran = qnr(args);
    const std::string what =
        c.input + " -> " + c.output + " " + ::testing::PrintToString(c.options);
    ASSERT_EQ(ran.status, 0) << what << ": " << ran.err;
    EXPECT_EQ(probe(dir.path() / c.output, "stream=codec_name,pix_fmt,color_transfer", "v"),
              "stream," + c.stream + "\n")
        << what;
    const std::string depth_note = "qnr: note: the filter works at 8 bits per channel";
    EXPECT_EQ(ran.err.find(depth_note) != std::string::npos, c.deeper) << what;
  }
}

// Peak signal-to-noise ratio of two pictures' colour bytes, in dB.
double psnr(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    for (int shift = 0; shift < 24; shift += 8) {
      const double d = double((a[i] >> shift) & 0xFF) - double((b[i] >> shift) & 0xFF);
      sum += d * d;
    }
  }
  return 10 * std::log10(255.0 * 255.0 / (sum / (3.0 * a.size())));
}

// HD video carries BT.709; JPEG readers decode BT.601 whatever the picture
// came with. Unfiltered, the JPEG's colours are the input's.
TEST(QnrFormats, JpegFromHdVideoShowsTheInputsColours) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240", "-frames:v", "1", "-c:v", "libx264", "-qp",
          "0", "-pix_fmt", "yuv444p", "-colorspace", "bt709", "-color_primaries", "bt709",
          "-color_trc", "bt709", dir / "hd.mkv"});
  const Ran ran = qnr({dir / "hd.mkv", dir / "still.jpg", "--disable", "-q"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  const std::vector<uint32_t> in = decode(dir.path() / "hd.mkv");
  const std::vector<uint32_t> out = decode(dir.path() / "still.jpg");
  ASSERT_EQ(in.size(), out.size());
  EXPECT_GT(psnr(in, out), 40.0);
}

TEST(QnrFormats, MovTextSubtitlesBecomeAssInMatroska) {
  TempDir dir;
  write_bytes(dir / "subs.srt", "1\n00:00:00,000 --> 00:00:00,400\nhello\n");
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-i", dir / "subs.srt", "-t", "0.4",
          "-c:v", "libx264", "-c:s", "mov_text", dir / "in.mp4"});
  const Ran ran = qnr({dir / "in.mp4", dir / "out.mkv"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  EXPECT_THAT(ran.err, HasSubstr("qnr: note: subtitle stream 1 (mov_text) converted to ass for "
                                 "the matroska container"));
  EXPECT_EQ(streams(dir.path() / "out.mkv"), "video:h264 subtitle:ass");
  const Ran text = run({"ffmpeg", "-nostdin", "-loglevel", "error", "-i", dir / "out.mkv", "-map",
                        "0:s", "-f", "srt", "-"});
  EXPECT_THAT(text.out, HasSubstr("hello"));
}

// Containers named without --codec get one: NUT down a pipe, YUV4MPEG, APNG.
TEST(QnrFormats, NutY4mAndApngGetACodecByName) {
  TempDir dir;
  make_clip(dir / "in.mkv", 3);
  struct Case {
    std::vector<std::string> output;
    std::string file, codec;
  };
  const std::vector<Case> cases = {
      {{"-f", "nut", "-"}, "out.nut", "ffv1"},
      {{dir / "out.y4m"}, "out.y4m", "rawvideo"},
      {{dir / "out.apng"}, "out.apng", "apng"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {dir / "in.mkv", "-q", "-y"};
    args.insert(args.end(), c.output.begin(), c.output.end());
    const Ran ran = qnr(args);
    ASSERT_EQ(ran.status, 0) << c.file << ": " << ran.err;
    if (c.output.back() == "-") write_bytes(dir / c.file, ran.out);
    EXPECT_EQ(probe(dir.path() / c.file, "stream=codec_name", "v"), "stream," + c.codec + "\n");
    EXPECT_EQ(decode(dir.path() / c.file).size(), size_t{3} * 64 * 48) << c.file;
  }
}

// WebM's VP9 alpha is read (FFmpeg's own VP9 decoder skips it) and kept.
TEST(QnrFormats, Vp9AlphaInWebmIsKept) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i",
          "testsrc2=size=64x48,format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='X*4'",
          "-frames:v", "1", "-c:v", "libvpx-vp9", "-pix_fmt", "yuva420p", dir / "in.webm"});
  const Ran ran = qnr({dir / "in.webm", dir / "out.png", "-q"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  const std::vector<uint32_t> out = decode_with_alpha(dir.path() / "out.png");
  ASSERT_EQ(out.size(), size_t{64} * 48);
  EXPECT_LT(out[64] >> 24, 16u);        // left edge: transparent
  EXPECT_GT(out[64 + 63] >> 24, 200u);  // right edge: nearly opaque
}

// x265 and SVT-AV1 print their banners themselves, past the libraries' log.
TEST(QnrFormats, EncoderBannersStaySilentUnderQuiet) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=128x96:rate=25", "-frames:v", "3", "-c:v", "ffv1",
          dir / "in.mkv"});
  for (const char* codec : {"libx265", "libsvtav1"}) {
    const Ran ran = qnr({dir / "in.mkv", dir / "out.mkv", "--codec", codec, "-q", "-y"});
    EXPECT_EQ(ran.status, 0) << codec;
    EXPECT_EQ(ran.err, "") << codec;
  }
}

}  // namespace
}  // namespace qnr_test
