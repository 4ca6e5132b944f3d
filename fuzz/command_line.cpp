// qnr's command line through its one parser, with the words users get wrong:
// times (--at 1:02:03.5, --segment-seconds), rates (--rate 30000/1001), the
// encoder's options after "--", and names that may be image sequences
// (img%03d.png, 100%done.mp4, %%). A line is taken or refused with a
// message; what is taken holds what the parser promises, and the pieces that
// read it later (the encoder options, the sequence names) do the same.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <string>
#include <vector>

#include "app/options.h"
#include "base/failure.h"
#include "fuzz_support.h"
#include "media/encoder_args.h"
#include "media/sequence_name.h"

namespace {

using qnr_fuzz::require;

std::string word(FuzzedDataProvider& in, std::initializer_list<const char*> usual) {
  if (in.ConsumeIntegralInRange(0, 2) != 0) {
    return usual.begin()[in.ConsumeIntegralInRange<size_t>(0, usual.size() - 1)];
  }
  return in.ConsumeRandomLengthString(48);
}

std::vector<std::string> command_line(FuzzedDataProvider& in) {
  std::vector<std::string> words = {"qnr"};
  words.push_back(word(in, {"in.mp4", "tune", "demo", "info", "plan", "segment", "join", "status",
                            "img%03d.png", "--help"}));
  for (int n = in.ConsumeIntegralInRange(0, 8); n > 0; --n) {
    words.push_back(word(in, {"out.mkv",  "out%04d.png", "100%done.mp4", "a%%d.png",
                              "%d",       "--at",        "--rate",       "--segment-seconds",
                              "--job",    "--segments",  "--jobs",       "--port",
                              "-f",       "--codec",     "-y",           "--config",
                              "--f1",     "--parallel",  "--",           "-c:v",
                              "-pix_fmt", "-an",         "-q:v",         "-movflags"}));
    words.push_back(word(in, {"1:02:03.5",  "0:60",
                              "59:59",      "-1",
                              "nan",        "inf",
                              "1e999",      "30000/1001",
                              "25",         "0/0",
                              "1/0",        "ntsc",
                              "0.04",       "0.039",
                              "86400.0001", "2",
                              "-0",         "::",
                              "1:",         "image2",
                              "png",        "99999999999999999999",
                              "%",          "libx264",
                              "yuv420p",    "+faststart"}));
  }
  return words;
}

void check_names(FuzzedDataProvider& in, const std::string& name, const std::string& format) {
  if (qnr::is_sequence_pattern(name, format)) {
    const qnr::SequenceName sequence = qnr::split_sequence(name);
    require(!sequence.folder.empty(), "a sequence has a folder");
    qnr::sequence_file_name(sequence.pattern, in.ConsumeIntegral<int64_t>());
  }
  require(!qnr::is_sequence_pattern(qnr::escape_percent(name), format),
          "an escaped name is never a pattern");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::vector<std::string> words = command_line(in);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  qnr::Options options;
  try {
    options = qnr::parse_options(static_cast<int>(words.size()), argv.data());
  } catch (const qnr::Failure& e) {
    require(e.what()[0] != '\0', "a refused line says why");
    return 0;
  }
  require(options.rate_num >= 0 && options.rate_den > 0, "a rate is positive or the input's");
  require(std::isfinite(options.tune_at) && options.tune_at >= 0, "--at is a time");
  require(options.job.segment_seconds == 0 ||
              (options.job.segment_seconds >= 0.04 && options.job.segment_seconds <= 86400),
          "--segment-seconds in its range");
  try {
    qnr::parse_encoder_args(options.encoder_args);
  } catch (const qnr::Failure& e) {
    require(e.what()[0] != '\0', "refused encoder options say why");
  }
  check_names(in, options.input, "");
  check_names(in, options.output, options.format);
  return 0;
}
