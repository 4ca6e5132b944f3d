#include "jobs/job_status.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "base/json.h"
#include "jobs/job_folder.h"

namespace qnr {

namespace {

const char* state_name(SegmentState state) {
  switch (state) {
    case SegmentState::done: return "done";
    case SegmentState::running: return "running";
    case SegmentState::missing: return "missing";
  }
  return "missing";
}

struct JobStatus {
  std::vector<SegmentStatus> segments;
  std::map<SegmentState, int> count;
};

void print_json(const OpenedJob& job, JobStatus& status) {
  const JobPlan& plan = job.plan;
  std::printf("{\"job\": %s, \"input\": %s, \"output\": %s, \"road\": \"%s\", ",
              json_string(job.folder.path()).c_str(), json_string(plan.input).c_str(),
              json_string(plan.output).c_str(), road_name(plan.road));
  std::printf(
      "\"frames\": %lld, \"segment_count\": %zu, \"done\": %d, \"running\": %d, "
      "\"missing\": %d, \"segments\": [",
      static_cast<long long>(plan.frames()), plan.segments.size(), status.count[SegmentState::done],
      status.count[SegmentState::running], status.count[SegmentState::missing]);
  for (size_t k = 0; k < status.segments.size(); ++k) {
    std::printf("%s{\"segment\": %zu, \"state\": \"%s\", \"frames\": %lld, \"detail\": %s}",
                k == 0 ? "" : ", ", k, state_name(status.segments[k].state),
                static_cast<long long>(plan.segments[k].frames),
                json_string(status.segments[k].detail).c_str());
  }
  std::printf("]}\n");
}

void print_text(const OpenedJob& job, JobStatus& status) {
  const JobPlan& plan = job.plan;
  std::printf("job:      %s\ninput:    %s\noutput:   %s\nroad:     %s\n", job.folder.path().c_str(),
              plan.input.c_str(), plan.output.c_str(), road_name(plan.road));
  std::printf("segments: %zu (%d done, %d running, %d missing), %lld frames\n",
              plan.segments.size(), status.count[SegmentState::done],
              status.count[SegmentState::running], status.count[SegmentState::missing],
              static_cast<long long>(plan.frames()));
  if (!plan.one_segment_because.empty()) {
    std::printf("one segment because %s\n", plan.one_segment_because.c_str());
  }
  for (size_t k = 0; k < status.segments.size(); ++k) {
    const SegmentStatus& segment = status.segments[k];
    std::printf("  %zu %s%s%s\n", k, state_name(segment.state), segment.detail.empty() ? "" : ": ",
                segment.detail.c_str());
  }
}

}  // namespace

int print_job_status(const JobRequest& request) {
  const OpenedJob job = open_job(request.dir);
  JobStatus status;
  for (size_t k = 0; k < job.plan.segments.size(); ++k) {
    status.segments.push_back(
        job.folder.status(job.plan, job.plan_id, static_cast<int64_t>(k), false));
    ++status.count[status.segments.back().state];
  }
  if (request.json) {
    print_json(job, status);
  } else {
    print_text(job, status);
  }
  return 0;
}

}  // namespace qnr
