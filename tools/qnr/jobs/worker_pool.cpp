#include "jobs/worker_pool.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/failure.h"
#include "base/interrupt.h"
#include "base/machine.h"

namespace qnr {

WorkerPool::WorkerPool(std::vector<std::string> common, int parallel, int gpus)
    : common_(std::move(common)), parallel_(parallel), gpus_(gpus), exe_(executable_path()) {
  if (exe_.empty()) throw Failure("cannot find the qnr program to run the segments");
  if (const char* value = std::getenv("QNR_TEST_CRASH_AFTER_SEGMENTS")) {
    crash_after_ = std::atoll(value);
  }
}

WorkerPool::~WorkerPool() {
  // Killed outright: a worker stopped by a signal would say "interrupted"
  // too, where the pool says it once. What they leave is tidied by the next
  // run (files of dead processes of this machine).
  for (const auto& [pid, running] : running_) ::kill(pid, SIGKILL);
  for (const auto& [pid, running] : running_) ::waitpid(pid, nullptr, 0);
}

int WorkerPool::run(const std::vector<int64_t>& segments,
                    const std::function<void(int64_t k)>& done, const std::function<void()>& tick) {
  const auto count = static_cast<int64_t>(segments.size());
  int64_t next = 0;
  int64_t done_count = 0;
  int failed = 0;
  while ((next < count && failed == 0) || !running_.empty()) {
    if (interrupted_signal() != 0) throw_if_interrupted();
    if (failed == 0 && next < count && static_cast<int>(running_.size()) < parallel_) {
      start(segments[static_cast<size_t>(next++)]);
      continue;
    }
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, WNOHANG);
    if (pid <= 0) {
      if (tick) tick();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    const auto it = running_.find(pid);
    if (it == running_.end()) continue;
    const int64_t k = it->second.segment;
    free_lanes_.push_back(it->second.lane);
    running_.erase(it);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (code != 0 && failed == 0) {
      failed = code;
      failed_segment_ = k;
    }
    if (code == 0) {
      done(k);
      crash_when_asked(++done_count);
    }
  }
  return failed;
}

void WorkerPool::crash_when_asked(int64_t done_count) const {
  if (crash_after_ <= 0 || done_count < crash_after_) return;
  for (const auto& [pid, running] : running_) ::kill(pid, SIGKILL);
  ::raise(SIGKILL);
}

void WorkerPool::start(int64_t k) {
  int lane = static_cast<int>(running_.size());
  if (!free_lanes_.empty()) {
    lane = free_lanes_.back();
    free_lanes_.pop_back();
  }
  std::vector<std::string> args = {exe_, "segment", std::to_string(k)};
  args.insert(args.end(), common_.begin(), common_.end());
  if (gpus_ > 1) args.insert(args.end(), {"--device", std::to_string(lane % gpus_)});
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
    // Out of the terminal's process group: Ctrl-C reaches the pool alone.
    ::setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  running_[pid] = {k, lane};
}

}  // namespace qnr
