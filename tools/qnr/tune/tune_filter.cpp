#include "tune/tune_filter.h"

#include <algorithm>
#include <chrono>

#include "base/failure.h"

namespace qnr {

vdhost::Settings starting_settings(const LoadedModule& loaded, const FilterSettings& given) {
  auto instance = make_instance(loaded, given);
  vdhost::Settings held = vdhost::held_settings(*instance);
  for (const vdhost::SettingInfo& info : vdhost::kSettingTable) {
    std::optional<int32_t>& value = held[info.setting];
    if (!value) {
      throw Failure(
          "the filter does not report its settings as Config(...) with five values; "
          "qnr tune needs the QNR_CUDA.vdf built with it");
    }
    // A script may store any value; the filter counts a non-zero flag as set.
    value = info.kind == vdhost::SettingKind::flag ? (*value != 0 ? 1 : 0)
                                                   : std::clamp(*value, info.minimum, info.maximum);
  }
  return held;
}

std::string settings_line(const LoadedModule& loaded, const FilterSettings& settings) {
  auto instance = make_instance(loaded, settings);
  std::string line;
  instance->script_string(line);
  return line;
}

FilterRun filter_frame(const LoadedModule& loaded, const FilterSettings& settings,
                       const HostFrame& source, HostFrame& result) {
  auto instance = make_instance(loaded, settings);
  result.resize(source.width, source.height);
  result.alpha = source.alpha;
  // The module only reads the source; the record is the host's to hand over.
  HostBitmap source_view = source.view;
  if (instance->start(source_view, result.view) != 0) {
    throw Failure("the filter could not start on " + std::to_string(source.width) + "x" +
                  std::to_string(source.height) + " frames (out of memory?)");
  }
  FilterRun run;
  run.gpu = vdhost::holds_gpu_context(*instance);
  const auto began = std::chrono::steady_clock::now();
  const int status = instance->run(source_view, result.view);
  run.milliseconds =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
  instance->end();
  if (status != 0) throw Failure("the filter could not process the frame (out of memory?)");
  return run;
}

}  // namespace qnr
