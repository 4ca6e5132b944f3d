#include "hosting/gpu_report.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

namespace qnr {
namespace {

// Everything written to stderr (file descriptor 2) while it lives, the
// module's writes included; restored when it ends.
class StderrCapture {
 public:
  StderrCapture() {
    std::fflush(stderr);
    file_ = std::tmpfile();
    saved_ = dup(2);
    if (file_ != nullptr && saved_ >= 0) dup2(fileno(file_), 2);
  }
  ~StderrCapture() {
    restore();
    if (file_ != nullptr) std::fclose(file_);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  std::string finish() {
    restore();
    std::string text;
    if (file_ == nullptr) return text;
    std::rewind(file_);
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file_)) > 0) text.append(buffer, n);
    return text;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  FILE* file_ = nullptr;
  int saved_ = -1;
};

bool contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// The cause in a log line: what follows "QNR: GPU road: <step>: ", without
// the closing "; frames take the CPU path".
std::string cause_of(const std::string& line) {
  const std::string prefix = kGpuRoadLogPrefix;
  std::string cause = line.starts_with(prefix) ? line.substr(prefix.size()) : line;
  const size_t tail = cause.find("; frames take the CPU path");
  if (tail != std::string::npos) cause.erase(tail);
  return cause;
}

std::string plain_words(const std::string& line) {
  const std::string cause = cause_of(line);
  const std::string why = " (" + cause + ")";
  if (contains(line, "no CUDA driver")) {
    return "no NVIDIA driver is installed (libcuda.so.1 not found)";
  }
  if (contains(line, "cuInit returned 100")) return "the NVIDIA driver finds no GPU" + why;
  if (contains(line, ": driver too old: ")) {
    // "...: driver too old: it supports CUDA a.b, the module's GPU code needs CUDA c.d or later"
    const std::string versions = cause.substr(cause.find("driver too old: ") + 16);
    return "the NVIDIA driver is too old: " + versions +
           (contains(versions, "needs CUDA 13.") ? " (the 580 series or later gives CUDA 13)" : "");
  }
  if (contains(line, "lacks")) {
    return "the NVIDIA driver is too old; the 580 series or later is needed" + why;
  }
  if (contains(line, "without GPU code")) {
    return "this module was built without GPU code (no nvcc at build time)";
  }
  if (contains(line, "cuModuleLoadData returned 209")) {
    return "the module carries no code this GPU can run" + why;
  }
  if (contains(line, "cuModuleLoadData returned 222") ||
      contains(line, "cuModuleLoadData returned 218")) {
    return "the driver is too old for the module's GPU code; the 580 series or later is needed" +
           why;
  }
  if (contains(line, "cuModuleLoadData"))
    return "the driver cannot load the module's GPU code" + why;
  if (contains(line, "returned 2 (")) return "the GPU is out of memory" + why;
  if (contains(line, "cuInit") || contains(line, "cuDeviceGet") ||
      contains(line, "cuDevicePrimaryCtxRetain")) {
    return "the NVIDIA driver could not start the GPU" + why;
  }
  return "it stops at " + cause;
}

}  // namespace

LogSwitchedOn::LogSwitchedOn() {
  if (const char* value = std::getenv("QNR_LOG")) previous_ = value, had_ = true;
  setenv("QNR_LOG", "1", 1);
}

void LogSwitchedOn::restore() {
  if (restored_) return;
  restored_ = true;
  if (had_)
    setenv("QNR_LOG", previous_.c_str(), 1);
  else
    unsetenv("QNR_LOG");
}

bool is_gpu_road_cause(const std::string& line) {
  return line.starts_with(kGpuRoadLogPrefix) && !contains(line, "GPU road: release:");
}

bool gpu_road_works(bool has_gpu_context, const std::vector<std::string>& log_lines) {
  for (const std::string& line : log_lines) {
    if (is_gpu_road_cause(line)) return false;
  }
  return has_gpu_context;
}

std::string describe_gpu_road(bool has_gpu_context, const std::vector<std::string>& log_lines) {
  std::vector<std::string> causes;
  for (const std::string& line : log_lines) {
    if (is_gpu_road_cause(line)) causes.push_back(plain_words(line));
  }
  if (has_gpu_context && causes.empty()) return "works: a test frame was filtered on the GPU";
  std::string text = "not used here: ";
  text += causes.empty() ? std::string("no GPU context could be made") : causes.front();
  for (size_t i = 1; i < causes.size(); ++i) text += "; then " + causes[i];
  return text + ". Every frame takes the exact CPU path.";
}

GpuRoadFinding find_gpu_road(const vdhost::FilterModule& module, const FilterDefinition& filter) {
  constexpr int32_t kWidth = 64, kHeight = 16;
  vdhost::Bitmap src(kWidth, kHeight), dst(kWidth, kHeight);
  bool has_gpu_context = false;
  std::string log;
  {
    const LogSwitchedOn log_on;
    StderrCapture capture;
    vdhost::FilterInstance instance(module, filter);
    if (instance.init() == 0 && instance.start(src, dst) == 0) {
      has_gpu_context = vdhost::holds_gpu_context(instance);
      instance.run(src, dst);
      instance.end();
    }
    log = capture.finish();
  }
  std::vector<std::string> lines;
  std::istringstream stream(log);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return {gpu_road_works(has_gpu_context, lines), describe_gpu_road(has_gpu_context, lines)};
}

std::string gpu_road_report(const vdhost::FilterModule& module, const FilterDefinition& filter) {
  return find_gpu_road(module, filter).text;
}

}  // namespace qnr
