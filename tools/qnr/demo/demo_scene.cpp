#include "demo/demo_scene.h"

#include <algorithm>
#include <cmath>
#include <thread>

#include "base/machine.h"
#include "demo/demo_backdrop.h"

namespace qnr {

namespace {

// A beach ball with six coloured panels, lit from the top left, turning as it rolls.
struct Ball {
  double cx, cy, radius;  // pixels
  double turn;            // radians
};

Rgb ball_colour(const Ball& ball, double x, double y) {
  const double nx = (x - ball.cx) / ball.radius, ny = (y - ball.cy) / ball.radius;
  const double nz = std::sqrt(std::max(0.0, 1 - nx * nx - ny * ny));
  static const Rgb panels[] = {{0.85, 0.12, 0.10}, {0.96, 0.95, 0.92}, {0.10, 0.35, 0.80},
                               {0.98, 0.80, 0.10}, {0.96, 0.95, 0.92}, {0.10, 0.62, 0.30}};
  const double angle = std::atan2(ny, nx) + ball.turn;
  const double turns = angle / (2 * 3.14159265358979) * 6;
  const int panel = static_cast<int>(std::floor(turns)) % 6;
  const Rgb base = panels[(panel + 6) % 6];
  const double lambert = std::max(0.0, -0.5 * nx - 0.6 * ny + 0.62 * nz);
  const double highlight = std::pow(std::max(0.0, -0.35 * nx - 0.45 * ny + 0.82 * nz), 40);
  Rgb c = scale(base, 0.25 + 0.8 * lambert);
  return {c.r + 0.6 * highlight, c.g + 0.6 * highlight, c.b + 0.6 * highlight};
}

void draw_ball(const Ball& ball, int32_t width, int32_t height, uint32_t* pixels) {
  // Its shadow on the road first: a soft ellipse under the ball.
  const double shadow_y = ball.cy + ball.radius * 0.95;
  const int32_t x0 = std::max(0, static_cast<int32_t>(ball.cx - ball.radius * 1.3));
  const int32_t x1 = std::min(width, static_cast<int32_t>(ball.cx + ball.radius * 1.3) + 1);
  const int32_t y0 = std::max(0, static_cast<int32_t>(ball.cy - ball.radius) - 1);
  const int32_t y1 = std::min(height, static_cast<int32_t>(shadow_y + ball.radius * 0.3) + 1);
  for (int32_t y = y0; y < y1; ++y) {
    for (int32_t x = x0; x < x1; ++x) {
      uint32_t& out = pixels[size_t(y) * size_t(width) + size_t(x)];
      const double ex = (x + 0.5 - ball.cx) / (ball.radius * 1.2);
      const double ey = (y + 0.5 - shadow_y) / (ball.radius * 0.22);
      const double shadow = 0.55 * (1 - smoothstep(0.5, 1.0, ex * ex + ey * ey));
      Rgb c = scale(unpack(out), 1 - shadow);
      // 3 x 3 samples a pixel, so the panel edges and the outline are smooth.
      Rgb sum{0, 0, 0};
      double cover = 0;
      for (int sy = 0; sy < 3; ++sy) {
        for (int sx = 0; sx < 3; ++sx) {
          const double px = x + (sx + 0.5) / 3, py = y + (sy + 0.5) / 3;
          const double dx = px - ball.cx, dy = py - ball.cy;
          if (dx * dx + dy * dy >= ball.radius * ball.radius) continue;
          const Rgb b = ball_colour(ball, px, py);
          sum = {sum.r + b.r, sum.g + b.g, sum.b + b.b};
          cover += 1;
        }
      }
      if (cover > 0) c = mix(c, scale(sum, 1 / cover), cover / 9);
      out = pack(c);
    }
  }
}

}  // namespace

DemoScene::DemoScene(int32_t width, int32_t height, int frames)
    : width_(width), height_(height), frames_(std::max(frames, 1)) {
  // The camera pans about 50 pixels a second at 720p, and back again when
  // a long clip would carry it further than half a frame.
  pan_per_frame_ = std::max<int32_t>(1, static_cast<int32_t>(std::lround(height / 360.0)));
  pan_range_ =
      static_cast<int32_t>(std::min<int64_t>(int64_t{pan_per_frame_} * (frames_ - 1), width / 2));
  backdrop_width_ = width + pan_range_;

  BackdropLayout at;
  const double h = height;
  at.aa = 0.5 / h;
  // Placed against the middle frame, so the whole set is in view there.
  const double view = camera_x(frames_ / 2) / h, wide = width / h;
  at.house = view + 0.06 * wide;
  at.sign = view + 0.53 * wide;
  at.tree = view + 0.85 * wide;
  at.pole_a = view + 0.03 * wide;
  at.pole_b = view + 0.97 * wide;
  sign_left_ = at.sign * h;
  sign_width_ = kSignWidth * h;

  // 2 x 2 samples a pixel. Rows are independent: share them among the cores.
  backdrop_.resize(size_t(backdrop_width_) * size_t(height));
  const unsigned cores = static_cast<unsigned>(processor_count(8));
  std::vector<std::thread> workers;
  for (unsigned w = 0; w < cores; ++w) {
    workers.emplace_back([&, w] {
      for (int32_t y = static_cast<int32_t>(w); y < height; y += static_cast<int32_t>(cores)) {
        for (int32_t x = 0; x < backdrop_width_; ++x) {
          Rgb sum{0, 0, 0};
          for (int s = 0; s < 4; ++s) {
            const Rgb c = backdrop_colour(at, (x + 0.25 + 0.5 * (s & 1)) / h,
                                          (y + 0.25 + 0.5 * (s >> 1)) / h);
            sum = {sum.r + c.r, sum.g + c.g, sum.b + c.b};
          }
          backdrop_[size_t(y) * size_t(backdrop_width_) + size_t(x)] = pack(scale(sum, 0.25));
        }
      }
    });
  }
  for (auto& worker : workers) worker.join();
}

int32_t DemoScene::camera_x(int index) const {
  if (pan_range_ == 0) return 0;
  const int64_t travelled = int64_t{index} * pan_per_frame_ % (2 * int64_t{pan_range_});
  return static_cast<int32_t>(travelled <= pan_range_ ? travelled : 2 * pan_range_ - travelled);
}

void DemoScene::draw(int index, std::vector<uint32_t>& pixels) const {
  pixels.resize(size_t(width_) * size_t(height_));
  const int32_t left = camera_x(index);
  for (int32_t y = 0; y < height_; ++y) {
    std::copy_n(&backdrop_[size_t(y) * size_t(backdrop_width_) + size_t(left)], width_,
                &pixels[size_t(y) * size_t(width_)]);
  }
  // The ball crosses the frame from left to right over the clip.
  const double travel = frames_ > 1 ? static_cast<double>(index) / (frames_ - 1) : 0.5;
  Ball ball;
  ball.radius = 0.055 * height_;
  ball.cx = width_ * (0.08 + 0.84 * travel);
  ball.cy = 0.965 * height_ - ball.radius;
  ball.turn = -(ball.cx + left) / ball.radius;
  draw_ball(ball, width_, height_, pixels.data());
}

Region DemoScene::detail_region(int index) const {
  Region region;
  region.width = std::max(1, width_ / 4);
  region.height = std::max(1, height_ / 4);
  const double centre = sign_left_ + sign_width_ / 2 - camera_x(index);
  region.x = std::clamp(static_cast<int32_t>(std::lround(centre - region.width / 2.0)), 0,
                        width_ - region.width);
  region.y =
      std::clamp(static_cast<int32_t>(std::lround(0.30 * height_)), 0, height_ - region.height);
  return region;
}

}  // namespace qnr
