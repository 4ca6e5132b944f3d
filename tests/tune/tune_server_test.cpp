// qnr tune's HTTP interface, through a real `qnr tune --no-browser` child:
// the pictures are the module's bytes, the access rules hold, and bad or
// hostile requests get a clear refusal without ending the server.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "qnr_support.h"
#include "tune_support.h"

namespace qnr_test {
namespace {

struct Clip {
  std::string name;
  std::vector<std::string> ffmpeg_args;  // after -i's source, before the file name
  std::string source;
};

// Odd and even sizes; H.264 with B-frames and short keyframe intervals (seeks
// that land between keyframes), a millisecond time base, a single picture.
const Clip kClips[] = {
    {"odd.mp4",
     {"-vf", "scale=97:61", "-frames:v", "30", "-c:v", "libx264", "-g", "12", "-bf", "2",
      "-pix_fmt", "yuv444p", "-crf", "28"},
     "testsrc2=size=96x64:rate=25"},
    {"even.mkv",
     {"-frames:v", "20", "-c:v", "ffv1", "-pix_fmt", "bgr0"},
     "testsrc2=size=64x36:rate=24,noise=alls=20:allf=t"},
    {"still.png", {"-frames:v", "1"}, "testsrc2=size=33x17:rate=25"},
};

struct ClipData {
  std::string path;
  int32_t width = 0, height = 0;
  std::vector<double> times;                  // of each frame, from the first
  std::vector<std::vector<uint32_t>> frames;  // what qnr hands the module
  std::unique_ptr<TuneChild> server;
};

// Clips, their expected frames and their servers are made on first use:
// ctest runs every test in a process of its own.
class TuneServerTest : public ::testing::Test {
 protected:
  static void TearDownTestSuite() {
    clips_.clear();
    delete dir_;
    dir_ = nullptr;
  }

  static std::string temp(const std::string& name) {
    if (dir_ == nullptr) dir_ = new TempDir;
    return *dir_ / name;
  }

  static ClipData& made(const std::string& name) {
    ClipData& data = clips_[name];
    if (!data.path.empty()) return data;
    for (const Clip& clip : kClips) {
      if (clip.name != name) continue;
      data.path = temp(clip.name);
      std::vector<std::string> args = {"-f", "lavfi", "-i", clip.source};
      args.insert(args.end(), clip.ffmpeg_args.begin(), clip.ffmpeg_args.end());
      args.push_back(data.path);
      ffmpeg(args);
    }
    return data;
  }

  // The clip with the frames qnr hands the module: qnr with the filter disabled.
  static ClipData& with_frames(const std::string& name) {
    ClipData& data = made(name);
    if (!data.frames.empty()) return data;
    const std::string stem = temp(name + "-src");
    const Ran ran = qnr({data.path, stem + "%03d.png", "--disable", "-q"});
    EXPECT_EQ(ran.status, 0) << ran.err;
    const std::string size = probe(stem + "001.png", "stream=width,height");
    EXPECT_EQ(std::sscanf(size.c_str(), "stream,%d,%d", &data.width, &data.height), 2);
    const std::vector<uint32_t> all = decode(stem + "%03d.png");
    const size_t pixels = size_t(data.width) * data.height;
    for (size_t at = 0; pixels > 0 && at + pixels <= all.size(); at += pixels) {
      data.frames.emplace_back(all.begin() + at, all.begin() + at + pixels);
    }
    data.times = frame_times(data.path);
    EXPECT_EQ(data.times.size(), data.frames.size());
    const double first = data.times.empty() ? 0 : data.times.front();
    for (double& t : data.times) t -= first;
    return data;
  }

  static TuneChild& server(const std::string& name = "odd.mp4") {
    ClipData& data = made(name);
    if (!data.server) data.server = std::make_unique<TuneChild>(data.path);
    return *data.server;
  }

  static TempDir* dir_;
  static std::map<std::string, ClipData> clips_;
};
TempDir* TuneServerTest::dir_ = nullptr;
std::map<std::string, ClipData> TuneServerTest::clips_;

struct Settings {
  std::string query;
  FilterSettings module;  // f1, f2, sharp, interlace, show noise
};
const Settings kSettings[] = {
    {"", {}},
    {"f1=0&f2=100&sharp=6&interlace=1", {0, 100, 6, 1, 0}},
    {"f1=35&show_noise=1", {35, 70, 2, 0, 1}},
    {"sharp=0&disable=1", {70, 70, 0, 0, 0, 1}},
};

TEST_F(TuneServerTest, PicturesAreTheModulesInputAndOutputForTheFrameAtOrAfterTheTime) {
  for (const Clip& clip : kClips) {
    const ClipData& data = with_frames(clip.name);
    ASSERT_FALSE(data.frames.empty()) << clip.name;
    TuneChild& tune = server(clip.name);
    ASSERT_TRUE(tune.started());
    const size_t last = data.times.size() - 1;
    // The frame asked for, and the one expected: past the end (the last), a
    // hair after a frame in a later keyframe interval (the next frame), then
    // back to exactly a frame's time, and to the start.
    const auto at = [&](size_t i) { return std::min(i, last); };
    const std::pair<double, size_t> cases[] = {
        {1000.0, last},
        {data.times[at(13)] + 0.001, at(14)},
        {data.times[at(5)], at(5)},
        {0.0, 0},
    };
    for (const auto& [t, index] : cases) {
      SCOPED_TRACE(clip.name + " at t=" + std::to_string(t));
      const httplib::Result source = tune.get("/api/frame?view=source&t=" + std::to_string(t));
      ASSERT_TRUE(source && source->status == 200) << (source ? source->body : "no answer");
      const Picture before = decode_png(source->body);
      ASSERT_EQ(before.width, data.width);
      ASSERT_EQ(before.height, data.height);
      EXPECT_EQ(before.pixels, data.frames[index]);
      EXPECT_EQ(source->get_header_value("X-QNR-Frame"), std::to_string(index));
      EXPECT_EQ(source->get_header_value("Cross-Origin-Resource-Policy"), "same-origin");
      EXPECT_NEAR(std::stod(source->get_header_value("X-QNR-Time")), data.times[index], 1e-5);
      for (const Settings& settings : kSettings) {
        SCOPED_TRACE("settings: " + settings.query);
        const httplib::Result filtered =
            tune.get("/api/frame?view=module&t=" + std::to_string(t) + "&" + settings.query);
        ASSERT_TRUE(filtered && filtered->status == 200);
        EXPECT_EQ(filtered->get_header_value("X-QNR-Output"), "module");
        EXPECT_EQ(filtered->get_header_value("X-QNR-Road"), "CPU");
        EXPECT_GE(std::stod(filtered->get_header_value("X-QNR-Filter-Ms")), 0.0);
        EXPECT_EQ(decode_png(filtered->body).pixels,
                  filter_with_module(before.pixels, data.width, data.height, settings.module));
      }
    }
  }
}

// The page starts from every setting the command line gives, Disable included.
TEST_F(TuneServerTest, InfoDescribesTheInputTheSettingsAndTheStartingValues) {
  TuneChild started(made("odd.mp4").path, {"--config", "Config(10,20,3,0,0)", "--f2", "44", "--at",
                                           "0:00.5", "--show-noise", "--disable"});
  ASSERT_TRUE(started.started());
  const httplib::Result info = started.get("/api/info");
  ASSERT_TRUE(info && info->status == 200);
  EXPECT_EQ(info->get_header_value("Content-Type"), "application/json");
  for (const char* part :
       {"\"width\":97,\"height\":61,\"frame_count\":30,\"duration\":1.2,\"frame_rate\":25",
        "\"filter\":\"QNR ", "\"gpu\":false",
        "\"settings\":[{\"name\":\"f1\",\"label\":\"Level  f1\",\"kind\":\"level\",\"minimum\":0,"
        "\"maximum\":100,\"default\":70,\"config_position\":0,\"option\":\"--f1\","
        "\"frei0r_position\":0,\"frei0r_name\":\"f1\"},",
        "{\"name\":\"disable\",\"label\":\"Disable\",\"kind\":\"flag\",\"minimum\":0,\"maximum\":1,"
        "\"default\":0,\"config_position\":null,\"option\":\"--disable\",\"frei0r_position\":null,"
        "\"frei0r_name\":\"disable\"}]",
        "\"start\":{\"t\":0.5,\"f1\":10,\"f2\":44,\"sharp\":3,\"interlace\":0,\"show_noise\":1,"
        "\"disable\":1,\"multithreading\":0,\"config\":\"Config(10,44,3,0,0)\","
        "\"config_command\":\"Config\",\"config_arguments\":[10,44,3,0,0]}"}) {
    EXPECT_NE(info->body.find(part), std::string::npos) << part << " in " << info->body;
  }
  // Omitted values take the starting ones: Disable passes the frame through.
  const httplib::Result omitted = started.get("/api/frame");
  const httplib::Result spelled =
      started.get("/api/frame?t=0.5&f1=10&f2=44&sharp=3&show_noise=1&disable=1");
  const httplib::Result source = started.get("/api/frame?view=source&t=0.5");
  ASSERT_TRUE(omitted && spelled && source);
  EXPECT_EQ(omitted->body, spelled->body);
  EXPECT_EQ(omitted->get_header_value("X-QNR-Time"), "0.520000");
  EXPECT_EQ(decode_png(omitted->body).pixels, decode_png(source->body).pixels);
}

// A script may store levels beyond the dialog's ranges; the page starts from
// the nearest value it can show and send back.
TEST_F(TuneServerTest, StartingValuesOutsideTheRangesAreBroughtInside) {
  TuneChild started(made("still.png").path, {"--config", "Config(150,-3,9,2,1)"});
  ASSERT_TRUE(started.started());
  const httplib::Result info = started.get("/api/info");
  ASSERT_TRUE(info && info->status == 200);
  EXPECT_NE(info->body.find("\"start\":{\"t\":0,\"f1\":100,\"f2\":0,\"sharp\":6,\"interlace\":1,"),
            std::string::npos)
      << info->body;
}

TEST_F(TuneServerTest, OnlyRequestsWithTheTokenAndThisServersHostAreServed) {
  TuneChild& s = server();
  const std::string port = std::to_string(s.port());
  const std::string token = s.token();
  const std::string ours = " HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n";
  const std::string with_token = "GET /api/info?token=" + token + ours;
  struct Case {
    const char* what;
    std::string request;
    int status;
  };
  const Case cases[] = {
      {"no token", "GET /api/info HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n", 403},
      {"wrong token",
       "GET /api/info?token=" + std::string(token.size(), '0') +
           " HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n",
       403},
      {"token's prefix",
       "GET /api/info?token=" + token.substr(0, 8) + " HTTP/1.1\r\nHost: 127.0.0.1:" + port +
           "\r\n",
       403},
      {"token in the query",
       "GET /api/info?token=" + token + " HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n", 200},
      {"token in a header",
       "GET /api/info HTTP/1.1\r\nHost: localhost:" + port + "\r\nX-QNR-Token: " + token + "\r\n",
       200},
      {"localhost in capitals",
       "GET / HTTP/1.1\r\nHost: LOCALHOST:" + port + "\r\nX-QNR-Token: " + token + "\r\n", 200},
      {"another name (DNS rebinding)",
       "GET /api/info HTTP/1.1\r\nHost: attacker.example:" + port + "\r\nX-QNR-Token: " + token +
           "\r\n",
       403},
      {"another port",
       "GET /api/info HTTP/1.1\r\nHost: 127.0.0.1:1\r\nX-QNR-Token: " + token + "\r\n", 403},
      {"no port", "GET /api/info HTTP/1.1\r\nHost: 127.0.0.1\r\nX-QNR-Token: " + token + "\r\n",
       403},
      {"no Host", "GET /api/info HTTP/1.0\r\nX-QNR-Token: " + token + "\r\n", 403},
      {"two Hosts",
       "GET /api/info HTTP/1.1\r\nHost: 127.0.0.1:" + port +
           "\r\nHost: attacker.example\r\nX-QNR-Token: " + token + "\r\n",
       403},
      {"the token twice", "GET /api/info?token=" + token + "&token=0" + ours + "\r\n", 403},
      {"the token in the query and a header",
       "GET /api/info?token=" + token + ours + "X-QNR-Token: " + token + "\r\n", 403},
      {"%00 in a value", "GET /api/frame?f1=5%00junk&token=" + token + ours, 400},
      // Browsers say where a request comes from: another site is refused even
      // with the token, the page itself and the user opening it are served.
      {"Origin of another site", with_token + "Origin: http://attacker.example\r\n", 403},
      {"Origin of another port", with_token + "Origin: http://127.0.0.1:1\r\n", 403},
      {"Origin null", with_token + "Origin: null\r\n", 403},
      {"Origin of this page", with_token + "Origin: http://127.0.0.1:" + port + "\r\n", 200},
      {"Origin of this page by name", with_token + "Origin: http://localhost:" + port + "\r\n",
       200},
      {"from another site", with_token + "Sec-Fetch-Site: cross-site\r\n", 403},
      {"from another port", with_token + "Sec-Fetch-Site: same-site\r\n", 403},
      {"from this page", with_token + "Sec-Fetch-Site: same-origin\r\n", 200},
      {"typed by the user", with_token + "Sec-Fetch-Site: none\r\n", 200},
      {"the page opened from a link elsewhere",
       "GET /?token=" + token + ours + "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: navigate\r\n",
       200},
      {"done from another site",
       "POST /api/done?token=" + token + ours +
           "Origin: http://attacker.example\r\n"
           "Content-Length: 0\r\n",
       403},
  };
  for (const Case& c : cases) {
    const std::string response = raw_exchange(s.port(), c.request + "Connection: close\r\n\r\n");
    EXPECT_EQ(status_of(response), c.status) << c.what << ": " << response.substr(0, 200);
    // Every answer, refusals included, lets the page's own origin only.
    EXPECT_NE(response.find("Content-Security-Policy: default-src 'none'; script-src 'nonce-"),
              std::string::npos)
        << c.what;
    EXPECT_EQ(response.find("unsafe"), std::string::npos) << c.what;
    // A page tells a refusal (a stale tab's token) from a server that is gone.
    EXPECT_EQ(response.find("X-QNR-Refused: ") != std::string::npos, c.status == 403) << c.what;
  }
}

TEST_F(TuneServerTest, BadValuesAreRefusedWithAOneLineReason) {
  const char* queries[] = {"t=-1",
                           "t=abc",
                           "t=nan",
                           "t=inf",
                           "t=1e3",
                           "f1=101",
                           "f1=-1",
                           "f1=1.5",
                           "f1=",
                           "f2=x",
                           "sharp=7",
                           "interlace=2",
                           "show_noise=yes",
                           "disable=01",
                           "view=both",
                           "f3=1",
                           "f1=1&f1=2",
                           "f1=99999999999999999999",
                           "page=a",
                           "seek=1",
                           "page=&seek=1",
                           "page=a%20b&seek=1",
                           "page=a&seek=-1",
                           "page=a&seek=x"};
  for (const char* query : queries) {
    const httplib::Result res = server().get(std::string("/api/frame?") + query);
    ASSERT_TRUE(res) << query;
    EXPECT_EQ(res->status, 400) << query;
    EXPECT_EQ(res->body.find('\n'), res->body.size() - 1) << query << ": " << res->body;
    EXPECT_LT(res->body.size(), 200u) << query;
  }
}

TEST_F(TuneServerTest, NoPathButThePageAndTheApiIsServedAndNoneReachesAFile) {
  const char* paths[] = {"/x",
                         "/index.html",
                         "/api",
                         "/api/info/",
                         "/../etc/passwd",
                         "/%2e%2e/%2e%2e/etc/passwd",
                         "/api%2finfo",
                         "/api/frame/..%2f..%2fetc%2fpasswd",
                         "/./api/../../etc/passwd",
                         "//etc/passwd",
                         "/api/frame%00"};
  const std::string port = std::to_string(server().port());
  for (const char* path : paths) {
    const std::string response =
        raw_exchange(server().port(), std::string("GET ") + path + "?token=" + server().token() +
                                          " HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                                          "\r\nConnection: close\r\n\r\n");
    const int status = status_of(response);
    EXPECT_TRUE(status == 404 || status == 400) << path << ": " << response.substr(0, 200);
    EXPECT_EQ(response.find("root:"), std::string::npos) << path;
  }
}

TEST_F(TuneServerTest, OversizedRequestsAreRefusedAndTheServerGoesOn) {
  const std::string head = "Host: 127.0.0.1:" + std::to_string(server().port()) +
                           "\r\nX-QNR-Token: " + server().token() + "\r\n";
  std::string many_headers;
  for (int i = 0; i < 2000; ++i)
    many_headers += "X-Filler-" + std::to_string(i) + ": 0123456789\r\n";
  std::string many_params;
  for (int i = 0; i < 600; ++i) many_params += "p" + std::to_string(i) + "=1&";
  const std::string chunk = "400\r\n" + std::string(1024, 'a') + "\r\n";
  struct Case {
    const char* what;
    std::string request;
    bool answered;  // with a 4xx status, rather than perhaps only closed
  };
  const Case cases[] = {
      {"request line",
       "GET /api/info?" + std::string(100000, 'a') + " HTTP/1.1\r\n" + head + "\r\n", false},
      {"header line",
       "GET /api/info HTTP/1.1\r\n" + head + "X-Long: " + std::string(100000, 'a') + "\r\n\r\n",
       false},
      {"header count", "GET /api/info HTTP/1.1\r\n" + head + many_headers + "\r\n", false},
      {"body",
       "POST /api/done HTTP/1.1\r\n" + head + "Content-Length: 100000\r\n\r\n" +
           std::string(100000, 'a'),
       true},
      {"parameter count", "GET /api/frame?" + many_params + " HTTP/1.1\r\n" + head + "\r\n", true},
      {"chunked body",
       "POST /api/done HTTP/1.1\r\n" + head + "Transfer-Encoding: chunked\r\n\r\n" + chunk + chunk +
           "0\r\n\r\n",
       true},
  };
  for (const auto& [what, request, answered] : cases) {
    const int status = status_of(raw_exchange(server().port(), request, 3000));
    EXPECT_TRUE((status >= 400 && status < 500) || (status == 0 && !answered))
        << what << ": " << status;
    const httplib::Result after = server().get("/api/info");
    ASSERT_TRUE(after) << "after an oversized " << what;
    EXPECT_EQ(after->status, 200);
  }
}

TEST_F(TuneServerTest, ThirtyParallelRequestsAreAllAnswered) {
  TuneChild& s = server();
  ASSERT_TRUE(s.started());
  std::vector<std::thread> clients;
  std::vector<int> statuses(30, 0);
  for (int i = 0; i < 30; ++i) {
    clients.emplace_back([&, i] {
      const httplib::Result res =
          s.get("/api/frame?f1=" + std::to_string(i) + "&t=" + std::to_string(i * 0.04));
      if (res && decode_png(res->body).width == 97) statuses[i] = res->status;
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(statuses, std::vector<int>(30, 200));
}

// A far seek shows how far it has decoded, and a newer request of the same
// page gives it up; another page's requests are its own.
TEST_F(TuneServerTest, ANewerSeekOfThePageGivesUpAnOlderOneThatShowsItsProgress) {
  // One keyframe in ten seconds of 720p: the seek to the end decodes them all.
  const std::string clip = temp("long-interval.mp4");
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25", "-frames:v", "250", "-c:v",
          "libx264", "-preset", "ultrafast", "-g", "250", "-bf", "0", clip});
  const auto number = [](const std::string& json, const std::string& name) {
    const size_t at = json.find("\"" + name + "\":");
    return at == std::string::npos ? -1.0 : std::stod(json.substr(at + name.size() + 3));
  };

  // The seek must be seen early in its decode. A machine so busy that the
  // whole decode passed unseen is not a fault: the test tries a fresh server.
  std::unique_ptr<TuneChild> server;
  std::atomic<int> far_status{0};
  std::jthread far;
  std::string seen;
  for (int attempt = 0; attempt < 3 && seen.empty(); ++attempt) {
    server = std::make_unique<TuneChild>(clip);
    ASSERT_TRUE(server->started());
    far_status = 0;
    far = std::jthread([&] {
      const httplib::Result res = server->get("/api/frame?view=source&t=9.9&page=p1&seek=1");
      far_status = res ? res->status : -1;
    });
    while (seen.empty() && far_status == 0) {
      const httplib::Result res = server->get("/api/progress");
      const bool decoding = res && res->body.starts_with("{\"decoding\":true");
      const double reached = decoding ? number(res->body, "reached") : 0;
      if (reached > 0 && reached < 2) seen = res->body;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (seen.empty()) far.join();
  }
  ASSERT_FALSE(seen.empty()) << "no seek was seen in its decode; the last answered " << far_status;
  TuneChild& tune = *server;
  EXPECT_NEAR(number(seen, "target"), 9.9, 0.05) << seen;
  EXPECT_LT(number(seen, "reached"), 9.9) << seen;

  const httplib::Result near = tune.get("/api/frame?view=source&t=0&page=p1&seek=2");
  ASSERT_TRUE(near);
  EXPECT_EQ(near->status, 200);
  EXPECT_EQ(near->get_header_value("X-QNR-Frame"), "0");
  far.join();
  EXPECT_EQ(far_status, 409) << "the older seek was answered instead of given up";

  const std::pair<std::string, int> after[] = {
      {"page=p1&seek=1&t=5", 409},    // older than the page's latest: given up at once
      {"page=p2&seek=1&t=0.4", 200},  // another page
      {"page=p1&seek=3&t=0.2", 200},
  };
  for (const auto& [query, status] : after) {
    const httplib::Result res = tune.get("/api/frame?view=source&" + query);
    ASSERT_TRUE(res) << query;
    EXPECT_EQ(res->status, status) << query << ": " << res->body;
  }
  const httplib::Result idle = tune.get("/api/progress");
  ASSERT_TRUE(idle);
  EXPECT_TRUE(idle->body.starts_with("{\"decoding\":false")) << idle->body;
}

// Keyframes every 10 frames (0, 0.4, 0.8 and 1.2 s) with B-frames, in a
// container that indexes by decoding time and one that reads its cues late.
TEST_F(TuneServerTest, KeyframesBeforeAndAfterAFrameAreFound) {
  const std::pair<std::string, std::string> cases[] = {
      {"t=0.12&dir=next", "0.400000"}, {"t=0.4&dir=next", "0.800000"}, {"t=1.5&dir=next", "null"},
      {"t=0.52&dir=prev", "0.400000"}, {"t=0.4&dir=prev", "0.000000"}, {"t=0&dir=prev", "null"},
      {"t=9&dir=prev", "1.200000"},    {"t=0.9&dir=next", "1.200000"},
  };
  for (const std::string container : {"mp4", "mkv"}) {
    const std::string clip = temp("keyframes." + container);
    ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25", "-frames:v", "40", "-c:v",
            "libx264", "-g", "10", "-keyint_min", "10", "-sc_threshold", "0", "-bf", "2", clip});
    TuneChild tune(clip);
    ASSERT_TRUE(tune.started());
    for (const auto& [query, t] : cases) {
      const httplib::Result res = tune.get("/api/keyframe?" + query);
      ASSERT_TRUE(res) << container << " " << query;
      EXPECT_EQ(res->body, "{\"t\":" + t + "}") << container << " " << query;
    }
    for (const char* bad : {"t=0.1", "t=0.1&dir=up", "t=0.1&dir=next&dir=prev", "t=x&dir=next"}) {
      const httplib::Result res = tune.get(std::string("/api/keyframe?") + bad);
      ASSERT_TRUE(res);
      EXPECT_EQ(res->status, 400) << bad;
    }
  }
}

TEST_F(TuneServerTest, ClientsThatStallOrLeaveMidAnswerDoNotStopIt) {
  // A bigger picture than the socket buffers hold, so the answer is cut.
  const std::string big = temp("big.mp4");
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25", "-frames:v", "3", big});
  TuneChild s(big);
  ASSERT_TRUE(s.started());
  const std::string request = "GET /api/frame?view=source&token=" + s.token() +
                              " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(s.port()) +
                              "\r\n\r\n";
  for (int i = 0; i < 5; ++i) {
    const int fd = connect_loopback(s.port());
    ASSERT_GE(fd, 0);
    ASSERT_GT(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), 0);
    char some[1000];
    ASSERT_GT(::recv(fd, some, sizeof some, MSG_WAITALL), 0);
    const linger reset{1, 0};  // leave with a reset, mid-answer
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
  }
  // A handful of clients that send half a request and wait.
  std::vector<int> stalled;
  for (int i = 0; i < 5; ++i) {
    const int fd = connect_loopback(s.port());
    ASSERT_GE(fd, 0);
    ::send(fd, "GET /api/info HTTP/1.1\r\n", 24, MSG_NOSIGNAL);
    stalled.push_back(fd);
  }
  const auto began = std::chrono::steady_clock::now();
  const httplib::Result res = s.get("/api/frame?f1=50");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(decode_png(res->body).width, 1280);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(4));
  for (int fd : stalled) ::close(fd);
}

TEST_F(TuneServerTest, DonePrintsTheSettingsLineAndCtrlCEndsCleanly) {
  {
    TuneChild s(made("still.png").path, {"--config", "Config(70,70,2,0,0)"});
    ASSERT_TRUE(s.started());
    const httplib::Result done = s.client()->Post(
        "/api/done?f1=12&f2=34&sharp=5&interlace=1&token=" + s.token(), "", "text/plain");
    ASSERT_TRUE(done);
    EXPECT_EQ(done->body, "Config(12,34,5,1,0)\n");
    std::string rest;
    EXPECT_EQ(s.wait(rest), 0);
    EXPECT_EQ(rest, "Config(12,34,5,1,0)\n");
  }
  // Ctrl-C is the usual end; being terminated or hung up says so.
  for (const auto& [signal, status] : {std::pair{SIGINT, 0}, {SIGTERM, 143}, {SIGHUP, 129}}) {
    TuneChild s(made("still.png").path);
    ASSERT_TRUE(s.started());
    ASSERT_TRUE(s.get("/api/frame"));  // a browser's idle connection stays open
    s.signal(signal);
    std::string rest;
    EXPECT_EQ(s.wait(rest), status) << signal;
    EXPECT_EQ(rest, "");
  }
  // Nowhere to print: the page hears so, and gets the line to copy.
  TuneChild s(made("still.png").path);
  ASSERT_TRUE(s.started());
  s.close_output();
  const httplib::Result done =
      s.client()->Post("/api/done?f1=12&token=" + s.token(), "", "text/plain");
  ASSERT_TRUE(done);
  EXPECT_EQ(done->status, 500);
  EXPECT_NE(done->body.find("could not print"), std::string::npos) << done->body;
  EXPECT_NE(done->body.find("Config(12,"), std::string::npos) << done->body;
}

TEST_F(TuneServerTest, EachRunHasItsOwnPortAndA128BitToken) {
  TuneChild other(made("still.png").path);
  ASSERT_TRUE(other.started());
  EXPECT_NE(other.port(), server().port());
  EXPECT_NE(other.token(), server().token());
  EXPECT_EQ(other.token().find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_GE(other.token().size() * 4, 128u);
}

// Local processes without the token cannot hold every connection: one that
// drips its request is closed after a few seconds, and when many wait the
// oldest make room, so the page's whole requests are answered throughout.
TEST_F(TuneServerTest, DrippingClientsLockNoOneOut) {
  TuneChild& s = server();
  ASSERT_TRUE(s.started());
  std::vector<int> drips;
  for (int i = 0; i < 80; ++i) {
    const int fd = connect_loopback(s.port());
    if (fd >= 0 && ::send(fd, "G", 1, MSG_NOSIGNAL) == 1) drips.push_back(fd);
  }
  ASSERT_GE(drips.size(), 40u);
  const auto began = std::chrono::steady_clock::now();
  size_t open = drips.size();
  for (int second = 0; second < 7; ++second) {
    const auto asked = std::chrono::steady_clock::now();
    const httplib::Result info = s.get("/api/info");
    ASSERT_TRUE(info) << "at " << second << " s";
    EXPECT_EQ(info->status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(2));
    open = 0;
    for (const int fd : drips) open += ::send(fd, "E", 1, MSG_NOSIGNAL) == 1;
    std::this_thread::sleep_until(began + std::chrono::seconds(second + 1));
  }
  // Every dripping connection was closed (a send may still succeed once
  // after the close; the next one fails).
  size_t still_open = 0;
  for (const int fd : drips) {
    still_open += ::send(fd, "T", 1, MSG_NOSIGNAL) == 1 && ::send(fd, " ", 1, MSG_NOSIGNAL) == 1;
    ::close(fd);
  }
  EXPECT_EQ(still_open, 0u) << open << " were open before the last sends";
}

// The browser is given a file that sends it on to the address, so the token
// appears in no command line; the file is this user's only and goes at the end.
TEST_F(TuneServerTest, TheBrowserIsOpenedWithoutTheTokenInAnyArgument) {
  const std::string bin = temp("fake-bin");
  const std::string runtime = temp("runtime");
  std::filesystem::create_directories(bin);
  std::filesystem::create_directories(runtime);
  std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
  const std::string seen = temp("seen");
  {
    std::ofstream script(bin + "/xdg-open");
    script << "#!/bin/sh\nstat -c %a \"$1\" > " << seen << ".mode\ncat \"$1\" > " << seen
           << ".page\necho \"$@\" > " << seen << ".args\n";
  }
  std::filesystem::permissions(bin + "/xdg-open", std::filesystem::perms::owner_all);
  const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin";
  ::setenv("PATH", (bin + ":" + path).c_str(), 1);
  ::setenv("DISPLAY", ":99", 1);
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  TuneChild s(made("still.png").path, {}, true);
  ::setenv("PATH", path.c_str(), 1);
  ASSERT_TRUE(s.started());
  for (int i = 0; i < 100 && !std::filesystem::exists(seen + ".args"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const auto read = [](const std::string& name) {
    std::ifstream in(name);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string args = read(seen + ".args");
  EXPECT_NE(args.find(runtime), std::string::npos) << args;
  EXPECT_EQ(args.find(s.token()), std::string::npos) << args;
  EXPECT_EQ(read(seen + ".mode"), "600\n");
  EXPECT_NE(read(seen + ".page").find("url=" + s.url() + "\""), std::string::npos);
  s.signal(SIGINT);
  std::string rest;
  EXPECT_EQ(s.wait(rest), 0);
  EXPECT_TRUE(std::filesystem::is_empty(runtime));
}

// What the file holds is said: its real end and damage once decoding meets
// them, a file written over while open, a name that is not UTF-8.
TEST_F(TuneServerTest, ShortChangedAndOddlyNamedInputsAreSaid) {
  const std::string cut = temp("cut.mkv");
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x36:rate=25", "-frames:v", "100", "-c:v", "ffv1",
          cut});
  std::filesystem::resize_file(cut, std::filesystem::file_size(cut) * 6 / 10);
  {
    TuneChild s(cut);
    ASSERT_TRUE(s.started());
    const httplib::Result early = s.get("/api/frame?view=source&t=0.5");
    ASSERT_TRUE(early && early->status == 200);
    EXPECT_FALSE(early->has_header("X-QNR-End"));
    const httplib::Result past = s.get("/api/frame?view=source&t=3.9");
    ASSERT_TRUE(past && past->status == 200);
    ASSERT_TRUE(past->has_header("X-QNR-End"));
    EXPECT_LT(std::stod(past->get_header_value("X-QNR-End")), 3.0);
    EXPECT_EQ(past->get_header_value("X-QNR-Time"), past->get_header_value("X-QNR-End"));
    EXPECT_NE(past->get_header_value("X-QNR-Damage").find("cut.mkv"), std::string::npos);
    // Written over in place with another video.
    ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=32x18:rate=25", "-frames:v", "5", "-c:v", "ffv1",
            temp("other.mkv")});
    std::filesystem::copy_file(temp("other.mkv"), cut,
                               std::filesystem::copy_options::overwrite_existing);
    const httplib::Result changed = s.get("/api/frame?view=source&t=1.5");
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->status, 500);
    EXPECT_NE(changed->body.find("changed while qnr tune had it open"), std::string::npos)
        << changed->body;
  }
  const std::string latin1 = temp("caf\xe9.png");
  std::filesystem::copy_file(made("still.png").path, latin1);
  TuneChild named(latin1);
  ASSERT_TRUE(named.started());
  const httplib::Result info = named.get("/api/info");
  ASSERT_TRUE(info && info->status == 200);
  EXPECT_NE(info->body.find("caf\xc3\xa9.png\""), std::string::npos) << info->body;
}

TEST(TuneCommandLine, MistakesAreNamedBeforeAnythingIsServed) {
  const std::vector<std::string> mistakes[] = {
      {"tune"},
      {"tune", "a.mp4", "b.mp4"},
      {"tune", "a.mp4", "--codec", "h264"},
      {"tune", "a.mp4", "--port", "0"},
      {"tune", "a.mp4", "--port", "70000"},
      {"tune", "a.mp4", "--at", "-1"},
      {"tune", "a.mp4", "--at", "1:2:3:4"},
      {"tune", "a.mp4", "--f1", "101"},
      {"tune", "-"},
  };
  for (const std::vector<std::string>& args : mistakes) {
    const Ran ran = qnr(args);
    EXPECT_EQ(ran.status, 2) << args.back();
    EXPECT_EQ(ran.out, "") << args.back();
    EXPECT_NE(ran.err.find("qnr: "), std::string::npos) << args.back();
  }
  EXPECT_EQ(qnr({"tune", "no-such-file.mp4", "--no-browser"}).status, 1);
}

}  // namespace
}  // namespace qnr_test
