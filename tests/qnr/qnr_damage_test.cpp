// Damaged and cut-short inputs: what can be kept is kept and a note says
// what was lost; --strict stops at the first damage with no output instead.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qnr_support.h"

namespace qnr_test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

constexpr size_t kTsPacket = 188;

int ts_pid(const std::string& ts, size_t packet) {
  return ((ts[packet + 1] & 0x1f) << 8) | static_cast<uint8_t>(ts[packet + 2]);
}

// An ADTS header in the middle of the AAC stream (PID 0x101, as ffmpeg
// writes it) given a sample-rate index that does not exist.
void break_an_aac_header(const std::string& path) {
  std::string ts = contents(path);
  std::vector<size_t> headers;
  for (size_t at = 0; at + 2 < ts.size(); ++at) {
    if (static_cast<uint8_t>(ts[at]) == 0xFF && (static_cast<uint8_t>(ts[at + 1]) & 0xF6) == 0xF0 &&
        ts_pid(ts, at / kTsPacket * kTsPacket) == 0x101) {
      headers.push_back(at);
    }
  }
  ASSERT_GT(headers.size(), 10u);
  const size_t at = headers[headers.size() / 2];
  ts[at + 2] = static_cast<char>(ts[at + 2] | 0x3C);
  write_bytes(path, ts);
}

// Scrambles the payload of one transport packet in the middle of the video
// (PID 0x100), one that starts no frame.
void scramble_a_video_packet(const std::string& path) {
  std::string ts = contents(path);
  std::vector<size_t> packets;
  for (size_t p = 0; p + kTsPacket <= ts.size(); p += kTsPacket) {
    if (ts_pid(ts, p) == 0x100 && (ts[p + 1] & 0x40) == 0) packets.push_back(p);
  }
  ASSERT_GT(packets.size(), 10u);
  const size_t p = packets[packets.size() / 2];
  for (size_t i = p + 8; i < p + kTsPacket; ++i) ts[i] = static_cast<char>(ts[i] ^ 0x5A);
  write_bytes(path, ts);
}

void cut_in_half(const std::string& from, const std::string& to) {
  const std::string bytes = contents(from);
  write_bytes(to, bytes.substr(0, bytes.size() / 2));
}

// Zeroes the third and fourth Matroska clusters: two seconds of a video
// written one cluster a second, gone without a trace in the timestamps.
void zero_two_clusters(const std::string& path) {
  std::string mkv = contents(path);
  const std::string cluster = "\x1f\x43\xb6\x75";
  std::vector<size_t> at;
  for (size_t i = mkv.find(cluster); i != std::string::npos; i = mkv.find(cluster, i + 1)) {
    at.push_back(i);
  }
  ASSERT_GE(at.size(), 5u);
  std::fill(mkv.begin() + static_cast<std::ptrdiff_t>(at[2]),
            mkv.begin() + static_cast<std::ptrdiff_t>(at[4]), '\0');
  write_bytes(path, mkv);
}

// A capture that crashed: the AVI ends inside a chunk of sound at 60 %,
// with no index, under a header that still counts every frame.
void cut_inside_sound(const std::string& from, const std::string& to) {
  const std::string avi = contents(from);
  const size_t chunk = avi.find("01wb", avi.size() * 6 / 10);
  ASSERT_NE(chunk, std::string::npos);
  const auto size = static_cast<uint8_t>(avi[chunk + 4]) | static_cast<uint8_t>(avi[chunk + 5])
                                                               << 8;
  write_bytes(to, avi.substr(0, chunk + 8 + size / 2));
}

// A transport stream picked up part way through: its first 30 % gone.
void start_inside_a_gop(const std::string& path) {
  const std::string ts = contents(path);
  write_bytes(path, ts.substr(ts.size() / kTsPacket * 3 / 10 * kTsPacket));
}

TEST(QnrDamage, WhatIsLostIsNotedOrWithStrictStopsTheJob) {
  TempDir dir;
  const std::string source = "testsrc2=size=64x48:rate=25";
  ffmpeg({"-f", "lavfi", "-i", source, "-f", "lavfi", "-i", "sine=d=2", "-t", "2", "-c:v",
          "libx264", "-c:a", "aac", dir / "bad-audio.ts"});
  break_an_aac_header(dir / "bad-audio.ts");
  ffmpeg({"-f", "lavfi", "-i", source, "-t", "2", "-c:v", "mpeg2video", "-g", "10",
          dir / "bad-video.ts"});
  scramble_a_video_packet(dir / "bad-video.ts");
  // Noise spreads the bytes evenly over the frames, so half the file holds
  // half the video.
  const std::string noisy = source + ",noise=alls=30:allf=t";
  ffmpeg({"-f", "lavfi", "-i", noisy, "-t", "2", "-c:v", "libx264", dir / "whole.mkv"});
  cut_in_half(dir / "whole.mkv", dir / "cut.mkv");
  ffmpeg({"-f", "lavfi", "-i", noisy, "-t", "2", "-c:v", "libx264", "-movflags", "+faststart",
          dir / "whole.mp4"});
  cut_in_half(dir / "whole.mp4", dir / "cut.mp4");

  struct Case {
    std::string input;
    std::string lost;    // what the note says
    std::string strict;  // what the --strict error says
  };
  const std::string cut_mp4 = dir / "cut.mp4";
  const std::vector<Case> cases = {
      {"bad-audio.ts", "audio stream 1 (aac) of " + (dir / "bad-audio.ts"),
       "audio stream 1 (aac) of " + (dir / "bad-audio.ts") + " has a damaged packet at "},
      {"bad-video.ts", "the video of " + (dir / "bad-video.ts") + " is damaged",
       "the video of " + (dir / "bad-video.ts") + " is damaged at frame "},
      {"cut.mkv", "input ends early: ", "input ends early: "},
      // Cut inside a frame: that frame's damage comes first.
      {"cut.mp4", "input ends early: ", "the video of " + cut_mp4 + " is damaged at frame "},
  };
  for (const Case& c : cases) {
    const Ran kept = qnr({dir / c.input, dir / "out.mkv", "-y"});
    ASSERT_EQ(kept.status, 0) << c.input << ": " << kept.err;
    EXPECT_THAT(kept.err, HasSubstr("qnr: note: " + c.lost)) << c.input;
    EXPECT_GT(frame_times(dir.path() / "out.mkv").size(), 10u) << c.input;

    std::filesystem::remove(dir.path() / "out.mkv");
    const Ran strict = qnr({dir / c.input, dir / "out.mkv", "--strict", "-q"});
    EXPECT_EQ(strict.status, 1) << c.input;
    EXPECT_THAT(strict.err,
                MatchesRegex("qnr: [^\n]*\\(--strict stops at damage in the input\\)\n"))
        << c.input;
    EXPECT_THAT(strict.err, HasSubstr(c.strict)) << c.input;
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "out.mkv")) << c.input;
  }
}

// Damage the container hides: the timestamps or the header tell it, not the
// decoder. A change of pixel shape is no damage, only a note.
TEST(QnrDamage, HiddenDamageIsNotedOrWithStrictStopsTheJob) {
  TempDir dir;
  const std::string source = "testsrc2=size=64x48:rate=25";
  ffmpeg({"-f", "lavfi", "-i", source, "-t", "6", "-c:v", "libx264", "-g", "25",
          "-cluster_time_limit", "1000", dir / "hole.mkv"});
  zero_two_clusters(dir / "hole.mkv");
  ffmpeg({"-f", "lavfi", "-i", source, "-f", "lavfi", "-i", "sine=d=6", "-t", "6", "-c:v", "mpeg4",
          "-c:a", "pcm_s16le", dir / "whole.avi"});
  cut_inside_sound(dir / "whole.avi", dir / "crashed.avi");
  ffmpeg(
      {"-f", "lavfi", "-i", source, "-t", "4", "-c:v", "libx264", "-g", "50", dir / "mid-gop.ts"});
  start_inside_a_gop(dir / "mid-gop.ts");
  // Two recordings joined: square pixels, then pixels a third wider.
  for (const auto& [aspect, name] : {std::pair{"4:3", "square.m2v"}, {"16:9", "wide.m2v"}}) {
    ffmpeg({"-f", "lavfi", "-i", source, "-t", "1", "-c:v", "mpeg2video", "-aspect", aspect,
            dir / name});
  }
  write_bytes(dir / "aspect.m2v", contents(dir / "square.m2v") + contents(dir / "wide.m2v"));

  struct Case {
    std::string input;
    std::vector<std::string> notes;
    std::string strict;  // what the --strict error says; "" where it is no damage
  };
  auto in = [&](const std::string& name) { return dir / name; };
  const std::vector<Case> cases = {
      {"hole.mkv",
       {"the video of " + in("hole.mkv") + " has a hole in its timestamps, 2.36 s with no frames"},
       "the video of " + in("hole.mkv") +
           " has a hole in its timestamps before frame 56, from "
           "2.16 s to 4.52 s (about 58 frames missing)"},
      {"crashed.avi",
       {"audio stream 1 (pcm_s16le) of " + in("crashed.avi") +
            ": 1 packet flagged corrupt by the demuxer",
        "input ends early: 90 of the 150 frames that the header of " + in("crashed.avi") +
            " declares, to 3.60 s"},
       "(--strict"},
      {"mid-gop.ts",
       {"the video of " + in("mid-gop.ts") + " starts with "},
       "packets that give no picture (it begins inside a group of pictures"},
      {"aspect.m2v",
       {"frame 25 has a pixel aspect ratio of 4:3 where the video began at 1:1; the output gives "
        "every frame 1:1"},
       ""},
  };
  for (const Case& c : cases) {
    const Ran kept = qnr({dir / c.input, dir / "out.mkv", "-y"});
    ASSERT_EQ(kept.status, 0) << c.input << ": " << kept.err;
    for (const std::string& line : c.notes) {
      EXPECT_THAT(kept.err, HasSubstr("qnr: note: " + line)) << c.input;
    }
    const Ran strict = qnr({dir / c.input, dir / "strict.mkv", "-y", "--strict", "-q"});
    if (c.strict.empty()) {
      EXPECT_EQ(strict.status, 0) << c.input << ": " << strict.err;
      continue;
    }
    EXPECT_EQ(strict.status, 1) << c.input;
    EXPECT_THAT(strict.err,
                MatchesRegex("qnr: [^\n]*\\(--strict stops at damage in the input\\)\n"))
        << c.input;
    EXPECT_THAT(strict.err, HasSubstr(c.strict)) << c.input;
  }
}

// An input that cannot be read at all says what it is.
TEST(QnrDamage, AnEmptyFileOrAnMp4WithoutItsIndexSaysSo) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-t", "2", "-c:v", "libx264",
          dir / "whole.mp4"});
  cut_in_half(dir / "whole.mp4", dir / "no-index.mp4");
  write_bytes(dir / "empty.mkv", "");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"empty.mkv", "qnr: " + (dir / "empty.mkv") + " is empty (0 bytes)"},
      {"no-index.mp4",
       "qnr: cannot read " + (dir / "no-index.mp4") + ": its index (the moov box) is missing"},
  };
  for (const auto& [input, message] : cases) {
    const Ran ran = qnr({dir / input, dir / "out.mkv"});
    EXPECT_EQ(ran.status, 1) << input;
    EXPECT_THAT(ran.err, ::testing::StartsWith(message)) << ran.err;
  }
}

// A long job's workers take damage as the single run does: the frames
// around the damage go on into the same output, each segment notes the
// damage in its own frames as the single run notes it, and --strict stops
// the job with the single run's message, frames numbered from the video's
// start.
TEST(QnrDamage, ALongJobTakesDamageAsTheSingleRunDoes) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-t", "2", "-c:v", "mpeg2video", "-g",
          "10", dir / "bad-video.ts"});
  scramble_a_video_packet(dir / "bad-video.ts");
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-t", "6", "-c:v", "libx264", "-g",
          "25", "-cluster_time_limit", "1000", dir / "hole.mkv"});
  zero_two_clusters(dir / "hole.mkv");
  const std::vector<std::string> lossless = {"-y", "--codec", "ffv1", "--", "-g", "1"};
  const std::vector<std::string> segments = {"--segments", "--segment-seconds", "0.7"};
  for (const std::string input : {"bad-video.ts", "hole.mkv"}) {
    auto with = [&](std::vector<std::string> args, bool in_segments) {
      args.insert(args.begin(), dir / input);
      if (in_segments) args.insert(args.end(), segments.begin(), segments.end());
      args.insert(args.end(), lossless.begin(), lossless.end());
      return qnr(args);
    };
    const Ran single = with({dir / "single.mkv"}, false);
    const Ran joined = with({dir / "joined.mkv"}, true);
    ASSERT_EQ(single.status, 0) << single.err;
    ASSERT_EQ(joined.status, 0) << joined.err;
    EXPECT_EQ(decode(dir.path() / "joined.mkv"), decode(dir.path() / "single.mkv")) << input;
    const std::string damage = "the video of " + (dir / input);
    const size_t line = single.err.find("qnr: note: " + damage);
    ASSERT_NE(line, std::string::npos) << single.err;
    const std::string note = single.err.substr(line + 11, single.err.find('\n', line) - line - 11);
    const size_t at = joined.err.find(note);
    ASSERT_NE(at, std::string::npos) << input << ": " << joined.err;
    const size_t from = joined.err.rfind('\n', at) + 1;  // 0 on the first line
    EXPECT_THAT(joined.err.substr(from, at - from), MatchesRegex("qnr: note: segment [0-9]+: "));

    // A job stopped is kept to resume: each input has its own output.
    const std::string out = "strict-" + input + ".mkv";
    const Ran strict = with({dir / out, "--strict", "-q"}, false);
    ASSERT_EQ(strict.status, 1) << input;
    const Ran joined_strict = with({dir / out, "--strict", "-q"}, true);
    EXPECT_EQ(joined_strict.status, 1) << input;
    EXPECT_THAT(joined_strict.err, HasSubstr(strict.err.substr(5))) << input;
    EXPECT_FALSE(std::filesystem::exists(dir.path() / out)) << input;
  }
}

// An MP4 written front to back keeps its index at its end, after its
// pictures: read from a pipe, those are gone by the time the index says
// where they are. The message says so; with the index at the front it works.
TEST(QnrDamage, AnMp4WithItsIndexAtItsEndFromAPipeSaysWhy) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25,noise=alls=40:allf=t", "-t", "2",
          "-c:v", "libx264", dir / "late-index.mp4"});
  ffmpeg({"-i", dir / "late-index.mp4", "-c", "copy", "-movflags", "+faststart",
          dir / "early-index.mp4"});
  auto through_pipe = [&](const std::string& input) {
    return run(
        {"sh", "-c",
         "cat '" + (dir / input) + "' | '" + QNR_EXE + "' - '" + (dir / "out.mkv") + "' -q -y"});
  };
  const Ran late = through_pipe("late-index.mp4");
  EXPECT_EQ(late.status, 1);
  EXPECT_THAT(late.err,
              MatchesRegex("qnr: cannot read - from a pipe: its index \\(the moov box\\) "
                           "comes after its pictures[^\n]*-movflags \\+faststart[^\n]*\n"));
  const Ran early = through_pipe("early-index.mp4");
  EXPECT_EQ(early.status, 0) << early.err;
}

}  // namespace
}  // namespace qnr_test
