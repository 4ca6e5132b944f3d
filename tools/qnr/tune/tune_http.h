// HTTP on 127.0.0.1 for `qnr tune`, from GNU libmicrohttpd: a small pool of
// event-driven threads (a slow client holds a connection, never a thread),
// a cap on connections, an idle timeout, a per-connection memory limit that
// bounds the request line and headers, and a few seconds to send them. Requests reach one handler
// as plain records; bodies are never kept.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct MHD_Daemon;

namespace qnr {

// A request as the handler sees it.
struct HttpRequest {
  std::string method;
  std::string path;      // decoded
  std::string raw_path;  // as sent, before decoding
  std::multimap<std::string, std::string> params;
  std::vector<std::string> hosts;    // every Host header
  std::vector<std::string> tokens;   // every X-QNR-Token header
  std::vector<std::string> origins;  // every Origin header
  std::string fetch_site;            // Sec-Fetch-Site, when the browser sends it
  std::string fetch_mode;            // Sec-Fetch-Mode
  bool nul_in_query = false;         // %00 in the query as sent
};

struct HttpReply {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

class HttpService {
 public:
  using Handler = std::function<HttpReply(const HttpRequest&)>;
  // `headers` go on every reply the handler gives.
  HttpService(Handler handler, std::vector<std::pair<std::string, std::string>> headers);
  ~HttpService();
  HttpService(const HttpService&) = delete;
  HttpService& operator=(const HttpService&) = delete;

  // Listens on 127.0.0.1:port (0: a free port) and returns the port. Throws Failure.
  int start(int port);
  // Waits up to `patience` for the replies under way, then stops.
  void stop(std::chrono::milliseconds patience = std::chrono::milliseconds(0));

  // The handler's reply as it goes out; public for the library's callbacks.
  struct Exchange;
  class ConnectionGuard;
  ConnectionGuard& guard() const { return *guard_; }
  std::atomic<int>* answering() const { return &answering_; }
  int respond(void* connection, HttpReply reply) const;
  HttpReply handle(const HttpRequest& request) const { return handler_(request); }

 private:
  Handler handler_;
  std::vector<std::pair<std::string, std::string>> headers_;
  std::unique_ptr<ConnectionGuard> guard_;
  mutable std::atomic<int> answering_{0};
  MHD_Daemon* daemon_ = nullptr;
};

}  // namespace qnr
