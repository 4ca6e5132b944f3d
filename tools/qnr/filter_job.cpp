#include "filter_job.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "failure.h"
#include "ffmpeg_commands.h"
#include "interrupt.h"
#include "output_file.h"
#include "probe.h"
#include "process.h"
#include "progress.h"

namespace qnr {

std::string missing_program_message(const std::string& program) {
  return program + " is not installed; install the Debian package ffmpeg "
         "(sudo apt-get install ffmpeg)";
}

int default_jobs() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(std::min(n, 64u));
}

namespace {

bool is_local_file_name(const std::string& path) {
  return path.find("://") == std::string::npos && path.find('%') == std::string::npos;
}

void check_input(const std::string& input) {
  if (!is_local_file_name(input)) return;  // URLs and image patterns: ffprobe decides
  struct stat info {};
  if (::stat(input.c_str(), &info) != 0) {
    throw Failure("cannot read " + input + ": " + std::strerror(errno) +
                  "; check the input file's name");
  }
  if (S_ISDIR(info.st_mode)) throw Failure(input + " is a directory; name a video or image file");
  // ffprobe, the decoder and the stream copy each read the input from the start.
  if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
    throw Failure(input + " is not a regular file; qnr reads its input more than once, so save "
                  "it to a file first");
  }
  if (::access(input.c_str(), R_OK) != 0) {
    throw Failure("cannot read " + input + ": " + std::strerror(errno) +
                  "; check the file's permissions");
  }
}

MediaInfo probe(const std::string& input) {
  const RunResult result = run_to_completion(probe_command(ffmpeg_path(input)));
  throw_if_interrupted();
  if (result.not_found) throw Failure(missing_program_message("ffprobe"));
  if (!result.started) throw Failure("cannot run ffprobe: " + result.error);
  if (!exited_cleanly(result.status)) {
    throw Failure("cannot read " + input + " as video or image: " + result.error +
                  " (is it damaged or not a media file?)");
  }
  MediaInfo info;
  std::string error;
  if (!parse_probe_output(result.out, info, error)) {
    throw Failure("cannot filter " + input + ": " + error);
  }
  return info;
}

std::unique_ptr<Child> start(const SpawnRequest& request) {
  std::string error;
  bool not_found = false;
  auto child = Child::spawn(request, error, not_found);
  if (not_found) throw Failure(missing_program_message(request.argv[0]));
  if (!child) throw Failure("cannot run " + request.argv[0] + ": " + error);
  return child;
}

// ffmpeg 5 can exit with status 0 after it failed to write the end of the
// file (a full disk, a closed pipe); its messages tell.
bool reports_write_failure(const std::string& text) {
  for (const char* sign : {"Error writing trailer", "Error closing file",
                           "No space left on device", "Broken pipe"}) {
    if (text.find(sign) != std::string::npos) return true;
  }
  return false;
}

bool names_format(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "-f") return true;
  }
  return false;
}

}  // namespace

JobReport run_filter_job(const Options& options, const LoadedModule& loaded,
                         decltype(PipelineRequest::observe) observe, void* observe_context) {
  // Mistakes in the command line first, then the files.
  if (options.output == "-") {
    throw Failure("qnr writes files; to write to a pipe use /dev/stdout -- -f FORMAT", kExitUsage);
  }
  if (lower_extension(options.output).empty() && !names_format(options.encoder_args)) {
    throw Failure("cannot tell the output format from \"" + options.output +
                      "\"; give it an extension such as .mp4 or .mkv, or add -- -f FORMAT",
                  kExitUsage);
  }
  const int jobs = options.jobs > 0 ? options.jobs : default_jobs();
  std::vector<std::unique_ptr<vdhost::FilterInstance>> instances;
  for (int j = 0; j < jobs; ++j) instances.push_back(make_instance(loaded, options.settings));

  check_input(options.input);
  const MediaInfo media = probe(options.input);
  OutputFile output(options.output);

  // An image holds one frame; the decoder is stopped after it.
  const bool image_out = is_image_extension(output.extension()) && !names_format(options.encoder_args);
  std::optional<int64_t> max_frames;
  if (image_out) max_frames = 1;

  SpawnRequest decode;
  decode.argv = decoder_command(options.input);
  decode.out = Stream::pipe;
  auto decoder = start(decode);

  EncodeRequest encode_request;
  encode_request.media = &media;
  encode_request.input = options.input;
  encode_request.output = output.write_path();
  encode_request.extension = output.extension();
  encode_request.codec = options.codec;
  encode_request.extra = options.encoder_args;
  SpawnRequest encode;
  encode.argv = encoder_command(encode_request);
  encode.in = Stream::pipe;
  // A device output such as /dev/stdout means qnr's own.
  encode.out = output.is_device() ? Stream::inherit : Stream::null;
  auto encoder = start(encode);

  std::optional<int64_t> total = media.frame_count;
  std::optional<int64_t> estimate = media.estimated_frames;
  if (max_frames) total = max_frames, estimate.reset();
  Progress progress(options.quiet, total, estimate);

  PipelineRequest request;
  for (auto& instance : instances) request.instances.push_back(instance.get());
  request.decoder_fd = decoder->stdout_fd();
  request.encoder_fd = encoder->stdin_fd();
  request.width = media.width;
  request.height = media.height;
  request.max_frames = max_frames;
  request.progress = &progress;
  request.observe = observe;
  request.observe_context = observe_context;
  const PipelineOutcome outcome = run_pipeline(request);
  progress.finish();

  // Closing the pipes ends both children: the encoder finishes the file, a
  // decoder stopped early sees a closed pipe.
  encoder->close_stdin();
  decoder->close_stdout();
  const bool stopped_early = max_frames && outcome.frames >= *max_frames;
  if (stopped_early) decoder->kill(SIGKILL);
  const int decoder_status = decoder->wait();
  const int encoder_status = encoder->wait();
  throw_if_interrupted();

  if (!outcome.error.empty()) throw Failure(outcome.error);
  // The side that failed first explains it: an encoder that quit makes the
  // decoder fail on its closed pipe, a decoder that failed starves the encoder.
  auto encoder_failure = [&] {
    std::string why = encoder->last_error_line();
    if (why.empty()) why = std::strerror(outcome.write_errno);
    std::string hint = "check --codec and the encoder options after --";
    if (why.find("No space") != std::string::npos) hint = "free some space on the output's disk";
    if (why.find("Broken pipe") != std::string::npos) hint = "the program reading the output quit";
    return Failure("writing " + options.output + " failed: " + why + " (" + hint + ")");
  };
  if (outcome.write_errno != 0) throw encoder_failure();
  if (!stopped_early && !exited_cleanly(decoder_status)) {
    throw Failure("decoding " + options.input + " failed: " + decoder->last_error_line() +
                  " (is the file damaged?)");
  }
  if (!exited_cleanly(encoder_status) || reports_write_failure(encoder->error_text())) {
    throw encoder_failure();
  }
  if (outcome.truncated) {
    throw Failure("the decoder stopped in the middle of a frame of " + options.input);
  }
  if (outcome.frames == 0) throw Failure(options.input + " has no video frames to filter");

  output.commit();
  JobReport report;
  report.frames = outcome.frames;
  report.seconds = progress.seconds();
  report.summary = progress.summary();
  return report;
}

}  // namespace qnr
