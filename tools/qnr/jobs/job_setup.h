// What every command of a long job shares: its folder, its input checked
// against the plan, the module loaded for its road and checked against the
// plan, and the output request the plan describes.
#pragma once

#include <string>

#include "hosting/filter_module.h"
#include "jobs/job_folder.h"
#include "jobs/job_plan.h"
#include "jobs/job_request.h"
#include "media/output_request.h"

namespace qnr {

// --job DIR, or the hidden folder beside OUT: ".OUT.qnr-job".
std::string job_folder_path(const JobRequest& request);

// The input as a plan records it: absolute path, size, time and fingerprint.
// Throws Failure (usage) for an input that is not a file.
void describe_input(const std::string& name, JobPlan& plan);
// Throws Failure (cannot retry) when the input is no longer what the plan
// describes.
void check_input_unchanged(const JobPlan& plan);

// Loads the module a job runs with; `module_sha256` receives its digest.
LoadedModule load_job_module(const std::string& path, std::string& module_sha256);

// The filter settings a plan records, as instances are made from them.
FilterSettings plan_settings(const JobPlan& plan);

// The output as the plan describes it.
OutputRequest plan_output_request(const JobPlan& plan, bool quiet,
                                  const OutputFile* file = nullptr);

// `name` from the root, as given (links are not followed).
std::string absolute_path(const std::string& name);

// "segment 3", for messages.
std::string segment_label(int64_t k);

}  // namespace qnr
