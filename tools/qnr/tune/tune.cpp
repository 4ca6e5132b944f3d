#include "tune/tune.h"

#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>

#include "base/failure.h"
#include "base/interrupt.h"
#include "base/json.h"
#include "hosting/gpu_report.h"
#include "tune/tune_memory.h"
#include "tune/tune_server.h"

extern char** environ;

namespace qnr {

namespace {

bool has_display() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

// The address with its token reaches the browser through a file only this
// user can read, never through a command line (every local user can read
// those in /proc): a small page in the user's runtime folder (or a private
// folder under /tmp) that sends the browser on to the address. Removed when
// qnr tune ends.
class LaunchPage {
 public:
  explicit LaunchPage(const std::string& url) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat folder {};
    if (runtime != nullptr && *runtime == '/' && ::stat(runtime, &folder) == 0 &&
        S_ISDIR(folder.st_mode) && folder.st_uid == ::getuid() && (folder.st_mode & 077) == 0) {
      folder_ = runtime;
    } else {
      std::string pattern = "/tmp/qnr-tune-XXXXXX";
      if (::mkdtemp(pattern.data()) == nullptr) return;
      folder_ = own_folder_ = pattern;
    }
    const std::string path = folder_ + "/qnr-tune-" + random_hex(8) + ".html";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return;
    // The address holds digits, letters and punctuation that need no escaping here.
    const std::string page =
        "<!doctype html><meta charset=\"utf-8\"><title>qnr tune</title>"
        "<meta http-equiv=\"refresh\" content=\"0;url=" +
        url +
        "\">"
        "<a href=\"" +
        url + "\">qnr tune</a>\n";
    const bool written = ::write(fd, page.data(), page.size()) == ssize_t(page.size());
    ::close(fd);
    if (written) {
      path_ = path;
    } else {
      ::unlink(path.c_str());
    }
  }
  ~LaunchPage() {
    if (!path_.empty()) ::unlink(path_.c_str());
    if (!own_folder_.empty()) ::rmdir(own_folder_.c_str());
  }
  LaunchPage(const LaunchPage&) = delete;
  LaunchPage& operator=(const LaunchPage&) = delete;

  // Empty when the file could not be written.
  const std::string& path() const { return path_; }

 private:
  std::string folder_;
  std::string own_folder_;
  std::string path_;
};

// The desktop's browser through xdg-open, its output kept off ours (standard
// output carries the address and the settings line only). Not waited for:
// a thread reaps it.
void open_in_browser(const std::string& launch_page) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string program = "xdg-open";
  std::string address = launch_page;
  char* argv[] = {program.data(), address.data(), nullptr};
  pid_t pid = -1;
  const int code = posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (code != 0) {
    std::fprintf(stderr, "qnr tune: cannot start xdg-open; open the address above in a browser\n");
    return;
  }
  std::thread([pid] {
    int status = 0;
    ::waitpid(pid, &status, 0);
  }).detach();
}

// Standard output or error closed by the caller: /dev/null takes its number,
// so no socket or file opened later is written to by mistake. False when
// standard output was closed.
bool claim_closed_standard_streams() {
  bool stdout_open = true;
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDOUT_FILENO) stdout_open = false;
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0 && null != fd) {
      ::dup2(null, fd);
      ::close(null);
    }
  }
  return stdout_open;
}

// `text` as one word for a POSIX shell: as it is when safe, else in single
// quotes; a name that starts with '-' gets "./" so it is not read as an option.
std::string shell_word(const std::string& text) {
  std::string word = text;
  if (word.starts_with('-')) word = "./" + word;
  if (!word.empty() &&
      word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                             "_-+./,:=@%") == std::string::npos) {
    return word;
  }
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// An output name next to the input: a picture for a still, a video otherwise.
std::string suggested_output(const std::string& input, const InputFacts& facts) {
  const size_t slash = input.rfind('/');
  const size_t dot = input.rfind('.');
  const bool extension =
      dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return input.substr(0, extension ? dot : input.size()) + "-qnr" + (facts.still ? ".png" : ".mp4");
}

std::string shown_path(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

// The command line's settings; without any (and without --fresh), the line
// last chosen for this input, replayed as --config replays one.
FilterSettings given_settings(const TuneRequest& request, std::string& recalled) {
  const FilterSettings& given = request.settings;
  const bool any = given.config || std::ranges::any_of(given.values.values,
                                                       [](const auto& v) { return v.has_value(); });
  if (any || request.fresh) return given;
  const std::optional<std::string> line = recall_settings(request.input);
  vdhost::ScriptCall call;
  std::string error;
  if (!line || !vdhost::parse_script_line(*line, call, error)) return given;
  recalled = *line;
  return FilterSettings{call, given.values};
}

}  // namespace

int run_tune(const TuneRequest& request, const LoadedModule& loaded) {
  const std::string& module_path = request.module_path;
  std::string recalled;
  FilterSettings given = given_settings(request, recalled);
  vdhost::Settings start;
  try {
    start = starting_settings(loaded, given);
  } catch (const Failure&) {
    if (recalled.empty()) throw;
    // A line this module no longer takes is forgotten, not fatal.
    recalled.clear();
    given = request.settings;
    start = starting_settings(loaded, given);
  }
  if (!recalled.empty()) {
    std::fprintf(stderr,
                 "qnr tune: starting from the settings last chosen for %s: %s (--fresh starts "
                 "from the defaults)\n",
                 request.input.c_str(), recalled.c_str());
  }
  FrameSource frames(request.input);

  TuneSetup setup;
  setup.loaded = &loaded;
  setup.given = given;
  setup.rgb = request.rgb;
  setup.frames = &frames;
  setup.token = random_hex(16);
  const bool stdout_open = claim_closed_standard_streams();
  setup.print_line = [stdout_open](const std::string& line) {
    return stdout_open && std::printf("%s\n", line.c_str()) >= 0 && std::fflush(stdout) == 0;
  };
  InfoFacts& info = setup.info;
  info.input = as_utf8(request.input);
  info.frames = frames.facts();
  info.module_path = as_utf8(shown_path(module_path));
  info.filter_name = loaded.filter->name != nullptr ? loaded.filter->name : "";
  info.gpu_report = gpu_road_report(*loaded.module, *loaded.filter);
  info.gpu = info.gpu_report.starts_with("works");
  info.start_seconds = request.at;
  info.start = start;
  info.start_line = settings_line(loaded, FilterSettings{given.config, start});
  info.recalled = recalled;

  const std::string token = setup.token;
  TuneServer server(std::move(setup));
  const int port = server.start(request.port);
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/?token=" + token;
  std::printf("%s\n", url.c_str());
  std::fflush(stdout);
  const bool open_browser = request.open_browser && has_display();
  // Standard output may be a script's pipe: the address goes to the terminal too.
  std::fprintf(stderr,
               "qnr tune: %s (%dx%d): %s%s\n"
               "qnr tune: press \"Done\" on the page to print the settings line, or Ctrl-C to "
               "end\n",
               request.input.c_str(), frames.facts().width, frames.facts().height,
               open_browser ? "opening " : "open ", url.c_str());
  std::optional<LaunchPage> launch;
  if (open_browser) {
    launch.emplace(url);
    if (launch->path().empty()) {
      std::fprintf(stderr,
                   "qnr tune: cannot write a page for the browser; open the address above\n");
    } else {
      open_in_browser(launch->path());
    }
  }

  // qnr's main keeps freed memory for the next frame (mapping and faulting
  // in a picture's buffers afresh for every request nearly doubles a
  // settings change's time here); once the page has been quiet for a second,
  // what is free goes back to the system, from every thread's arena.
  constexpr int kQuietTicks = 20;
  uint64_t answered = server.requests_answered();
  int quiet_ticks = 0;
  while (!server.done_line() && interrupted_signal() == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint64_t now_answered = server.requests_answered();
    quiet_ticks = now_answered == answered ? quiet_ticks + 1 : 0;
    answered = now_answered;
    if (quiet_ticks == kQuietTicks) malloc_trim(0);
  }
  server.stop(server.done_line() ? std::chrono::seconds(2) : std::chrono::seconds(0));
  if (const std::optional<std::string> line = server.done_line()) {
    std::fprintf(stderr,
                 "qnr tune: chosen settings %s; to filter with them: qnr %s %s --config %s\n",
                 line->c_str(), shell_word(request.input).c_str(),
                 shell_word(suggested_output(request.input, frames.facts())).c_str(),
                 shell_word(*line).c_str());
    std::string reason;
    if (!remember_settings(request.input, *line, reason)) {
      std::fprintf(stderr, "qnr tune: note: these settings are not remembered for next time: %s\n",
                   reason.c_str());
    }
  }
  // Ctrl-C is the usual way to end; being terminated or hung up is not.
  const int signal = interrupted_signal();
  return signal == SIGTERM || signal == SIGHUP ? 128 + signal : 0;
}

}  // namespace qnr
