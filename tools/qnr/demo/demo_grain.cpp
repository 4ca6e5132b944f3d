#include "demo/demo_grain.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qnr {

namespace {

uint64_t mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// The sum of n random bytes, doubled and centred: an odd integer close to a
// normal distribution for n = 4, whose standard deviation is
// 2 sqrt(n (256^2 - 1) / 12). Cheap, and bounded.
int32_t centred_bytes(uint64_t bits, int n) {
  int32_t sum = 0;
  for (int i = 0; i < n; ++i) sum += static_cast<int32_t>((bits >> (8 * i)) & 0xFF);
  return 2 * sum - n * 255;
}

double centred_sigma(int n) { return 2 * std::sqrt(n * (256.0 * 256.0 - 1) / 12); }

int32_t channel(uint32_t word, int shift) { return static_cast<int32_t>((word >> shift) & 0xFF); }

// Luma in thousandths of a level, exactly.
int32_t luma_1000(uint32_t word) {
  return 299 * channel(word, 16) + 587 * channel(word, 8) + 114 * channel(word, 0);
}

// Scales in 1/65536 of a level per unit of centred_bytes.
int32_t fixed_scale(double sigma, int n) {
  return static_cast<int32_t>(std::lround(sigma / centred_sigma(n) * 65536));
}

}  // namespace

void add_grain(const Grain& grain, int frame, const uint32_t* clean, uint32_t* noisy,
               size_t count) {
  const int32_t luma_scale = fixed_scale(grain.luma_sigma, 4);
  const int32_t chroma_scale = fixed_scale(grain.chroma_sigma, 2);
  const uint64_t stream = mix64(grain.seed ^ (static_cast<uint64_t>(frame) << 32));
  for (size_t i = 0; i < count; ++i) {
    const uint64_t bits = mix64(stream + i);
    const int32_t y = luma_scale * centred_bytes(bits, 4);
    const int32_t u = chroma_scale * centred_bytes(bits >> 32, 2);
    const int32_t v = chroma_scale * centred_bytes(bits >> 48, 2);
    // A luma offset moves all three channels alike; U and V as BT.601 defines
    // them (coefficients in 1/1024).
    const int32_t offsets[3] = {y + (1815 * u) / 1024, y - (352 * u + 731 * v) / 1024,
                                y + (1436 * v) / 1024};
    uint32_t word = 0;
    for (int c = 0; c < 3; ++c) {
      const int32_t value = (channel(clean[i], 8 * c) * 65536 + offsets[c] + 32768) >> 16;
      word |= static_cast<uint32_t>(std::clamp(value, 0, 255)) << (8 * c);
    }
    noisy[i] = word;
  }
}

void LumaError::add(const uint32_t* clean, const uint32_t* picture, size_t count) {
  uint64_t sum = 0;
  for (size_t i = 0; i < count; ++i) {
    const int64_t d = luma_1000(picture[i]) - luma_1000(clean[i]);
    sum += static_cast<uint64_t>(d * d);
  }
  squared_ += sum;
  samples_ += count;
}

void LumaError::add(const LumaError& other) {
  squared_ += other.squared_;
  samples_ += other.samples_;
}

double LumaError::psnr() const {
  if (samples_ == 0 || squared_ == 0) return std::numeric_limits<double>::infinity();
  return 10 * std::log10(255000.0 * 255000.0 * static_cast<double>(samples_) /
                         static_cast<double>(squared_));
}

}  // namespace qnr
