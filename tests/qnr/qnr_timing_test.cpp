// Timing on the video people have: raw camera streams without timestamps,
// recordings joined with cat, encoders and containers that count frames,
// Opus in Matroska, and the last frame of variable-rate video.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "qnr_support.h"

namespace qnr_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// Frames `step` seconds apart, within a tick of the output's clock.
void expect_steady(const std::filesystem::path& file, size_t frames, double step,
                   const std::string& what) {
  const std::vector<double> times = frame_times(file);
  ASSERT_EQ(times.size(), frames) << what;
  const double tick = video_tick(file);
  for (size_t i = 1; i < times.size(); ++i) {
    if (std::isnan(times[i])) continue;
    EXPECT_NEAR(times[i] - times[i - 1], step, tick + 1e-6) << what << " frame " << i;
  }
}

TEST(QnrTiming, RawStreamsAreTimedByTheirFrameRateOrByRate) {
  TempDir dir;
  for (const std::string codec : {"h264", "hevc"}) {
    ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=30", "-frames:v", "30", "-c:v", codec,
            "-x265-params", "log-level=none", dir / ("cam." + codec)});
  }
  struct Case {
    std::string input, output;
    std::vector<std::string> options;
    double step;
  };
  for (const Case& c : std::vector<Case>{{"cam.h264", "out.mp4", {}, 1 / 30.0},
                                         {"cam.h264", "out.mkv", {}, 1 / 30.0},
                                         {"cam.h264", "out.ts", {}, 1 / 30.0},
                                         {"cam.hevc", "out.mkv", {}, 1 / 30.0},
                                         {"cam.h264", "out.mp4", {"--rate", "10"}, 0.1}}) {
    std::vector<std::string> args = {dir / c.input, dir / c.output, "-q", "-y"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Ran ran = qnr(args);
    ASSERT_EQ(ran.status, 0) << c.input << " -> " << c.output << ": " << ran.err;
    expect_steady(dir.path() / c.output, 30, c.step, c.input + " -> " + c.output);
  }
}

// Two recordings with sound joined with cat: their clock jumps back. The
// output runs on without a break, sound beside the video, through files
// and through a pipe.
TEST(QnrTiming, JoinedRecordingsFollowOnInSyncWithANote) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-f", "lavfi", "-i", "sine=d=2", "-t",
          "2", "-c:v", "libx264", "-c:a", "aac", dir / "part.ts"});
  concatenate({dir / "part.ts", dir / "part.ts"}, dir / "joined.ts");
  const double offset = probe_number(dir.path() / "part.ts", "stream=start_time", "a") -
                        probe_number(dir.path() / "part.ts", "stream=start_time", "v");
  const std::string piped = "cat '" + (dir / "joined.ts") + "' | '" + QNR_EXE +
                            "' - - -f mpegts > '" + (dir / "piped.ts") + "'";
  for (const auto& [output, ran] : std::vector<std::pair<std::string, Ran>>{
           {"out.mp4", qnr({dir / "joined.ts", dir / "out.mp4"})},
           {"out.mkv", qnr({dir / "joined.ts", dir / "out.mkv"})},
           {"out.ts", qnr({dir / "joined.ts", dir / "out.ts"})},
           {"piped.ts", run({"sh", "-c", piped})}}) {
    ASSERT_EQ(ran.status, 0) << output << ": " << ran.err;
    EXPECT_THAT(ran.err, HasSubstr("qnr: note: the clock of ")) << output;
    EXPECT_THAT(ran.err, HasSubstr(" jumps once, first at ")) << output;
    const std::filesystem::path file = dir.path() / output;
    expect_steady(file, 100, 0.04, output);
    EXPECT_NEAR(
        probe_number(file, "stream=start_time", "a") - probe_number(file, "stream=start_time", "v"),
        offset, 0.03)
        << output;
    const std::vector<double> sound = frame_times(file, "a:0");
    ASSERT_FALSE(sound.empty()) << output;
    EXPECT_NEAR(sound.back() - sound.front(), 4.0, 0.1) << output;
  }
}

// Number of frames in an animated WebP: its ANMF chunks (ffmpeg 5.1 does
// not decode animations).
int webp_frames(const std::string& path) {
  const std::string bytes = contents(path);
  int frames = 0;
  for (size_t at = bytes.find("ANMF"); at != std::string::npos; at = bytes.find("ANMF", at + 4)) {
    ++frames;
  }
  return frames;
}

// Codecs and containers that count frames get the frame rate as their
// clock: every frame once, at 25 fps, from an input whose clock is 1/1000
// (Matroska) or 1/90000 (a transport stream).
TEST(QnrTiming, EncodersAndContainersThatCountFramesGetEveryFrameAtTheRate) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25,noise=alls=30:allf=t", "-f", "lavfi",
          "-i", "sine=d=1.2:sample_rate=44100", "-t", "1.2", "-c:v", "ffv1", "-c:a", "aac",
          dir / "in.mkv"});
  ffmpeg({"-i", dir / "in.mkv", "-c:v", "libx264", "-c:a", "copy", dir / "in.ts"});
  struct Case {
    std::string input, output;
    std::vector<std::string> options;
    std::string streams;
  };
  const std::vector<Case> cases = {
      {"in.mkv", "out.avi", {}, "video:h264 audio:aac"},
      {"in.mkv", "out.mpg", {}, "video:mpeg2video audio:mp2"},
      {"in.mkv", "out.vob", {}, "video:mpeg2video audio:mp2"},
      {"in.mkv", "out.mxf", {}, "video:mpeg2video audio:pcm_s16le"},
      {"in.mkv", "out.ogv", {}, "video:theora audio:vorbis"},
      {"in.mkv", "out.mkv", {"--codec", "mpeg1video"}, "video:mpeg1video audio:aac"},
      {"in.mkv", "out.mkv", {"--codec", "libtheora"}, "video:theora audio:aac"},
      {"in.ts", "out.mkv", {"--codec", "mpeg4"}, "video:mpeg4 audio:aac"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {dir / c.input, dir / c.output, "-q", "-y"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Ran ran = qnr(args);
    const std::string what =
        c.input + " -> " + c.output + " " + ::testing::PrintToString(c.options);
    ASSERT_EQ(ran.status, 0) << what << ": " << ran.err;
    const std::filesystem::path file = dir.path() / c.output;
    EXPECT_EQ(streams(file), c.streams) << what;
    expect_steady(file, 30, 0.04, what);
  }
  // AVI counts one index entry per frame period: none is empty.
  EXPECT_EQ(probe(dir.path() / "out.avi", "stream=time_base,nb_frames", "v"), "stream,1/25,30\n");
  ASSERT_EQ(qnr({dir / "in.mkv", dir / "out.webp", "-q"}).status, 0);
  EXPECT_EQ(webp_frames(dir / "out.webp"), 30);

  // A variable rate (5 fps, then 50) at MPEG's constant 50: the slow frames
  // are repeated to fill it, with a note.
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=50", "-vf",
          "select='if(lt(t,1),not(mod(n,10)),1)'", "-t", "2", "-fps_mode", "passthrough", "-c:v",
          "ffv1", dir / "vfr.mkv"});
  const Ran ran = qnr({dir / "vfr.mkv", dir / "out.mpg", "-y"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  EXPECT_THAT(ran.err, HasSubstr("qnr: note: 45 frames repeated to fit the 50 fps that the mpeg "
                                 "container needs"));
  expect_steady(dir.path() / "out.mpg", 100, 0.02, "vfr.mkv -> out.mpg");
}

// Opus in Matroska and a video that starts 7 ms after it (its pre-skip):
// each pass keeps both starts exactly.
TEST(QnrTiming, OpusInMatroskaKeepsItsOffsetPassAfterPass) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-f", "lavfi", "-i", "sine=d=1", "-t",
          "1", "-c:v", "ffv1", "-c:a", "libopus", dir / "pass0.mkv"});
  const std::string starts = probe(dir.path() / "pass0.mkv", "stream=codec_type,start_time");
  for (int pass = 1; pass <= 2; ++pass) {
    const std::string from = dir / ("pass" + std::to_string(pass - 1) + ".mkv");
    const std::string to = dir / ("pass" + std::to_string(pass) + ".mkv");
    const Ran ran = qnr({from, to, "--codec", "ffv1", "-q"});
    ASSERT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(probe(to, "stream=codec_type,start_time"), starts) << "pass " << pass;
  }
}

// Frames 0.2 s apart whose last one lasts 0.02 s: the output ends where the
// input does, not a guessed frame period later.
TEST(QnrTiming, TheLastFrameOfVariableRateVideoKeepsItsDuration) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i",
          "testsrc2=size=64x48:rate=5,settb=1/1000,setpts='(N*0.2+0.001*mod(N\\,3))/TB'", "-t", "2",
          "-fps_mode", "passthrough", "-r", "50", "-enc_time_base", "1/1000",
          "-video_track_timescale", "1000", "-c:v", "ffv1", dir / "in.mov"});
  const double end = probe_number(dir.path() / "in.mov", "format=duration");
  ASSERT_NEAR(end - frame_times(dir.path() / "in.mov").back(), 0.02, 1e-6);
  for (const std::string output : {"out.mp4", "out.mkv"}) {
    const Ran ran = qnr({dir / "in.mov", dir / output, "-q"});
    ASSERT_EQ(ran.status, 0) << ran.err;
    EXPECT_NEAR(probe_number(dir.path() / output, "format=duration"), end, 1e-6) << output;
  }
}

}  // namespace
}  // namespace qnr_test
