#include "jobs/job_commands.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

#include "base/failure.h"
#include "base/interrupt.h"
#include "base/note.h"
#include "base/output_checks.h"
#include "base/version.h"
#include "jobs/job_planner.h"
#include "jobs/job_setup.h"
#include "jobs/segment_join.h"
#include "jobs/segment_worker.h"
#include "media/media_output.h"

namespace qnr {

namespace {

int processors() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(std::min(n, 256u));
}

// The output a long job writes: a file, named from the root; an existing
// one only with -y, and never the input.
std::string output_for_job(const JobRequest& request, const JobPlan& plan) {
  const std::string& name = request.output;
  if (name == "-" || name.starts_with("/dev/") || av_filename_number_test(name.c_str())) {
    throw Failure("a long job writes its output to a file, not " + name, kExitUsage);
  }
  struct stat info {};
  if (::stat(name.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) {
      throw Failure("a long job writes its output to a file; " + name + " is not one", kExitUsage);
    }
    struct stat in {};
    if (::stat(plan.input.c_str(), &in) == 0 && same_file(in, info)) {
      throw Failure("the output " + name + " is the input file; name a different output",
                    kExitUsage);
    }
    if (!request.overwrite) {
      throw Failure(name + " exists; add -y (--overwrite) to replace it", kExitUsage);
    }
  }
  return absolute_path(name);
}

struct PlannedJob {
  JobPlan plan;
  std::string id;
  bool resumed = false;
};

// The plan the command line asks for, without its segments.
JobPlan wanted_plan(const JobRequest& request) {
  JobPlan plan;
  plan.qnr_version = kVersion;
  describe_input(request.input, plan);
  plan.output = output_for_job(request, plan);
  apply_road_choice(request.road);
  const std::string module = request.module.empty() ? default_module_path() : request.module;
  const LoadedModule loaded = load_job_module(module, plan.module_sha256);
  char resolved[PATH_MAX];
  plan.module = ::realpath(module.c_str(), resolved) != nullptr ? resolved : module;
  std::string why;
  plan.road = probe_road(*loaded.module, *loaded.filter, why);
  plan.cpu_only = request.road.cpu;
  // The settings as the instance holds them, however they were given: the
  // output is coded interlaced when the filter's Interlace is on.
  const auto instance = make_instance(loaded, request.settings);
  instance->script_string(plan.config);
  const vdhost::Settings held = vdhost::held_settings(*instance);
  plan.show_noise = held.on(vdhost::Setting::show_noise);
  plan.disable = held.on(vdhost::Setting::disable);
  plan.interlace = held.on(vdhost::Setting::interlace);
  plan.rate_num = request.rate_num;
  plan.rate_den = request.rate_den;
  plan.strict = request.strict;
  plan.format = request.format;
  plan.codec = request.codec;
  plan.encoder_args = request.encoder_args;
  plan.overwrite = request.overwrite;
  plan.segment_seconds =
      request.segment_seconds > 0 ? request.segment_seconds : kDefaultSegmentSeconds;
  return plan;
}

PlannedJob plan_job(const JobRequest& request, const JobFolder& folder) {
  PlannedJob job;
  JobPlan wanted = wanted_plan(request);
  if (folder.has_plan()) {
    job.plan = folder.read_plan(&job.id);
    const std::string difference = plan_difference(job.plan, wanted);
    if (!difference.empty()) {
      throw Failure("the job folder " + folder.path() + " was made for another job (" + difference +
                        " differs); remove it or name another folder with --job",
                    kExitCannotRetry);
    }
    job.resumed = true;
    return job;
  }
  // The container and codec are refused now rather than after the work.
  MediaOutput check(plan_output_request(wanted, true));
  if (check.single_image()) {
    throw Failure("a long job writes video; " + request.output + " holds one picture", kExitUsage);
  }
  const std::unique_ptr<MediaInput> input = open_media_input(wanted.input);
  check.map_streams(*input);
  const ClockMode clock = check.clock_mode();
  folder.make_for_plan();
  note(request.quiet, "planning: reading every frame's timestamp in " + request.input);
  VideoScan scan = scan_video(*input, request.quiet);
  // Frames counted from the video's start cannot be counted from a segment's.
  if (wanted.rate_num > 0) {
    scan.unsplittable = "--rate counts the frames from the start";
  } else if (clock != ClockMode::exact) {
    scan.unsplittable = "the output's codec or container counts frames at a fixed rate";
  }
  if (scan.pts.empty()) {
    throw Failure("the video stream of " + request.input +
                      " has no frames (is the file damaged or cut short?)",
                  kExitCannotRetry);
  }
  const Split split = split_video(scan, wanted.segment_seconds);
  wanted.video_stream = input->video;
  wanted.time_base_num = scan.time_base.num;
  wanted.time_base_den = scan.time_base.den;
  wanted.preroll = split.preroll;
  wanted.one_reason = split.one_reason;
  wanted.segments = split.segments;
  if (!split.one_reason.empty()) {
    note(request.quiet, "the video is kept in one segment: " + split.one_reason);
  }
  job.id = folder.write_plan(wanted);
  job.plan = std::move(wanted);
  return job;
}

// --- qnr status ---

std::string json_text(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

const char* state_name(SegmentState state) {
  switch (state) {
    case SegmentState::done: return "done";
    case SegmentState::running: return "running";
    case SegmentState::missing: return "missing";
  }
  return "missing";
}

int run_status(const JobRequest& request) {
  const JobFolder folder(request.dir);
  std::string id;
  const JobPlan plan = folder.read_plan(&id);
  std::vector<SegmentStatus> states;
  std::map<SegmentState, int> count;
  for (size_t k = 0; k < plan.segments.size(); ++k) {
    states.push_back(folder.status(plan, id, static_cast<int64_t>(k), false));
    ++count[states.back().state];
  }
  if (request.json) {
    std::printf("{\"job\": %s, \"input\": %s, \"output\": %s, \"road\": \"%s\", ",
                json_text(folder.path()).c_str(), json_text(plan.input).c_str(),
                json_text(plan.output).c_str(), road_name(plan.road));
    std::printf(
        "\"frames\": %lld, \"segment_count\": %zu, \"done\": %d, \"running\": %d, "
        "\"missing\": %d, \"segments\": [",
        static_cast<long long>(plan.frames()), plan.segments.size(), count[SegmentState::done],
        count[SegmentState::running], count[SegmentState::missing]);
    for (size_t k = 0; k < states.size(); ++k) {
      std::printf("%s{\"segment\": %zu, \"state\": \"%s\", \"frames\": %lld, \"detail\": %s}",
                  k == 0 ? "" : ", ", k, state_name(states[k].state),
                  static_cast<long long>(plan.segments[k].frames),
                  json_text(states[k].detail).c_str());
    }
    std::printf("]}\n");
    return 0;
  }
  std::printf("job:      %s\ninput:    %s\noutput:   %s\nroad:     %s\n", folder.path().c_str(),
              plan.input.c_str(), plan.output.c_str(), road_name(plan.road));
  std::printf("segments: %zu (%d done, %d running, %d missing), %lld frames\n",
              plan.segments.size(), count[SegmentState::done], count[SegmentState::running],
              count[SegmentState::missing], static_cast<long long>(plan.frames()));
  if (!plan.one_reason.empty()) std::printf("one segment because %s\n", plan.one_reason.c_str());
  for (size_t k = 0; k < states.size(); ++k) {
    std::printf("  %zu %s%s%s\n", k, state_name(states[k].state),
                states[k].detail.empty() ? "" : ": ", states[k].detail.c_str());
  }
  return 0;
}

// --- qnr IN OUT --segments ---

// One `qnr segment` process per segment, `parallel` at a time.
class Workers {
 public:
  Workers(std::vector<std::string> common, int parallel, int gpus)
      : common_(std::move(common)), parallel_(parallel), gpus_(gpus) {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) throw Failure("cannot find the qnr program to run the segments");
    exe_ = std::string(path, static_cast<size_t>(n));
  }

  ~Workers() {
    for (const auto& [pid, slot] : running_) ::kill(pid, SIGTERM);
    for (const auto& [pid, slot] : running_) ::waitpid(pid, nullptr, 0);
  }

  // Runs segments 0 .. count-1; `finished` after each. The first failing
  // status, 0 when all succeeded.
  template <class Finished> int run(int64_t count, Finished&& finished) {
    int64_t next = 0;
    int failed = 0;
    while ((next < count && failed == 0) || !running_.empty()) {
      if (interrupted_signal() != 0) throw_if_interrupted();
      if (failed == 0 && next < count && static_cast<int>(running_.size()) < parallel_) {
        start(next++);
        continue;
      }
      int status = 0;
      const pid_t pid = ::waitpid(-1, &status, WNOHANG);
      if (pid <= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        continue;
      }
      const auto it = running_.find(pid);
      if (it == running_.end()) continue;
      const int64_t k = it->second.segment;
      free_slots_.push_back(it->second.slot);
      running_.erase(it);
      const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      if (code != 0 && failed == 0) {
        failed = code;
        failed_segment_ = k;
      }
      if (code == 0) finished(k);
    }
    return failed;
  }
  int64_t failed_segment() const { return failed_segment_; }

 private:
  struct Running {
    int64_t segment;
    int slot;
  };

  void start(int64_t k) {
    int slot = static_cast<int>(running_.size());
    if (!free_slots_.empty()) {
      slot = free_slots_.back();
      free_slots_.pop_back();
    }
    std::vector<std::string> args = {exe_, "segment", std::to_string(k)};
    args.insert(args.end(), common_.begin(), common_.end());
    if (gpus_ > 1) args.insert(args.end(), {"--device", std::to_string(slot % gpus_)});
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) throw Failure(std::string("cannot start a worker: ") + std::strerror(errno));
    if (pid == 0) {
      // The worker ends with this process, whatever ends it, and takes
      // signals as a program normally does.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (::getppid() != parent) ::_exit(128 + SIGTERM);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    running_[pid] = {k, slot};
  }

  std::vector<std::string> common_;
  int parallel_;
  int gpus_;
  std::string exe_;
  std::map<pid_t, Running> running_;
  std::vector<int> free_slots_;
  int64_t failed_segment_ = -1;
};

int run_here(const JobRequest& request) {
  JobRequest job_request = request;
  job_request.dir = job_folder_path(request);
  const JobFolder folder(job_request.dir);
  const PlannedJob job = plan_job(job_request, folder);
  const int64_t count = static_cast<int64_t>(job.plan.segments.size());
  if (job.resumed) note(request.quiet, "resuming the job in " + folder.path());

  const bool gpu = job.plan.road == Road::gpu;
  const int gpus = gpu ? visible_gpu_count() : 0;
  int parallel = request.parallel > 0 ? request.parallel : gpu ? gpus : processors();
  parallel = static_cast<int>(std::min<int64_t>(parallel, count));
  const int jobs = request.jobs > 0 ? request.jobs : gpu ? 1 : std::max(1, processors() / parallel);
  std::vector<std::string> common = {"--job",  folder.path(),        "--module", job.plan.module,
                                     "--jobs", std::to_string(jobs), "--quiet"};

  int64_t finished = 0;
  // Workers inherit the environment, --cpu and --device included; several
  // GPUs are shared out one per worker.
  Workers workers(common, parallel, request.road.device >= 0 ? 1 : gpus);
  const int status = workers.run(count, [&](int64_t) {
    ++finished;
    if (!request.quiet) {
      std::fprintf(stderr, "qnr: %lld of %lld segments done\n", static_cast<long long>(finished),
                   static_cast<long long>(count));
    }
  });
  if (status != 0) {
    const bool lasting = status == kExitUsage || status == kExitCannotRetry;
    throw Failure(
        segment_label(workers.failed_segment()) + " failed" +
            (lasting ? " (see above); the job in " + folder.path() + " cannot go on as planned"
                     : "; run the same command again to resume the job (" + folder.path() + ")"),
        status);
  }
  const JoinReport report = run_join(job_request);
  if (!request.quiet) {
    std::fprintf(stderr, "qnr: %lld frames from %lld segments joined into %s\n",
                 static_cast<long long>(report.frames), static_cast<long long>(report.segments),
                 request.output.c_str());
  }
  if (!request.keep && !folder.remove()) {
    note(request.quiet, "the job folder " + folder.path() + " holds other files and was kept");
  }
  return 0;
}

}  // namespace

int run_job_command(const JobRequest& request) {
  switch (request.command) {
    case JobCommand::plan: {
      const JobFolder folder(request.dir);
      const PlannedJob job = plan_job(request, folder);
      std::printf("%zu\n", job.plan.segments.size());
      return 0;
    }
    case JobCommand::segment: run_segment(request); return 0;
    case JobCommand::join: {
      const JoinReport report = run_join(request);
      if (!request.quiet) {
        std::fprintf(stderr, "qnr: %lld frames from %lld segments joined into %s\n",
                     static_cast<long long>(report.frames), static_cast<long long>(report.segments),
                     report.output.c_str());
      }
      return 0;
    }
    case JobCommand::status: return run_status(request);
    default: return run_here(request);
  }
}

}  // namespace qnr
