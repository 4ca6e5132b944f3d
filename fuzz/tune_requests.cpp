// `qnr tune`'s handler, called in-process as the HTTP layer calls it (the
// request line and headers are split by libmicrohttpd before it): any method,
// decoded and raw path, query keys and values (repeats, escapes left in,
// NUL, huge numbers, NaN), any number of Host headers of any form, the token
// by query or header. The handler must answer with one of its statuses and
// never crash; a page comes only for one of its five paths, exactly as
// sent, with this server's Host and token; a frame is a PNG.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <string>

#include "fuzz_support.h"
#include "tune/tune_filter.h"
#include "tune/tune_server.h"

namespace {

using qnr_fuzz::require;

constexpr const char* kToken = "00112233445566778899aabbccddeeff";

struct Served {
  qnr::LoadedModule loaded;
  std::unique_ptr<qnr::FrameSource> frames;
  std::unique_ptr<qnr::TuneServer> server;
};

// One server for the whole run, over a small clip of the media corpus; it
// is never started, so its port is 0.
qnr::TuneServer& server() {
  static Served* served = [] {
    auto* s = new Served;
    s->loaded = qnr::load_filter_module(QNR_FUZZ_MODULE);
    s->frames = std::make_unique<qnr::FrameSource>(QNR_FUZZ_CLIP);
    qnr::TuneSetup setup;
    setup.loaded = &s->loaded;
    setup.frames = s->frames.get();
    setup.token = kToken;
    setup.info.input = QNR_FUZZ_CLIP;
    setup.info.frames = s->frames->facts();
    setup.info.start = qnr::starting_settings(s->loaded, setup.given);
    s->server = std::make_unique<qnr::TuneServer>(std::move(setup));
    return s;
  }();
  return *served->server;
}

std::string text(FuzzedDataProvider& in, std::initializer_list<const char*> usual) {
  if (in.ConsumeBool())
    return usual.begin()[in.ConsumeIntegralInRange<size_t>(0, usual.size() - 1)];
  return in.ConsumeRandomLengthString(64);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  qnr::HttpRequest request;
  request.method = text(in, {"GET", "HEAD", "POST", "PUT", "OPTIONS", "get", ""});
  request.path = text(
      in, {"/", "/api/info", "/api/frame", "/api/done", "/favicon.svg", "/api/progress",
           "/api/keyframe", "/../etc/passwd", "//api/frame", "/api/frame/", "/api/%2e%2e/", "."});
  // As sent: mostly the same, sometimes with escapes the decoded path lost.
  request.raw_path = in.ConsumeBool() ? request.path : text(in, {"/api/%66rame", "/%2F", "/"});
  for (int n = in.ConsumeIntegralInRange(0, 3); n > 0; --n) {
    request.hosts.push_back(text(in, {"127.0.0.1:0", "localhost:0", "LocalHost:0", "127.0.0.1",
                                      "[::1]:0", "127.0.0.1:0 ", "localhost:00"}));
  }
  const bool token_in_query = in.ConsumeBool();
  const std::string token = in.ConsumeIntegralInRange(0, 7) != 0 ? kToken : text(in, {"", "0"});
  if (token_in_query) {
    request.params.emplace("token", token);
  } else {
    request.tokens.push_back(token);
  }
  for (int n = in.ConsumeIntegralInRange(0, 6); n > 0; --n) {
    std::string key = text(in, {"t", "f1", "f2", "sharp", "interlace", "show_noise", "disable",
                                "view", "token", "page", "dir", "seek", ""});
    std::string value = text(in, {"0",        "1",     "-1",   "NaN",  "nan",
                                  "inf",      "1e308", "0x10", "+1",   "99999999999999999999",
                                  "2.5",      "1.",    ".5",   "%31",  "source",
                                  "filtered", "p",     "next", "prev", "18446744073709551615",
                                  "a b"});
    if (in.ConsumeIntegralInRange(0, 7) == 0) value.push_back('\0');
    request.params.emplace(std::move(key), std::move(value));
  }

  const qnr::HttpReply reply = server().answer(request);
  const int s = reply.status;
  require(s == 200 || s == 400 || s == 403 || s == 404 || s == 405 || s == 409,
          "one of the handler's statuses");
  require(s != 409 || request.path == "/api/frame" || request.path == "/api/keyframe",
          "only a request that decodes is given up");
  if (s == 200) {
    require(request.raw_path == request.path, "a page only for a path as sent");
    require(request.path == "/" || request.path == "/api/info" || request.path == "/api/frame" ||
                request.path == "/api/done" || request.path == "/favicon.svg" ||
                request.path == "/api/progress" || request.path == "/api/keyframe",
            "a page only for one of the seven paths");
    require(request.hosts.size() == 1, "a page only for one Host header");
    if (request.path == "/api/frame") {
      require(reply.content_type == "image/png" && reply.body.rfind("\x89PNG\r\n\x1a\n", 0) == 0,
              "a frame is a PNG");
    }
  }
  return 0;
}
