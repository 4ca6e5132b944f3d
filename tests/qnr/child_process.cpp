#include "child_process.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

extern char** environ;

namespace qnr {

namespace {

constexpr size_t kStderrKeep = 16 * 1024;

// Every running child.
std::mutex live_mutex;
std::vector<Child*>& live_children() {
  static std::vector<Child*> children;
  return children;
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

struct Pipe {
  int read = -1;
  int write = -1;
  bool open() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    read = fds[0];
    write = fds[1];
    return true;
  }
  ~Pipe() {
    close_fd(read);
    close_fd(write);
  }
};

}  // namespace

std::unique_ptr<Child> Child::spawn(const SpawnRequest& request, std::string& error,
                                    bool& not_found) {
  not_found = false;
  Pipe in, out, err;
  if ((request.in == Stream::pipe && !in.open()) || (request.out == Stream::pipe && !out.open()) ||
      !err.open()) {
    error = std::string("cannot create a pipe: ") + std::strerror(errno);
    return nullptr;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  auto connect = [&](Stream kind, int pipe_end, int target, int null_flags) {
    if (kind == Stream::pipe) {
      posix_spawn_file_actions_adddup2(&actions, pipe_end, target);
    } else if (kind == Stream::null) {
      posix_spawn_file_actions_addopen(&actions, target, "/dev/null", null_flags, 0);
    }
  };
  connect(request.in, in.read, STDIN_FILENO, O_RDONLY);
  connect(request.out, out.write, STDOUT_FILENO, O_WRONLY);
  posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);

  // The child gets default signal handling and an empty mask whatever this
  // process uses, and its own process group: an interrupt reaches it only
  // through us, so we decide what happens to the partial output.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  for (int s : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, s);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &empty);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  std::vector<char*> argv;
  for (const std::string& arg : request.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  std::unique_ptr<Child> child(new Child());
  child->program_ = request.argv.at(0);
  pid_t pid = -1;
  int result;
  {
    // Registered under the lock so an interrupt during the start still finds it.
    std::lock_guard lock(live_mutex);
    result = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    if (result == 0) {
      child->pid_ = pid;
      live_children().push_back(child.get());
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (result != 0) {
    not_found = result == ENOENT;
    error = child->program_ + ": " + std::strerror(result);
    return nullptr;
  }

  std::swap(child->in_fd_, in.write);
  std::swap(child->out_fd_, out.read);
  close_fd(err.write);
  const int err_fd = err.read;
  err.read = -1;
  child->stderr_reader_ = std::thread([raw = child.get(), err_fd] { raw->drain_stderr(err_fd); });
  return child;
}

void Child::drain_stderr(int fd) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard lock(stderr_mutex_);
    stderr_text_.append(buffer, static_cast<size_t>(n));
    if (stderr_text_.size() > 2 * kStderrKeep) {
      stderr_text_.erase(0, stderr_text_.size() - kStderrKeep);
    }
  }
  ::close(fd);
}

Child::~Child() {
  close_stdin();
  close_stdout();
  if (!reaped_) {
    kill(SIGKILL);
    wait();
  }
  if (stderr_reader_.joinable()) stderr_reader_.join();
  std::lock_guard lock(live_mutex);
  auto& children = live_children();
  children.erase(std::remove(children.begin(), children.end(), this), children.end());
}

void Child::close_stdin() { close_fd(in_fd_); }
void Child::close_stdout() { close_fd(out_fd_); }

int Child::wait() {
  if (!reaped_) {
    int status = 0;
    struct rusage usage {};
    while (::wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    peak_kib_ = usage.ru_maxrss;
    status_ = status;
    reaped_ = true;
    // The stderr pipe closes when the child (and anything it started) is gone.
    if (stderr_reader_.joinable()) stderr_reader_.join();
  }
  return status_;
}

void Child::kill(int signal) {
  // reaped_ is only set by the thread that waits; a late kill of a finished
  // but unreaped child is harmless because its pid is not reused until reaped.
  if (pid_ > 0 && !reaped_) ::kill(-pid_, signal);
}

std::string Child::error_text() const {
  std::lock_guard lock(stderr_mutex_);
  return stderr_text_;
}

namespace {

// ffmpeg ends a failure with summary lines that name no cause.
bool is_generic_line(const std::string& line) {
  for (const char* generic :
       {"Error initializing output stream", "Conversion failed", "Error while opening encoder",
        "Error opening output files", "Exiting normally", "Error closing file"}) {
    if (line.find(generic) != std::string::npos) return true;
  }
  return false;
}

// "[mp4 @ 0x55d0c0] flac in MP4 ..." becomes "flac in MP4 ...".
std::string without_context(std::string line) {
  if (!line.empty() && line[0] == '[') {
    const size_t close = line.find("] ");
    if (close != std::string::npos && line.find(" @ 0x") < close) line.erase(0, close + 2);
  }
  return line;
}

}  // namespace

std::string Child::last_error_line() const {
  const std::string text = error_text();
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
    if (!line.empty()) lines.push_back(line);
    start = end + 1;
  }
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (!is_generic_line(*it)) return without_context(*it);
  }
  if (!lines.empty()) return without_context(lines.back());
  return reaped_ ? program_ + " " + describe_status(status_) : std::string();
}

bool exited_cleanly(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

std::string describe_status(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    return "was killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
           strsignal(WTERMSIG(status)) + ")";
  }
  return "ended with wait status " + std::to_string(status);
}

namespace {

// Drops `done` bytes from the front of the vector list.
void advance(std::vector<iovec>& parts, size_t& first, size_t done) {
  while (done > 0 && first < parts.size()) {
    const size_t step = std::min(done, parts[first].iov_len);
    parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + step;
    parts[first].iov_len -= step;
    done -= step;
    if (parts[first].iov_len == 0) ++first;
  }
  while (first < parts.size() && parts[first].iov_len == 0) ++first;
}

}  // namespace

size_t read_fully(int fd, std::vector<iovec> parts) {
  size_t first = 0, total = 0;
  advance(parts, first, 0);
  while (first < parts.size()) {
    const int count = static_cast<int>(std::min<size_t>(parts.size() - first, IOV_MAX));
    const ssize_t n = ::readv(fd, parts.data() + first, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::system_error(errno, std::generic_category(), "read");
    if (n == 0) break;
    total += static_cast<size_t>(n);
    advance(parts, first, static_cast<size_t>(n));
  }
  return total;
}

bool write_fully(int fd, std::vector<iovec> parts) {
  size_t first = 0;
  advance(parts, first, 0);
  while (first < parts.size()) {
    const int count = static_cast<int>(std::min<size_t>(parts.size() - first, IOV_MAX));
    const ssize_t n = ::writev(fd, parts.data() + first, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    advance(parts, first, static_cast<size_t>(n));
  }
  return true;
}

RunResult run_to_completion(const std::vector<std::string>& argv) {
  RunResult result;
  SpawnRequest request;
  request.argv = argv;
  auto child = Child::spawn(request, result.error, result.not_found);
  if (!child) return result;
  result.started = true;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(child->stdout_fd(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.out.append(buffer, static_cast<size_t>(n));
  }
  child->close_stdout();
  result.status = child->wait();
  if (!exited_cleanly(result.status)) result.error = child->last_error_line();
  return result;
}

}  // namespace qnr
