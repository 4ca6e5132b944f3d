// The module's whole CPU path per frame, as a host drives it: copy-in, luma
// fill, frame filter and copy-out, through the exported entry and the run
// callback. Without a usable GPU every frame takes this path.
//
// The run callback allocates its two packed frames on every call. Whether that
// costs page faults on every frame depends on the allocator: glibc keeps the
// memory when earlier benchmarks in the process have raised its thresholds and
// gives it back when this benchmark runs alone (--benchmark_filter=module);
// Windows' heap gives blocks this large back on every free. Run it both ways.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_frames.h"
#include "core/cpu_version.h"
#include "vdhost.h"

namespace {

void module_run(benchmark::State& state, FrameSize size) {
  std::string error;
  const auto module = vdhost::FilterModule::load(QNR_MODULE_PATH, error);
  if (module == nullptr) {
    state.SkipWithError(error.c_str());
    return;
  }
  if (module->initialise() != 0 || module->filter() == nullptr) {
    state.SkipWithError("the module entry registered no filter");
    return;
  }
  vdhost::FilterInstance instance(*module, *module->filter());
  vdhost::Bitmap src(size.width, size.height), dst(size.width, size.height);
  src.fill_from_packed(picture_frame(size.width, size.height));
  if (instance.init() != 0 || instance.start(src, dst) != 0) {
    state.SkipWithError("the instance did not start");
    return;
  }
  for (auto _ : state) {
    if (instance.run(src, dst) != 0) {
      state.SkipWithError("the run callback failed");
      break;
    }
    benchmark::ClobberMemory();
  }
  instance.end();
  report_pixel_rate(state, int64_t{size.width} * size.height);
  state.SetLabel(std::string("in-process best version: ") + cpu_version_name(best_cpu_version()));
}

const bool registered = [] {
  for (FrameSize size : {FrameSize{720, 576}, FrameSize{1920, 1080}}) {
    benchmark::RegisterBenchmark(
        ("module_cpu_path/" + std::to_string(size.width) + "x" + std::to_string(size.height))
            .c_str(),
        module_run, size)
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

}  // namespace
