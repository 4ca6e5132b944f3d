#include "jobs/plan_job.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

#include "base/failure.h"
#include "base/note.h"
#include "base/output_checks.h"
#include "base/version.h"
#include "jobs/job_planner.h"
#include "jobs/job_setup.h"
#include "media/correction.h"
#include "media/first_frame.h"
#include "media/media_output.h"

namespace qnr {

namespace {

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

// The plan the command line asks for, without what the input tells.
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
  // The settings are what the instance holds after reading them, so the
  // output is coded interlaced when the filter's Interlace is on.
  const auto instance = make_instance(loaded, request.settings);
  instance->script_string(plan.config);
  const vdhost::Settings held = vdhost::held_settings(*instance);
  plan.show_noise = held.on(vdhost::Setting::show_noise);
  plan.disable = held.on(vdhost::Setting::disable);
  plan.interlace = held.on(vdhost::Setting::interlace);
  plan.rate = {request.rate_num, request.rate_den};
  plan.strict = request.strict;
  plan.module_rgb = output_road(request.rgb, plan.show_noise) == OutputRoad::module_rgb;
  plan.format = request.format;
  plan.codec = request.codec;
  plan.encoder_args = request.encoder_args;
  plan.overwrite = request.overwrite;
  plan.segment_seconds =
      request.segment_seconds > 0 ? request.segment_seconds : kDefaultSegmentSeconds;
  return plan;
}

// The job the folder's plan describes, when it is the one wanted.
PlannedJob resumed_job(const JobFolder& folder, const JobPlan& wanted) {
  PlannedJob job;
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

// An exclusive lock on the job's folder while it is planned (flock on the
// folder itself, so no file is left behind); released when destroyed.
class PlanningLock {
 public:
  explicit PlanningLock(const std::string& folder)
      : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0)
      throw Failure("cannot open the job folder " + folder + ": " + std::strerror(errno));
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) break;  // no locks here (an old network share): plan unlocked
    }
  }
  ~PlanningLock() { ::close(fd_); }
  PlanningLock(const PlanningLock&) = delete;
  PlanningLock& operator=(const PlanningLock&) = delete;

 private:
  int fd_;
};

}  // namespace

PlannedJob plan_job(const JobRequest& request, const JobFolder& folder) {
  PlannedJob job;
  JobPlan wanted = wanted_plan(request);
  if (folder.has_plan()) return resumed_job(folder, wanted);
  // The container and codec are refused now rather than after the work.
  MediaOutput check(plan_output_request(wanted, true));
  if (check.single_image()) {
    throw Failure("a long job writes video; " + request.output + " holds one picture", kExitUsage);
  }
  const std::unique_ptr<MediaInput> input = open_media_input(wanted.input, request.video_stream);
  check.map_streams(*input);
  const ClockMode clock = check.clock_mode();
  const bool merges_frames = check.merges_frames();
  folder.make_for_plan();
  // One process plans a folder: the same command started again while the
  // first still reads the input waits for its plan and shares its work.
  const PlanningLock lock(folder.path());
  if (folder.has_plan()) return resumed_job(folder, wanted);
  // An MP4 or MOV places every packet in its index: the scan reads the
  // header, not the file (whose bytes the digests below read once).
  const std::unique_ptr<IndexedInput> index = open_packet_times(*input);
  note(request.quiet, std::string("planning: reading every frame's timestamp ") +
                          (index ? "from the index of " : "in ") + request.input);
  VideoScan scan = scan_video(*input, index.get(), request.quiet);
  // Frames counted from the video's start cannot be counted from a segment's.
  if (wanted.rate.num > 0) {
    scan.one_segment_because = "--rate counts the frames from the start";
  } else if (clock != ClockMode::exact) {
    scan.one_segment_because = "the output's codec or container counts frames at a fixed rate";
  } else if (merges_frames) {
    scan.one_segment_because = "GIF frames too close together are merged with the one before";
  }
  if (scan.pts.empty()) {
    throw Failure("the video stream of " + request.input +
                      " has no frames (is the file damaged or cut short?)",
                  kExitCannotRetry);
  }
  // Every segment's encoder is set up for the video's first frame, as a
  // single run's is: the workers find it here rather than each decoding the
  // video from its start.
  wanted.first_frame = read_first_frame(wanted.input, input->video);
  const Split split = split_video(scan, wanted.segment_seconds);
  wanted.video_stream = input->video;
  wanted.time_base = scan.time_base;
  wanted.preroll = split.preroll;
  wanted.one_segment_because = split.one_segment_because;
  wanted.segments = split.segments;
  add_byte_runs(scan.places, wanted.input, wanted.input_size, wanted.preroll, wanted.segments);
  if (!split.one_segment_because.empty()) {
    note(request.quiet, "the video is kept in one segment: " + split.one_segment_because);
  }
  job.id = folder.write_plan(wanted);
  job.plan = std::move(wanted);
  return job;
}

}  // namespace qnr
