// The output container: its streams, its header, the packets interleaved
// by time, and its trailer, written to the output's URL. A failed write
// names the output and, for a full disk or a closed pipe, what to do.
#pragma once

#include <string>

#include "media/libav.h"

namespace qnr {

class Muxer {
 public:
  // `name` as the user gave it, for messages. Throws Failure.
  Muxer(const AVOutputFormat* format, const std::string& url, const std::string& name);
  ~Muxer();
  Muxer(const Muxer&) = delete;
  Muxer& operator=(const Muxer&) = delete;

  AVFormatContext* context() const { return format_; }
  const AVOutputFormat& format() const { return *format_->oformat; }
  AVStream& stream(int index) const { return *format_->streams[index]; }

  // Opens the file (unless the container writes its own files) and writes
  // the header with `options`; those the muxer does not know are left there.
  void write_header(Dictionary& options);
  bool header_written() const { return header_written_; }
  // A packet with its stream index and time stamps in that stream's time base.
  void write(AVPacket* packet);
  // The same for a packet of a copied stream, which the muxer may refuse
  // for its data (a damaged packet): returns 0, or the library's code for a
  // refusal. A failure to write the file is a Failure, as for write().
  int offer(AVPacket* packet);
  // Writes the trailer and closes the file; an error on the way is a Failure.
  void finish();

 private:
  bool writes_own_file() const { return (format_->oformat->flags & AVFMT_NOFILE) != 0; }
  [[noreturn]] void write_failed(int code) const;

  AVFormatContext* format_ = nullptr;
  std::string url_;
  std::string name_;
  bool header_written_ = false;
};

}  // namespace qnr
