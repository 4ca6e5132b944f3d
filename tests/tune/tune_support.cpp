#include "tune_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace qnr_test {

namespace {

// One line from a pipe, byte by byte so nothing after it is consumed.
std::string read_line(int fd, int timeout_ms) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return line;
    char c = 0;
    if (::read(fd, &c, 1) != 1 || c == '\n') return line;
    line += c;
  }
}

}  // namespace

int connect_loopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TuneChild::TuneChild(const std::string& input, const std::vector<std::string>& args,
                     bool open_browser) {
  qnr::SpawnRequest request;
  request.argv = {QNR_EXE, "tune", input};
  if (!open_browser) request.argv.push_back("--no-browser");
  request.argv.insert(request.argv.end(), args.begin(), args.end());
  std::string error;
  bool not_found = false;
  child_ = qnr::Child::spawn(request, error, not_found);
  if (!child_) {
    ADD_FAILURE() << "cannot start qnr tune: " << error;
    return;
  }
  url_ = read_line(child_->stdout_fd(), 30000);
  const std::string prefix = "http://127.0.0.1:";
  const size_t slash = url_.find("/?token=");
  if (url_.rfind(prefix, 0) != 0 || slash == std::string::npos) {
    ADD_FAILURE() << "qnr tune printed \"" << url_ << "\" first; " << child_->last_error_line();
    return;
  }
  port_ = std::stoi(url_.substr(prefix.size(), slash - prefix.size()));
  token_ = url_.substr(slash + 8);
}

TuneChild::~TuneChild() = default;

std::unique_ptr<httplib::Client> TuneChild::client() const {
  auto client = std::make_unique<httplib::Client>("127.0.0.1", port_);
  client->set_read_timeout(30);
  client->set_connection_timeout(5);
  return client;
}

httplib::Result TuneChild::get(const std::string& path_and_query) const {
  const char separator = path_and_query.find('?') == std::string::npos ? '?' : '&';
  return client()->Get(path_and_query + separator + "token=" + token_);
}

int TuneChild::wait(std::string& rest_of_output) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(child_->stdout_fd(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    rest_of_output.append(buffer, static_cast<size_t>(n));
  }
  const int status = child_->wait();
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void TuneChild::signal(int number) { child_->kill(number); }

void TuneChild::close_output() { child_->close_stdout(); }

std::string raw_exchange(int port, const std::string& request, int timeout_ms) {
  const int fd = connect_loopback(port);
  if (fd < 0) return "";
  std::string response;
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) >= 0) {
    char buffer[65536];
    for (;;) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, timeout_ms) <= 0) break;
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      response.append(buffer, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return response;
}

int status_of(const std::string& response) {
  if (response.rfind("HTTP/1.", 0) != 0 || response.size() < 12) return 0;
  return std::atoi(response.c_str() + 9);
}

Picture decode_png(const std::string& png) {
  Picture picture;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
  AVCodecContext* decoder = avcodec_alloc_context3(codec);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  packet->data = reinterpret_cast<uint8_t*>(const_cast<char*>(png.data()));
  packet->size = static_cast<int>(png.size());
  if (avcodec_open2(decoder, codec, nullptr) == 0 && avcodec_send_packet(decoder, packet) == 0 &&
      avcodec_receive_frame(decoder, frame) == 0) {
    EXPECT_EQ(frame->format, AV_PIX_FMT_RGB24) << "the page's pictures are 8-bit RGB";
    if (frame->format == AV_PIX_FMT_RGB24) {
      picture.width = frame->width;
      picture.height = frame->height;
      for (int y = 0; y < frame->height; ++y) {
        const uint8_t* row = frame->data[0] + ptrdiff_t{y} * frame->linesize[0];
        for (int x = 0; x < frame->width; ++x, row += 3) {
          picture.pixels.push_back(uint32_t{row[2]} | uint32_t{row[1]} << 8 |
                                   uint32_t{row[0]} << 16);
        }
      }
    }
  } else {
    ADD_FAILURE() << "not a PNG the decoder reads (" << png.size() << " bytes)";
  }
  av_frame_free(&frame);
  packet->data = nullptr;
  packet->size = 0;
  av_packet_free(&packet);
  avcodec_free_context(&decoder);
  return picture;
}

}  // namespace qnr_test
