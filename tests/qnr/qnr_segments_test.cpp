// Long jobs in segments: the joined output equals a single run's, a killed
// job resumes without redoing what was finished, and a folder, segment or
// road that does not belong to the job is refused by name.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "child_process.h"
#include "qnr_support.h"

namespace qnr_test {
namespace {

using ::testing::HasSubstr;

std::string read_text(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// What a joined output must share with a single run's: every packet of every
// stream (timestamps, size and the digest of its bytes), and when each frame
// is shown.
struct OutputPrint {
  std::string packets;
  std::vector<double> times;
};

// Every packet of the streams `map` picks ("0" for all, "0:a" for the sound):
// timestamps, size and the digest of its bytes, one line each.
std::string packets(const std::string& file, const std::string& map = "0") {
  const Ran ran = run({"ffmpeg", "-nostdin", "-loglevel", "error", "-i", file, "-map", map, "-c",
                       "copy", "-f", "framemd5", "-"});
  EXPECT_EQ(ran.status, 0) << ran.err;
  std::string lines;
  std::istringstream in(ran.out);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') lines += line + "\n";
  }
  return lines;
}

OutputPrint print_of(const std::string& file) { return {packets(file), frame_times(file)}; }

void expect_same_output(const OutputPrint& single, const std::string& joined,
                        const std::string& what) {
  const OutputPrint print = print_of(joined);
  EXPECT_EQ(print.packets, single.packets) << what;
  EXPECT_EQ(print.times, single.times) << what;
}

// IN OUT with lossless, intra-only video, so a segmented output can equal a
// single run's bit for bit, and `more` options.
std::vector<std::string> lossless(const std::string& in, const std::string& out,
                                  const std::vector<std::string>& more = {}) {
  std::vector<std::string> args = {in, out, "-y", "--codec", "ffv1"};
  args.insert(args.end(), more.begin(), more.end());
  args.insert(args.end(), {"--", "-g", "1"});
  return args;
}

// The four kinds of input a long job must cut exactly: B-frames, an open
// GOP, a transport stream and a variable rate, keyframes every 8 frames,
// 1.4 seconds long. Cut every 0.25 s, the 25 frames a second of the first
// three start segments on a keyframe (frame 32), just before one (frame 7)
// and just after one (frame 25).
constexpr char kSegmentSeconds[] = "0.25";

void make_source(const std::string& path, const std::string& kind) {
  const std::string video = "testsrc2=size=96x64:rate=25", sound = "sine=d=1.4";
  std::vector<std::string> args;
  if (kind == "h264.mp4") {
    args = {"-f",      "lavfi", "-i", video, "-f", "lavfi",    "-i",      sound,  "-c:v",
            "libx264", "-bf",   "2",  "-g",  "8",  "-pix_fmt", "yuv420p", "-c:a", "aac"};
  } else if (kind == "hevc.mkv") {
    args = {"-f",           "lavfi",
            "-i",           video,
            "-c:v",         "libx265",
            "-x265-params", "open-gop=1:keyint=8:min-keyint=8:bframes=3:log-level=error",
            "-pix_fmt",     "yuv420p"};
  } else if (kind == "mpeg2.ts") {
    args = {"-f",   "lavfi",      "-i", video, "-f",  "lavfi", "-i",   sound,
            "-c:v", "mpeg2video", "-g", "8",   "-bf", "2",     "-c:a", "mp2"};
  } else {
    args = {"-f",        "lavfi",
            "-i",        "testsrc2=size=96x64:rate=50",
            "-f",        "lavfi",
            "-i",        sound,
            "-vf",       "select='if(lt(t,1),not(mod(n,10)),1)'",
            "-fps_mode", "passthrough",
            "-c:v",      "libx264",
            "-g",        "8",
            "-c:a",      "libopus"};
  }
  args.insert(args.end(), {"-t", "1.4", path});
  ffmpeg(args);
}

// Sources and their single runs, made once in a test process on first use
// and shared by its tests (a process that runs one test makes only its own).
class Shared {
 public:
  static const std::string& source(const std::string& kind) {
    Shared& shared = instance();
    auto [it, added] = shared.sources_.try_emplace(kind, shared.dir_ / kind);
    if (added) make_source(it->second, kind);
    return it->second;
  }
  static const OutputPrint& single(const std::string& kind) {
    Shared& shared = instance();
    const auto found = shared.singles_.find(kind);
    if (found != shared.singles_.end()) return found->second;
    const std::string out = shared.dir_ / ("single-" + kind + ".mkv");
    const Ran ran = qnr(lossless(source(kind), out));
    EXPECT_EQ(ran.status, 0) << kind << ": " << ran.err;
    return shared.singles_.emplace(kind, print_of(out)).first->second;
  }

 private:
  static Shared& instance() {
    static Shared shared;
    return shared;
  }
  TempDir dir_;
  std::map<std::string, std::string> sources_;
  std::map<std::string, OutputPrint> singles_;
};

class QnrSegmentsOf : public ::testing::TestWithParam<std::string> {};

TEST_P(QnrSegmentsOf, TheJoinedOutputEqualsASingleRun) {
  TempDir dir;
  const std::string kind = GetParam();
  const std::string& source = Shared::source(kind);
  const Ran ran = qnr(
      lossless(source, dir / "joined.mkv", {"--segments", "--segment-seconds", kSegmentSeconds}));
  ASSERT_EQ(ran.status, 0) << kind << ": " << ran.err;
  expect_same_output(Shared::single(kind), dir / "joined.mkv", kind);
  if (kind != "h264.mp4") return;
  // Lossy H.264 in MP4: the same frames at the same times and the same sound;
  // the pictures differ only as the encoder's choices at each segment's start.
  ASSERT_EQ(qnr({source, dir / "single.mp4"}).status, 0);
  ASSERT_EQ(
      qnr({source, dir / "joined.mp4", "--segments", "--segment-seconds", kSegmentSeconds}).status,
      0);
  EXPECT_EQ(frame_times(dir / "joined.mp4"), frame_times(dir / "single.mp4"));
  EXPECT_EQ(packets(dir / "joined.mp4", "0:a"), packets(dir / "single.mp4", "0:a"));
  const std::string streams = "stream=codec_name,profile,pix_fmt,nb_frames";
  EXPECT_EQ(probe(dir / "joined.mp4", streams), probe(dir / "single.mp4", streams));
}

INSTANTIATE_TEST_SUITE_P(Sources, QnrSegmentsOf,
                         ::testing::Values("h264.mp4", "hevc.mkv", "mpeg2.ts", "vfr.mkv"),
                         [](const auto& info) {
                           std::string name = info.param;
                           name.erase(name.find('.'));
                           return name;
                         });

// The folder's files that count: the plan and the done records.
std::vector<std::string> done_records(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.ends_with(".done")) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// When each record was written, to tell a kept segment from one made again.
std::map<std::string, int64_t> written(const std::string& folder) {
  std::map<std::string, int64_t> times;
  for (const std::string& name : done_records(folder)) {
    struct stat info {};
    ::stat((folder + "/" + name).c_str(), &info);
    times[name] = info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
  }
  return times;
}

// The job crashes (its workers and itself killed) once two of its six
// segments are done, a worker on a third most likely in the middle of it.
TEST(QnrSegments, AKilledJobResumesWithoutRedoingFinishedSegments) {
  TempDir dir;
  const std::string folder = dir / "job";
  const std::vector<std::string> args =
      lossless(Shared::source("h264.mp4"), dir / "out.mkv",
               {"--segments", "--segment-seconds", kSegmentSeconds, "--parallel", "2", "--job",
                folder, "--keep-job"});
  std::vector<std::string> crashing = {"env", "QNR_TEST_CRASH_AFTER_SEGMENTS=2", QNR_EXE};
  crashing.insert(crashing.end(), args.begin(), args.end());
  EXPECT_EQ(run(crashing).status, 128 + SIGKILL);
  const std::map<std::string, int64_t> before = written(folder);
  ASSERT_GE(before.size(), 2u);
  ASSERT_LT(before.size(), 6u);
  EXPECT_FALSE(std::filesystem::exists(dir / "out.mkv"));

  const Ran resumed = qnr(args);
  ASSERT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_THAT(resumed.err, HasSubstr("resuming the job"));
  const std::map<std::string, int64_t> after = written(folder);
  EXPECT_EQ(after.size(), 6u);
  for (const auto& [name, time] : before) EXPECT_EQ(after.at(name), time) << name << " redone";
  expect_same_output(Shared::single("h264.mp4"), dir / "out.mkv", "resumed");
}

// A job of `input` planned in `folder`: its 1.4 s cut in three segments.
void plan_three(const std::string& input, const std::string& output, const std::string& folder) {
  const Ran planned = qnr({"plan", input, output, "--job", folder, "--segment-seconds", "0.5",
                           "--codec", "ffv1", "--", "-g", "1"});
  ASSERT_EQ(planned.status, 0) << planned.err;
  ASSERT_EQ(planned.out, "3\n");
}

Ran segment(const std::string& folder, int k, const std::vector<std::string>& more = {}) {
  std::vector<std::string> args = {"segment", "--job", folder, std::to_string(k)};
  args.insert(args.end(), more.begin(), more.end());
  return qnr(args);
}

TEST(QnrSegments, AFolderMadeForAnotherJobIsRefused) {
  TempDir dir;
  const std::string folder = dir / "job", in = dir / "in.mp4", out = dir / "out.mkv";
  std::filesystem::copy_file(Shared::source("h264.mp4"), in);
  plan_three(in, out, folder);
  const std::string other = Shared::source("hevc.mkv");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{"plan", other, out, "--job", folder, "--codec", "ffv1"}, 3, "the input file"},
      {{"plan", in, out, "--job", folder, "--codec", "ffv1", "--segment-seconds", "0.5", "--f1",
        "5", "--", "-g", "1"},
       3,
       "the filter's settings"},
      {{"plan", in, out, "--job", folder, "--segment-seconds", "0.5"}, 3, "the codec"},
      {{in, out, "--segments", "--job", folder, "--codec", "ffv1", "--", "-g", "1"},
       3,
       "the segment length"},
      {{"plan", in, out, "--job", dir.path().string()}, 2, "holds other files"},
      {{"plan", in, in, "--job", dir / "fresh"}, 2, "is the input file"},
      {{"plan", "-", out, "--job", dir / "fresh"}, 2, "reads its input from a file"},
      {{"segment", "--job", folder, "3"}, 2, "numbered 0 to 2"},
      {{"status", "--job", dir / "none"}, 3, "holds no job plan"},
      {{in, out, "--parallel", "2"}, 2, "--parallel and --keep-job go with --segments"},
  };
  for (const Case& c : cases) {
    const Ran ran = qnr(c.args);
    EXPECT_EQ(ran.status, c.status) << c.args[0] << " " << c.says << ": " << ran.err;
    EXPECT_THAT(ran.err, HasSubstr(c.says));
  }
  // The same plan again is the same job: its number of segments.
  plan_three(in, out, folder);
  // An input changed since the plan is refused where the work would use it.
  std::ofstream(in, std::ios::app) << "x";
  const Ran changed = segment(folder, 0);
  EXPECT_EQ(changed.status, 3);
  EXPECT_THAT(changed.err, HasSubstr("changed since the job was planned"));
}

TEST(QnrSegments, TheJoinNamesEachMissingOrDamagedSegment) {
  TempDir dir;
  const std::string folder = dir / "job";
  plan_three(Shared::source("h264.mp4"), dir / "out.mkv", folder);
  // Planned timestamps that are not what the decoder gives (as for a packet
  // that does not decode): the worker settles them by decoding again.
  std::string plan = read_text(folder + "/plan");
  const size_t line = plan.find("\nsegment ", plan.find("\nsegment ") + 1);
  plan.replace(plan.find('\n', line + 1) - 64, 64, std::string(64, '0'));
  std::ofstream(folder + "/plan") << plan;
  ASSERT_EQ(segment(folder, 0).status, 0);
  ASSERT_EQ(segment(folder, 2).status, 0);
  const Ran early = qnr({"join", "--job", folder});
  EXPECT_EQ(early.status, 1);
  EXPECT_THAT(early.err, HasSubstr("segment 1 is not done"));
  const Ran status = qnr({"status", "--job", folder, "--json"});
  EXPECT_THAT(status.out, HasSubstr("\"done\": 2, \"running\": 0, \"missing\": 1"));

  // Two workers on one segment at once: both succeed, one file counts.
  {
    std::vector<std::unique_ptr<qnr::Child>> workers;
    for (int i = 0; i < 2; ++i) {
      qnr::SpawnRequest request;
      request.argv = {QNR_EXE, "segment", "--job", folder, "1"};
      std::string error;
      bool not_found = false;
      workers.push_back(qnr::Child::spawn(request, error, not_found));
      ASSERT_TRUE(workers.back()) << error;
    }
    for (auto& worker : workers) EXPECT_TRUE(qnr::exited_cleanly(worker->wait()));
  }
  const Ran again = segment(folder, 1);
  EXPECT_EQ(again.status, 0);
  EXPECT_THAT(again.err, HasSubstr("segment 1 is done already"));

  // One byte of segment 2 changed: the join stops, names it, leaves nothing.
  std::string video;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("segment-00002.") && name.ends_with(".video")) video = entry.path();
  }
  ASSERT_FALSE(video.empty());
  {
    std::fstream file(video, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(100);
    file.put('\x5a');
  }
  const Ran damaged = qnr({"join", "--job", folder});
  EXPECT_EQ(damaged.status, 1);
  EXPECT_THAT(damaged.err, HasSubstr("segment 2 is damaged"));
  EXPECT_FALSE(std::filesystem::exists(dir / "out.mkv"));
  const Ran redone = segment(folder, 2);
  EXPECT_EQ(redone.status, 0) << redone.err;
  EXPECT_THAT(redone.err, HasSubstr("segment 2 is made again: its file"));

  // A segment coded otherwise (another encoder build, say) is refused.
  const std::string record = folder + "/segment-00002.done";
  const std::string done = read_text(record);
  std::string other = done;
  other.replace(other.find("video.width 96"), 14, "video.width 98");
  std::ofstream(record) << other;
  const Ran differs = qnr({"join", "--job", folder});
  EXPECT_EQ(differs.status, 3);
  EXPECT_THAT(differs.err, HasSubstr("segment 2's video is coded differently from segment 0's "
                                     "(width)"));
  std::ofstream(record) << done;
  const Ran joined = qnr({"join", "--job", folder});
  ASSERT_EQ(joined.status, 0) << joined.err;
  expect_same_output(Shared::single("h264.mp4"), dir / "out.mkv", "joined by hand");
}

// A worker sets its encoder up from the first frame the plan records, as a
// single run sets it up from the video's first frame, without decoding the
// video from its start to find it.
TEST(QnrSegments, WorkersTakeTheFirstFrameFromThePlan) {
  TempDir dir;
  const std::string folder = dir / "job";
  plan_three(Shared::source("h264.mp4"), dir / "out.mkv", folder);
  std::string plan = read_text(folder + "/plan");
  const size_t aspect = plan.find("sample_aspect=", plan.find("\nfirst_frame "));
  ASSERT_NE(aspect, std::string::npos) << plan;
  plan.replace(aspect, plan.find(' ', aspect) - aspect, "sample_aspect=4/3");
  std::ofstream(folder + "/plan") << plan;
  ASSERT_EQ(segment(folder, 1).status, 0);
  EXPECT_THAT(read_text(folder + "/segment-00001.done"), HasSubstr("\nvideo.sample_aspect 4/3\n"));
}

// A job keeps to the road it was planned on. With the fake driver the
// module takes the GPU road; --cpu hides the device from it.
TEST(QnrSegments, AWorkerOnTheOtherRoadIsRefused) {
  TempDir dir;
  const std::string folder = dir / "job";
  plan_three(Shared::source("h264.mp4"), dir / "out.mkv", folder);
  std::string plan = read_text(folder + "/plan");
  plan.replace(plan.find("road cpu"), 8, "road gpu");
  std::ofstream(folder + "/plan") << plan;
  const Ran ran = segment(folder, 0);
  EXPECT_EQ(ran.status, 1);
  EXPECT_THAT(ran.err, HasSubstr("segment 0: the job's frames take the GPU road, and here they "
                                 "would take the CPU road"));
#if defined(QNR_FAKE_CUDA_DIR)
  const std::string fake = "LD_LIBRARY_PATH=" QNR_FAKE_CUDA_DIR;
  const Ran gpu = run({"env", fake, QNR_EXE, "segment", "--job", folder, "0"});
  EXPECT_EQ(gpu.status, 0) << gpu.err;
  const Ran cpu = run({"env", fake, QNR_EXE, "segment", "--job", folder, "1", "--cpu"});
  EXPECT_EQ(cpu.status, 1);
  EXPECT_THAT(cpu.err, HasSubstr("here they would take the CPU road"));
  // --cpu and --device choose for single runs too: the module sees only GPU N.
  struct Choice {
    std::vector<std::string> args;
    std::string says;
  };
  const std::vector<Choice> choices = {
      {{"--cpu"}, "the NVIDIA driver finds no GPU"},
      {{"--device", "1"}, "the NVIDIA driver finds no GPU"},
      {{"--device", "0"}, "works: a test frame was filtered on the GPU"},
  };
  for (const Choice& choice : choices) {
    std::vector<std::string> args = {"env", fake, QNR_EXE, "info"};
    args.insert(args.end(), choice.args.begin(), choice.args.end());
    EXPECT_THAT(run(args).out, HasSubstr(choice.says)) << choice.args[0];
  }
  const Ran hidden = run({"env", fake, "CUDA_VISIBLE_DEVICES=0", QNR_EXE, "info", "--device", "1"});
  EXPECT_EQ(hidden.status, 2);
  EXPECT_THAT(hidden.err, HasSubstr("leaves 1 GPU(s) visible"));
#endif
}

// Where frames cannot be placed by their own timestamps the video stays
// whole, with a note, as qnr plan shows: timestamps that run backwards (two
// transport streams end to end), frames counted from the start (--rate), an
// output that counts frames at a fixed rate. The output is still a single
// run's: with the jump in the joined streams taken out of the sound as out of
// the video, and with --rate into a container of fixed-rate slots.
TEST(QnrSegments, VideoThatCannotBeCutExactlyIsOneSegment) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25", "-f", "lavfi", "-i", "sine", "-t",
          "1", "-c:v", "mpeg2video", "-c:a", "mp2", dir / "a.ts"});
  std::ofstream(dir / "joined.ts") << read_text(dir / "a.ts") << read_text(dir / "a.ts");
  struct Case {
    std::string input, output;
    std::vector<std::string> options;
    std::string because;
  };
  const std::vector<Case> cases = {
      {"joined.ts", "out.mkv", {}, "the timestamps run backwards"},
      {"a.ts", "out.mkv", {"--rate", "30"}, "--rate counts the frames from the start"},
      {"a.ts", "out.avi", {}, "the output's codec or container counts frames at a fixed rate"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"plan",      dir / c.input,       dir / c.output, "--job",
                                     dir / "job", "--segment-seconds", "0.2"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Ran planned = qnr(args);
    EXPECT_EQ(planned.out, "1\n") << c.because << ": " << planned.err;
    EXPECT_THAT(planned.err, HasSubstr("the video is kept in one segment: " + c.because));
    std::filesystem::remove_all(dir / "job");
  }
  const std::vector<Case> runs = {
      {"joined.ts", "out.mkv", {}, "a jump in the input's clock"},
      {"a.ts", "out.avi", {"--rate", "30"}, "--rate into fixed-rate slots"},
  };
  for (const Case& c : runs) {
    std::vector<std::string> segmented = c.options;
    segmented.insert(segmented.end(), {"--segments", "--segment-seconds", "0.2"});
    const Ran ran = qnr(lossless(dir / c.input, dir / c.output, segmented));
    ASSERT_EQ(ran.status, 0) << c.because << ": " << ran.err;
    ASSERT_EQ(qnr(lossless(dir / c.input, dir / ("single-" + c.output), c.options)).status, 0);
    expect_same_output(print_of(dir / ("single-" + c.output)), dir / c.output, c.because);
  }
}

}  // namespace
}  // namespace qnr_test
