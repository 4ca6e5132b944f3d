// The worker processes of qnr IN OUT --segments: one `qnr segment` process
// per segment, P at a time, each in a lane of its own (0 .. P-1) that picks
// its GPU where there are several. A worker ends with the pool, however the
// pool ends.
//
// For tests, QNR_TEST_CRASH_AFTER_SEGMENTS=N makes the pool crash as soon as
// N segments are done: its running workers and then the pool itself are
// killed (SIGKILL), as a crash of the machine leaves a job.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qnr {

class WorkerPool {
 public:
  // Each worker runs `qnr segment K` with `common` arguments after K; with
  // `gpus` > 1, lane L also gets --device L mod gpus. Throws Failure when the
  // qnr program cannot be found.
  WorkerPool(std::vector<std::string> common, int parallel, int gpus);
  ~WorkerPool();  // stops the workers still running
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Runs the given segments, `done` after each that succeeds. Returns the
  // first failing worker's exit status, 0 when all succeeded; after a
  // failure no further worker starts. `tick` runs every little while as
  // the pool waits. Throws Failure when interrupted.
  int run(const std::vector<int64_t>& segments, const std::function<void(int64_t k)>& done,
          const std::function<void()>& tick = {});
  int64_t failed_segment() const { return failed_segment_; }

 private:
  struct Running {
    int64_t segment;
    int lane;
  };

  void start(int64_t k);
  void crash_when_asked(int64_t done_count) const;

  std::vector<std::string> common_;
  int parallel_;
  int gpus_;
  std::string exe_;
  int64_t crash_after_ = 0;  // the test hook; 0 for none
  std::map<pid_t, Running> running_;
  std::vector<int> free_lanes_;
  int64_t failed_segment_ = -1;
};

}  // namespace qnr
