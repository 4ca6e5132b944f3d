// FNV-1a, 64 bits, over frame words as little-endian bytes: a fixed fingerprint
// of a frame that tests can pin or compare across builds.
#pragma once

#include <cstdint>
#include <vector>

namespace testing_frames {

inline uint64_t fnv1a64(const std::vector<uint32_t>& words) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (uint32_t word : words) {
    for (int byte = 0; byte < 4; ++byte) {
      hash ^= (word >> (8 * byte)) & 0xFF;
      hash *= 0x100000001b3u;
    }
  }
  return hash;
}

}  // namespace testing_frames
