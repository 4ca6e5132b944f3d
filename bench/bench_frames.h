// Frame sizes and content shared by the benchmarks.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

struct FrameSize {
  int32_t width, height;
};
// PAL SD, full HD and UHD.
inline constexpr FrameSize kFrameSizes[] = {{720, 576}, {1920, 1080}, {3840, 2160}};

// A picture-like frame: smooth colour gradients with some grain.
std::vector<uint32_t> picture_frame(int32_t width, int32_t height);

// Reports megapixels per second for `pixels` per iteration.
inline void report_pixel_rate(benchmark::State& state, int64_t pixels) {
  state.counters["Mpix/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * static_cast<double>(pixels) / 1e6,
      benchmark::Counter::kIsRate);
  state.SetItemsProcessed(state.iterations() * pixels);
}
