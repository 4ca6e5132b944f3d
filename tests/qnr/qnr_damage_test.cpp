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

// A long job's workers take damage as the single run does: the frames
// around a damaged packet go on into the same output, and --strict stops
// the job at the same frame, numbered from the video's start.
TEST(QnrDamage, ALongJobTakesDamageAsTheSingleRunDoes) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-t", "2", "-c:v", "mpeg2video", "-g",
          "10", dir / "bad-video.ts"});
  scramble_a_video_packet(dir / "bad-video.ts");
  const std::string in = dir / "bad-video.ts";
  const std::vector<std::string> lossless = {"-y", "-q", "--codec", "ffv1", "--", "-g", "1"};
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.end(), lossless.begin(), lossless.end());
    return args;
  };
  ASSERT_EQ(qnr(with({in, dir / "single.mkv"})).status, 0);
  ASSERT_EQ(qnr(with({in, dir / "joined.mkv", "--segments", "--segment-seconds", "0.7"})).status,
            0);
  EXPECT_EQ(decode(dir.path() / "joined.mkv"), decode(dir.path() / "single.mkv"));

  const Ran single = qnr(with({in, dir / "strict.mkv", "--strict"}));
  ASSERT_EQ(single.status, 1);
  const size_t at = single.err.find("is damaged at frame ");
  ASSERT_NE(at, std::string::npos) << single.err;
  const std::string where = single.err.substr(at, single.err.find(':', at) - at);
  const Ran joined =
      qnr(with({in, dir / "strict.mkv", "--strict", "--segments", "--segment-seconds", "0.7"}));
  EXPECT_EQ(joined.status, 1);
  EXPECT_THAT(joined.err, HasSubstr(where + ": "));
  EXPECT_THAT(joined.err, HasSubstr("(--strict stops at damage in the input)"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "strict.mkv"));
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
