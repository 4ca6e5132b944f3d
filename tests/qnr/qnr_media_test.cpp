// What qnr keeps of a real-world input: each frame's timestamp, each stream
// once, the picture's fields, alpha and orientation, and what it says about
// inputs it cannot filter. Inputs are made by ffmpeg from its test sources.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "qnr_support.h"

namespace qnr_test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

const std::string kSource = "testsrc2=size=64x48:rate=50";

// Every output frame at its input frame's time, within one tick of the
// output's time base: constant rate, a rate that changes from 5 to 50 fps,
// and video that starts a second after its audio.
TEST(QnrTiming, EachFrameKeepsItsTimestamp) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", kSource, "-vf", "select='if(lt(t,2),not(mod(n,10)),1)'", "-t", "4",
          "-fps_mode", "passthrough", "-c:v", "ffv1", dir / "vfr.mkv"});
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-t", "1", "-c:v", "ffv1",
          dir / "video.mkv"});
  ffmpeg({"-f", "lavfi", "-i", "sine=d=2", "-c:a", "aac", dir / "audio.m4a"});
  ffmpeg({"-itsoffset", "1", "-i", dir / "video.mkv", "-i", dir / "audio.m4a", "-map", "0", "-map",
          "1", "-c", "copy", dir / "late.mkv"});
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=30000/1001", "-t", "1", "-c:v",
          "mpeg2video", dir / "ntsc.ts"});

  for (const std::string input : {"vfr.mkv", "late.mkv", "ntsc.ts"}) {
    const std::vector<double> expected = frame_times(dir.path() / input);
    ASSERT_GT(expected.size(), 10u) << input;
    for (const std::string ext : {"mp4", "mkv", "ts"}) {
      const std::string output = "out." + ext;
      const Ran ran = qnr({dir / input, dir / output, "-q", "-y"});
      ASSERT_EQ(ran.status, 0) << input << " -> " << output << ": " << ran.err;
      const std::vector<double> got = frame_times(dir.path() / output);
      ASSERT_EQ(got.size(), expected.size()) << input << " -> " << output;
      const double tick = video_tick(dir.path() / output);
      // A transport stream has no negative timestamps: when the encoder's
      // reordering needs some, the muxer moves every stream by the same delay.
      const double shift = ext == "ts" ? got[0] - expected[0] : 0.0;
      EXPECT_LT(shift, 0.5) << input << " -> " << output;
      for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_NEAR(got[i] - shift, expected[i], 2 * tick + 1e-9)
            << input << " -> " << output << " frame " << i;
      }
    }
  }
  // Sound keeps its own timing beside the late video.
  const Ran ran = qnr({dir / "late.mkv", dir / "late.mp4", "-q"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  EXPECT_EQ(probe(dir.path() / "late.mp4", "stream=codec_type,start_time"),
            "stream,video,1.023000\nstream,audio,0.000000\n");
}

// Where the last video packet ends, in seconds.
double video_end(const std::filesystem::path& file) {
  const std::string text = run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                "packet=dts_time,duration_time", "-of", "csv=p=0", file.string()})
                               .out;
  const size_t line = text.find_last_of('\n', text.size() - 2);
  const std::string last = text.substr(line == std::string::npos ? 0 : line + 1);
  return std::stod(last) + std::stod(last.substr(last.find(',') + 1));
}

// A slideshow into a constant-rate container keeps its last picture's time;
// GIF from 60 fps merges frames so that no delay is under 2 centiseconds.
TEST(QnrTiming, SlideshowsAndFastGifsKeepTheirTime) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=1/10", "-t", "30", "-c:v", "ffv1",
          dir / "slides.mkv"});
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=60", "-t", "0.5", "-c:v", "ffv1",
          dir / "fast.mkv"});
  struct Case {
    std::string input, output;
    double seconds;
    std::string note;
  };
  const std::vector<Case> cases = {
      {"slides.mkv", "out.mpg", 30, "frames repeated to fit"},
      {"fast.mkv", "out.gif", 0.5, "frames merged into the frame before"},
  };
  for (const Case& c : cases) {
    const Ran ran = qnr({dir / c.input, dir / c.output, "-y"});
    ASSERT_EQ(ran.status, 0) << c.output << ": " << ran.err;
    EXPECT_NEAR(video_end(dir.path() / c.output), c.seconds, 0.2) << c.output;
    EXPECT_THAT(ran.err, HasSubstr(c.note)) << c.output;
  }
  const std::vector<double> times = frame_times(dir.path() / "out.gif");
  for (size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], 0.0199) << i;
}

// A transport stream with two audio tracks and every container qnr fills by
// default: each kept stream once; audio a container cannot hold re-encoded
// into its usual codec, anything else left out; a note, never a failure.
TEST(QnrStreams, EachStreamOnceAndWhatTheContainerCannotHoldIsLeftOutWithANote) {
  TempDir dir;
  ffmpeg({"-f",     "lavfi",      "-i",         "testsrc2=size=64x48:rate=25",
          "-f",     "lavfi",      "-i",         "sine=d=1",
          "-f",     "lavfi",      "-i",         "sine=d=1:f=880",
          "-t",     "1",          "-map",       "0",
          "-map",   "1",          "-map",       "2",
          "-c:v",   "mpeg2video", "-c:a:0",     "mp2",
          "-c:a:1", "aac",        dir / "in.ts"});
  struct Case {
    std::string output;
    std::string streams;
    std::string note;  // "" when none
  };
  const std::vector<Case> cases = {
      {"out.mkv", "video:h264 audio:mp2 audio:aac", ""},
      {"out.ts", "video:h264 audio:mp2 audio:aac", ""},
      {"out.m2ts", "video:h264 audio:mp2 audio:aac", ""},
      {"out.mov", "video:h264 audio:mp2 audio:aac", ""},
      {"out.flv", "video:h264 audio:aac",
       "audio stream 2 (aac) left out: the flv container holds one audio stream"},
      {"out.webm", "video:vp9 audio:opus audio:opus",
       "audio stream 2 (aac) re-encoded as libopus for the webm container"},
      {"out.gif", "video:gif", "audio stream 2 (aac) left out: the gif container"},
  };
  for (const Case& c : cases) {
    const Ran ran = qnr({dir / "in.ts", dir / c.output});
    ASSERT_EQ(ran.status, 0) << c.output << ": " << ran.err;
    EXPECT_EQ(streams(dir.path() / c.output), c.streams) << c.output;
    if (c.note.empty()) {
      EXPECT_THAT(ran.err, Not(HasSubstr("note:"))) << c.output;
    } else {
      EXPECT_THAT(ran.err, HasSubstr("qnr: note: " + c.note)) << c.output;
    }
  }
}

TEST(QnrStreams, PcmAudioChaptersAndMetadataAreKept) {
  TempDir dir;
  std::ofstream(dir / "meta.txt") << ";FFMETADATA1\ntitle=Holiday\n[CHAPTER]\nTIMEBASE=1/1000\n"
                                     "START=0\nEND=500\ntitle=One\n[CHAPTER]\nTIMEBASE=1/1000\n"
                                     "START=500\nEND=1000\ntitle=Two\n";
  ffmpeg({"-f",
          "lavfi",
          "-i",
          "testsrc2=size=64x48:rate=25",
          "-f",
          "lavfi",
          "-i",
          "sine=d=1",
          "-i",
          dir / "meta.txt",
          "-t",
          "1",
          "-map",
          "0",
          "-map",
          "1",
          "-map_metadata",
          "2",
          "-map_chapters",
          "2",
          "-c:v",
          "ffv1",
          "-c:a",
          "pcm_s16le",
          dir / "in.mkv"});
  // MOV keeps its chapters in a text track of its own.
  for (const auto& [output, kept] : std::vector<std::pair<std::string, std::string>>{
           {"out.mov", "video:h264 audio:pcm_s16le data:bin_data"},
           {"out.mkv", "video:h264 audio:pcm_s16le"}}) {
    const Ran ran = qnr({dir / "in.mkv", dir / output, "-q"});
    ASSERT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(streams(dir.path() / output), kept) << output;
    EXPECT_EQ(probe(dir.path() / output, "format_tags=title"), "format,Holiday\n") << output;
    EXPECT_EQ(probe(dir.path() / output, "chapter=start_time:chapter_tags=title"),
              probe(dir.path() / "in.mkv", "chapter=start_time:chapter_tags=title"))
        << output;
  }
}

// Inputs with nothing to filter: one line that says why, and no output.
TEST(QnrStreams, InputsWithoutVideoFramesSaySo) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "sine=d=0.5", "-c:a", "libmp3lame", dir / "song.mp3"});
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=32x32", "-frames:v", "1", dir / "cover.png"});
  ffmpeg({"-i", dir / "song.mp3", "-i", dir / "cover.png", "-map", "0", "-map", "1", "-c", "copy",
          "-disposition:v", "attached_pic", dir / "covered.mp3"});
  // Every video packet dropped: the stream is there, its frames are not.
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:d=0.5", "-f", "lavfi", "-i", "sine=d=0.5",
          "-c:v", "ffv1", "-bsf:v", "noise=dropamount=1", "-c:a", "aac", dir / "empty.mkv"});
  struct Case {
    std::string input;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {"covered.mp3", "it has no video stream (its only picture is cover art)"},
           {"empty.mkv", "the video stream of " + (dir / "empty.mkv") + " has no frames"}}) {
    const Ran ran = qnr({dir / c.input, dir / "out.mp4"});
    EXPECT_EQ(ran.status, 1) << c.input;
    EXPECT_THAT(ran.err, MatchesRegex("qnr: [^\n]*\n")) << c.input;
    EXPECT_THAT(ran.err, HasSubstr(c.message)) << c.input;
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "out.mp4")) << c.input;
  }
}

// Cover art beside a real video is copied as cover art, never filtered.
TEST(QnrStreams, CoverArtIsNeverTheVideo) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=32x32", "-frames:v", "1", dir / "cover.png"});
  ffmpeg({"-i", dir / "cover.png", "-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-t", "0.4",
          "-map", "0", "-map", "1", "-c:v:0", "png", "-c:v:1", "libx264", "-disposition:v:0",
          "attached_pic", dir / "in.mp4"});
  const Ran ran = qnr({dir / "in.mp4", dir / "out.mkv", "--codec", "ffv1", "-q"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  const std::string video = probe(dir.path() / "out.mkv", "stream=codec_name,width,height", "V");
  EXPECT_EQ(video, "stream,ffv1,64,48\n");
  EXPECT_EQ(decode(dir.path() / "out.mkv").size(), size_t{64} * 48 * 10);
}

// What a container cannot keep of the other streams is left out with a note,
// never a failed job: Blu-ray subtitles in a transport stream, a cover in
// MOV, captions an encoder cannot write. Matroska keeps a cover as an
// attachment, not a second video track.
TEST(QnrStreams, WhatTheOutputCannotKeepIsLeftOutWithANote) {
  TempDir dir;
  make_clip(dir / "clip.mkv", 10);
  make_pgs_subtitles(dir / "subs.mkv");
  ffmpeg({"-i", dir / "clip.mkv", "-i", dir / "subs.mkv", "-map", "0", "-map", "1", "-c", "copy",
          dir / "pgs.mkv"});
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=32x32", "-frames:v", "1", dir / "cover.png"});
  ffmpeg({"-i", dir / "clip.mkv", "-i", dir / "cover.png", "-map", "0", "-map", "1", "-c:v:0",
          "libx264", "-c:v:1", "png", "-disposition:v:1", "attached_pic", dir / "cover.mp4"});
  make_captioned_clip(dir / "cc.mp4", 10);
  struct Case {
    std::string input, output, streams;
    std::string note;  // "" when none is due
  };
  const std::vector<Case> cases = {
      {"pgs.mkv", "out.ts", "video:h264",
       "subtitle stream 1 (hdmv_pgs_subtitle) left out: the mpegts container does not hold it"},
      {"cover.mp4", "out.mov", "video:h264", "cover art 1 (png) left out: the mov container"},
      {"cover.mp4", "out.mp4", "video:h264 video:png", ""},
      {"cover.mp4", "out.mkv", "video:h264 video:png", ""},
      {"cc.mp4", "out.webm", "video:vp9",
       "closed captions left out: the libvpx-vp9 encoder does not carry them"},
  };
  for (const Case& c : cases) {
    const Ran ran = qnr({dir / c.input, dir / c.output, "-y"});
    ASSERT_EQ(ran.status, 0) << c.input << " -> " << c.output << ": " << ran.err;
    EXPECT_EQ(streams(dir.path() / c.output), c.streams) << c.input << " -> " << c.output;
    if (c.note.empty()) {
      EXPECT_THAT(ran.err, Not(HasSubstr("note:"))) << c.input << " -> " << c.output;
    } else {
      EXPECT_THAT(ran.err, HasSubstr("qnr: note: " + c.note)) << c.input << " -> " << c.output;
    }
  }
  // Matroska's cover is an attachment (read back as a picture), not a track.
  EXPECT_EQ(probe(dir.path() / "out.mkv", "stream_tags=filename", "v:1"), "stream,cover.png\n");
}

// Captions ride on the frames through the filter into encoders that write them.
TEST(QnrStreams, ClosedCaptionsAreKept) {
  TempDir dir;
  make_captioned_clip(dir / "cc.mp4", 10);
  const int captioned = captioned_frames(dir.path() / "cc.mp4");
  ASSERT_GE(captioned, 9);
  for (const std::string output : {"out.mkv", "out.mp4", "out.ts", "out.mpg"}) {
    const Ran ran = qnr({dir / "cc.mp4", dir / output, "-q"});
    ASSERT_EQ(ran.status, 0) << output << ": " << ran.err;
    EXPECT_EQ(captioned_frames(dir.path() / output), captioned) << output;
  }
}

// The video ffmpeg would take (the default stream), or the one --video-stream
// names, in a long job too.
TEST(QnrStreams, TheVideoStreamIsChosenAsFfmpegDoesOrByOption) {
  TempDir dir;
  ffmpeg({"-f",
          "lavfi",
          "-i",
          "testsrc2=size=32x18:rate=25",
          "-f",
          "lavfi",
          "-i",
          "testsrc2=size=64x36:rate=25",
          "-t",
          "0.4",
          "-map",
          "0",
          "-map",
          "1",
          "-c:v",
          "ffv1",
          "-disposition:v:0",
          "0",
          "-disposition:v:1",
          "default",
          dir / "two.mkv"});
  struct Case {
    std::vector<std::string> options;
    int status;
    std::string size;  // of the output's video, or a message
  };
  const std::vector<Case> cases = {
      {{}, 0, "stream,64,36\n"},
      {{"--video-stream", "0"}, 0, "stream,32,18\n"},
      {{"--video-stream", "0", "--segments", "--segment-seconds", "0.2"}, 0, "stream,32,18\n"},
      {{"--video-stream", "2"}, 2, "two.mkv has 2 streams"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {dir / "two.mkv", dir / "out.mkv", "-y", "-q"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Ran ran = qnr(args);
    const std::string what = ::testing::PrintToString(c.options);
    ASSERT_EQ(ran.status, c.status) << what << ": " << ran.err;
    if (c.status != 0) {
      EXPECT_THAT(ran.err, HasSubstr(c.size)) << what;
    } else {
      EXPECT_EQ(probe(dir.path() / "out.mkv", "stream=width,height", "v"), c.size) << what;
    }
  }
}

// Seconds of the first audio stream, decoded.
double audio_seconds(const std::filesystem::path& file) {
  const Ran ran = run({"ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-map", "0:a:0",
                       "-ac", "1", "-ar", "8000", "-f", "s16le", "-"});
  return ran.out.size() / 2 / 8000.0;
}

// A broadcast recording whose sound switches from stereo at 48 kHz to 5.1 at
// 44.1 kHz: a container with one format per stream gets the rest re-encoded
// in the first format, so it plays at its speed; a transport stream keeps it
// as it came. Long jobs join the same.
TEST(QnrStreams, AudioThatChangesFormatIsReencodedFromThere) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-f", "lavfi", "-i", "sine=r=48000",
          "-t", "1", "-c:v", "libx264", "-c:a", "aac", "-ac", "2", dir / "a.ts"});
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-f", "lavfi", "-i", "sine=r=44100",
          "-t", "1", "-c:v", "libx264", "-c:a", "aac", "-ac", "6", "-output_ts_offset", "1",
          dir / "b.ts"});
  concatenate({dir / "a.ts", dir / "b.ts"}, dir / "joined.ts");
  const std::string note =
      "audio stream 1 (aac) changes from 2 channels at 48000 Hz to 6 channels at 44100 Hz at ";
  struct Case {
    std::string output;
    std::vector<std::string> options;
    bool noted;
  };
  const std::vector<Case> cases = {
      {"out.mkv", {}, true},
      {"out.mp4", {}, true},
      {"out.mkv", {"--segments", "--segment-seconds", "0.5"}, true},
      {"out.ts", {}, false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {dir / "joined.ts", dir / c.output, "-y"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Ran ran = qnr(args);
    const std::string what = c.output + " " + ::testing::PrintToString(c.options);
    ASSERT_EQ(ran.status, 0) << what << ": " << ran.err;
    EXPECT_EQ(ran.err.find(note) != std::string::npos, c.noted) << what << ": " << ran.err;
    EXPECT_NEAR(audio_seconds(dir.path() / c.output), 2.0, 0.1) << what;
  }
}

// A cut made without re-encoding starts at its edit list in every stream.
TEST(QnrStreams, CopiedStreamsStartWhereTheEditListSays) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-f", "lavfi", "-i", "sine=d=4", "-t",
          "4", "-c:v", "libx264", "-g", "50", "-c:a", "aac", dir / "whole.mp4"});
  ffmpeg({"-ss", "1.3", "-i", dir / "whole.mp4", "-c", "copy", dir / "cut.mp4"});
  const Ran ran = qnr({dir / "cut.mp4", dir / "out.mkv", "-q"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  EXPECT_NEAR(audio_seconds(dir.path() / "out.mkv"), 2.7, 0.1);
}

// Interlaced input stays interlaced with its field order; the filter's
// Interlace, however it is given and in a long job too, makes progressive
// input interlaced (top field first). MP4 says which field comes first.
TEST(QnrPicture, FieldOrderIsKeptAndSetByInterlace) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-t", "0.4", "-vf", "setfield=bff",
          "-flags", "+ildct+ilme", "-c:v", "libx264", "-x264opts", "bff=1", dir / "bff.mp4"});
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-t", "0.4", "-c:v", "libx264",
          dir / "progressive.mp4"});
  struct Case {
    std::string input;
    std::vector<std::string> options;
    std::string field_order;
  };
  const std::vector<std::string> segments = {"--segments", "--segment-seconds", "0.2"};
  const std::vector<std::string> config = {"--config", "Config(70,70,2,1,1)"};
  std::vector<std::string> config_in_segments = config;
  config_in_segments.insert(config_in_segments.end(), segments.begin(), segments.end());
  for (const Case& c : std::vector<Case>{{"bff.mp4", {}, "bb"},
                                         {"progressive.mp4", {"--interlace"}, "tt"},
                                         {"progressive.mp4", config, "tt"},
                                         {"progressive.mp4", config_in_segments, "tt"},
                                         {"progressive.mp4", segments, "progressive"},
                                         {"progressive.mp4", {}, "progressive"}}) {
    std::vector<std::string> args = {dir / c.input, dir / "out.mp4", "-q", "-y"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Ran ran = qnr(args);
    ASSERT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(probe(dir.path() / "out.mp4", "stream=field_order", "v"),
              "stream," + c.field_order + "\n")
        << c.input << " " << ::testing::PrintToString(c.options);
  }
}

// The filter works on colour; the alpha plane passes through unchanged where
// the output holds one and is dropped with a note where it does not.
TEST(QnrPicture, AlphaPassesThroughOrIsDroppedWithANote) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i",
          "testsrc2=size=64x48,format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='X*4'",
          "-frames:v", "1", dir / "in.png"});
  const Ran png = qnr({dir / "in.png", dir / "out.png"});
  ASSERT_EQ(png.status, 0) << png.err;
  EXPECT_THAT(png.err, Not(HasSubstr("note:")));
  const std::vector<uint32_t> in = decode_with_alpha(dir.path() / "in.png");
  const std::vector<uint32_t> out = decode_with_alpha(dir.path() / "out.png");
  ASSERT_EQ(out.size(), in.size());
  for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(out[i] >> 24, in[i] >> 24) << "pixel " << i;
  EXPECT_EQ(decode(dir.path() / "out.png"),
            filter_with_module(decode(dir.path() / "in.png"), 64, 48, {}));

  const Ran jpg = qnr({dir / "in.png", dir / "out.jpg"});
  ASSERT_EQ(jpg.status, 0) << jpg.err;
  EXPECT_THAT(jpg.err, HasSubstr("qnr: note: transparency dropped"));
}

// Pixel aspect ratio and colour tags go out as they came in.
TEST(QnrPicture, AspectRatioAndColourTagsAreKept) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25,setsar=4/3", "-t", "0.2", "-c:v",
          "libx264", "-pix_fmt", "yuv420p", "-colorspace", "bt709", "-color_primaries", "bt709",
          "-color_trc", "bt709", "-color_range", "tv", dir / "in.mp4"});
  const std::string entries =
      "stream=sample_aspect_ratio,color_space,color_primaries,color_transfer,color_range";
  for (const std::string output : {"out.mkv", "out.mp4"}) {
    const Ran ran = qnr({dir / "in.mp4", dir / output, "-q"});
    ASSERT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(probe(dir.path() / output, entries, "v"), "stream,4:3,tv,bt709,bt709,bt709\n")
        << output;
  }
}

// Writes a JPEG's EXIF Orientation tag into an APP1 segment after its start marker.
void add_exif_orientation(const std::string& path, int orientation) {
  std::ifstream in(path, std::ios::binary);
  std::string jpeg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string tiff = std::string("II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0", 18) +
                           char(orientation) + std::string("\0\0\0\0\0\0", 7);
  const std::string app1 = std::string("Exif\0\0", 6) + tiff;
  const size_t length = app1.size() + 2;
  const std::string segment =
      std::string("\xFF\xE1") + char(length >> 8) + char(length & 0xFF) + app1;
  jpeg.insert(2, segment);
  std::ofstream(path, std::ios::binary) << jpeg;
}

// A portrait photo stored sideways (EXIF Orientation 6) comes out upright.
TEST(QnrPicture, ExifOrientationIsApplied) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48", "-frames:v", "1", "-q:v", "2",
          dir / "photo.jpg"});
  const std::vector<uint32_t> stored = decode(dir.path() / "photo.jpg");
  add_exif_orientation(dir / "photo.jpg", 6);
  const Ran ran = qnr({dir / "photo.jpg", dir / "upright.png", "-q", "--rgb"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  EXPECT_EQ(probe(dir.path() / "upright.png", "stream=width,height"), "stream,48,64\n");
  EXPECT_EQ(decode(dir.path() / "upright.png"),
            filter_with_module(turn_clockwise(stored, 64, 48), 48, 64, {}));
}

// A size change in mid-stream: the filter restarts at the new size and the
// frames are scaled to the first size, with a note.
TEST(QnrPicture, MidStreamSizeChangeIsScaledToTheFirstSizeWithANote) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-t", "0.4", "-c:v", "libx264",
          dir / "a.ts"});
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=80x60:rate=25", "-t", "0.4", "-c:v", "libx264",
          "-output_ts_offset", "0.4", dir / "b.ts"});
  concatenate({dir / "a.ts", dir / "b.ts"}, dir / "joined.ts");
  const Ran ran = qnr({dir / "joined.ts", dir / "out.mkv", "--codec", "ffv1"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  EXPECT_THAT(ran.err, HasSubstr("qnr: note: frame 11 is 80x60 where the video began at 64x48"));
  EXPECT_EQ(probe(dir.path() / "out.mkv", "stream=width,height", "v"), "stream,64,48\n");
  EXPECT_EQ(decode(dir.path() / "out.mkv").size(), size_t{64} * 48 * 20);
}

}  // namespace
}  // namespace qnr_test
