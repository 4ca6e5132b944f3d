// qnr IN OUT, in-process, on mutated media: the input is the fuzz input as a
// file in /dev/shm (qnr opens inputs by name), the output a Matroska file
// beside it, the module the real one on the CPU path, one instance. After a
// few frames the run is stopped from the frame observer, so an input that
// claims a long video costs no more than a short one; libFuzzer's -timeout
// bounds the rest. A damaged input must end in a clear refusal (Failure) or
// a finished run; anything else (a crash, a sanitizer report, another
// exception) is a finding. Crashes inside FFmpeg's own code show up too and
// are told apart by their stack.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/options.h"
#include "app/single_run.h"
#include "base/failure.h"
#include "fuzz_support.h"
#include "media/libav.h"

namespace {

using qnr_fuzz::require;

constexpr int64_t kMaxFrames = 8;
constexpr char kStopped[] = "fuzz: enough frames";

const std::string& folder() {
  static const std::string dir = [] {
    char name[] = "/dev/shm/qnr-fuzz-media-XXXXXX";
    require(::mkdtemp(name) != nullptr, "a fuzz folder");
    return std::string(name);
  }();
  return dir;
}

const qnr::LoadedModule& module() {
  static const qnr::LoadedModule* loaded =
      new qnr::LoadedModule(qnr::load_filter_module(QNR_FUZZ_MODULE));
  return *loaded;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  av_log_set_level(AV_LOG_QUIET);
  const std::string input = folder() + "/in";
  FILE* file = std::fopen(input.c_str(), "wb");
  require(file != nullptr, "the fuzz folder takes files");
  std::fwrite(data, 1, size, file);
  std::fclose(file);

  qnr::Options options;
  options.input = input;
  options.output = folder() + "/out.mkv";
  options.overwrite = true;
  options.quiet = true;
  options.jobs = 1;
  options.encoder_args = {"-c:v", "ffv1"};
  const qnr::FrameObserver stop_early = [](int64_t index, const qnr::HostFrame&,
                                           const qnr::HostFrame&) {
    if (index + 1 >= kMaxFrames) throw qnr::Failure(kStopped);
  };
  try {
    qnr::run_filter_job(options, module(), stop_early);
  } catch (const qnr::Failure& e) {
    require(e.what()[0] != '\0', "a refusal says why");
  }
  std::remove(options.output.c_str());
  return 0;
}
