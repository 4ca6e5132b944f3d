#include "base/progress.h"

#include <unistd.h>

#include <cstdio>

namespace qnr {

namespace {

std::string clock_text(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char buffer[32];
  if (s >= 3600) {
    std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(buffer, sizeof buffer, "%ld:%02ld", s / 60, s % 60);
  }
  return buffer;
}

}  // namespace

Progress::Progress(bool quiet, std::optional<int64_t> total, std::optional<int64_t> estimate)
    : quiet_(quiet), terminal_(::isatty(STDERR_FILENO) == 1), total_(total) {
  if (!total_ && estimate) {
    total_ = estimate;
    estimated_ = true;
  }
  started_ = last_print_ = Clock::now();
}

double Progress::seconds() const {
  return std::chrono::duration<double>(stopped_.value_or(Clock::now()) - started_).count();
}

void Progress::frame_done() {
  ++frames_;
  if (quiet_) return;
  const auto now = Clock::now();
  const auto interval = terminal_ ? std::chrono::milliseconds(250) : std::chrono::seconds(5);
  if (now - last_print_ >= interval) {
    last_print_ = now;
    print(false);
  }
}

void Progress::print(bool final_line) {
  const double elapsed = seconds();
  const double fps = elapsed > 0 ? frames_ / elapsed : 0.0;
  char line[160];
  int n;
  if (total_ && *total_ >= frames_) {
    const double left = fps > 0 ? (*total_ - frames_) / fps : 0.0;
    n = std::snprintf(line, sizeof line, "frame %lld of %s%lld, %.1f fps, %s left",
                      static_cast<long long>(frames_), estimated_ ? "~" : "",
                      static_cast<long long>(*total_), fps, clock_text(left).c_str());
  } else {
    n = std::snprintf(line, sizeof line, "frame %lld, %.1f fps, %s elapsed",
                      static_cast<long long>(frames_), fps, clock_text(elapsed).c_str());
  }
  (void)n;
  if (terminal_) {
    // Clear to the end of the line: the new text may be shorter.
    std::fprintf(stderr, "\r%s\033[K%s", line, final_line ? "\n" : "");
    printed_in_place_ = !final_line;
  } else {
    std::fprintf(stderr, "%s\n", line);
  }
  std::fflush(stderr);
}

void Progress::finish() {
  if (!stopped_) stopped_ = Clock::now();
  if (quiet_) return;
  if (printed_in_place_) {
    std::fprintf(stderr, "\r\033[K");
    printed_in_place_ = false;
  }
  std::fflush(stderr);
}

std::string Progress::summary() const {
  const double elapsed = seconds();
  char line[128];
  std::snprintf(line, sizeof line, "%lld frames in %.2f s (%.1f fps)",
                static_cast<long long>(frames_), elapsed, elapsed > 0 ? frames_ / elapsed : 0.0);
  return line;
}

}  // namespace qnr
