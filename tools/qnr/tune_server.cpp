#include "tune_server.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <httplib.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <semaphore>
#include <thread>

#include "failure.h"
#include "tune_page.h"
#include "tune_png.h"

namespace qnr {

namespace {

// Connections served at once: the page, a script or two, and slow clients
// that hold a connection until their timeout. More wait for a free thread.
constexpr size_t kConnectionThreads = 8;
// Frames decoded, filtered and encoded at once: each holds a few copies of
// the picture, so this bounds memory whatever the number of clients.
constexpr std::ptrdiff_t kFramesAtOnce = 2;
constexpr time_t kReadTimeoutSeconds = 5;
constexpr time_t kWriteTimeoutSeconds = 5;
// Short: an idle connection holds its thread, and the server's end waits for it.
constexpr time_t kKeepAliveSeconds = 1;
// No request of this interface has a body.
constexpr size_t kMaxBodyBytes = 1024;

const char kPagePlaceholder[] = "QNR_NONCE";

bool same_text(const std::string& a, const std::string& b) {
  // Every byte is compared, so the time taken says nothing about where a
  // guessed token first differs.
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

bool same_ignoring_case(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

void reply(httplib::Response& res, int status, const std::string& line) {
  res.status = status;
  res.set_content(line + "\n", "text/plain; charset=utf-8");
}

std::string decimal(double value, int places) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", places, value);
  return text;
}

class SlotGuard {
 public:
  explicit SlotGuard(std::counting_semaphore<>& slots) : slots_(slots) { slots_.acquire(); }
  ~SlotGuard() { slots_.release(); }
  SlotGuard(const SlotGuard&) = delete;
  SlotGuard& operator=(const SlotGuard&) = delete;

 private:
  std::counting_semaphore<>& slots_;
};

std::counting_semaphore<> frame_slots(kFramesAtOnce);

}  // namespace

std::string random_hex(size_t bytes) {
  std::string raw(bytes, '\0');
  size_t filled = 0;
  while (filled < bytes) {
    const ssize_t n = ::getrandom(raw.data() + filled, bytes - filled, 0);
    if (n > 0) {
      filled += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  if (filled < bytes) {
    // Kernels without getrandom: the same generator through its device.
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    while (fd >= 0 && filled < bytes) {
      const ssize_t n = ::read(fd, raw.data() + filled, bytes - filled);
      if (n <= 0) break;
      filled += static_cast<size_t>(n);
    }
    if (fd >= 0) ::close(fd);
  }
  if (filled < bytes) throw Failure("cannot get random bytes from the system for the page's token");
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (const char c : raw) {
    hex += digits[static_cast<unsigned char>(c) >> 4];
    hex += digits[static_cast<unsigned char>(c) & 15];
  }
  return hex;
}

TuneServer::TuneServer(TuneSetup setup)
    : setup_(std::move(setup)), http_(std::make_unique<httplib::Server>()), nonce_(random_hex(16)) {
  http_->new_task_queue = [] { return new httplib::ThreadPool(kConnectionThreads); };
  http_->set_read_timeout(kReadTimeoutSeconds);
  http_->set_write_timeout(kWriteTimeoutSeconds);
  http_->set_keep_alive_timeout(kKeepAliveSeconds);
  http_->set_keep_alive_max_count(1000);
  http_->set_payload_max_length(kMaxBodyBytes);
  http_->set_tcp_nodelay(true);
  http_->set_default_headers({
      {"Content-Security-Policy",
       "default-src 'none'; script-src 'nonce-" + nonce_ + "'; style-src 'nonce-" + nonce_ +
           "'; connect-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; "
           "frame-ancestors 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
  });
  route();
}

TuneServer::~TuneServer() = default;

int TuneServer::bind(int port) {
  if (port == 0) {
    port_ = http_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw Failure("cannot open a port on 127.0.0.1 for the page");
  } else {
    if (!http_->bind_to_port("127.0.0.1", port)) {
      throw Failure("cannot serve on 127.0.0.1:" + std::to_string(port) +
                    " (is the port in use?); leave out --port to take a free one");
    }
    port_ = port;
  }
  return port_;
}

void TuneServer::serve() {
  http_->listen_after_bind();
  served_ = true;
}

bool TuneServer::wait_until_serving() const {
  while (!http_->is_running()) {
    if (served_) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void TuneServer::stop() { http_->stop(); }

std::optional<std::string> TuneServer::done_line() const {
  std::lock_guard lock(done_mutex_);
  return done_line_;
}

void TuneServer::route() {
  using httplib::Request;
  using httplib::Response;
  using Handled = httplib::Server::HandlerResponse;

  // Every request passes here first: only this server's own name in Host
  // (a page elsewhere that rebinds its name to 127.0.0.1 sends its own), and
  // only with the token.
  http_->set_pre_routing_handler([this](const Request& req, Response& res) {
    const std::string port = ":" + std::to_string(port_);
    const std::string host = req.get_header_value("Host");
    if (req.get_header_value_count("Host") != 1 ||
        !(host == "127.0.0.1" + port || same_ignoring_case(host, "localhost" + port))) {
      reply(res, 403, "refused: the Host header must be 127.0.0.1" + port + " or localhost" + port);
      return Handled::Handled;
    }
    const std::string token = req.has_param("token") ? req.get_param_value("token")
                                                     : req.get_header_value("X-QNR-Token");
    if (!same_text(token, setup_.token)) {
      reply(res, 403, "refused: open the address qnr tune printed, with its token");
      return Handled::Handled;
    }
    return Handled::Unhandled;
  });

  http_->Get("/", [this](const Request&, Response& res) {
    std::string page(tune_page());
    for (size_t at = page.find(kPagePlaceholder); at != std::string::npos;
         at = page.find(kPagePlaceholder, at)) {
      page.replace(at, sizeof kPagePlaceholder - 1, nonce_);
    }
    res.set_content(page, "text/html; charset=utf-8");
  });

  http_->Get("/api/info", [this](const Request&, Response& res) {
    res.set_content(info_json(setup_.info), "application/json");
  });

  http_->Get("/api/frame", [this](const Request& req, Response& res) {
    FrameQuery query;
    query.seconds = setup_.info.start_seconds;
    query.settings = setup_.info.start;
    std::string reason;
    if (!read_frame_query(req.params, query, reason)) return reply(res, 400, reason);
    SlotGuard slot(frame_slots);
    const std::shared_ptr<const SourceFrame> frame = setup_.frames->at(query.seconds);
    if (query.filtered) {
      HostFrame filtered;
      const FilterRun run =
          filter_frame(*setup_.loaded, query.settings, frame->bitmap, filtered);
      res.body = encode_png(filtered);
      res.set_header("X-QNR-Road", run.gpu ? "GPU" : "CPU");
      res.set_header("X-QNR-Filter-Ms", decimal(run.milliseconds, 2));
    } else {
      res.body = encode_png(frame->bitmap);
    }
    res.set_header("Content-Type", "image/png");
    res.set_header("X-QNR-Time", decimal(frame->seconds, 6));
    res.set_header("X-QNR-Frame", std::to_string(frame->number));
  });

  http_->Post("/api/done", [this](const Request& req, Response& res) {
    FrameQuery query;
    query.settings = setup_.info.start;
    std::string reason;
    if (!read_frame_query(req.params, query, reason)) return reply(res, 400, reason);
    const std::string line = settings_line(*setup_.loaded, query.settings);
    {
      std::lock_guard lock(done_mutex_);
      if (!done_line_) done_line_ = line;
    }
    reply(res, 200, line);
  });

  // Anything else: a one-line reason, never a page or a file.
  http_->set_error_handler([](const Request&, Response& res) {
    if (!res.body.empty()) return;
    switch (res.status) {
      case 404: reply(res, 404, "not found: this server has /, /api/info and /api/frame"); break;
      case 413: reply(res, 413, "refused: request too large"); break;
      case 414: reply(res, 414, "refused: request line too long"); break;
      default: reply(res, res.status, "bad request"); break;
    }
  });
  http_->set_exception_handler([](const Request&, Response& res, std::exception_ptr error) {
    std::string what = "internal error";
    try {
      if (error) std::rethrow_exception(error);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    reply(res, 500, what);
  });
}

}  // namespace qnr
