// The HTTP side of `qnr tune`: one embedded page and a small API, served on
// 127.0.0.1 only, to requests that carry the run's token and name this server
// in their Host header. The server reads frames of the one input it was given
// and writes no file.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "filter_module.h"
#include "tune_api.h"
#include "tune_frames.h"

namespace httplib {
class Server;
}

namespace qnr {

struct TuneSetup {
  const LoadedModule* loaded = nullptr;
  FrameSource* frames = nullptr;
  InfoFacts info;
  std::string token;  // at least 128 random bits, as hex
};

class TuneServer {
 public:
  explicit TuneServer(TuneSetup setup);
  ~TuneServer();
  TuneServer(const TuneServer&) = delete;
  TuneServer& operator=(const TuneServer&) = delete;

  // Binds 127.0.0.1:port (0: a free port the system picks) and returns the
  // port. Throws Failure when the port is taken.
  int bind(int port);
  // Serves until stop(); call on a thread of its own.
  void serve();
  // Waits until serve() accepts connections; false when it ended instead.
  bool wait_until_serving() const;
  void stop();

  // The settings line the page's "done" asked for, once it has.
  std::optional<std::string> done_line() const;

 private:
  void route();

  TuneSetup setup_;
  std::unique_ptr<httplib::Server> http_;
  std::string nonce_;  // lets the page's own script and style run, nothing else
  int port_ = 0;
  std::atomic<bool> served_ = false;  // serve() has returned
  mutable std::mutex done_mutex_;
  std::optional<std::string> done_line_;
};

// `bytes` random bytes as hex, from the kernel's generator.
std::string random_hex(size_t bytes);

}  // namespace qnr
