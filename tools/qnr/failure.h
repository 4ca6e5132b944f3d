// The one way qnr reports a failure: a message for the user and an exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace qnr {

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

struct Failure : std::runtime_error {
  int status;
  explicit Failure(const std::string& message, int exit_status = kExitFailure)
      : std::runtime_error(message), status(exit_status) {}
};

}  // namespace qnr
