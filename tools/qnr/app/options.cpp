#include "app/options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "base/failure.h"
#include "media/libav.h"

extern "C" {
#include <libavutil/parseutils.h>
}

namespace qnr {

namespace {

[[noreturn]] void bad(const std::string& message) {
  throw Failure(message + " (qnr --help lists the options)", kExitUsage);
}

int to_int(const std::string& option, const std::string& text, int low, int high) {
  int value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end) {
    bad(option + " needs a whole number, not \"" + text + "\"");
  }
  if (value < low || value > high) {
    bad(option + " must be between " + std::to_string(low) + " and " + std::to_string(high) +
        ", not " + text);
  }
  return value;
}

// One option as the command line gives it: "--f1 70", "--f1=70", "-y".
struct OptionArg {
  std::string name;
  std::optional<std::string> inline_value;  // after "=" in a long option
  int argc;
  char** argv;
  int& at;  // the option's place; moved past a value taken from the next word

  OptionArg(const std::string& word, int count, char** words, int& index)
      : name(word), argc(count), argv(words), at(index) {
    if (word.rfind("--", 0) != 0) return;
    if (const size_t eq = word.find('='); eq != std::string::npos) {
      inline_value = word.substr(eq + 1);
      name = word.substr(0, eq);
    }
  }
  std::string value() {
    if (inline_value) return *inline_value;
    if (at + 1 >= argc) bad(name + " needs a value");
    return argv[++at];
  }
  // Refuses "--quiet=1": a switch takes no value.
  void no_value() const {
    if (inline_value) bad(name + " takes no value");
  }
};

ScriptCall config_line(const std::string& line) {
  ScriptCall call;
  std::string error;
  if (!parse_script_line(line, call, error)) {
    throw Failure("bad --config line \"" + line + "\": " + error, kExitUsage);
  }
  return call;
}

// The filter's settings, as the settings table names them. False when `arg`
// is not one of them.
bool take_setting(OptionArg& arg, FilterSettings& settings) {
  if (arg.name == "--config") {
    settings.config = config_line(arg.value());
    return true;
  }
  for (const vdhost::SettingInfo& info : vdhost::kSettingTable) {
    if (arg.name != vdhost::option_name(info)) continue;
    if (info.kind == vdhost::SettingKind::flag) {
      // A flag only switches its setting on; left off, the filter keeps its own value.
      arg.no_value();
      settings.values[info.setting] = 1;
    } else {
      settings.values[info.setting] = to_int(arg.name, arg.value(), info.minimum, info.maximum);
    }
    return true;
  }
  return false;
}

// How the input is read: its frame rate, and whether damage stops the job.
bool take_input_option(OptionArg& arg, Options& options) {
  if (arg.name == "--rate") {
    const std::string text = arg.value();
    AVRational rate{0, 1};
    if (av_parse_video_rate(&rate, text.c_str()) < 0 || rate.num <= 0 || rate.den <= 0 ||
        av_q2d(rate) > 1000) {
      bad("--rate needs frames per second such as 25, 29.97 or 30000/1001, not \"" + text + "\"");
    }
    options.rate_num = rate.num;
    options.rate_den = rate.den;
  } else if (arg.name == "--strict") {
    arg.no_value();
    options.strict = true;
  } else if (arg.name == "--video-stream") {
    options.video_stream = to_int(arg.name, arg.value(), 0, 1 << 20);
  } else if (arg.name == "--rgb") {
    arg.no_value();
    options.rgb = true;
  } else {
    return false;
  }
  return true;
}

// How a run goes: instances, encoder, container, files, messages.
bool take_run_option(OptionArg& arg, Options& options) {
  const std::string& name = arg.name;
  if (name == "--jobs" || name == "-j") {
    options.jobs = to_int(name, arg.value(), 1, 256);
  } else if (name == "--codec") {
    options.codec = arg.value();
    if (options.codec.empty()) bad("--codec needs an encoder name");
  } else if (name == "--format" || name == "-f") {
    options.format = arg.value();
    if (options.format.empty()) bad("--format needs a container name");
  } else if (name == "--overwrite" || name == "-y") {
    arg.no_value();
    options.overwrite = true;
  } else if (name == "--module") {
    options.module = arg.value();
  } else if (name == "--quiet" || name == "-q") {
    arg.no_value();
    options.quiet = true;
  } else {
    return false;
  }
  return true;
}

double to_seconds(const std::string& option, const std::string& text) {
  double value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || !(value >= 0.04 && value <= 86400)) {
    bad(option + " needs seconds between 0.04 and 86400, not \"" + text + "\"");
  }
  return value;
}

// Seconds as "12.5", "90" or "1:02.5" (minutes) or "1:00:00" (hours).
double parse_time(const std::string& text) {
  double seconds = 0;
  size_t start = 0;
  for (int parts = 0;; ++parts) {
    const size_t colon = text.find(':', start);
    const std::string part = text.substr(start, colon == std::string::npos ? colon : colon - start);
    double value = 0;
    const char* end = part.data() + part.size();
    auto [ptr, ec] = std::from_chars(part.data(), end, value);
    if (part.empty() || ec != std::errc() || ptr != end || !std::isfinite(value) || value < 0 ||
        parts > 2) {
      bad("--at needs a time in seconds (12.5) or as M:SS or H:MM:SS, not \"" + text + "\"");
    }
    seconds = seconds * 60 + value;
    if (colon == std::string::npos) return seconds;
    start = colon + 1;
  }
}

// qnr tune's own: where to start, the port, and whether to open a browser.
bool take_tune_option(OptionArg& arg, Options& options) {
  if (arg.name == "--at") {
    options.tune_at = parse_time(arg.value());
  } else if (arg.name == "--port") {
    const std::string text = arg.value();
    int port = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, port);
    if (text.empty() || ec != std::errc() || ptr != end || port < 1 || port > 65535) {
      bad("--port needs a port number from 1 to 65535, not \"" + text + "\"");
    }
    options.tune_port = port;
  } else if (arg.name == "--no-browser") {
    arg.no_value();
    options.tune_open_browser = false;
  } else if (arg.name == "--fresh") {
    arg.no_value();
    options.tune_fresh = true;
  } else {
    return false;
  }
  return true;
}

// The options qnr tune takes besides the filter's settings: the module and its own.
bool tune_takes(const std::string& name) {
  static const char* const kTaken[] = {"--module", "--at", "--port", "--no-browser", "--fresh"};
  return std::any_of(std::begin(kTaken), std::end(kTaken),
                     [&](const char* taken) { return name == taken; });
}

// The road (--cpu, --device) and long jobs (--segments and the job commands).
bool take_job_option(OptionArg& arg, Options& options) {
  const std::string& name = arg.name;
  JobOptions& job = options.job;
  if (name == "--cpu") {
    arg.no_value();
    options.road.cpu = true;
  } else if (name == "--device") {
    options.road.device = to_int(name, arg.value(), 0, 63);
  } else if (name == "--segments") {
    arg.no_value();
    job.segments = true;
  } else if (name == "--segment-seconds") {
    job.segment_seconds = to_seconds(name, arg.value());
  } else if (name == "--parallel") {
    job.parallel = to_int(name, arg.value(), 1, 256);
  } else if (name == "--job") {
    job.dir = arg.value();
    if (job.dir.empty()) bad("--job needs a folder");
  } else if (name == "--keep-job") {
    arg.no_value();
    job.keep = true;
  } else if (name == "--json") {
    arg.no_value();
    job.json = true;
  } else {
    return false;
  }
  return true;
}

// qnr plan IN OUT, qnr segment K, qnr join, qnr status. False for other words.
bool take_job_command(const std::vector<std::string>& positional, Options& options) {
  const std::string command = positional.empty() ? "" : positional[0];
  const size_t words = positional.size();
  if (command == "plan") {
    options.mode = Options::Mode::plan;
    if (words != 3) bad("qnr plan takes the input and the output: qnr plan IN OUT --job DIR");
    options.input = positional[1];
    options.output = positional[2];
  } else if (command == "segment") {
    options.mode = Options::Mode::segment;
    if (words != 2) bad("qnr segment takes one segment number: qnr segment --job DIR K");
    options.job.segment = to_int("the segment number", positional[1], 0, 99999999);
  } else if (command == "join" || command == "status") {
    options.mode = command == "join" ? Options::Mode::join : Options::Mode::status;
    if (words != 1) bad("qnr " + command + " takes no arguments besides --job DIR");
  } else {
    return false;
  }
  if (options.job.dir.empty()) bad("qnr " + command + " needs the job's folder: --job DIR");
  return true;
}

bool take_demo_option(OptionArg& arg, Options& options) {
  if (arg.name == "--size") {
    const std::string size = arg.value();
    const size_t x = size.find('x');
    if (x == std::string::npos) bad("--size needs WIDTHxHEIGHT, not \"" + size + "\"");
    options.demo_width = to_int("--size width", size.substr(0, x), 16, 7680);
    options.demo_height = to_int("--size height", size.substr(x + 1), 16, 4320);
    // The demo's clip is H.264 in 4:2:0, which halves both sides for colour.
    if (options.demo_width % 2 != 0 || options.demo_height % 2 != 0) {
      bad("--size needs an even width and height for the demo's 4:2:0 clip, not \"" + size + "\"");
    }
  } else if (arg.name == "--frames") {
    options.demo_frames = to_int(arg.name, arg.value(), 1, 100000);
  } else {
    return false;
  }
  return true;
}

// The words that are not options: the command, or IN and OUT.
void take_positional(const std::vector<std::string>& positional, Options& options) {
  if (take_job_command(positional, options)) return;
  if (!positional.empty() && positional[0] == "demo") {
    options.mode = Options::Mode::demo;
    if (positional.size() > 2) bad("qnr demo takes one directory, not " + positional[2]);
    if (positional.size() == 2) options.demo_dir = positional[1];
  } else if (!positional.empty() && positional[0] == "tune") {
    options.mode = Options::Mode::tune;
    if (positional.size() != 2) {
      bad(positional.size() < 2 ? "name the video to tune on: qnr tune IN"
                                : "qnr tune takes one input, not also " + positional[2]);
    }
    options.input = positional[1];
  } else if (!positional.empty() && positional[0] == "info") {
    options.mode = Options::Mode::info;
    if (positional.size() > 1) bad("qnr info takes no arguments");
  } else {
    if (positional.size() < 2) {
      bad(positional.empty() ? "name the input and the output file: qnr IN OUT"
                             : "name the output file too: qnr IN OUT");
    }
    if (positional.size() > 2) bad("unexpected argument " + positional[2]);
    options.input = positional[0];
    options.output = positional[1];
  }
}

}  // namespace

Options parse_options(int argc, char** argv) {
  Options options;
  std::vector<std::string> positional;
  std::vector<std::string> given;  // the options' names, to check them against the command
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") {
      options.encoder_args.assign(argv + i + 1, argv + argc);
      given.push_back(word);
      break;
    }
    if (word.size() < 2 || word[0] != '-') {
      positional.push_back(word);
      continue;
    }
    OptionArg arg(word, argc, argv, i);
    if (arg.name == "--help" || arg.name == "-h") {
      options.mode = Options::Mode::help;
      return options;
    }
    if (arg.name == "--version") {
      options.mode = Options::Mode::version;
      return options;
    }
    const bool setting = take_setting(arg, options.settings);
    if (!setting && !take_run_option(arg, options) && !take_input_option(arg, options) &&
        !take_demo_option(arg, options) && !take_job_option(arg, options) &&
        !take_tune_option(arg, options)) {
      bad("unknown option " + arg.name);
    }
    if (!setting) given.push_back(arg.name);
  }
  take_positional(positional, options);
  for (const std::string& name : given) {
    const bool tune_only =
        name == "--at" || name == "--port" || name == "--no-browser" || name == "--fresh";
    if (options.mode == Options::Mode::tune && !tune_takes(name)) {
      bad("qnr tune does not take " + name);
    }
    if (options.mode != Options::Mode::tune && tune_only) bad(name + " goes with qnr tune");
  }
  if (options.road.cpu && options.road.device >= 0) bad("--cpu and --device exclude each other");
  const JobOptions& job = options.job;
  const bool whole_job = options.mode == Options::Mode::filter && job.segments;
  if (!whole_job && job.parallel > 0) bad("--parallel goes with --segments");
  if (!whole_job && options.mode != Options::Mode::join && job.keep) {
    bad("--keep-job goes with --segments or qnr join");
  }
  if (!whole_job && options.mode != Options::Mode::plan && job.segment_seconds > 0) {
    bad("--segment-seconds goes with --segments or qnr plan");
  }
  if (options.mode == Options::Mode::filter && !job.segments && !job.dir.empty()) {
    bad("--job goes with --segments or a job command");
  }
  if (job.json && options.mode != Options::Mode::status) bad("--json goes with qnr status");
  return options;
}

}  // namespace qnr
