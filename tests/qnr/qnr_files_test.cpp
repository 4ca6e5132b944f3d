// qnr and the user's files: the input is never written, an existing output
// is replaced only when asked and keeps its permissions and links, pipes and
// devices are streamed to, image sequences keep the same promises, a name
// that cannot be written is an error before any work, and nothing
// half-written is ever left.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <array>
#include <fstream>

#include "child_process.h"
#include "qnr_support.h"

namespace qnr_test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

void make_small_clip(const std::string& path) {
  ffmpeg(
      {"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v", "3", "-c:v", "ffv1", path});
}

TEST(QnrFiles, TheOutputIsNeverTheInput) {
  TempDir dir;
  make_small_clip(dir / "in.mkv");
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48", "-frames:v", "1", dir / "in.png"});
  std::filesystem::create_symlink(dir / "in.mkv", dir.path() / "link.mkv");
  std::filesystem::create_hard_link(dir / "in.mkv", dir.path() / "hard.mkv");
  const std::string video = contents(dir / "in.mkv"), picture = contents(dir / "in.png");
  for (const auto& [input, output] :
       std::vector<std::pair<std::string, std::string>>{{"in.mkv", "in.mkv"},
                                                        {"in.mkv", "./in.mkv"},
                                                        {"in.mkv", "link.mkv"},
                                                        {"link.mkv", "in.mkv"},
                                                        {"in.mkv", "hard.mkv"},
                                                        {"in.png", "in.png"}}) {
    for (const char* overwrite : {"-q", "-y"}) {
      const Ran ran = qnr({dir / input, dir / output, overwrite});
      EXPECT_EQ(ran.status, 2) << input << " -> " << output;
      EXPECT_THAT(
          ran.err,
          MatchesRegex("qnr: the output [^\n]* is the input file; name a different output\n"));
    }
  }
  // Standard input too, when it is the file itself.
  const Ran piped = run(
      {"sh", "-c",
       std::string(QNR_EXE) + " - " + (dir / "in.mkv") + " -y -f matroska < " + (dir / "in.mkv")});
  EXPECT_EQ(piped.status, 2);
  EXPECT_THAT(piped.err, HasSubstr("is the input file"));
  EXPECT_EQ(contents(dir / "in.mkv"), video);
  EXPECT_EQ(contents(dir / "in.png"), picture);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path() / "link.mkv"));
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"hard.mkv", "in.mkv", "in.png", "link.mkv"}));
}

TEST(QnrFiles, AnExistingOutputIsReplacedOnlyWithOverwriteKeepingModeAndLink) {
  TempDir dir;
  make_small_clip(dir / "in.mkv");
  std::ofstream(dir / "target.mkv") << "precious";
  ::chmod((dir / "target.mkv").c_str(), 0640);
  std::filesystem::create_symlink("target.mkv", dir.path() / "link.mkv");
  for (const char* output : {"target.mkv", "link.mkv"}) {
    const Ran refused = qnr({dir / "in.mkv", dir / output, "-q"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_THAT(refused.err, HasSubstr(" exists; add -y (--overwrite) to replace it"));
    EXPECT_EQ(contents(dir / "target.mkv"), "precious");
  }
  const Ran replaced = qnr({dir / "in.mkv", dir / "link.mkv", "-q", "--overwrite"});
  ASSERT_EQ(replaced.status, 0) << replaced.err;
  EXPECT_TRUE(std::filesystem::is_symlink(dir.path() / "link.mkv"));
  EXPECT_EQ(decode(dir.path() / "target.mkv").size(), size_t{64} * 48 * 3);
  struct stat info {};
  ASSERT_EQ(::stat((dir / "target.mkv").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"in.mkv", "link.mkv", "target.mkv"}));
}

// Standard output and input: streamed through, in a container that can be
// written front to back; one that cannot is named.
TEST(QnrFiles, StandardInputAndOutputAreStreamed) {
  TempDir dir;
  make_small_clip(dir / "in.mkv");
  const Ran piped =
      run({"sh", "-c", std::string(QNR_EXE) + " - - -q -f matroska < " + (dir / "in.mkv")});
  ASSERT_EQ(piped.status, 0) << piped.err;
  std::ofstream(dir / "piped.mkv", std::ios::binary) << piped.out;
  EXPECT_EQ(decode(dir.path() / "piped.mkv").size(), size_t{64} * 48 * 3);

  for (const char* output : {"-", "/dev/stdout"}) {
    const Ran mp4 = qnr({dir / "in.mkv", output, "-f", "mp4"});
    EXPECT_EQ(mp4.status, 2);
    EXPECT_THAT(mp4.err, MatchesRegex("qnr: the mp4 container cannot be written to [^\n]*(seekable)"
                                      "[^\n]*use -f matroska, mpegts or nut\n"));
    EXPECT_EQ(mp4.out, "");
  }
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"in.mkv", "piped.mkv"}));
}

// The temporary file has a short name of its own, so any name that fits the
// directory works; image sequences are written file by file.
TEST(QnrFiles, LongNamesAndImageSequences) {
  TempDir dir;
  make_small_clip(dir / "in.mkv");
  const std::string longest = std::string(251, 'x') + ".mkv";  // 255 bytes
  const Ran ran = qnr({dir / "in.mkv", dir / longest, "-q"});
  ASSERT_EQ(ran.status, 0) << ran.err;
  EXPECT_TRUE(std::filesystem::exists(dir.path() / longest));

  const Ran sequence = qnr({dir / "in.mkv", dir / "seq%03d.png", "-q", "--disable"});
  ASSERT_EQ(sequence.status, 0) << sequence.err;
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"in.mkv", "seq001.png", "seq002.png",
                                                   "seq003.png", longest}));
  EXPECT_EQ(qnr({dir / "in.mkv", dir / "seq%03d.png", "-q"}).status, 2);
  const Ran same = qnr({dir / "seq%03d.png", dir / "seq%03d.png", "-q", "-y"});
  EXPECT_EQ(same.status, 2);
  EXPECT_THAT(same.err, HasSubstr("is the input sequence"));
  const Ran back =
      qnr({dir / "seq%03d.png", dir / "back.mkv", "-q", "--disable", "--codec", "ffv1"});
  ASSERT_EQ(back.status, 0) << back.err;
  EXPECT_EQ(decode(dir.path() / "back.mkv"), decode(dir.path() / "in.mkv"));
}

// A percent sign in a video's name is part of the name: the file is
// refused without -y and written whole, sound included, with it.
TEST(QnrFiles, APercentSignMakesASequenceOnlyInAPictureName) {
  TempDir dir;
  make_clip(dir / "in.mkv", 3, true);
  std::ofstream(dir / "100%done.mp4") << "precious";
  const Ran refused = qnr({dir / "in.mkv", dir / "100%done.mp4", "-q"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_THAT(refused.err, HasSubstr("100%done.mp4 exists; add -y"));
  EXPECT_EQ(contents(dir / "100%done.mp4"), "precious");
  const Ran replaced = qnr({dir / "in.mkv", dir / "100%done.mp4", "-q", "-y"});
  ASSERT_EQ(replaced.status, 0) << replaced.err;
  EXPECT_EQ(streams(dir.path() / "100%done.mp4"), "video:h264 audio:aac");
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"100%done.mp4", "in.mkv"}));
}

// No picture of a sequence is replaced without -y, whichever number it has,
// and no spelling of the input's own folder lets a sequence overwrite it.
TEST(QnrFiles, ImageSequencesReplaceNothingUnaskedAndNeverTheirInput) {
  TempDir dir;
  make_clip(dir / "in.mkv", 3);
  std::filesystem::create_directory(dir.path() / "seq");
  const std::string pattern = dir / "seq/img%03d.png";
  ASSERT_EQ(qnr({dir / "in.mkv", pattern, "-q"}).status, 0);
  std::filesystem::remove(dir.path() / "seq/img001.png");
  const std::string second = contents(dir / "seq/img002.png");

  const Ran later = qnr({dir / "in.mkv", pattern, "-q", "--disable"});
  EXPECT_EQ(later.status, 2);
  EXPECT_THAT(later.err, HasSubstr(dir / "seq/img002.png exists; add -y"));
  for (const auto& [input, output, what] :
       std::vector<std::array<std::string, 3>>{{pattern, dir / "seq/./img%03d.png", "sequence"},
                                               {dir / "./seq/img%03d.png", pattern, "sequence"},
                                               {dir / "seq/img002.png", pattern, "file"}}) {
    const Ran same = qnr({input, output, "-q", "-y"});
    EXPECT_EQ(same.status, 2) << input << " -> " << output;
    EXPECT_THAT(same.err, HasSubstr("is the input " + what)) << input << " -> " << output;
  }
  EXPECT_EQ(contents(dir / "seq/img002.png"), second);

  const Ran replaced = qnr({dir / "in.mkv", pattern, "-q", "-y", "--disable"});
  ASSERT_EQ(replaced.status, 0) << replaced.err;
  EXPECT_NE(contents(dir / "seq/img002.png"), second);
  EXPECT_EQ(dir.files("seq"), (std::vector<std::string>{"img001.png", "img002.png", "img003.png"}));
}

// A name that cannot be written is an error before the input is read: here
// the input is an empty standard input, which would fail otherwise.
TEST(QnrFiles, NamesThatCannotBeWrittenFailBeforeAnyWork) {
  TempDir dir;
  std::ofstream(dir / "file.txt") << "text";
  std::filesystem::create_symlink("loop.mkv", dir.path() / "loop.mkv");
  for (const auto& [output, why] : std::vector<std::pair<std::string, std::string>>{
           {std::string(252, 'x') + ".mkv", "File name too long (a file name there holds at most"},
           {"loop.mkv", "Too many levels of symbolic links"},
           {"no/such/out.mkv", "(there is no folder " + (dir / "no") + ")"},
           {"no/such/seq%03d.png", "(there is no folder " + (dir / "no") + ")"},
           {"file.txt/out.mkv", "(" + (dir / "file.txt") + " is a file, not a folder)"}}) {
    const Ran ran = qnr({"-", dir / output, "-q"});
    EXPECT_EQ(ran.status, 1) << output;
    EXPECT_THAT(ran.err, MatchesRegex("qnr: cannot write [^\n]*\n")) << output;
    EXPECT_THAT(ran.err, HasSubstr(why)) << output;
  }
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"file.txt", "loop.mkv"}));
}

// A file that takes the output's name while qnr works is replaced with -y,
// and kept, with none of the new pictures beside it, without.
TEST(QnrFiles, AFileThatAppearsMeanwhileIsReplacedOnlyWithOverwrite) {
  TempDir dir;
  make_clip(dir / "clip.mkv", 50);
  const std::string bytes = contents(dir / "clip.mkv");
  for (const auto& [output, appears] : std::vector<std::pair<std::string, std::string>>{
           {"out.mkv", "out.mkv"}, {"seq%03d.png", "seq002.png"}}) {
    for (const bool overwrite : {false, true}) {
      auto child = qnr_reading_pipe({"-", dir / output, "-q", overwrite ? "-y" : "-q"}, bytes);
      ASSERT_TRUE(child);
      std::ofstream(dir / appears) << "late";
      const size_t half = bytes.size() / 2;
      EXPECT_TRUE(qnr::write_fully(
          child->stdin_fd(), {{const_cast<char*>(bytes.data()) + half, bytes.size() - half}}));
      child->close_stdin();
      const int status = child->wait();
      if (overwrite) {
        EXPECT_TRUE(qnr::exited_cleanly(status)) << child->error_text();
        EXPECT_NE(contents(dir / appears), "late") << output;
      } else {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << output;
        EXPECT_THAT(child->error_text(), HasSubstr("appeared meanwhile; add -y")) << output;
        EXPECT_EQ(contents(dir / appears), "late") << output;
        EXPECT_EQ(dir.files(), (std::vector<std::string>{"clip.mkv", appears})) << output;
      }
      for (const std::string& name : dir.files()) {
        if (name != "clip.mkv") std::filesystem::remove(dir.path() / name);
      }
    }
  }
}

// ... and makes the same pictures every time.
TEST(QnrFiles, DemoReplacesItsOwnFiles) {
  TempDir dir;
  std::string pictures[2];
  for (int run_number = 0; run_number < 2; ++run_number) {
    const Ran demo = qnr({"demo", dir / "demo", "--size", "64x48", "--frames", "3", "-q"});
    ASSERT_EQ(demo.status, 0) << demo.err;
    pictures[run_number] =
        contents(dir / "demo/before-after.png") + contents(dir / "demo/noise.png");
  }
  EXPECT_EQ(probe(dir.path() / "demo" / "filtered.mp4", "stream=nb_frames", "v"), "stream,3\n");
  EXPECT_FALSE(pictures[0].empty());
  EXPECT_EQ(pictures[0], pictures[1]);
}

// Memory follows the frames in flight: one picture costs about the same
// whatever the number of instances.
TEST(QnrFiles, OnePictureCostsTheSameMemoryAtAnyJobCount) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=1920x1080", "-frames:v", "1", dir / "big.png"});
  const Ran one = qnr({dir / "big.png", dir / "one.png", "-q", "--jobs", "1"});
  const Ran many = qnr({dir / "big.png", dir / "many.png", "-q", "--jobs", "64"});
  ASSERT_EQ(one.status, 0) << one.err;
  ASSERT_EQ(many.status, 0) << many.err;
  EXPECT_LT(many.peak_kib, one.peak_kib + one.peak_kib / 4)
      << "jobs 1: " << one.peak_kib << " KiB, jobs 64: " << many.peak_kib << " KiB";
}

}  // namespace
}  // namespace qnr_test
