// How fast `qnr tune` answers the page, measured over HTTP against a real
// `qnr tune --no-browser` child on 1080p H.264:
//   settings change: the same frame with a new Level f1 (filter call, PNG, transfer);
//   seek: the frame at a time in a keyframe interval not visited before
//         (decode from the keyframe, convert, PNG, transfer).
//   forward seek, MP4 and Matroska: the first seek of a fresh server to a
//         time far ahead, on the same stream in either container;
//   memory: peak and settled resident memory of the server over a slider
//         drag from 0 to 40 s on 4K Matroska (2-second keyframe interval),
//         and over one seek to the end of a 10-second interval in 4K MP4.
// Build the qnr target first; needs ffmpeg to make the clips.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <unistd.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace {

constexpr int kSeconds = 12;

// Clips are kept between runs (4K takes minutes to encode here), so a run with
// QNR_TUNE_BENCH_QNR set to another qnr measures it on the same files.
std::string temp_name(const std::string& stem) {
  return (std::filesystem::temp_directory_path() / ("qnr-tune-bench-" + stem)).string();
}

const char* qnr_exe() {
  const char* other = std::getenv("QNR_TUNE_BENCH_QNR");
  return other != nullptr && *other != '\0' ? other : QNR_EXE;
}

// The same stream in another container.
std::string remux(const std::string& from, const std::string& extension) {
  const std::string to = from + extension;
  if (std::filesystem::exists(to)) return to;
  const qnr::RunResult made = qnr::run_to_completion(
      {"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", from, "-c", "copy", to});
  return made.started && made.status == 0 ? to : "";
}

// A 1080p25 clip with fine grain in the luma, at a camera's bit rate (4K at
// the speed this machine encodes, for the memory figures).
std::string make_clip(int keyframe_interval, bool uhd = false, int seconds = kSeconds) {
  const std::string path = temp_name((uhd ? "4k-g" : "g") + std::to_string(keyframe_interval) +
                                     "-" + std::to_string(seconds) + "s") +
                           ".mp4";
  if (std::filesystem::exists(path)) return path;
  const std::string source =
      uhd ? "testsrc2=size=3840x2160:rate=25,format=yuv420p"
          : "testsrc2=size=1920x1080:rate=25,format=yuv420p,noise=c0s=8:c0f=t";
  const qnr::RunResult made = qnr::run_to_completion({"ffmpeg",
                                                      "-nostdin",
                                                      "-v",
                                                      "error",
                                                      "-y",
                                                      "-f",
                                                      "lavfi",
                                                      "-i",
                                                      source,
                                                      "-t",
                                                      std::to_string(seconds),
                                                      "-c:v",
                                                      "libx264",
                                                      "-preset",
                                                      uhd ? "ultrafast" : "veryfast",
                                                      "-b:v",
                                                      "12M",
                                                      "-maxrate",
                                                      "16M",
                                                      "-bufsize",
                                                      "24M",
                                                      "-g",
                                                      std::to_string(keyframe_interval),
                                                      path});
  if (!made.started || made.status != 0) return "";
  return path;
}

struct Tune {
  std::unique_ptr<qnr::Child> child;
  std::unique_ptr<httplib::Client> client;
  std::string token;
};

Tune start_tune(const std::string& clip) {
  Tune tune;
  qnr::SpawnRequest request;
  request.argv = {qnr_exe(), "tune", clip, "--no-browser"};
  std::string error;
  bool not_found = false;
  tune.child = qnr::Child::spawn(request, error, not_found);
  if (!tune.child) return tune;
  std::string line;
  for (char c; ::read(tune.child->stdout_fd(), &c, 1) == 1 && c != '\n';) line += c;
  const size_t colon = line.rfind(':'), slash = line.find("/?token=");
  if (slash == std::string::npos) return tune;
  tune.token = line.substr(slash + 8);
  tune.client = std::make_unique<httplib::Client>(
      "127.0.0.1", std::stoi(line.substr(colon + 1, slash - colon - 1)));
  tune.client->set_read_timeout(60);
  return tune;
}

// Milliseconds for one picture, or a negative value when it failed.
double fetch(Tune& tune, const std::string& query) {
  const auto began = std::chrono::steady_clock::now();
  const httplib::Result res = tune.client->Get("/api/frame?" + query + "&token=" + tune.token);
  const auto ended = std::chrono::steady_clock::now();
  if (!res || res->status != 200) return -1;
  return std::chrono::duration<double>(ended - began).count();
}

const std::string& clip(int keyframe_interval) {
  static std::string short_gop = make_clip(50);
  static std::string long_gop = make_clip(250);
  return keyframe_interval == 50 ? short_gop : long_gop;
}

void SettingsChange(benchmark::State& state) {
  Tune tune = start_tune(clip(50));
  if (!tune.client || fetch(tune, "t=6") < 0) return state.SkipWithError("qnr tune did not serve");
  int f1 = 0;
  for (auto _ : state) {
    const double seconds = fetch(tune, "t=6&f1=" + std::to_string(f1 = (f1 + 7) % 101));
    if (seconds < 0) return state.SkipWithError("a frame failed");
    state.SetIterationTime(seconds);
  }
}
BENCHMARK(SettingsChange)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

// Times far apart, in keyframe intervals not visited before: 1.5 s into each
// 2-second interval, or late and then midway into the 10-second one.
void Seek(benchmark::State& state) {
  const int gop = static_cast<int>(state.range(0));
  Tune tune = start_tune(clip(gop));
  if (!tune.client || fetch(tune, "t=0&view=source") < 0) {
    return state.SkipWithError("qnr tune did not serve");
  }
  const std::vector<double> times = gop == 50 ? std::vector<double>{3.5, 9.5, 5.5, 11.5, 7.5, 1.5}
                                              : std::vector<double>{9.5, 5.5};
  size_t visit = 0;
  for (auto _ : state) {
    const double t = times[visit++ % times.size()];
    const double seconds = fetch(tune, "view=source&t=" + std::to_string(t));
    if (seconds < 0) return state.SkipWithError("a frame failed");
    state.SetIterationTime(seconds);
  }
}
BENCHMARK(Seek)->Arg(50)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(6);
BENCHMARK(Seek)->Arg(250)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

// The first seek of a fresh server, far ahead: Matroska's index holds only
// the keyframes read so far until a seek reads its cues. Arg 0: MP4, 1: MKV.
void ForwardSeek(benchmark::State& state) {
  static const std::string mkv = remux(clip(50), ".mkv");
  const std::string& input = state.range(0) == 0 ? clip(50) : mkv;
  const double times[] = {5.5, 9.5, 11.5};
  size_t visit = 0;
  for (auto _ : state) {
    Tune tune = start_tune(input);
    if (!tune.client || fetch(tune, "t=0&view=source") < 0) {
      return state.SkipWithError("qnr tune did not serve");
    }
    const double seconds = fetch(tune, "view=source&t=" + std::to_string(times[visit++ % 3]));
    if (seconds < 0) return state.SkipWithError("a frame failed");
    state.SetIterationTime(seconds);
  }
}
BENCHMARK(ForwardSeek)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

long resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Peak and settled (a few seconds after the last request) resident memory,
// in MiB, of a server that served `times` as source frames one after another.
void Memory(benchmark::State& state, const std::string& input, const std::vector<double>& times) {
  if (input.empty()) return state.SkipWithError("ffmpeg could not make the clip");
  for (auto _ : state) {
    Tune tune = start_tune(input);
    if (!tune.client) return state.SkipWithError("qnr tune did not serve");
    const auto began = std::chrono::steady_clock::now();
    for (const double t : times) {
      if (fetch(tune, "view=source&t=" + std::to_string(t)) < 0) {
        return state.SkipWithError("a frame failed");
      }
    }
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
    std::this_thread::sleep_for(std::chrono::seconds(3));
    state.counters["settled_MiB"] = resident_kib(tune.child->pid()) / 1024.0;
    tune.client.reset();
    tune.child->kill(SIGINT);
    tune.child->wait();
    state.counters["peak_MiB"] = tune.child->peak_kib() / 1024.0;
  }
}

// A slider dragged from 0 to 40 s: a request every second of video (a
// browser's drag sends them as fast as they are answered).
void DragMemory4K(benchmark::State& state) {
  static const std::string mkv = remux(make_clip(50, true, 42), ".mkv");
  std::vector<double> times;
  for (int i = 0; i <= 40; ++i) times.push_back(i);
  Memory(state, mkv, times);
}
BENCHMARK(DragMemory4K)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

// One seek to the end of a 10-second keyframe interval.
void LongSeekMemory4K(benchmark::State& state) {
  static const std::string mp4 = make_clip(250, true, 12);
  Memory(state, mp4, {9.9});
}
BENCHMARK(LongSeekMemory4K)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
