// qnr end to end: what goes in comes out with the module's frames, and
// everything else of the input where the container takes it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "qnr_support.h"

namespace qnr_test {
namespace {

using ::testing::HasSubstr;

// A clip with audio and a subtitle, lossless video of the given size.
void make_clip(const TempDir& dir, const std::string& name, const std::string& size, int frames) {
  std::ofstream(dir / "subs.srt") << "1\n00:00:00,000 --> 00:00:00,200\nhello\n";
  ffmpeg({"-f",        "lavfi",
          "-i",        "testsrc=size=" + size + ":rate=25,noise=alls=20:allf=t",
          "-f",        "lavfi",
          "-i",        "sine=frequency=440:sample_rate=8000",
          "-i",        dir / "subs.srt",
          "-frames:v", std::to_string(frames),
          "-t",        "0.24",
          "-map",      "0:v",
          "-map",      "1:a",
          "-map",      "2:s",
          "-c:v",      "ffv1",
          "-c:a",      "aac",
          "-c:s",      "subrip",
          dir / name});
}

// MP4 holds text subtitles only in its own format: SubRip becomes that there
// (with a note, which --quiet silences) and is copied into Matroska.
TEST(QnrVideo, OddSizedClipKeepsFrameCountSizeAudioAndSubtitlesInMp4AndMkv) {
  TempDir dir;
  make_clip(dir, "in.mkv", "63x47", 6);

  const Ran mp4 = qnr({dir / "in.mkv", dir / "out.mp4", "--jobs", "2", "--quiet"});
  ASSERT_EQ(mp4.status, 0) << mp4.err;
  EXPECT_EQ(mp4.err, "");
  EXPECT_EQ(probe(dir.path() / "out.mp4", "stream=codec_name,codec_type"),
            "stream,h264,video\nstream,aac,audio\nstream,mov_text,subtitle\n");
  EXPECT_EQ(probe(dir.path() / "out.mp4", "stream=width,height,nb_frames", "v"),
            "stream,63,47,6\n");

  const Ran mkv = qnr({dir / "in.mkv", dir / "out.mkv", "-q"});
  ASSERT_EQ(mkv.status, 0) << mkv.err;
  EXPECT_EQ(probe(dir.path() / "out.mkv", "stream=codec_name,codec_type"),
            "stream,h264,video\nstream,aac,audio\nstream,subrip,subtitle\n");
  EXPECT_EQ(probe(dir.path() / "out.mkv", "stream=width,height", "v"), "stream,63,47\n");
  EXPECT_EQ(decode(dir.path() / "out.mkv").size(), size_t{63} * 47 * 6);
  // Nothing but the finished files is left beside them.
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"in.mkv", "out.mkv", "out.mp4", "subs.srt"}));
}

}  // namespace
}  // namespace qnr_test

namespace qnr_test {
namespace {

// A lossless clip in RGB: ffv1 in, ffv1 out in the input's pixel format, so
// the frames can be compared exactly.
void make_lossless_clip(const TempDir& dir, const std::string& name, int frames) {
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25,noise=alls=30:allf=t", "-frames:v",
          std::to_string(frames), "-c:v", "ffv1", "-pix_fmt", "bgr0", dir / name});
}

TEST(QnrFrames, OutputFramesAreExactlyWhatTheModuleGivesForEverySettingAndJobCount) {
  TempDir dir;
  make_lossless_clip(dir, "in.mkv", 5);
  const std::vector<uint32_t> input = decode(dir.path() / "in.mkv");
  ASSERT_EQ(input.size(), size_t{64} * 48 * 5);

  struct Case {
    std::vector<std::string> options;
    FilterSettings settings;
  };
  const std::vector<Case> cases = {
      {{}, {}},
      // Single options override the replayed line.
      {{"--config", "Config(60,80,3,1,1)", "--sharp", "5"}, {60, 80, 5, 1}},
      {{"--f1", "100", "--f2", "0", "--interlace"}, {100, 0, 2, 1}},
      // A line copied from a saved host script, prefix and all.
      {{"--config", "VirtualDub.video.filters.instance[0].Config(150,-3,9,0,0);"}, {150, -3, 9, 0}},
      {{"--show-noise", "--f1", "40"}, {40, 70, 2, 0, 1}},
      {{"--disable"}, {70, 70, 2, 0, 0, 1}},
  };
  for (const Case& c : cases) {
    std::vector<uint32_t> expected = filter_with_module(input, 64, 48, c.settings);
    if (c.settings.disable) {
      EXPECT_EQ(expected, input);
    }
    for (const char* jobs : {"1", "3"}) {
      std::vector<std::string> args = {dir / "in.mkv", dir / "out.mkv", "--codec", "ffv1", "-q",
                                       "-y",           "--jobs",        jobs};
      args.insert(args.end(), c.options.begin(), c.options.end());
      const Ran ran = qnr(args);
      ASSERT_EQ(ran.status, 0) << ran.err;
      EXPECT_EQ(decode(dir.path() / "out.mkv"), expected)
          << "options " << ::testing::PrintToString(c.options) << " jobs " << jobs;
    }
  }
}

TEST(QnrFrames, ImageInImageOutIsTheModulesFrame) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc=size=65x33,noise=alls=25:allf=t", "-frames:v", "1",
          dir / "in.png"});
  const Ran ran = qnr({dir / "in.png", dir / "out.png", "-q", "--f2", "90"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  const std::vector<uint32_t> input = decode(dir.path() / "in.png");
  ASSERT_EQ(input.size(), size_t{65} * 33);
  EXPECT_EQ(decode(dir.path() / "out.png"), filter_with_module(input, 65, 33, {70, 90, 2, 0}));

  // A video into an image: its first frame.
  make_lossless_clip(dir, "clip.mkv", 3);
  const Ran first = qnr({dir / "clip.mkv", dir / "first.png", "-q"});
  ASSERT_EQ(first.status, 0) << first.err;
  std::vector<uint32_t> frames = decode(dir.path() / "clip.mkv");
  frames.resize(size_t{64} * 48);
  EXPECT_EQ(decode(dir.path() / "first.png"), filter_with_module(frames, 64, 48, {}));
}

TEST(QnrFeedback, ProgressGoesToStderrWithAClosingLineAndQuietSilencesIt) {
  TempDir dir;
  make_lossless_clip(dir, "in.mkv", 4);
  const Ran ran = qnr({dir / "in.mkv", dir / "out.mkv"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  EXPECT_THAT(ran.err, ::testing::ContainsRegex("^4 frames in [0-9.]+ s \\([0-9.]+ fps\\)\n$"));
  EXPECT_EQ(ran.out, "");
}

TEST(QnrCommands, InfoNamesTheFilter) {
  const Ran info = qnr({"info"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_THAT(info.out, HasSubstr("filter:      QNR 3.6.1 CUDA (x64)\n"));
  EXPECT_THAT(info.out,
              HasSubstr("description: Velmora (QNR) 3.6.1, CUDA-accelerated x64 build\n"));
  EXPECT_THAT(info.out, HasSubstr("QNR_CUDA.vdf\n"));
  EXPECT_THAT(info.out, HasSubstr("CUDA driver: "));
}

// The demo's grain has a standard deviation of 4 levels (a PSNR of
// 20 log10(255 / 4) = 36.09 dB), and the filter at its defaults takes a clear
// share of it out even at this small size (more at the default 1280x720).
TEST(QnrCommands, DemoTakesGrainOutAndWritesItsFiles) {
  TempDir dir;
  const Ran demo = qnr({"demo", dir / "demo", "--size", "640x360", "--frames", "4", "-q"});
  ASSERT_EQ(demo.status, 0) << demo.err;
  double noisy = 0, filtered = 0;
  const size_t at = demo.out.find("clean clip: with grain ");
  ASSERT_NE(at, std::string::npos) << demo.out;
  ASSERT_EQ(std::sscanf(demo.out.c_str() + at, "clean clip: with grain %lf dB, filtered %lf dB",
                        &noisy, &filtered),
            2)
      << demo.out;
  EXPECT_NEAR(noisy, 36.09, 0.1);
  EXPECT_GT(filtered, noisy + 0.5);
  EXPECT_THAT(demo.out, HasSubstr(" Mpixel/s (one instance"));
  EXPECT_THAT(demo.out, ::testing::EndsWith("qnr tune yourvideo.mp4\n"));

  const auto demo_file = [&](const std::string& name) { return dir.path() / "demo" / name; };
  // A quarter of the frame each way at 200 %, side by side with a gap, under a label strip.
  EXPECT_EQ(probe(demo_file("before-after.png"), "stream=width,height"), "stream,648,204\n");
  EXPECT_EQ(probe(demo_file("noise.png"), "stream=width,height"), "stream,640,360\n");
  for (const char* clip : {"noisy.mp4", "filtered.mp4"}) {
    EXPECT_EQ(probe(demo_file(clip), "stream=codec_name,width,height,nb_frames", "v"),
              "stream,h264,640,360,4\n")
        << clip;
  }
}

}  // namespace
}  // namespace qnr_test

namespace qnr_test {
namespace {

TEST(QnrVideo, RotatedVideoComesOutUprightWithTheModulesFrames) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc=size=48x32:rate=25,noise=alls=20:allf=t", "-frames:v", "3",
          "-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv444p", dir / "flat.mp4"});
  ffmpeg(
      {"-i", dir / "flat.mp4", "-c", "copy", "-metadata:s:v:0", "rotate=90", dir / "turned.mp4"});
  // In the filter's own format, so the frames can be compared exactly.
  const Ran ran = qnr({dir / "turned.mp4", dir / "out.mkv", "--codec", "ffv1", "-q", "--rgb", "--",
                       "-pix_fmt", "bgr0"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  EXPECT_EQ(probe(dir.path() / "out.mkv", "stream=width,height", "v"), "stream,32,48\n");
  EXPECT_EQ(decode(dir.path() / "out.mkv"),
            filter_with_module(decode(dir.path() / "turned.mp4"), 32, 48, {}));
}

// Phone video stands upright: 1080 wide is 8 more than a multiple of 16, a
// width whose conversion once wrote past the bitmap.
TEST(QnrVideo, PortraitPhoneVideoIsFilteredLikeAnyOther) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=1080x1920:rate=30", "-frames:v", "1", "-c:v",
          "libx264", "-pix_fmt", "yuv420p", dir / "portrait.mp4"});
  const Ran ran = qnr({dir / "portrait.mp4", dir / "out.mkv", "--codec", "ffv1", "-q", "--rgb",
                       "--", "-pix_fmt", "bgr0"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  EXPECT_EQ(decode(dir.path() / "out.mkv"),
            filter_with_module(decode(dir.path() / "portrait.mp4"), 1080, 1920, {}));
}

}  // namespace
}  // namespace qnr_test
