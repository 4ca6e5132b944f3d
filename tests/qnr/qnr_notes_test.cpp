// What qnr says about what it cannot carry whole: one true line each, on
// standard error, and nothing at all under -q.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qnr_support.h"

namespace qnr_test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

// A sequence with a missing picture is filtered up to the gap, as ffmpeg
// reads it, and the note names the gap and what lies beyond it.
TEST(QnrNotes, AnInputSequenceWithAGapIsFilteredUpToIt) {
  TempDir dir;
  ffmpeg(
      {"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v", "6", dir / "img%03d.png"});
  std::filesystem::remove(dir.path() / "img004.png");
  const Ran ran = qnr({dir / "img%03d.png", dir / "out.mkv", "--codec", "ffv1"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  EXPECT_THAT(ran.err, MatchesRegex("qnr: note: " +
                                    dir / "img004.png is missing: the sequence is filtered "
                                          "up to it; 2 later pictures \\(" +
                                    dir / "img005.png to " +
                                    dir / "img006.png\\) left out\n3 frames in [^\n]*\n"));
  EXPECT_EQ(decode(dir.path() / "out.mkv").size(), size_t{64} * 48 * 3);
  const Ran quiet = qnr({dir / "img%03d.png", dir / "out.mkv", "-y", "-q"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.err, "");
  const Ran strict = qnr({dir / "img%03d.png", dir / "strict.mkv", "--strict"});
  EXPECT_NE(strict.status, 0);
  EXPECT_THAT(strict.err, HasSubstr("img004.png is missing"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "strict.mkv"));
}

// Over a longer sequence, -y replaces the pictures the run writes and says
// which older ones remain; it deletes none of them.
TEST(QnrNotes, OlderPicturesBeyondANewSequenceAreNamed) {
  TempDir dir;
  ffmpeg(
      {"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v", "6", dir / "img%03d.png"});
  make_clip(dir / "short.mkv", 3);
  const Ran ran = qnr({dir / "short.mkv", dir / "img%03d.png", "-y"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  EXPECT_THAT(ran.err, HasSubstr("qnr: note: 3 older pictures of " + dir / "img%03d.png" +
                                 " remain beside the new 3 (" + dir / "img004.png to " +
                                 dir / "img006.png): qnr replaces only the pictures it writes\n"));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "img006.png"));
}

// A QuickTime timecode is kept where the container holds one, and named as
// left out where it does not; a picture output names the streams it drops.
TEST(QnrNotes, TimecodesAndStreamsAPictureCannotHoldAreNamedTruly) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v", "3", "-timecode",
          "01:02:03:04", "-c:v", "ffv1", dir / "tc.mov"});
  make_clip(dir / "sound.mkv", 3, true);
  struct Case {
    std::string input, output;
    std::string note;      // "" where none is due
    std::string timecode;  // the output video's, "" for none
  };
  const std::vector<Case> cases = {
      {"tc.mov", "out.mov", "", "01:02:03:04"},
      {"tc.mov", "out.mkv", "", "01:02:03:04"},
      {"tc.mov", "out.avi",
       "timecode track 1 (01:02:03:04) left out: the avi container holds no timecode", ""},
      {"sound.mkv", "out.png", "audio stream 1 (aac) left out: an image file holds pictures only",
       ""},
      {"sound.mkv", "seq%d.png",
       "audio stream 1 (aac) left out: an image sequence holds pictures only", ""},
  };
  for (const Case& c : cases) {
    const Ran ran = qnr({dir / c.input, dir / c.output, "-y"});
    ASSERT_EQ(ran.status, 0) << c.output << ": " << ran.err;
    if (c.note.empty()) {
      EXPECT_THAT(ran.err, Not(HasSubstr("note"))) << c.output;
    } else {
      EXPECT_THAT(ran.err, HasSubstr("qnr: note: " + c.note + "\n")) << c.output;
    }
    if (c.output.ends_with("png")) continue;
    const std::string tags = probe(dir.path() / c.output, "stream_tags=timecode", "v:0");
    EXPECT_EQ(tags, "stream," + c.timecode + "\n") << c.output;
  }
  EXPECT_EQ(streams(dir.path() / "out.mov"), "video:h264 data:unknown");
}

}  // namespace
}  // namespace qnr_test
