#include "jobs/job_setup.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "base/digest.h"
#include "base/failure.h"

namespace qnr {

std::string absolute_path(const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) == nullptr) {
    throw Failure(std::string("cannot tell the current folder: ") + std::strerror(errno));
  }
  return std::string(cwd) + "/" + name;
}

std::string job_folder_path(const JobRequest& request) {
  if (!request.dir.empty()) return request.dir;
  // Beside OUT, hidden: "dir/.name.qnr-job" (npos + 1 is 0: no folder part).
  const std::string& output = request.output;
  const size_t name_at = output.rfind('/') + 1;
  return output.substr(0, name_at) + "." + output.substr(name_at) + ".qnr-job";
}

void describe_input(const std::string& name, JobPlan& plan) {
  if (name == "-" || name.find("://") != std::string::npos || name.find('%') != std::string::npos) {
    throw Failure("a long job reads its input from a file, not " + name, kExitUsage);
  }
  char resolved[PATH_MAX];
  struct stat info {};
  if (::realpath(name.c_str(), resolved) == nullptr || ::stat(resolved, &info) != 0) {
    throw Failure("cannot read " + name + ": " + std::strerror(errno) +
                  "; check the input file's name");
  }
  if (!S_ISREG(info.st_mode)) {
    throw Failure("a long job reads its input from a file; " + name + " is not one", kExitUsage);
  }
  plan.input = resolved;
  plan.input_size = info.st_size;
  plan.input_mtime = info.st_mtime;
  plan.input_fingerprint = fingerprint_of_file(plan.input, plan.input_size);
}

void check_input_unchanged(const JobPlan& plan) {
  struct stat info {};
  if (::stat(plan.input.c_str(), &info) != 0) {
    throw Failure("cannot read the job's input " + plan.input + ": " + std::strerror(errno));
  }
  if (info.st_size != plan.input_size || info.st_mtime != plan.input_mtime ||
      fingerprint_of_file(plan.input, info.st_size) != plan.input_fingerprint) {
    throw Failure("the input " + plan.input +
                      " changed since the job was planned; plan the job again in a new folder",
                  kExitCannotRetry);
  }
}

LoadedModule load_job_module(const std::string& path, std::string& module_sha256) {
  LoadedModule loaded = load_filter_module(path);
  module_sha256 = sha256_of_file(path);
  return loaded;
}

FilterSettings plan_settings(const JobPlan& plan) {
  FilterSettings settings;
  ScriptCall call;
  std::string error;
  if (!parse_script_line(plan.config, call, error)) {
    throw Failure("the job's plan holds a bad settings line \"" + plan.config + "\": " + error,
                  kExitCannotRetry);
  }
  settings.config = call;
  if (plan.show_noise) settings.values[vdhost::Setting::show_noise] = 1;
  if (plan.disable) settings.values[vdhost::Setting::disable] = 1;
  return settings;
}

OutputRequest plan_output_request(const JobPlan& plan, bool quiet, const OutputFile* file) {
  OutputChoice choice;
  choice.name = plan.output;
  choice.format = plan.format;
  choice.codec = plan.codec;
  choice.encoder_args = plan.encoder_args;
  choice.interlace = plan.interlace;
  choice.strict = plan.strict;
  choice.rate = plan.rate;
  return make_output_request(choice, quiet, file);
}

std::string segment_label(int64_t k) { return "segment " + std::to_string(k); }

}  // namespace qnr
