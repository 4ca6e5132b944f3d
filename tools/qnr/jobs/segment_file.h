// A segment's video: the encoder's packets exactly as it made them (data,
// side data, timestamps in the encoder's time base, flags), one after the
// other, and an end mark with their count. No container is involved, so no
// timestamp is rounded and the join gets every bit back.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/digest.h"
#include "media/libav.h"

namespace qnr {

class SegmentWriter {
 public:
  // Creates `path`, which must not exist. Throws Failure.
  explicit SegmentWriter(std::string path);
  ~SegmentWriter();  // an unfinished file is removed
  SegmentWriter(const SegmentWriter&) = delete;
  SegmentWriter& operator=(const SegmentWriter&) = delete;

  void write(const AVPacket& packet);
  // Writes the end mark and syncs the file to its disk. Throws Failure.
  void finish();

  const std::string& path() const { return path_; }
  int64_t size() const { return size_; }
  std::string sha256() { return hash_.hex(); }  // once finished
  // How many packets come before a frame that is shown earlier: 0 without
  // reordering, 2 for two B-frames in a row.
  int64_t reorder_depth() const;

 private:
  void put(const void* bytes, size_t size);

  std::string path_;
  FILE* file_ = nullptr;
  int64_t size_ = 0;
  Sha256 hash_;
  std::vector<int64_t> pts_;  // in decoding order
  bool finished_ = false;
};

class SegmentReader {
 public:
  // `name` for messages ("segment 3"); `size` and `sha256` as recorded.
  SegmentReader(const std::string& path, std::string name, int64_t size, std::string sha256);
  ~SegmentReader();
  SegmentReader(const SegmentReader&) = delete;
  SegmentReader& operator=(const SegmentReader&) = delete;

  // The next packet; false at the end mark, once the file has checked out.
  // Throws Failure (naming the segment) when it is damaged.
  bool next(AVPacket* packet);

 private:
  void get(void* bytes, size_t size);
  [[noreturn]] void damaged(const std::string& why) const;

  std::string name_;
  FILE* file_ = nullptr;
  int64_t size_ = 0;
  int64_t read_ = 0;
  int64_t packets_ = 0;
  std::string sha256_;
  Sha256 hash_;
};

// Decoding-order timestamps' reorder depth (see SegmentWriter).
int64_t reorder_depth_of(const std::vector<int64_t>& pts_in_decoding_order);

}  // namespace qnr
