#include "tune_options.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "failure.h"

namespace qnr {

namespace {

[[noreturn]] void bad(const std::string& message) {
  throw Failure(message + " (qnr --help lists the options)", kExitUsage);
}

// The settings options qnr's own parser reads, and whether each takes a value.
struct Forwarded {
  const char* name;
  bool takes_value;
};
constexpr Forwarded kForwarded[] = {
    {"--f1", true},     {"--f2", true},         {"--sharp", true},      {"--config", true},
    {"--module", true}, {"--interlace", false}, {"--show-noise", false}};

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

int parse_port(const std::string& text) {
  int port = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, port);
  if (text.empty() || ec != std::errc() || ptr != end || port < 1 || port > 65535) {
    bad("--port needs a port number from 1 to 65535, not \"" + text + "\"");
  }
  return port;
}

}  // namespace

bool is_tune_command(int argc, char** argv) {
  return argc >= 2 && std::strcmp(argv[1], "tune") == 0;
}

TuneOptions parse_tune_options(int argc, char** argv) {
  TuneOptions options;
  // The settings go through qnr's own parser, so they mean exactly what they
  // mean for `qnr IN OUT`; the rest are tune's own.
  std::vector<std::string> settings = {"qnr", "info"};
  std::vector<std::string> positional;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool inline_value = false;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      inline_value = true;
    }
    auto take_value = [&]() -> std::string {
      if (inline_value) return value;
      if (i + 1 >= argc) bad(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--at") {
      options.at = parse_time(take_value());
    } else if (arg == "--port") {
      options.port = parse_port(take_value());
    } else if (arg == "--no-browser") {
      if (inline_value) bad(arg + " takes no value");
      options.open_browser = false;
    } else if (arg == "--help" || arg == "-h") {
      settings.push_back(arg);
    } else if (arg.size() > 1 && arg[0] == '-') {
      const Forwarded* known = nullptr;
      for (const Forwarded& option : kForwarded) {
        if (arg == option.name) known = &option;
      }
      if (known == nullptr) bad("qnr tune does not take " + arg);
      settings.push_back(arg);
      if (known->takes_value) {
        settings.push_back(take_value());
      } else if (inline_value) {
        bad(arg + " takes no value");
      }
    } else {
      positional.push_back(arg);
    }
  }
  std::vector<char*> forwarded;
  for (std::string& text : settings) forwarded.push_back(text.data());
  options.common = parse_options(static_cast<int>(forwarded.size()), forwarded.data());
  if (options.common.mode == Options::Mode::help) return options;
  if (positional.size() != 1) {
    bad(positional.empty() ? "name the video to tune on: qnr tune IN"
                           : "qnr tune takes one input, not also " + positional[1]);
  }
  options.common.input = positional[0];
  return options;
}

}  // namespace qnr
