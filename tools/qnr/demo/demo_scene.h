// The demo's clean clip: an outdoor scene drawn in process (sky with clouds,
// hills, a house with a tiled roof, a sign with lettering, power lines, a
// tree, a road) that the camera pans across while a ball rolls along the
// road. Smooth gradients, hard edges, fine lines and text are where a
// denoiser shows what it keeps and what it removes. The same size and frame
// count always give the same pixels.
#pragma once

#include <cstdint>
#include <vector>

namespace qnr {

struct Region {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
};

class DemoScene {
 public:
  DemoScene(int32_t width, int32_t height, int frames);

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  int frames() const { return frames_; }

  // Frame `index` as top-down BGRX words, width x height.
  void draw(int index, std::vector<uint32_t>& pixels) const;

  // A quarter of the frame's width and height around the sign in frame
  // `index`: lettering, a wire across the sky and the hills behind.
  Region detail_region(int index) const;

 private:
  int32_t camera_x(int index) const;  // the frame's left edge in the backdrop

  int32_t width_;
  int32_t height_;
  int frames_;
  int32_t pan_per_frame_;
  int32_t pan_range_;
  int32_t backdrop_width_;
  std::vector<uint32_t> backdrop_;  // everything but the ball, wider than a frame
  double sign_left_;                // in backdrop pixels
  double sign_width_;
};

}  // namespace qnr
