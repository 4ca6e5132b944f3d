// qnr plan, and the first step of qnr IN OUT --segments: the plan the command
// asks for, made in the job's folder, or the plan already there when it is
// for the same job, which then resumes.
#pragma once

#include <string>

#include "jobs/job_folder.h"
#include "jobs/job_plan.h"
#include "jobs/job_request.h"

namespace qnr {

struct PlannedJob {
  JobPlan plan;
  std::string id;
  bool resumed = false;  // the folder held this job's plan already
};

// Throws Failure (cannot retry) when the folder holds another job's plan.
PlannedJob plan_job(const JobRequest& request, const JobFolder& folder);

}  // namespace qnr
