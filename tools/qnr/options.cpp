#include "options.h"

#include <charconv>
#include <limits>

#include "failure.h"

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

}  // namespace

std::string usage_text() {
  return R"USAGE(qnr: spatial noise reduction of video and images through the QNR filter module

usage:
  qnr IN OUT [options] [-- encoder options]
  qnr demo [DIR] [--size WxH] [--frames N] [--jobs N]
  qnr tune IN [settings] [--at TIME] [--port N] [--no-browser]
  qnr info

IN is any video or image FFmpeg reads ("-" for standard input); OUT's extension
picks the container: .mp4 .mkv .mov .avi .ts .m2ts .flv (H.264, CRF 16), .webm
(VP9), .gif, .png .tif (lossless), .jpg; seq%03d.png writes an image sequence;
"-" writes to standard output (with -f matroska, mpegts or nut).
Audio, subtitles, chapters and metadata are copied from IN where OUT's
container takes them (else converted or left out, with a note); each frame
keeps its timestamp. An existing OUT is replaced only with -y.

filter settings (defaults are the filter's own: f1 70, f2 70, sharp 2):
  --f1 N            level of the first frequency, 0 to 100
  --f2 N            level of the second frequency, 0 to 100
  --sharp N         sharpening of detail, 0 to 6
  --interlace       filter the two fields of interlaced video separately
  --show-noise      write what the filter removes instead of the filtered frame
  --disable         pass the frames through unfiltered
  --config LINE     the filter's settings line as hosts store it, e.g.
                    "Config(70,70,2,0,1)"; single options above override it

qnr tune serves a page on 127.0.0.1 for choosing the settings by eye on IN's
own frames (before and after, zoom, the noise removed); it prints the page's
address with its access token first, opens it in the desktop's browser unless
--no-browser, and prints the chosen settings line when the page's "done" is
pressed. The settings above are the page's starting values; --at TIME (seconds
or M:SS) the starting time; --port N a fixed port instead of a free one.

other options:
  --jobs N          filter instances working in parallel (default: one per
                    core; one where a CUDA driver loads)
  --codec NAME      video encoder instead of the container's default
  -f, --format NAME container instead of the one OUT's name picks
  -y, --overwrite   replace OUT when it exists
  --module PATH     the filter module (default: QNR_CUDA.vdf beside qnr)
  --quiet, -q       no progress line
  --help, -h        this text
  --version         qnr's version
  -- ARGS...        encoder options as -name value pairs, after qnr's own, e.g.
                    -- -crf 20 -preset slow; -an, -sn, -dn drop the audio,
                    subtitle or data streams; -pix_fmt NAME the pixel format
)USAGE";
}

Options parse_options(int argc, char** argv) {
  Options options;
  std::vector<std::string> positional;
  bool settings_given = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      options.encoder_args.assign(argv + i + 1, argv + argc);
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    std::string value;
    bool has_inline_value = false;
    if (arg.rfind("--", 0) == 0) {
      if (const size_t eq = arg.find('='); eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        has_inline_value = true;
      }
    }
    auto take_value = [&]() -> std::string {
      if (has_inline_value) return value;
      if (i + 1 >= argc) bad(arg + " needs a value");
      return argv[++i];
    };
    auto flag = [&] {
      if (has_inline_value) bad(arg + " takes no value");
    };
    if (arg == "--f1") {
      options.settings.level_f1 = to_int(arg, take_value(), 0, 100);
      settings_given = true;
    } else if (arg == "--f2") {
      options.settings.level_f2 = to_int(arg, take_value(), 0, 100);
      settings_given = true;
    } else if (arg == "--sharp") {
      options.settings.sharp = to_int(arg, take_value(), 0, 6);
      settings_given = true;
    } else if (arg == "--interlace") {
      flag();
      options.settings.interlace = settings_given = true;
    } else if (arg == "--show-noise") {
      flag();
      options.settings.show_noise = settings_given = true;
    } else if (arg == "--disable") {
      flag();
      options.settings.disable = settings_given = true;
    } else if (arg == "--config") {
      ScriptCall call;
      std::string error;
      const std::string line = take_value();
      if (!parse_script_line(line, call, error)) {
        throw Failure("bad --config line \"" + line + "\": " + error, kExitUsage);
      }
      options.settings.config = call;
      settings_given = true;
    } else if (arg == "--jobs" || arg == "-j") {
      options.jobs = to_int(arg, take_value(), 1, 256);
    } else if (arg == "--codec") {
      options.codec = take_value();
      if (options.codec.empty()) bad("--codec needs an encoder name");
    } else if (arg == "--format" || arg == "-f") {
      options.format = take_value();
      if (options.format.empty()) bad("--format needs a container name");
    } else if (arg == "--overwrite" || arg == "-y") {
      flag();
      options.overwrite = true;
    } else if (arg == "--module") {
      options.module = take_value();
    } else if (arg == "--size") {
      const std::string size = take_value();
      const size_t x = size.find('x');
      if (x == std::string::npos) bad("--size needs WIDTHxHEIGHT, not \"" + size + "\"");
      options.demo_width = to_int("--size width", size.substr(0, x), 16, 7680);
      options.demo_height = to_int("--size height", size.substr(x + 1), 16, 4320);
    } else if (arg == "--frames") {
      options.demo_frames = to_int(arg, take_value(), 1, 100000);
    } else if (arg == "--quiet" || arg == "-q") {
      flag();
      options.quiet = true;
    } else if (arg == "--help" || arg == "-h") {
      options.mode = Options::Mode::help;
      return options;
    } else if (arg == "--version") {
      options.mode = Options::Mode::version;
      return options;
    } else {
      bad("unknown option " + arg);
    }
  }

  if (!positional.empty() && positional[0] == "demo") {
    options.mode = Options::Mode::demo;
    if (positional.size() > 2) bad("qnr demo takes one directory, not " + positional[2]);
    if (positional.size() == 2) options.demo_dir = positional[1];
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
  (void)settings_given;
  return options;
}

}  // namespace qnr
