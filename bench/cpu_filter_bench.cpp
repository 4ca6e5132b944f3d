// Each version of the frame filter and of the luma fill on one thread, with a
// memcpy of the same frame as the floor no filter can go below.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "bench_frames.h"
#include "core/cpu_luma_plane.h"
#include "core/cpu_routines.h"
#include "core/cpu_version.h"
#include "core/frame_filter.h"
#include "support/filter_call.h"

namespace {

void frame_copy(benchmark::State& state, FrameSize size) {
  const std::vector<uint32_t> src = picture_frame(size.width, size.height);
  std::vector<uint32_t> dst(src.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size() * sizeof(uint32_t));
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  report_pixel_rate(state, static_cast<int64_t>(src.size()));
}

void frame_filter(benchmark::State& state, FrameSize size, CpuVersion version) {
  const CpuRoutines* routines = cpu_routines_of(version);
  if (routines == nullptr) {
    state.SkipWithError("this CPU cannot run this version");
    return;
  }
  const std::vector<uint32_t> src = picture_frame(size.width, size.height);
  std::vector<uint32_t> dst(src.size());
  std::vector<uint8_t> luma(src.size());
  cpu_luma_plane_plain(src.data(), luma.data(), src.size());
  const testing_frames::FilterCall call(src.data(), dst.data(), luma.data(), size.width,
                                        size.height);
  const CpuFilterArgs& args = call.args;
  for (auto _ : state) {
    routines->filter_frame(args);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  report_pixel_rate(state, static_cast<int64_t>(src.size()));
}

void luma_fill(benchmark::State& state, FrameSize size, CpuVersion version) {
  const CpuRoutines* routines = cpu_routines_of(version);
  if (routines == nullptr) {
    state.SkipWithError("this CPU cannot run this version");
    return;
  }
  const std::vector<uint32_t> src = picture_frame(size.width, size.height);
  std::vector<uint8_t> luma(src.size());
  for (auto _ : state) {
    routines->luma_plane(src.data(), luma.data(), src.size());
    benchmark::DoNotOptimize(luma.data());
    benchmark::ClobberMemory();
  }
  report_pixel_rate(state, static_cast<int64_t>(src.size()));
}

std::string size_label(FrameSize size) {
  return std::to_string(size.width) + "x" + std::to_string(size.height);
}

const bool registered = [] {
  for (FrameSize size : kFrameSizes) {
    benchmark::RegisterBenchmark(("copy_floor/" + size_label(size)).c_str(), frame_copy, size)
        ->Unit(benchmark::kMillisecond);
    for (CpuVersion version : all_cpu_versions()) {
      if (!cpu_version_available(version)) continue;
      benchmark::RegisterBenchmark(
          ("filter/" + std::string(cpu_version_name(version)) + "/" + size_label(size)).c_str(),
          frame_filter, size, version)
          ->Unit(benchmark::kMillisecond);
    }
    for (CpuVersion version : all_cpu_versions()) {
      if (!cpu_version_available(version)) continue;
      benchmark::RegisterBenchmark(
          ("luma_fill/" + std::string(cpu_version_name(version)) + "/" + size_label(size)).c_str(),
          luma_fill, size, version)
          ->Unit(benchmark::kMillisecond);
    }
  }
  return true;
}();

}  // namespace
