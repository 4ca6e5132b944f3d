// How fast `qnr tune` answers the page, measured over HTTP against a real
// `qnr tune --no-browser` child on 1080p H.264:
//   settings change: the same frame with a new Level f1 (filter call, PNG, transfer);
//   seek: the frame at a time in a keyframe interval not visited before
//         (decode from the keyframe, convert, PNG, transfer).
// Build the qnr target first; needs ffmpeg to make the clips.
#include <benchmark/benchmark.h>
#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

constexpr int kSeconds = 12;

// A 1080p25 clip with fine grain in the luma, at a camera's bit rate.
std::string make_clip(int keyframe_interval) {
  const auto dir = std::filesystem::temp_directory_path();
  const std::string path = (dir / ("qnr-tune-bench-g" + std::to_string(keyframe_interval) + "-" +
                                   std::to_string(::getpid()) + ".mp4"))
                               .string();
  const qnr::RunResult made =
      qnr::run_to_completion({"ffmpeg",
                              "-nostdin",
                              "-v",
                              "error",
                              "-y",
                              "-f",
                              "lavfi",
                              "-i",
                              "testsrc2=size=1920x1080:rate=25,format=yuv420p,noise=c0s=8:c0f=t",
                              "-t",
                              std::to_string(kSeconds),
                              "-c:v",
                              "libx264",
                              "-preset",
                              "veryfast",
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
  request.argv = {QNR_EXE, "tune", clip, "--no-browser"};
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

}  // namespace
