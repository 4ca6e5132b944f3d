// The one way qnr reports a failure: a message for the user and an exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace qnr {

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
// The job cannot be done as asked, and running the same command again will
// not change that: the input changed or is not what a job's plan says, a job
// folder belongs to another job, the module differs from the plan's. Every
// other failing status may succeed on a retry.
inline constexpr int kExitCannotRetry = 3;

struct Failure : std::runtime_error {
  int status;
  explicit Failure(const std::string& message, int exit_status = kExitFailure)
      : std::runtime_error(message), status(exit_status) {}
};

}  // namespace qnr
