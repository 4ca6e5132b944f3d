#include "filter_job.h"

#include <dlfcn.h>

#include <thread>

#include "encoder_args.h"
#include "failure.h"
#include "interrupt.h"
#include "media_input.h"
#include "media_output.h"
#include "note.h"
#include "output_file.h"
#include "progress.h"
#include "road.h"

namespace qnr {

bool cuda_driver_loads() {
  void* handle = ::dlopen("libcuda.so.1", RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) return false;
  ::dlclose(handle);
  return true;
}

int default_jobs() {
  if (!gpu_hidden() && cuda_driver_loads()) return 1;
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(std::min(n, 64u));
}

namespace {

OutputRequest output_request(const Options& options, const OutputFile& file) {
  OutputRequest request;
  request.name = options.output;
  request.url = file.url();
  request.format = options.format;
  request.codec = options.codec;
  request.encoder_args = options.encoder_args;
  request.streamed = file.streamed();
  request.sequence = file.sequence();
  request.interlace = options.settings.interlace;
  request.quiet = options.quiet;
  request.strict = options.strict;
  request.rate = {options.rate_num, options.rate_den};
  return request;
}

}  // namespace

JobReport run_filter_job(const Options& options, const LoadedModule& loaded,
                         const FrameObserver& observe) {
  const int jobs = options.jobs > 0 ? options.jobs : default_jobs();
  std::vector<std::unique_ptr<vdhost::FilterInstance>> instances;
  for (int j = 0; j < jobs; ++j) instances.push_back(make_instance(loaded, options.settings));

  OutputTarget target;
  target.name = options.output;
  target.overwrite = options.overwrite;
  target.input = options.input;
  target.format = parse_encoder_args(options.encoder_args).format.value_or(options.format);
  // Mistakes in the command line first: the output's name and container.
  OutputFile output_file(target);
  MediaOutput output(output_request(options, output_file));
  const std::unique_ptr<MediaInput> input = open_media_input(options.input);
  // A gap is a picture the sequence has lost: damage --strict does not accept.
  if (options.strict && !input->sequence_gap.empty()) {
    throw Failure(input->sequence_gap + " (--strict stops at damage in the input)");
  }
  output.map_streams(*input);

  std::optional<int64_t> total = input->frame_count;
  std::optional<int64_t> estimate = input->estimated_frames;
  std::optional<int64_t> max_frames;
  if (output.single_image()) {
    max_frames = 1;
    total = 1;
    estimate.reset();
  }
  Progress progress(options.quiet, total, estimate);

  PipelineRequest pipeline;
  pipeline.input = input.get();
  pipeline.output = &output;
  for (auto& instance : instances) pipeline.instances.push_back(instance.get());
  pipeline.max_frames = max_frames;
  pipeline.progress = &progress;
  pipeline.quiet = options.quiet;
  pipeline.observe = observe;
  pipeline.rate = {options.rate_num, options.rate_den};
  pipeline.strict = options.strict;
  const PipelineResult result = run_pipeline(pipeline);
  const int64_t frames = result.frames;
  progress.finish();
  throw_if_interrupted();
  if (frames == 0) {
    throw Failure("the video stream of " + options.input +
                  " has no frames (is the file damaged or cut short?)");
  }
  for (const std::string& line : result.notes) note(options.quiet, line);
  output.finish();
  output_file.commit();
  if (!input->sequence_gap.empty() && !output.single_image()) {
    note(options.quiet, input->sequence_gap);
  }

  JobReport report;
  report.frames = frames;
  report.seconds = progress.seconds();
  report.summary = progress.summary();
  return report;
}

}  // namespace qnr
