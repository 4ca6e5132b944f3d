// SHA-256 through FFmpeg's hash routines: of bytes, of a whole file (the
// module, a segment), and a cheap fingerprint of a large file (its size and
// its first and last MiB) that tells whether an input changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct AVHashContext;

namespace qnr {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const void* bytes, size_t size);
  void update_number(int64_t value);  // eight bytes, little-endian
  // Lower-case hexadecimal; the hash starts afresh afterwards.
  std::string hex();

 private:
  AVHashContext* context_ = nullptr;
};

// Throws Failure naming the file when it cannot be read.
std::string sha256_of_file(const std::string& path);
std::string fingerprint_of_file(const std::string& path, int64_t size);

}  // namespace qnr
