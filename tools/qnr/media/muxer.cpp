#include "media/muxer.h"

#include <cerrno>

#include "base/failure.h"

namespace qnr {

namespace {

std::string write_hint(int code) {
  if (code == AVERROR(ENOSPC)) return " (free some space on the output's disk)";
  if (code == AVERROR(EPIPE)) return " (the program reading the output quit)";
  return "";
}

}  // namespace

Muxer::Muxer(const AVOutputFormat* format, const std::string& url, const std::string& name)
    : url_(url), name_(name) {
  check_av(avformat_alloc_output_context2(&format_, format, nullptr, url.c_str()),
           "cannot set up " + name);
}

Muxer::~Muxer() {
  if (format_ == nullptr) return;
  if (format_->pb != nullptr && !writes_own_file()) avio_closep(&format_->pb);
  avformat_free_context(format_);
}

void Muxer::write_header(Dictionary& options) {
  if (!writes_own_file()) {
    if (int code = avio_open(&format_->pb, url_.c_str(), AVIO_FLAG_WRITE); code < 0) {
      throw Failure("cannot write " + name_ + ": " + av_error_text(code));
    }
  }
  if (int code = avformat_write_header(format_, &options.entries); code < 0) {
    std::string why = last_library_error();
    if (why.empty()) why = av_error_text(code);
    throw Failure("cannot write " + name_ + ": " + why + write_hint(code));
  }
  header_written_ = true;
}

void Muxer::write_failed(int code) const {
  throw Failure("writing " + name_ + " failed: " + av_error_text(code) + write_hint(code));
}

void Muxer::write(AVPacket* packet) {
  if (int code = av_interleaved_write_frame(format_, packet); code < 0) write_failed(code);
}

int Muxer::offer(AVPacket* packet) {
  const int code = av_interleaved_write_frame(format_, packet);
  if (code >= 0) return 0;
  const bool output_failed = (format_->pb != nullptr && format_->pb->error < 0) ||
                             code == AVERROR(ENOSPC) || code == AVERROR(EPIPE) ||
                             code == AVERROR(EIO) || code == AVERROR(EFBIG) ||
                             code == AVERROR(ENOMEM);
  if (output_failed) write_failed(code);
  return code;
}

void Muxer::finish() {
  if (int code = av_write_trailer(format_); code < 0) write_failed(code);
  if (format_->pb != nullptr && !writes_own_file()) {
    avio_flush(format_->pb);
    const int error = format_->pb->error;
    if (int code = avio_closep(&format_->pb); code < 0) write_failed(code);
    if (error < 0) write_failed(error);
  }
}

}  // namespace qnr
