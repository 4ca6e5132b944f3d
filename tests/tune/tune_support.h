// A `qnr tune --no-browser` child for the tests, its address and token, and
// HTTP to it: through httplib's client, or raw bytes where a test needs
// requests no well-behaved client sends.
#pragma once

#include <httplib.h>

#include <memory>
#include <string>
#include <vector>

#include "child_process.h"

namespace qnr_test {

class TuneChild {
 public:
  // Starts `qnr tune INPUT --no-browser ARGS...` and reads the address it
  // prints; the test fails when none comes within the timeout.
  explicit TuneChild(const std::string& input, const std::vector<std::string>& args = {},
                     bool open_browser = false);
  ~TuneChild();

  bool started() const { return port_ > 0; }
  int port() const { return port_; }
  const std::string& token() const { return token_; }
  const std::string& url() const { return url_; }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

  // A client for this server; requests carry neither token nor extra headers.
  std::unique_ptr<httplib::Client> client() const;
  // GET path with the token added to its query.
  httplib::Result get(const std::string& path_and_query) const;

  // Everything the child wrote to standard output after the address, once it
  // ended, and its exit status (128 + signal when killed).
  int wait(std::string& rest_of_output);
  void signal(int number);
  // Closes our end of the child's standard output: its prints fail from then on.
  void close_output();

 private:
  std::unique_ptr<qnr::Child> child_;
  int port_ = 0;
  std::string token_;
  std::string url_;
};

// A connection to 127.0.0.1:`port`, or -1.
int connect_loopback(int port);

// Sends `request` as it stands over a fresh connection and returns all the
// server answered before closing or timing out.
std::string raw_exchange(int port, const std::string& request, int timeout_ms = 5000);
// The status code in an HTTP response's first line, or 0.
int status_of(const std::string& response);

// A PNG answer decoded as top-down bgr0 words (byte 3 zero), with its size.
struct Picture {
  int32_t width = 0;
  int32_t height = 0;
  std::vector<uint32_t> pixels;
};
Picture decode_png(const std::string& png);

}  // namespace qnr_test
