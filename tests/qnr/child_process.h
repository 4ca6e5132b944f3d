// Child processes for the tests (qnr, ffmpeg, ffprobe) started without a shell, with pipes for
// their standard streams, and whole-buffer reads and writes on pipes.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qnr {

// What a child's standard stream is connected to.
enum class Stream { inherit, pipe, null };

struct SpawnRequest {
  std::vector<std::string> argv;  // argv[0] is looked up in PATH
  Stream in = Stream::null;
  Stream out = Stream::pipe;
  // Standard error is always captured: the last lines explain a failure.
};

class Child {
 public:
  // Starts the program. On failure returns null and says why in `error`;
  // `not_found` is set when the program is not installed.
  static std::unique_ptr<Child> spawn(const SpawnRequest& request, std::string& error,
                                      bool& not_found);
  ~Child();  // kills the child if still running, closes the pipes
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  int stdin_fd() const { return in_fd_; }
  int stdout_fd() const { return out_fd_; }
  void close_stdin();
  void close_stdout();

  // Waits for the child; the raw wait status.
  int wait();
  // The child's peak resident memory in KiB, once waited for.
  long peak_kib() const { return peak_kib_; }
  // Sends a signal to the child's process group, when it still runs.
  void kill(int signal);
  pid_t pid() const { return pid_; }
  const std::string& program() const { return program_; }

  // What the child wrote on standard error so far (its last 16 KiB).
  std::string error_text() const;
  // The last non-empty line of error_text(), or a description of how it ended.
  std::string last_error_line() const;

 private:
  Child() = default;
  void drain_stderr(int fd);

  std::string program_;
  pid_t pid_ = -1;
  std::atomic<bool> reaped_ = false;
  int status_ = 0;
  long peak_kib_ = 0;
  int in_fd_ = -1;
  int out_fd_ = -1;
  std::thread stderr_reader_;
  mutable std::mutex stderr_mutex_;
  std::string stderr_text_;
};

// True when the wait status says the program exited with status 0.
bool exited_cleanly(int status);
// "exited with status 1", "was killed by signal 9 (Killed)".
std::string describe_status(int status);

// Reads exactly the bytes the vectors describe. Returns the number of bytes
// read: less only at end of stream. Throws std::system_error on a read error.
size_t read_fully(int fd, std::vector<iovec> parts);
// Writes everything. False with errno set on failure (EPIPE when the reader went away).
bool write_fully(int fd, std::vector<iovec> parts);

// Runs a program to completion and collects its standard output.
struct RunResult {
  bool started = false;
  bool not_found = false;
  int status = 0;
  std::string out;
  std::string error;  // spawn failure, or the child's last error line
};
RunResult run_to_completion(const std::vector<std::string>& argv);

}  // namespace qnr
