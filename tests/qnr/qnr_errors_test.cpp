// Bad input of every kind: one line that says what to do, a non-zero status,
// and never an output file that looks finished.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "child_process.h"
#include "qnr_support.h"

namespace qnr_test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

// Exactly one line, starting "qnr: " and containing `text`.
void expect_error(const Ran& ran, int status, const std::string& text) {
  EXPECT_EQ(ran.status, status) << ran.err;
  EXPECT_THAT(ran.err, MatchesRegex("qnr: [^\n]*\n")) << "not one line";
  EXPECT_THAT(ran.err, HasSubstr(text));
}

void make_small_clip(const TempDir& dir) {
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v", "3", "-c:v", "ffv1",
          dir / "in.mkv"});
}

TEST(QnrErrors, BadInputFilesAreNamed) {
  TempDir dir;
  expect_error(qnr({dir / "missing.mp4", dir / "out.mp4"}), 1, "No such file or directory");
  expect_error(qnr({dir.path().string(), dir / "out.mp4"}), 1, "is a directory");
  std::ofstream(dir / "corrupt.mp4") << std::string(4096, 'x');
  expect_error(qnr({dir / "corrupt.mp4", dir / "out.mp4"}), 1,
               "cannot read " + (dir / "corrupt.mp4") + " as video or image");
  std::ofstream(dir / "sound.wav");
  ffmpeg({"-f", "lavfi", "-i", "sine=d=0.1", dir / "sound.wav"});
  expect_error(qnr({dir / "sound.wav", dir / "out.mp4"}), 1, "it has no video stream");
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"corrupt.mp4", "sound.wav"}));
}

TEST(QnrErrors, BadOptionsAndValuesAreUsageErrors) {
  TempDir dir;
  const std::string in = dir / "in.mkv", out = dir / "out.mkv";
  expect_error(qnr({in, out, "--frobnicate"}), 2, "unknown option --frobnicate");
  expect_error(qnr({in, out, "--f1", "abc"}), 2, "--f1 needs a whole number, not \"abc\"");
  expect_error(qnr({in, out, "--sharp", "7"}), 2, "--sharp must be between 0 and 6, not 7");
  expect_error(qnr({in, out, "--jobs", "0"}), 2, "--jobs must be between 1 and 256");
  expect_error(qnr({in, out, "--f2"}), 2, "--f2 needs a value");
  expect_error(qnr({in}), 2, "name the output file too");
  expect_error(qnr({in, dir / "noextension"}), 2, "cannot tell the output format");
  expect_error(qnr({"demo", dir / "demo", "--size", "17x16"}), 2, "an even width and height");
  EXPECT_EQ(dir.files(), std::vector<std::string>{});
}

TEST(QnrErrors, BadConfigLinesSayWhatIsWrong) {
  TempDir dir;
  auto config = [&](const std::string& line) {
    return qnr({dir / "in.mkv", dir / "out.mkv", "--config", line});
  };
  expect_error(config("Config(70,70)"), 2,
               "Config(int, int, int, int, int) takes 5 arguments, not 2");
  expect_error(
      config("Confg(70,70,2,0,1)"), 2,
      "unknown settings command \"Confg\"; the filter knows Config(int, int, int, int, int)");
  expect_error(config("Config(70,7.5,2,0,1)"), 2,
               "argument 2 of Config is not an integer: \"7.5\"");
  expect_error(config("Config(70,70,2,0,1) extra"), 2,
               "unexpected text after Config(...): \"extra\"");
  expect_error(config("Config(70,70,2,0,1"), 2, "missing ')'");
  expect_error(config("Config(99999999999,70,2,0,1)"), 2, "does not fit a 32-bit integer");
  expect_error(config(""), 2, "the settings line is empty");
}

TEST(QnrErrors, MissingOrForeignModuleIsNamed) {
  TempDir dir;
  make_small_clip(dir);
  expect_error(qnr({"--module", dir / "none.vdf", dir / "in.mkv", dir / "out.mkv"}), 1,
               "the filter module " + (dir / "none.vdf") + " does not exist");
  std::ofstream(dir / "text.vdf") << "not a library";
  expect_error(qnr({"--module", dir / "text.vdf", dir / "in.mkv", dir / "out.mkv"}), 1,
               "cannot load " + (dir / "text.vdf") + " as a filter module");
  // A real shared library that is no filter module: the one beside the module.
  const std::string library =
      (std::filesystem::path(QNR_MODULE_PATH).parent_path() / "libqnr_win32.so").string();
  if (std::filesystem::exists(library)) {
    expect_error(qnr({"--module", library, "info"}), 1, "is not a video filter module");
  }
}

// The media path is in process: no ffmpeg or ffprobe on the PATH is needed.
TEST(QnrErrors, RunsWithoutAnyExternalProgram) {
  TempDir dir;
  make_small_clip(dir);
  const Ran ran =
      run({"env", "PATH=" + (dir / "no-bin"), QNR_EXE, dir / "in.mkv", dir / "out.mkv", "-q"});
  EXPECT_EQ(ran.status, 0) << ran.err;
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "out.mkv"));
}

TEST(QnrErrors, UnwritableOutputAndFullDiskLeaveNoFile) {
  TempDir dir;
  make_small_clip(dir);
  expect_error(qnr({dir / "in.mkv", dir / "no-such-dir/out.mkv"}), 1,
               "cannot write " + (dir / "no-such-dir/out.mkv") + ": No such file or directory");
  if (!std::filesystem::exists("/dev/full"))
    GTEST_SKIP() << "no /dev/full to stand for a full disk";
  expect_error(qnr({dir / "in.mkv", "/dev/full", "-q", "--", "-f", "matroska"}), 1,
               "No space left on device");
}

TEST(QnrErrors, ClosedDownstreamPipeIsAClearError) {
  TempDir dir;
  make_small_clip(dir);
  // qnr writes to its standard output through ffmpeg; the reader has gone.
  qnr::SpawnRequest request;
  request.argv = {QNR_EXE, dir / "in.mkv", "/dev/stdout", "-q", "--", "-f", "matroska"};
  std::string error;
  bool not_found = false;
  auto child = qnr::Child::spawn(request, error, not_found);
  ASSERT_TRUE(child) << error;
  child->close_stdout();
  const int status = child->wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << qnr::describe_status(status);
  EXPECT_THAT(child->error_text(), MatchesRegex("qnr: writing /dev/stdout failed: [^\n]*\n"));
}

// qnr reads the first half of a clip from a pipe that stays open, so it is
// surely busy when the signal comes: Ctrl-C and SIGTERM end it with 128 + the
// signal and no file; SIGKILL leaves no file either (the output has no name
// until it is complete; a sequence's pictures wait in a hidden folder) and no
// process behind.
TEST(QnrErrors, SignalsLeaveNoOutputAndNoProcess) {
  TempDir dir;
  make_clip(dir / "clip.mkv", 50);
  const std::string bytes = contents(dir / "clip.mkv");
  for (const std::string output : {"out.mkv", "seq%03d.png"}) {
    for (const int signal : {SIGINT, SIGTERM, SIGKILL}) {
      if (signal == SIGTERM && output != "out.mkv") continue;  // the same road as SIGINT
      auto child = qnr_reading_pipe({"-", dir / output, "-q"}, bytes);
      ASSERT_TRUE(child);
      ASSERT_EQ(::kill(child->pid(), signal), 0);
      const int status = child->wait();
      std::vector<std::string> left = dir.files();
      if (signal == SIGKILL) {
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << qnr::describe_status(status);
        if (output != "out.mkv") {
          std::erase_if(left, [](const std::string& name) { return name.starts_with(".qnr-"); });
        }
      } else {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signal)
            << qnr::describe_status(status);
        EXPECT_THAT(child->error_text(), MatchesRegex("qnr: interrupted [^\n]*\n"));
      }
      EXPECT_EQ(left, std::vector<std::string>{"clip.mkv"}) << output << " " << strsignal(signal);
    }
  }
}

// Interlace asks for coded fields; a picture whose rows x264 cannot split
// into two fields of whole 4:2:0 chroma rows (46, as 486) is coded
// progressive with a note instead of failing the job.
TEST(QnrErrors, RowsThatCannotMakeTwoFieldsAreCodedProgressive) {
  TempDir dir;
  struct Case {
    int rows;
    std::string field_order, note;
  };
  const std::vector<Case> cases = {
      {48, "tt", ""},
      {46, "progressive", "the video is coded progressive: its 46 rows in yuv420p cannot be split"},
  };
  for (const Case& c : cases) {
    const std::string in = dir / ("in" + std::to_string(c.rows) + ".mkv");
    const std::string out = dir / ("out" + std::to_string(c.rows) + ".mp4");
    ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x" + std::to_string(c.rows) + ":rate=25",
            "-frames:v", "2", "-c:v", "ffv1", "-pix_fmt", "yuv420p", in});
    const Ran ran = qnr({in, out, "--interlace"});
    ASSERT_EQ(ran.status, 0) << c.rows << ": " << ran.err;
    if (!c.note.empty()) {
      EXPECT_THAT(ran.err, HasSubstr("qnr: note: " + c.note)) << c.rows;
    }
    EXPECT_EQ(probe(out, "stream=field_order", "v:0"), "stream," + c.field_order + "\n") << c.rows;
  }
}

}  // namespace
}  // namespace qnr_test
