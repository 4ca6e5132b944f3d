#include "hosting/road.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/failure.h"
#include "base/machine.h"
#include "gpu/road_log.h"
#include "hosting/gpu_report.h"

namespace qnr {

bool cuda_driver_loads() {
  void* handle = ::dlopen("libcuda.so.1", RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) return false;
  ::dlclose(handle);
  return true;
}

int default_jobs() {
  if (!gpu_hidden() && cuda_driver_loads()) return 1;
  // One instance per processor, up to where more stop paying.
  return processor_count(64);
}

namespace {

constexpr char kVisible[] = "CUDA_VISIBLE_DEVICES";

// The entries of CUDA_VISIBLE_DEVICES that the driver honours: it stops at
// the first that names no device (so "-1" hides them all).
std::vector<std::string> visible_entries(const char* value) {
  std::vector<std::string> entries;
  std::string text = value;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    std::string entry = text.substr(start, comma == std::string::npos ? comma : comma - start);
    while (!entry.empty() && std::isspace(static_cast<unsigned char>(entry.back()))) {
      entry.pop_back();
    }
    while (!entry.empty() && std::isspace(static_cast<unsigned char>(entry.front()))) {
      entry.erase(0, 1);
    }
    const bool index = !entry.empty() && entry.find_first_not_of("0123456789") == std::string::npos;
    const bool uuid = entry.starts_with("GPU-") || entry.starts_with("MIG-");
    if (!index && !uuid) break;
    entries.push_back(entry);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return entries;
}

int listed_nvidia_gpus() {
  DIR* dir = ::opendir("/proc/driver/nvidia/gpus");
  if (dir == nullptr) return 0;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

}  // namespace

void apply_road_choice(const RoadChoice& choice) {
  if (choice.cpu) {
    // An index that names no device comes first: the driver then shows none.
    ::setenv(kVisible, "-1", 1);
    return;
  }
  if (choice.device < 0) return;
  const char* current = std::getenv(kVisible);
  if (current == nullptr) {
    ::setenv(kVisible, std::to_string(choice.device).c_str(), 1);
    return;
  }
  // Counted among the GPUs the environment already leaves visible (a
  // cluster's allocation, for example).
  const std::vector<std::string> entries = visible_entries(current);
  if (choice.device >= static_cast<int>(entries.size())) {
    throw Failure("--device " + std::to_string(choice.device) + ": " + kVisible + "=" + current +
                      " leaves " + std::to_string(entries.size()) +
                      " GPU(s) visible, numbered from 0",
                  kExitUsage);
  }
  ::setenv(kVisible, entries[choice.device].c_str(), 1);
}

bool gpu_hidden() {
  const char* current = std::getenv(kVisible);
  return current != nullptr && visible_entries(current).empty();
}

int visible_gpu_count() {
  if (const char* current = std::getenv(kVisible)) {
    return std::max<int>(1, static_cast<int>(visible_entries(current).size()));
  }
  return std::max(1, listed_nvidia_gpus());
}

Road probe_road(const vdhost::FilterModule& module, const FilterDefinition& filter,
                std::string& why) {
  const GpuRoadFinding finding = find_gpu_road(module, filter);
  why = finding.text;
  return finding.works ? Road::gpu : Road::cpu;
}

namespace {

// Whether a line that has not ended yet may still be one of the module's.
bool could_be_marked(const std::string& start) {
  return start.size() < kRoadLogPrefix.size() ? kRoadLogPrefix.starts_with(start)
                                              : start.starts_with(kRoadLogPrefix);
}

// QNR_LOG=1 (the module's failure log on) while it lives; the caller's value
// again at restore() or at its end.
class LogSwitchedOn {
 public:
  LogSwitchedOn() {
    if (const char* value = std::getenv("QNR_LOG")) previous_ = value, had_ = true;
    ::setenv("QNR_LOG", "1", 1);
  }
  ~LogSwitchedOn() { restore(); }
  LogSwitchedOn(const LogSwitchedOn&) = delete;
  LogSwitchedOn& operator=(const LogSwitchedOn&) = delete;

  void restore() {
    if (restored_) return;
    restored_ = true;
    if (had_)
      ::setenv("QNR_LOG", previous_.c_str(), 1);
    else
      ::unsetenv("QNR_LOG");
  }

 private:
  std::string previous_;
  bool had_ = false;
  bool restored_ = false;
};

}  // namespace

struct GpuRoadWatch::State {
  int saved_stderr = -1;
  int read_end = -1;
  std::thread reader;
  std::vector<std::string> causes;
  LogSwitchedOn log_on;
  bool finished = false;

  void pass_on(const std::string& line) {
    if (line.starts_with(kRoadLogPrefix)) {
      if (is_gpu_road_cause(line)) causes.push_back(line);
      return;
    }
    const std::string text = line + "\n";
    (void)!::write(saved_stderr, text.data(), text.size());
  }

  void read_lines() {
    std::string pending;
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::read(read_end, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      pending.append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
        pass_on(pending.substr(0, end));
        pending.erase(0, end + 1);
      }
      // A progress line rewritten in place has no newline: pass it on as it comes.
      if (!pending.empty() && !could_be_marked(pending)) {
        (void)!::write(saved_stderr, pending.data(), pending.size());
        pending.clear();
      }
    }
    if (!pending.empty()) pass_on(pending);
  }
};

GpuRoadWatch::GpuRoadWatch() : state_(std::make_unique<State>()) {
  int fds[2];
  std::fflush(stderr);
  if (::pipe2(fds, O_CLOEXEC) != 0) throw Failure("cannot watch the GPU road: no pipe");
  state_->saved_stderr = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  ::dup2(fds[1], STDERR_FILENO);
  ::close(fds[1]);
  state_->read_end = fds[0];
  state_->reader = std::thread([state = state_.get()] { state->read_lines(); });
}

std::vector<std::string> GpuRoadWatch::finish() {
  if (state_->finished) return state_->causes;
  state_->finished = true;
  std::fflush(stderr);
  // The pipe's last writer goes: the reader sees its end.
  ::dup2(state_->saved_stderr, STDERR_FILENO);
  state_->reader.join();
  ::close(state_->read_end);
  ::close(state_->saved_stderr);
  state_->log_on.restore();
  return state_->causes;
}

GpuRoadWatch::~GpuRoadWatch() { finish(); }

}  // namespace qnr
