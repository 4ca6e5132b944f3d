// Reads the table of contents of a CUDA fatbin (what nvcc -fatbin writes): a
// 16-byte header (magic 0xBA55ED50, version, header size, size of what
// follows), then entries, each a header (kind: 1 PTX, 2 machine code; its own
// size; payload size; the architecture at byte 28) and its payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace gpu_test {

struct FatbinEntry {
  bool ptx;       // PTX for the driver to compile, else machine code (SASS)
  unsigned arch;  // compute capability as major * 10 + minor
};

template <class T> T read_at(const unsigned char* bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}

// The entries, or nothing when the bytes are not a well-formed fatbin.
inline std::optional<std::vector<FatbinEntry>> fatbin_entries(const unsigned char* bytes,
                                                              size_t size) {
  constexpr uint32_t kMagic = 0xBA55ED50u;
  if (bytes == nullptr || size < 16 || read_at<uint32_t>(bytes, 0) != kMagic) return std::nullopt;
  const size_t header = read_at<uint16_t>(bytes, 6);
  const uint64_t body = read_at<uint64_t>(bytes, 8);
  if (header < 16 || body > size - header) return std::nullopt;
  std::vector<FatbinEntry> entries;
  size_t at = header;
  const size_t end = header + body;
  while (at < end) {
    if (end - at < 32) return std::nullopt;
    const uint16_t kind = read_at<uint16_t>(bytes, at);
    const uint32_t entry_header = read_at<uint32_t>(bytes, at + 4);
    const uint64_t payload = read_at<uint64_t>(bytes, at + 8);
    if ((kind != 1 && kind != 2) || entry_header < 32 || entry_header > end - at ||
        payload > end - at - entry_header) {
      return std::nullopt;
    }
    entries.push_back(FatbinEntry{kind == 1, read_at<uint32_t>(bytes, at + 28)});
    at += entry_header + payload;
  }
  return entries;
}

}  // namespace gpu_test
