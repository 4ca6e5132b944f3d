#include "libav.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "failure.h"

namespace qnr {

namespace {
std::mutex log_mutex;
std::string last_error;

void keep_errors(void* object, int level, const char* format, va_list args) {
  if (level > AV_LOG_ERROR) return;
  char line[1024];
  std::vsnprintf(line, sizeof line, format, args);
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (text.empty()) return;
  (void)object;
  std::lock_guard lock(log_mutex);
  last_error = text;
}
}  // namespace

FramePtr new_frame() {
  FramePtr frame(av_frame_alloc());
  if (!frame) throw std::bad_alloc();
  return frame;
}

PacketPtr new_packet() {
  PacketPtr packet(av_packet_alloc());
  if (!packet) throw std::bad_alloc();
  return packet;
}

std::string av_error_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

void capture_library_log() { av_log_set_callback(keep_errors); }

std::string last_library_error() {
  std::lock_guard lock(log_mutex);
  return last_error;
}

void check_av(int code, const std::string& what) {
  if (code >= 0) return;
  if (code == AVERROR(ENOMEM)) throw std::bad_alloc();
  throw Failure(what + ": " + av_error_text(code));
}

}  // namespace qnr
