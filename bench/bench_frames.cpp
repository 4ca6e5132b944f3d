#include "bench_frames.h"

#include <random>

std::vector<uint32_t> picture_frame(int32_t width, int32_t height) {
  std::vector<uint32_t> frame(static_cast<size_t>(width) * static_cast<size_t>(height));
  std::mt19937 rng(2024);
  std::uniform_int_distribution<int32_t> grain(-6, 6);
  const auto channel = [&](int32_t base) {
    const int32_t v = base + grain(rng);
    return static_cast<uint32_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
  };
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const int32_t red = 40 + 170 * x / width, green = 30 + 190 * y / height;
      const int32_t blue = 120 + 60 * ((x / 64 + y / 64) % 2);
      frame[static_cast<size_t>(y) * width + x] =
          channel(blue) | channel(green) << 8 | channel(red) << 16;
    }
  }
  return frame;
}
