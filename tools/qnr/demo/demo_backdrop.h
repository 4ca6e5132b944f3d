// The demo scene's still backdrop (sky with clouds, hills, a house with a
// tiled roof, a sign with lettering, power lines, a tree, a road): the
// colour of any point of it, and the colour arithmetic the scene shares.
// Distances are in frame heights: (0, 0) is the backdrop's top left corner,
// y grows downwards and the frame is 1 high.
#pragma once

#include <algorithm>
#include <cstdint>

namespace qnr {

struct Rgb {
  double r, g, b;
};

inline Rgb mix(const Rgb& a, const Rgb& b, double t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

inline Rgb scale(const Rgb& c, double k) { return {c.r * k, c.g * k, c.b * k}; }

inline double clamp01(double v) { return std::clamp(v, 0.0, 1.0); }

inline double smoothstep(double edge0, double edge1, double v) {
  const double t = clamp01((v - edge0) / (edge1 - edge0));
  return t * t * (3 - 2 * t);
}

// A BGRX word, and back.
uint32_t pack(const Rgb& c);
Rgb unpack(uint32_t word);

// Where everything stands, in frame heights.
struct BackdropLayout {
  double aa = 0.001;  // a sub-sample's size, for soft line edges
  double house = 0, sign = 0, tree = 0, pole_a = 0, pole_b = 0;
};

// How wide the sign is.
inline constexpr double kSignWidth = 0.36;

// The colour at (x, y).
Rgb backdrop_colour(const BackdropLayout& at, double x, double y);

}  // namespace qnr
