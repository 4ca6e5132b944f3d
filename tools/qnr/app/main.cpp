// qnr: the command-line host of the QNR filter module.
#include <stdlib.h>

#include <malloc.h>
#include <cerrno>
#include <climits>

#include <cstdio>
#include <cstring>
#include <limits>

#include "app/options.h"
#include "app/requests.h"
#include "app/single_run.h"
#include "base/failure.h"
#include "base/interrupt.h"
#include "base/version.h"
#include "demo/demo.h"
#include "hosting/filter_module.h"
#include "hosting/gpu_report.h"
#include "hosting/module_build.h"
#include "hosting/road.h"
#include "jobs/job_commands.h"
#include "media/libav.h"
#include "media/output_file.h"
#include "tune/tune.h"

namespace qnr {
namespace {

// The path as the file system resolves it, for showing.
std::string resolved_path(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

// qnr's version, then what the module it loads by default (or with --module)
// is: its filter, the CPU routine it runs here and the GPU code it carries.
// A module that does not load is a failure after the first line.
int run_version(const Options& options) {
  std::printf("qnr %s\n", kVersion);
  std::fflush(stdout);
  const std::string module_path = options.module.empty() ? default_module_path() : options.module;
  const LoadedModule loaded = load_filter_module(module_path);
  std::printf("module:      %s\n", resolved_path(module_path).c_str());
  std::printf("filter:      %s\n", loaded.filter->name);
  std::printf("CPU routine: %s\n", describe_cpu_routine().c_str());
  std::printf("GPU code:    %s\n", describe_gpu_code(find_gpu_code(module_path)).c_str());
  return 0;
}

int run_info(const Options& options, const LoadedModule& loaded, const std::string& module_path) {
  const FilterDefinition& filter = *loaded.filter;
  const std::string shown = resolved_path(module_path);
  std::string line;
  auto instance = make_instance(loaded, options.settings);
  instance->script_string(line);
  std::printf("filter:      %s\n", filter.name);
  std::printf("description: %s\n", filter.desc);
  if (filter.maker != nullptr) std::printf("maker:       %s\n", filter.maker);
  std::printf("module:      %s\n", shown.c_str());
  std::printf("interface:   version %d (compatible with %d)\n", loaded.module->version(),
              loaded.module->compatible_version());
  std::printf("settings:    %s\n", line.c_str());
  std::printf("commands:    %s\n", list_script_commands(filter).c_str());
  std::printf("CUDA driver: %s\n",
              cuda_driver_loads()
                  ? "libcuda.so.1 loads; frames go to the GPU where it accepts them"
                  : "not found (libcuda.so.1); every frame takes the exact CPU path");
  std::printf("GPU road:    %s\n", gpu_road_report(*loaded.module, filter).c_str());
  return 0;
}

int run(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  if (options.mode == Options::Mode::help) {
    std::fputs(usage_text().c_str(), stdout);
    return 0;
  }
  if (options.mode == Options::Mode::version) return run_version(options);
  if (is_job_command(options)) return run_job_command(job_request(options));
  apply_road_choice(options.road);
  const std::string module_path = options.module.empty() ? default_module_path() : options.module;
  const LoadedModule loaded = load_filter_module(module_path);
  switch (options.mode) {
    case Options::Mode::info: return run_info(options, loaded, module_path);
    case Options::Mode::demo: return run_demo(demo_request(options), loaded);
    case Options::Mode::tune: return run_tune(tune_request(options, module_path), loaded);
    default: {
      const JobReport report = run_filter_job(options, loaded);
      if (!options.quiet) std::fprintf(stderr, "%s\n", report.summary.c_str());
      return 0;
    }
  }
}

}  // namespace
}  // namespace qnr

namespace qnr {

// The module's CPU path obtains two frame-sized buffers for every frame and
// frees them again. glibc hands memory that large back to the system on every
// free, so each frame would fault its buffers in afresh: several times the
// filter's own cost at 1080p. As the host, qnr owns its process's allocator and
// tells it to keep freed memory for the next frame instead.
void keep_frame_memory() {
  mallopt(M_MMAP_MAX, 0);
  mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
}

}  // namespace qnr

int main(int argc, char** argv) {
  qnr::keep_frame_memory();
  qnr::capture_library_log();
  qnr::install_interrupt_handling(qnr::remove_unfinished_output);
  int status;
  try {
    status = qnr::run(argc, argv);
  } catch (const qnr::Failure& failure) {
    std::fprintf(stderr, "qnr: %s\n", failure.what());
    return failure.status;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qnr: %s\n", e.what());
    return qnr::kExitFailure;
  }
  // Output that could not be written (a closed pipe, a full disk) is a failure too.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "qnr: cannot write to standard output: %s\n", std::strerror(errno));
    return qnr::kExitFailure;
  }
  return status;
}
