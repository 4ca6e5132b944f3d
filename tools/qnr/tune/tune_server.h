// The rules and routes of `qnr tune`'s HTTP interface: one embedded page and
// a small API, to requests that carry the run's token and name this server in
// their Host header. It reads frames of the one input it was given and writes
// no file.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <semaphore>
#include <string>
#include <utility>
#include <vector>

#include "hosting/filter_module.h"
#include "tune/tune_api.h"
#include "tune/tune_frames.h"
#include "tune/tune_http.h"

namespace qnr {

struct TuneSetup {
  const LoadedModule* loaded = nullptr;
  FilterSettings given;  // the command line's settings, under the page's values
  bool rgb = false;      // --rgb: qnr would write the filter's own RGB
  FrameSource* frames = nullptr;
  InfoFacts info;
  std::string token;  // at least 128 random bits, as hex
  // Prints the settings line "done" asked for; false when it could not.
  std::function<bool(const std::string&)> print_line;
};

class TuneServer {
 public:
  explicit TuneServer(TuneSetup setup);
  ~TuneServer();  // stops serving
  TuneServer(const TuneServer&) = delete;
  TuneServer& operator=(const TuneServer&) = delete;

  // Serves on 127.0.0.1:port (0: a free port the system picks) from threads
  // of its own and returns the port. Throws Failure when the port is taken.
  int start(int port);
  // Waits up to `patience` for the replies under way (the "done" that ended
  // the session), then stops.
  void stop(std::chrono::milliseconds patience = std::chrono::milliseconds(0));

  // The settings line the page's "done" asked for, once it has.
  std::optional<std::string> done_line() const;

  // Requests answered so far, refused ones included: a change says the page is busy.
  uint64_t requests_answered() const { return answered_.load(); }

  // The access rules, then the routes. Safe from several threads.
  HttpReply answer(const HttpRequest& request);

 private:
  // Frames decoded, filtered and encoded at once: each holds a few copies of
  // the picture, so this bounds memory whatever the number of clients.
  static constexpr std::ptrdiff_t kFramesAtOnce = 2;

  struct Route;
  static const Route kRoutes[];

  HttpReply page(const HttpRequest& request);
  HttpReply info(const HttpRequest& request);
  HttpReply frame(const HttpRequest& request);
  HttpReply progress(const HttpRequest& request);
  HttpReply keyframe(const HttpRequest& request);
  HttpReply icon(const HttpRequest& request);
  HttpReply done(const HttpRequest& request);
  // The page's values over the command line's settings.
  FilterSettings settings_for(const FrameQuery& query) const;
  // Notes request `seek` of `page`: false when a newer one of that page came first.
  bool note_seek(const std::string& page, uint64_t seek);
  bool superseded(const std::string& page, uint64_t seek) const;
  // For a request with page and seek: false when it is given up already, else
  // sets `give_up` to say when it is.
  bool seek_turn(const FrameQuery& query, std::function<bool()>& give_up);

  TuneSetup setup_;
  std::counting_semaphore<kFramesAtOnce> frame_slots_{kFramesAtOnce};
  std::string nonce_;  // lets the page's own script and style run, nothing else
  int port_ = 0;
  HttpService http_;
  mutable std::mutex seeks_mutex_;
  std::map<std::string, uint64_t> newest_seek_;  // by page
  mutable std::mutex done_mutex_;
  std::optional<std::string> done_line_;
  bool printed_ = false;
  std::atomic<uint64_t> answered_{0};
};

// `bytes` random bytes as hex, from the kernel's generator.
std::string random_hex(size_t bytes);

}  // namespace qnr
