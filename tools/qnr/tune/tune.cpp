#include "tune/tune.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "base/failure.h"
#include "base/interrupt.h"
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

// The desktop's browser through xdg-open, its output kept off ours (standard
// output carries the address and the settings line only). Not waited for:
// a thread reaps it.
void open_in_browser(const std::string& url) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string program = "xdg-open";
  std::string address = url;
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
  setup.frames = &frames;
  setup.token = random_hex(16);
  InfoFacts& info = setup.info;
  info.input = request.input;
  info.frames = frames.facts();
  info.module_path = shown_path(module_path);
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
  if (open_browser) open_in_browser(url);

  while (!server.done_line() && interrupted_signal() == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  server.stop();
  if (const std::optional<std::string> line = server.done_line()) {
    std::printf("%s\n", line->c_str());
    std::fprintf(stderr,
                 "qnr tune: chosen settings %s; to filter with them: qnr %s OUT --config "
                 "\"%s\"\n",
                 line->c_str(), request.input.c_str(), line->c_str());
    std::string reason;
    if (!remember_settings(request.input, *line, reason)) {
      std::fprintf(stderr, "qnr tune: note: these settings are not remembered for next time: %s\n",
                   reason.c_str());
    }
  }
  return 0;
}

}  // namespace qnr
