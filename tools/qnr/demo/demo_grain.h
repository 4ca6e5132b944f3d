// Grain like a camera sensor's for the demo: mostly luma (the same offset on
// red, green and blue), with a little colour noise, fresh in every frame. A
// counter-based generator makes each pixel's grain depend only on the seed,
// the frame and the pixel, so every run, split however, gives the same clip.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qnr {

struct Grain {
  uint64_t seed = 0;
  double luma_sigma = 0;    // standard deviation of the luma offset, in 8-bit levels
  double chroma_sigma = 0;  // of each of the two colour-difference offsets
};

// noisy = clean + grain for frame `frame`; `count` BGRX words.
void add_grain(const Grain& grain, int frame, const uint32_t* clean, uint32_t* noisy, size_t count);

// The error of pictures against their clean originals, in the luma
// 0.299 R + 0.587 G + 0.114 B, summed over as many pictures as are added.
class LumaError {
 public:
  void add(const uint32_t* clean, const uint32_t* picture, size_t count);
  void add(const LumaError& other);
  // Peak signal-to-noise ratio in dB against a peak of 255; infinite when equal.
  double psnr() const;

 private:
  uint64_t squared_ = 0;  // in millionths of a level squared
  uint64_t samples_ = 0;
};

}  // namespace qnr
