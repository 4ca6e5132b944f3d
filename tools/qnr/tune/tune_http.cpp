#include "tune/tune_http.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "base/failure.h"

namespace qnr {

namespace {

// Threads that run the event loops and the handler; frames are bounded
// separately by the handler.
constexpr unsigned kThreads = 4;
constexpr unsigned kMaxConnections = 64;
constexpr unsigned kIdleSeconds = 10;
// A connection must finish each request's line and headers (and its small
// body) this soon after it opens or its previous answer went: a client that
// drips a byte a second is never idle, so the idle timeout alone lets a few
// dozen of them hold every connection.
constexpr auto kRequestSeconds = std::chrono::seconds(4);
// Connections waiting for a request at once; beyond this the oldest of them
// is closed for the newest, so requests that arrive whole (the page's) always
// find a connection however many others wait.
constexpr size_t kMaxWaiting = 40;
// The request line and every header of one request must fit in this.
constexpr size_t kConnectionMemory = 64 * 1024;
// No request of this interface has a body worth reading.
constexpr size_t kMaxBodyBytes = 1024;

}  // namespace

// Watches the connections that wait for a request, and closes those that take
// too long or are the oldest when too many wait. A connection is closed by
// shutting its socket down: the library then reads the end of it and closes
// it in its own thread.
class HttpService::ConnectionGuard {
 public:
  ConnectionGuard() : watchdog_([this] { watch(); }) {}
  ~ConnectionGuard() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    watchdog_.join();
  }

  void opened(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info == nullptr) return;
    std::lock_guard lock(mutex_);
    connections_[connection] = {info->connect_fd, Clock::now(), false};
    size_t waiting = 0;
    auto oldest = connections_.end();
    for (auto at = connections_.begin(); at != connections_.end(); ++at) {
      if (at->second.answering || at->second.shut) continue;
      ++waiting;
      if (oldest == connections_.end() || at->second.since < oldest->second.since) oldest = at;
    }
    if (waiting > kMaxWaiting) shut(oldest->second);
  }
  // Its socket is about to close: never touched again.
  void closed(MHD_Connection* connection) {
    std::lock_guard lock(mutex_);
    connections_.erase(connection);
  }
  void answering(MHD_Connection* connection, bool now) {
    std::lock_guard lock(mutex_);
    const auto at = connections_.find(connection);
    if (at == connections_.end()) return;
    at->second.answering = now;
    at->second.since = Clock::now();
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Watched {
    MHD_socket fd;
    Clock::time_point since;  // opened, or its last answer went
    bool answering = false;   // a whole request is being answered
    bool shut = false;
  };

  static void shut(Watched& watched) {
    ::shutdown(watched.fd, SHUT_RDWR);
    watched.shut = true;
  }

  void watch() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      wake_.wait_for(lock, std::chrono::milliseconds(250));
      const Clock::time_point late = Clock::now() - kRequestSeconds;
      for (auto& [connection, watched] : connections_) {
        if (!watched.answering && !watched.shut && watched.since < late) shut(watched);
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::map<MHD_Connection*, Watched> connections_;
  std::thread watchdog_;
};

struct HttpService::Exchange {
  std::string raw_uri;
  std::atomic<int>* answering = nullptr;  // counted there until its reply has gone
  bool headers_seen = false;
  size_t body_bytes = 0;
};

namespace {

void* remember_uri(void*, const char* uri, MHD_Connection*) {
  auto* exchange = new HttpService::Exchange;
  exchange->raw_uri = uri != nullptr ? uri : "";
  return exchange;
}

void forget_exchange(void* cls, MHD_Connection* connection, void** context,
                     MHD_RequestTerminationCode) {
  auto* exchange = static_cast<HttpService::Exchange*>(*context);
  if (exchange != nullptr && exchange->answering != nullptr) --*exchange->answering;
  delete exchange;
  *context = nullptr;
  static_cast<HttpService::ConnectionGuard*>(cls)->answering(connection, false);
}

void notice_connection(void* cls, MHD_Connection* connection, void**,
                       MHD_ConnectionNotificationCode code) {
  auto* guard = static_cast<HttpService::ConnectionGuard*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) guard->opened(connection);
  if (code == MHD_CONNECTION_NOTIFY_CLOSED) guard->closed(connection);
}

MHD_Result collect_param(void* cls, MHD_ValueKind, const char* key, const char* value) {
  static_cast<HttpRequest*>(cls)->params.emplace(key != nullptr ? key : "",
                                                 value != nullptr ? value : "");
  return MHD_YES;
}

MHD_Result collect_header(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* request = static_cast<HttpRequest*>(cls);
  if (key == nullptr) return MHD_YES;
  if (strcasecmp(key, "Host") == 0) request->hosts.push_back(value != nullptr ? value : "");
  const std::string text = value != nullptr ? value : "";
  if (strcasecmp(key, "X-QNR-Token") == 0) request->tokens.push_back(text);
  if (strcasecmp(key, "Origin") == 0) request->origins.push_back(text);
  if (strcasecmp(key, "Sec-Fetch-Site") == 0) request->fetch_site = text;
  if (strcasecmp(key, "Sec-Fetch-Mode") == 0) request->fetch_mode = text;
  return MHD_YES;
}

void free_body(void* body) { delete static_cast<std::string*>(body); }

MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t* upload_size, void** context) {
  const auto* service = static_cast<const HttpService*>(cls);
  auto* exchange = static_cast<HttpService::Exchange*>(*context);
  if (exchange == nullptr) return MHD_NO;
  if (!exchange->headers_seen) {
    exchange->headers_seen = true;
    const char* length =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    // A chunked body says its size only as it goes, and the library takes a
    // reply only before the body or after all of it: refused here, unread.
    const char* chunked =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING);
    if ((length != nullptr && std::strtoull(length, nullptr, 10) > kMaxBodyBytes) ||
        chunked != nullptr) {
      HttpReply refused;
      refused.status = 413;
      refused.body = "refused: this interface takes no request body\n";
      service->guard().answering(connection, true);
      return service->respond(connection, refused) ? MHD_YES : MHD_NO;
    }
    return MHD_YES;
  }
  if (*upload_size > 0) {
    exchange->body_bytes += *upload_size;
    *upload_size = 0;
    if (exchange->body_bytes <= kMaxBodyBytes) return MHD_YES;
    HttpReply refused;
    refused.status = 413;
    refused.body = "refused: this interface takes no request body\n";
    service->guard().answering(connection, true);
    return service->respond(connection, refused) ? MHD_YES : MHD_NO;
  }
  HttpRequest request;
  request.method = method != nullptr ? method : "";
  request.path = url != nullptr ? url : "";
  const size_t query = exchange->raw_uri.find('?');
  request.raw_path = exchange->raw_uri.substr(0, query);
  // The library hands values over as C strings: an escaped NUL would cut one
  // short unseen.
  for (size_t at = query; at != std::string::npos && at + 2 < exchange->raw_uri.size();
       at = exchange->raw_uri.find('%', at + 1)) {
    if (exchange->raw_uri[at] == '%' && exchange->raw_uri.compare(at + 1, 2, "00") == 0) {
      request.nul_in_query = true;
    }
  }
  MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, collect_param, &request);
  MHD_get_connection_values(connection, MHD_HEADER_KIND, collect_header, &request);
  service->guard().answering(connection, true);
  exchange->answering = service->answering();
  ++*exchange->answering;
  return service->respond(connection, service->handle(request)) ? MHD_YES : MHD_NO;
}

}  // namespace

HttpService::HttpService(Handler handler, std::vector<std::pair<std::string, std::string>> headers)
    : handler_(std::move(handler)), headers_(std::move(headers)) {}

HttpService::~HttpService() { stop(); }

int HttpService::respond(void* connection, HttpReply reply) const {
  // The body is moved, not copied: a 4K picture is 25 MB.
  auto* body = new std::string(std::move(reply.body));
  MHD_Response* response = MHD_create_response_from_buffer_with_free_callback_cls(
      body->size(), body->data(), free_body, body);
  if (response == nullptr) {
    delete body;
    return 0;
  }
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.content_type.c_str());
  for (const auto& [name, value] : headers_) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
  }
  for (const auto& [name, value] : reply.headers) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
  }
  const MHD_Result queued = MHD_queue_response(static_cast<MHD_Connection*>(connection),
                                               static_cast<unsigned>(reply.status), response);
  MHD_destroy_response(response);
  return queued == MHD_YES;
}

int HttpService::start(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw Failure(std::string("cannot open a socket: ") + std::strerror(errno));
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const std::string why = std::strerror(errno);
    ::close(fd);
    throw Failure("cannot serve on 127.0.0.1:" + std::to_string(port) + ": " + why +
                  (port != 0 ? "; leave out --port to take a free one" : ""));
  }
  guard_ = std::make_unique<ConnectionGuard>();
  // One option and its values per line.
  // clang-format off
  daemon_ = MHD_start_daemon(
      MHD_USE_AUTO_INTERNAL_THREAD, 0, nullptr, nullptr, answer, this,
      MHD_OPTION_LISTEN_SOCKET, fd,
      MHD_OPTION_THREAD_POOL_SIZE, kThreads,
      MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
      MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
      MHD_OPTION_URI_LOG_CALLBACK, remember_uri, nullptr,
      MHD_OPTION_NOTIFY_COMPLETED, forget_exchange, guard_.get(),
      MHD_OPTION_NOTIFY_CONNECTION, notice_connection, guard_.get(),
      MHD_OPTION_END);
  // clang-format on
  if (daemon_ == nullptr) {
    ::close(fd);
    throw Failure("cannot start the page's server on 127.0.0.1");
  }
  return ntohs(address.sin_port);
}

void HttpService::stop(std::chrono::milliseconds patience) {
  // Replies under way (the last one a page asked for) go out first.
  const auto given_up = std::chrono::steady_clock::now() + patience;
  while (daemon_ != nullptr && answering_.load() > 0 &&
         std::chrono::steady_clock::now() < given_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  guard_.reset();
}

}  // namespace qnr
