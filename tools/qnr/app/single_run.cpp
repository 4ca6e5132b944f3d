#include "app/single_run.h"

#include "app/requests.h"

#include "base/failure.h"
#include "base/interrupt.h"
#include "base/note.h"
#include "base/progress.h"
#include "hosting/road.h"
#include "media/encoder_args.h"
#include "media/media_input.h"
#include "media/media_output.h"
#include "media/output_file.h"

namespace qnr {

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
  const vdhost::Settings held = vdhost::held_settings(*instances.front());
  MediaOutput output(
      make_output_request(output_choice(options, held), options.quiet, &output_file));
  const std::unique_ptr<MediaInput> input = open_media_input(options.input, options.video_stream);
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
  for (auto& instance : instances) pipeline.filters.push_back(instance.get());
  pipeline.max_frames = max_frames;
  pipeline.progress = &progress;
  pipeline.quiet = options.quiet;
  pipeline.observe = observe;
  pipeline.rate = {options.rate_num, options.rate_den};
  pipeline.strict = options.strict;
  pipeline.road = output_road(options.rgb, held.on(vdhost::Setting::show_noise));
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
  if (const std::string older = output_file.older_pictures(); !older.empty()) {
    note(options.quiet, older);
  }
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
