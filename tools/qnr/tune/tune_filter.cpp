#include "tune/tune_filter.h"

#include <chrono>

#include "base/failure.h"

namespace qnr {

namespace {

FilterSettings as_filter_settings(const TuneSettings& settings) {
  FilterSettings out;
  out.config = ScriptCall{"Config",
                          {settings.f1, settings.f2, settings.sharp, settings.interlace ? 1 : 0,
                           settings.multithreading}};
  out.show_noise = settings.show_noise;
  return out;
}

ScriptCall reported_line(vdhost::FilterInstance& instance) {
  std::string line, error;
  ScriptCall call;
  if (!instance.script_string(line) || !parse_script_line(line, call, error) ||
      call.name != "Config" || call.arguments.size() != 5) {
    throw Failure(
        "the filter does not report its settings as Config(...) with five values; "
        "qnr tune needs the QNR_CUDA.vdf built with it");
  }
  return call;
}

}  // namespace

TuneSettings starting_settings(const LoadedModule& loaded, const FilterSettings& given) {
  auto instance = make_instance(loaded, given);
  const ScriptCall line = reported_line(*instance);
  TuneSettings settings;
  settings.f1 = line.arguments[0];
  settings.f2 = line.arguments[1];
  settings.sharp = line.arguments[2];
  settings.interlace = line.arguments[3] != 0;
  settings.multithreading = line.arguments[4];
  settings.show_noise = given.show_noise;
  return settings;
}

std::string settings_line(const LoadedModule& loaded, const TuneSettings& settings) {
  auto instance = make_instance(loaded, as_filter_settings(settings));
  std::string line;
  instance->script_string(line);
  return line;
}

FilterRun filter_frame(const LoadedModule& loaded, const TuneSettings& settings,
                       const HostFrame& source, HostFrame& result) {
  auto instance = make_instance(loaded, as_filter_settings(settings));
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
