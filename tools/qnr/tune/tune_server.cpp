#include "tune/tune_server.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>

#include "base/failure.h"
#include "media/correction.h"
#include "tune/tune_page.h"
#include "tune/tune_png.h"

namespace qnr {

namespace {

// Filled in as the page is served: the run's nonce for its script and style,
// and the token for its icon (the one request a browser makes by itself).
const char kNonceSlot[] = "QNR_NONCE";
const char kTokenSlot[] = "QNR_TOKEN";

// Before and after: a picture split in two, noisy grey on the left, clean on the right.
const char kIcon[] =
    "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 32 32\">"
    "<rect width=\"32\" height=\"32\" rx=\"6\" fill=\"#2f5f9e\"/>"
    "<path d=\"M16 4a12 12 0 0 0 0 24z\" fill=\"#9aa3ad\"/>"
    "<path d=\"M16 4a12 12 0 0 1 0 24z\" fill=\"#e6e6e6\"/>"
    "<path d=\"M8 12h2v2H8zm3 4h2v2h-2zm-4 3h2v2H7zm5-9h2v2h-2z\" fill=\"#5c636b\"/>"
    "<rect x=\"15.25\" y=\"2\" width=\"1.5\" height=\"28\" fill=\"#fff\"/></svg>";

void fill_slots(std::string& text, const char* slot, const std::string& value) {
  const size_t length = std::char_traits<char>::length(slot);
  for (size_t at = text.find(slot); at != std::string::npos; at = text.find(slot, at)) {
    text.replace(at, length, value);
  }
}

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

HttpReply text(int status, const std::string& line) {
  HttpReply reply;
  reply.status = status;
  reply.body = line + "\n";
  return reply;
}

// A refusal by the access rules, with its reason as a word a page can test
// (a stale tab's token is refused when another run serves its address).
HttpReply refusal(const char* reason, const std::string& line) {
  HttpReply reply = text(403, line);
  reply.headers.emplace_back("X-QNR-Refused", reason);
  return reply;
}

// Printable ASCII as it is, every other byte (and %) as %XX: a header value
// the page reads back with decodeURIComponent.
std::string header_text(const std::string& text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '%') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

std::string decimal(double value, int places) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%.*f", places, value);
  return digits;
}

HttpReply given_up() { return text(409, "given up: a newer request of this page took its place"); }

template <class Semaphore> class SlotGuard {
 public:
  explicit SlotGuard(Semaphore& slots) : slots_(slots) { slots_.acquire(); }
  ~SlotGuard() { slots_.release(); }
  SlotGuard(const SlotGuard&) = delete;
  SlotGuard& operator=(const SlotGuard&) = delete;

 private:
  Semaphore& slots_;
};

std::vector<std::pair<std::string, std::string>> common_headers(const std::string& nonce) {
  return {
      {"Content-Security-Policy",
       "default-src 'none'; script-src 'nonce-" + nonce + "'; style-src 'nonce-" + nonce +
           "'; connect-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; "
           "frame-ancestors 'none'"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
  };
}

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
    : setup_(std::move(setup)),
      nonce_(random_hex(16)),
      http_([this](const HttpRequest& request) { return answer(request); },
            common_headers(nonce_)) {}

TuneServer::~TuneServer() { stop(); }

int TuneServer::start(int port) {
  port_ = http_.start(port);
  return port_;
}

void TuneServer::stop(std::chrono::milliseconds patience) { http_.stop(patience); }

std::optional<std::string> TuneServer::done_line() const {
  std::lock_guard lock(done_mutex_);
  return done_line_;
}

// Each path and the one method it takes (GET also as HEAD).
struct TuneServer::Route {
  const char* path;
  const char* method;
  HttpReply (TuneServer::*serve)(const HttpRequest&);
};

// clang-format off
const TuneServer::Route TuneServer::kRoutes[] = {
    {"/", "GET", &TuneServer::page},
    {"/api/info", "GET", &TuneServer::info},
    {"/api/frame", "GET", &TuneServer::frame},
    {"/api/progress", "GET", &TuneServer::progress},
    {"/api/keyframe", "GET", &TuneServer::keyframe},
    {"/api/done", "POST", &TuneServer::done},
    {"/favicon.svg", "GET", &TuneServer::icon},
};
// clang-format on

HttpReply TuneServer::answer(const HttpRequest& request) {
  ++answered_;
  // Only this server's own name in Host: a page elsewhere whose name is made
  // to point at 127.0.0.1 sends its own.
  std::string port = ":";
  port += std::to_string(port_);
  const bool our_host =
      request.hosts.size() == 1 && (request.hosts[0] == "127.0.0.1" + port ||
                                    same_ignoring_case(request.hosts[0], "localhost" + port));
  if (!our_host) {
    return refusal("host",
                   "refused: the Host header must be 127.0.0.1" + port + " or localhost" + port);
  }
  // Exactly one token, in the query or in a header: a second one could be
  // read differently by another part.
  std::vector<std::string> tokens = request.tokens;
  for (auto [at, end] = request.params.equal_range("token"); at != end; ++at) {
    tokens.push_back(at->second);
  }
  if (tokens.size() != 1 || !same_text(tokens[0], setup_.token)) {
    return refusal("token", "refused: open the address qnr tune printed, with its token");
  }
  // Browsers say where a request comes from: only this page's own requests,
  // and the user opening the page, are served, even with a leaked token.
  for (const std::string& origin : request.origins) {
    if (origin != "http://127.0.0.1" + port &&
        !same_ignoring_case(origin, "http://localhost" + port)) {
      return refusal("origin",
                     "refused: a request from another site (Origin " + origin.substr(0, 64) + ")");
    }
  }
  const bool opening_the_page =
      request.fetch_mode == "navigate" && request.method == "GET" && request.path == "/";
  if (!request.fetch_site.empty() && request.fetch_site != "same-origin" &&
      request.fetch_site != "none" && !opening_the_page) {
    return refusal("origin", "refused: a request from another site (Sec-Fetch-Site " +
                                 request.fetch_site.substr(0, 32) + ")");
  }
  if (request.nul_in_query) return text(400, "refused: %00 in the query");
  // Paths are matched as sent: an escaped dot or slash names nothing here.
  const std::string& path = request.raw_path == request.path ? request.path : std::string();
  std::string paths;
  for (const Route& route : kRoutes) {
    paths += std::string(paths.empty() ? "" : ", ") + route.path;
    if (path != route.path) continue;
    const std::string method = route.method;
    if (request.method != method && !(method == "GET" && request.method == "HEAD")) {
      HttpReply reply = text(405, "method " + request.method.substr(0, 16) + " not allowed here");
      reply.headers.emplace_back("Allow", method == "GET" ? "GET, HEAD" : method);
      return reply;
    }
    try {
      return (this->*route.serve)(request);
    } catch (const std::exception& e) {
      // A frame that cannot be decoded or filtered is this request's failure only.
      return text(500, e.what());
    }
  }
  return text(404, "not found: this server has " + paths);
}

HttpReply TuneServer::page(const HttpRequest&) {
  HttpReply reply;
  reply.content_type = "text/html; charset=utf-8";
  reply.body = tune_page();
  fill_slots(reply.body, kNonceSlot, nonce_);
  fill_slots(reply.body, kTokenSlot, setup_.token);
  return reply;
}

HttpReply TuneServer::info(const HttpRequest&) {
  HttpReply reply;
  reply.content_type = "application/json";
  reply.body = info_json(setup_.info);
  return reply;
}

HttpReply TuneServer::icon(const HttpRequest&) {
  HttpReply reply;
  reply.content_type = "image/svg+xml";
  reply.body = kIcon;
  return reply;
}

FilterSettings TuneServer::settings_for(const FrameQuery& query) const {
  FilterSettings settings = setup_.given;
  settings.values = query.settings;
  return settings;
}

HttpReply TuneServer::frame(const HttpRequest& request) {
  FrameQuery query;
  query.seconds = setup_.info.start_seconds;
  query.settings = setup_.info.start;
  std::string reason;
  if (!read_frame_query(request.params, query, reason)) return text(400, reason);
  // A page that asks for a newer time while a far seek still decodes gives
  // the older request up: its answer would only be thrown away.
  std::function<bool()> give_up;
  if (!seek_turn(query, give_up)) return given_up();
  HttpReply reply;
  reply.content_type = "image/png";
  const SlotGuard slot(frame_slots_);
  std::shared_ptr<const SourceFrame> source;
  try {
    source = setup_.frames->at(query.seconds, give_up);
  } catch (const SeekAbandoned&) {
    return given_up();
  }
  if (query.filtered) {
    HostFrame filtered;
    const FilterRun run =
        filter_frame(*setup_.loaded, settings_for(query), source->bitmap, filtered);
    const bool corrected =
        !query.module &&
        writes_correction(setup_.rgb
                              ? OutputRoad::module_rgb
                              : output_road(false, query.settings.on(vdhost::Setting::show_noise)),
                          *source->decoded, source->orientation);
    if (corrected) {
      // What qnr writes: the decoded frame with the filter's correction,
      // converted for display as the filter's input is.
      Corrections corrections;
      FramePtr written(av_frame_clone(source->decoded.get()));
      if (!written) throw std::bad_alloc();
      const FramePtr upright =
          add_correction(source->bitmap, filtered, source->orientation, *written, corrections);
      FrameConverter converter;
      converter.to_host(upright ? *upright : *written, upright ? 1 : source->orientation, filtered);
    }
    reply.body = encode_png(filtered);
    reply.headers.emplace_back("X-QNR-Output", corrected ? "correction" : "module");
    reply.headers.emplace_back("X-QNR-Road", run.gpu ? "GPU" : "CPU");
    reply.headers.emplace_back("X-QNR-Filter-Ms", decimal(run.milliseconds, 2));
  } else {
    reply.body = encode_png(source->bitmap);
  }
  // Pictures of the user's video are for this page only, never another site's <img>.
  reply.headers.emplace_back("Cross-Origin-Resource-Policy", "same-origin");
  reply.headers.emplace_back("X-QNR-Time", decimal(source->seconds, 6));
  // Once decoding has met the real end or damage, every frame says so: the
  // header's duration may promise more than the file holds.
  if (const std::optional<double> end = setup_.frames->end_seconds()) {
    reply.headers.emplace_back("X-QNR-End", decimal(*end, 6));
  }
  std::string damage;
  for (const std::string& note : setup_.frames->damage_notes()) {
    damage += (damage.empty() ? "" : "; ") + note;
  }
  if (!damage.empty()) reply.headers.emplace_back("X-QNR-Damage", header_text(damage));
  reply.headers.emplace_back("X-QNR-Frame", std::to_string(source->number));
  return reply;
}

bool TuneServer::note_seek(const std::string& page, uint64_t seek) {
  std::lock_guard lock(seeks_mutex_);
  // Pages are few; a flood of invented names must not grow the table.
  constexpr size_t kPagesKept = 64;
  if (newest_seek_.size() >= kPagesKept && !newest_seek_.contains(page)) newest_seek_.clear();
  uint64_t& newest = newest_seek_[page];
  if (seek < newest) return false;
  newest = seek;
  return true;
}

bool TuneServer::seek_turn(const FrameQuery& query, std::function<bool()>& give_up) {
  if (!query.seek) return true;
  if (!note_seek(query.page, *query.seek)) return false;
  give_up = [this, page = query.page, seek = *query.seek] { return superseded(page, seek); };
  return true;
}

HttpReply TuneServer::keyframe(const HttpRequest& request) {
  std::multimap<std::string, std::string> params = request.params;
  const auto dir = params.find("dir");
  const std::string direction = dir != params.end() ? dir->second : "";
  if (params.count("dir") != 1 || (direction != "next" && direction != "prev")) {
    return text(400, "dir must be given once, as next or prev");
  }
  params.erase(dir);
  FrameQuery query;
  std::string reason;
  if (!read_frame_query(params, query, reason)) return text(400, reason);
  std::function<bool()> give_up;
  if (!seek_turn(query, give_up)) return given_up();
  const SlotGuard slot(frame_slots_);
  std::optional<double> found;
  try {
    found = direction == "next" ? setup_.frames->keyframe_after(query.seconds, give_up)
                                : setup_.frames->keyframe_before(query.seconds, give_up);
  } catch (const SeekAbandoned&) {
    return given_up();
  }
  HttpReply reply;
  reply.content_type = "application/json";
  reply.body = std::string("{\"t\":") + (found ? decimal(*found, 6) : "null") + "}";
  return reply;
}

bool TuneServer::superseded(const std::string& page, uint64_t seek) const {
  std::lock_guard lock(seeks_mutex_);
  const auto it = newest_seek_.find(page);
  return it != newest_seek_.end() && it->second > seek;
}

HttpReply TuneServer::progress(const HttpRequest&) {
  const SeekProgress now = setup_.frames->progress();
  HttpReply reply;
  reply.content_type = "application/json";
  reply.body = std::string("{\"decoding\":") + (now.decoding ? "true" : "false") +
               ",\"target\":" + decimal(now.target, 6) + ",\"from\":" + decimal(now.from, 6) +
               ",\"reached\":" + decimal(now.reached, 6) + "}";
  return reply;
}

HttpReply TuneServer::done(const HttpRequest& request) {
  FrameQuery query;
  query.settings = setup_.info.start;
  std::string reason;
  if (!read_frame_query(request.params, query, reason)) return text(400, reason);
  const std::string line = settings_line(*setup_.loaded, settings_for(query));
  std::lock_guard lock(done_mutex_);
  if (!done_line_) {
    done_line_ = line;
    printed_ = !setup_.print_line || setup_.print_line(line);
  }
  if (!printed_) {
    return text(500,
                "qnr tune could not print the settings line (its standard output is "
                "closed or gone); copy it from here: " +
                    *done_line_);
  }
  return text(200, line);
}

}  // namespace qnr
