#include "tune/tune_http.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/failure.h"

namespace qnr {

namespace {

// Threads that run the event loops and the handler; frames are bounded
// separately by the handler.
constexpr unsigned kThreads = 4;
constexpr unsigned kMaxConnections = 64;
constexpr unsigned kIdleSeconds = 10;
// The request line and every header of one request must fit in this.
constexpr size_t kConnectionMemory = 32 * 1024;
// No request of this interface has a body worth reading.
constexpr size_t kMaxBodyBytes = 1024;

}  // namespace

struct HttpService::Exchange {
  std::string raw_uri;
  bool headers_seen = false;
  size_t body_bytes = 0;
};

namespace {

void* remember_uri(void*, const char* uri, MHD_Connection*) {
  auto* exchange = new HttpService::Exchange;
  exchange->raw_uri = uri != nullptr ? uri : "";
  return exchange;
}

void forget_exchange(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
  delete static_cast<HttpService::Exchange*>(*context);
  *context = nullptr;
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
  if (strcasecmp(key, "X-QNR-Token") == 0) request->token_header = value != nullptr ? value : "";
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
    if (length != nullptr && std::strtoull(length, nullptr, 10) > kMaxBodyBytes) {
      HttpReply refused;
      refused.status = 413;
      refused.body = "refused: this interface takes no request body\n";
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
    return service->respond(connection, refused) ? MHD_YES : MHD_NO;
  }
  HttpRequest request;
  request.method = method != nullptr ? method : "";
  request.path = url != nullptr ? url : "";
  request.raw_path = exchange->raw_uri.substr(0, exchange->raw_uri.find('?'));
  MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, collect_param, &request);
  MHD_get_connection_values(connection, MHD_HEADER_KIND, collect_header, &request);
  return service->respond(connection, service->handle(request)) ? MHD_YES : MHD_NO;
}

}  // namespace

HttpService::HttpService(Handler handler, std::vector<std::pair<std::string, std::string>> headers)
    : handler_(std::move(handler)), headers_(std::move(headers)) {}

HttpService::~HttpService() { stop(); }

int HttpService::respond(void* connection, const HttpReply& reply) const {
  auto* body = new std::string(reply.body);
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
      MHD_OPTION_NOTIFY_COMPLETED, forget_exchange, nullptr,
      MHD_OPTION_END);
  // clang-format on
  if (daemon_ == nullptr) {
    ::close(fd);
    throw Failure("cannot start the page's server on 127.0.0.1");
  }
  return ntohs(address.sin_port);
}

void HttpService::stop() {
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

}  // namespace qnr
