// SHA-256 (FIPS 180-4): of bytes, of a whole file (the module, a segment),
// and a cheap fingerprint of a large file (its size and
// its first and last MiB) that tells whether an input changed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qnr {

class Sha256 {
 public:
  Sha256() { restart(); }
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const void* bytes, size_t size);
  void update_number(int64_t value);  // eight bytes, little-endian
  // Lower-case hexadecimal; the hash starts afresh afterwards.
  std::string hex();

 private:
  void restart();
  void compress(const uint8_t* block);

  std::array<uint32_t, 8> state_{};
  std::array<uint8_t, 64> block_{};
  size_t filled_ = 0;    // bytes waiting in block_
  uint64_t length_ = 0;  // bytes hashed so far
};

// Throws Failure naming the file when it cannot be read.
std::string sha256_of_file(const std::string& path);
std::string fingerprint_of_file(const std::string& path, int64_t size);

}  // namespace qnr
