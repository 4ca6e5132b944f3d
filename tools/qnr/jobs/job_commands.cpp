#include "jobs/job_commands.h"

#include <algorithm>
#include <cstdio>

#include "base/failure.h"
#include "base/machine.h"
#include "base/note.h"
#include "jobs/job_setup.h"
#include "jobs/job_status.h"
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
  if (request.quiet) return;
  std::fprintf(stderr, "qnr: %lld frames from %lld segments joined into %s\n",
               static_cast<long long>(report.frames), static_cast<long long>(report.segments),
               report.output.c_str());
}

// qnr IN OUT --segments: plans (or resumes) in the folder, runs each
// segment in a worker process, joins them and removes the folder.
int run_here(const JobRequest& request) {
  JobRequest job_request = request;
  job_request.dir = job_folder_path(request);
  const JobFolder folder(job_request.dir);
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
  JoinReport report = run_join(job_request);
  report.output = request.output;
  say_joined(request, report);
  if (!request.keep && !folder.remove()) {
    note(request.quiet, "the job folder " + folder.path() + " holds other files and was kept");
  }
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
    case JobCommand::join: say_joined(request, run_join(request)); return 0;
    case JobCommand::status: return print_job_status(request);
    default: return run_here(request);
  }
}

}  // namespace qnr
