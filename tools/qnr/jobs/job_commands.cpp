#include "jobs/job_commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "base/failure.h"
#include "base/interrupt.h"
#include "base/machine.h"
#include "base/note.h"
#include "jobs/job_setup.h"
#include "jobs/job_status.h"
#include "jobs/joined_output.h"
#include "jobs/plan_job.h"
#include "jobs/segment_join.h"
#include "jobs/segment_worker.h"
#include "jobs/worker_pool.h"

namespace qnr {

namespace {

// Worker processes (and, on the CPU road, filter instances) at most, however
// many processors a machine has.
constexpr int kMostProcessors = 256;

void say_joined(const JobRequest& request, const JoinReport& report) {
  if (report.made_before) {
    // Said even with -q: nothing was done, and the caller should know why.
    std::fprintf(stderr, "qnr: %s was made already by this job (another or an earlier run)\n",
                 report.output.c_str());
    return;
  }
  if (report.folder_kept) {
    note(request.quiet, "the job folder " + request.dir + " holds other files and was kept");
  }
  if (request.quiet) return;
  std::fprintf(stderr, "qnr: %lld frames from %lld segments joined into %s\n",
               static_cast<long long>(report.frames), static_cast<long long>(report.segments),
               report.output.c_str());
}

// The segments not done, and whether some of them are being made by another
// process (which is left to finish them).
std::vector<int64_t> segments_to_make(const PlannedJob& job, const JobFolder& folder,
                                      bool& others_running) {
  std::vector<int64_t> to_make;
  others_running = false;
  const FolderListing listing = folder.list();
  for (int64_t k = 0; k < static_cast<int64_t>(job.plan.segments.size()); ++k) {
    const SegmentStatus status = folder.status(job.plan, job.id, k, false, listing);
    if (status.state == SegmentState::running) others_running = true;
    if (status.state == SegmentState::missing) to_make.push_back(k);
  }
  return to_make;
}

// qnr IN OUT --segments: plans (or resumes) in the folder, runs each
// segment in a worker process, joins them and removes the folder.
int run_here(const JobRequest& request) {
  JobRequest job_request = request;
  job_request.dir = job_folder_path(request);
  const JobFolder folder(job_request.dir);
  if (const auto made = finished_output(job_request.dir, request.keep)) {
    say_joined(request, JoinReport{0, 0, request.output, true, false});
    return 0;
  }
  const PlannedJob job = plan_job(job_request, folder);
  const int64_t count = static_cast<int64_t>(job.plan.segments.size());
  if (job.resumed) note(request.quiet, "resuming the job in " + folder.path());

  const bool gpu = job.plan.road == Road::gpu;
  const int gpus = gpu ? visible_gpu_count() : 0;
  const int processors = processor_count(kMostProcessors);
  int parallel = request.parallel > 0 ? request.parallel : gpu ? gpus : processors;
  parallel = static_cast<int>(std::min<int64_t>(parallel, count));
  const int jobs = request.jobs > 0 ? request.jobs : gpu ? 1 : std::max(1, processors / parallel);
  std::vector<std::string> common = {"--job",  folder.path(),        "--module", job.plan.module,
                                     "--jobs", std::to_string(jobs), "--quiet"};

  int64_t finished = 0;
  // Workers inherit the environment, --cpu and --device included; several
  // GPUs are shared out one per worker.
  WorkerPool workers(common, parallel, request.road.device >= 0 ? 1 : gpus);
  const auto say_done = [&](int64_t) {
    ++finished;
    if (!request.quiet) {
      std::fprintf(stderr, "qnr: %lld of %lld segments done\n", static_cast<long long>(finished),
                   static_cast<long long>(count));
    }
  };
  // Marked as a joiner to come, so that another run of the job that joins
  // first leaves the folder for this one to find its output made.
  JoinClaim claim(folder);
  claim.mark_waiting();
  const auto tick = [&claim] { claim.refresh(); };
  // Segments another run of the same job is making are left to it and
  // waited for; those it leaves undone are made here.
  int status = 0;
  bool said_waiting = false;
  try {
    for (;;) {
      bool others_running = false;
      const std::vector<int64_t> to_make = segments_to_make(job, folder, others_running);
      finished = count - static_cast<int64_t>(to_make.size());
      if (to_make.empty() && !others_running) break;
      if (to_make.empty()) {
        if (!said_waiting)
          note(request.quiet, "another process is making segments of this job; waiting for it");
        said_waiting = true;
        tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        throw_if_interrupted();
        continue;
      }
      status = workers.run(to_make, say_done, tick);
      if (status != 0) break;
    }
    if (status != 0) {
      const bool lasting = status == kExitUsage || status == kExitCannotRetry;
      throw Failure(
          segment_label(workers.failed_segment()) + " failed" +
              (lasting ? " (see above); the job in " + folder.path() + " cannot go on as planned"
                       : "; run the same command again to resume the job (" + folder.path() + ")"),
          status);
    }
  } catch (const Failure&) {
    // Another run of the job may have joined it meanwhile.
    if (!finished_output(job_request.dir, request.keep)) throw;
    say_joined(request, JoinReport{0, 0, request.output, true, false});
    return 0;
  }
  JoinReport report = join_job(job_request, &claim);
  report.output = request.output;
  say_joined(job_request, report);
  return 0;
}

}  // namespace

int run_job_command(const JobRequest& request) {
  switch (request.command) {
    case JobCommand::plan: {
      const PlannedJob job = plan_job(request, JobFolder(request.dir));
      std::printf("%zu\n", job.plan.segments.size());
      return 0;
    }
    case JobCommand::segment: run_segment(request); return 0;
    case JobCommand::join: say_joined(request, join_job(request)); return 0;
    case JobCommand::status: return print_job_status(request);
    default: return run_here(request);
  }
}

}  // namespace qnr
