#include "app/requests.h"

namespace qnr {

OutputChoice output_choice(const Options& options, const vdhost::Settings& held) {
  OutputChoice choice;
  choice.name = options.output;
  choice.format = options.format;
  choice.codec = options.codec;
  choice.encoder_args = options.encoder_args;
  choice.interlace = held.on(vdhost::Setting::interlace);
  choice.strict = options.strict;
  choice.rate = {options.rate_num, options.rate_den};
  return choice;
}

bool is_job_command(const Options& options) {
  switch (options.mode) {
    case Options::Mode::plan:
    case Options::Mode::segment:
    case Options::Mode::join:
    case Options::Mode::status: return true;
    case Options::Mode::filter: return options.job.segments;
    default: return false;
  }
}

JobRequest job_request(const Options& options) {
  JobRequest request;
  switch (options.mode) {
    case Options::Mode::plan: request.command = JobCommand::plan; break;
    case Options::Mode::segment: request.command = JobCommand::segment; break;
    case Options::Mode::join: request.command = JobCommand::join; break;
    case Options::Mode::status: request.command = JobCommand::status; break;
    default: request.command = JobCommand::run_here; break;
  }
  request.input = options.input;
  request.output = options.output;
  request.module = options.module;
  request.codec = options.codec;
  request.format = options.format;
  request.overwrite = options.overwrite;
  request.encoder_args = options.encoder_args;
  request.settings = options.settings;
  request.jobs = options.jobs;
  request.quiet = options.quiet;
  request.road = options.road;
  request.rate_num = options.rate_num;
  request.rate_den = options.rate_den;
  request.strict = options.strict;
  request.video_stream = options.video_stream;
  request.rgb = options.rgb;
  request.segment_seconds = options.job.segment_seconds;
  request.parallel = options.job.parallel;
  request.dir = options.job.dir;
  request.keep = options.job.keep;
  request.segment = options.job.segment;
  request.json = options.job.json;
  return request;
}

TuneRequest tune_request(const Options& options, const std::string& module_path) {
  TuneRequest request;
  request.input = options.input;
  request.module_path = module_path;
  request.settings = options.settings;
  request.at = options.tune_at;
  request.port = options.tune_port;
  request.open_browser = options.tune_open_browser;
  request.rgb = options.rgb;
  request.fresh = options.tune_fresh;
  return request;
}

DemoRequest demo_request(const Options& options) {
  DemoRequest request;
  request.dir = options.demo_dir;
  request.width = options.demo_width;
  request.height = options.demo_height;
  request.frames = options.demo_frames;
  request.jobs = options.jobs;
  request.settings = options.settings;
  request.quiet = options.quiet;
  return request;
}

}  // namespace qnr
