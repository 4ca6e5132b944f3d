#include "demo/demo_backdrop.h"

#include <algorithm>
#include <cmath>
#include <string_view>

#include "demo/pixel_font.h"

namespace qnr {

uint32_t pack(const Rgb& c) {
  const auto byte = [](double v) { return static_cast<uint32_t>(std::lround(clamp01(v) * 255)); };
  return byte(c.b) | byte(c.g) << 8 | byte(c.r) << 16;
}

Rgb unpack(uint32_t word) {
  return {((word >> 16) & 0xFF) / 255.0, ((word >> 8) & 0xFF) / 255.0, (word & 0xFF) / 255.0};
}

namespace {

// Lattice value noise and its sum over octaves: soft natural variation.
double lattice(int32_t i, int32_t j) {
  uint32_t h = static_cast<uint32_t>(i) * 374761393u + static_cast<uint32_t>(j) * 668265263u;
  h = (h ^ (h >> 13)) * 1274126177u;
  h ^= h >> 16;
  return h * (1.0 / 4294967296.0);
}

double value_noise(double x, double y) {
  const double fx = std::floor(x), fy = std::floor(y);
  const auto i = static_cast<int32_t>(fx), j = static_cast<int32_t>(fy);
  const double tx = x - fx, ty = y - fy;
  const double sx = tx * tx * (3 - 2 * tx), sy = ty * ty * (3 - 2 * ty);
  const double top = lattice(i, j) + (lattice(i + 1, j) - lattice(i, j)) * sx;
  const double bottom = lattice(i, j + 1) + (lattice(i + 1, j + 1) - lattice(i, j + 1)) * sx;
  return top + (bottom - top) * sy;
}

double fbm(double x, double y, int octaves) {
  double sum = 0, amplitude = 0.5, total = 0;
  for (int o = 0; o < octaves; ++o) {
    sum += amplitude * value_noise(x, y);
    total += amplitude;
    x = x * 2.03 + 17.1;
    y = y * 2.03 + 5.7;
    amplitude *= 0.5;
  }
  return sum / total;
}

// Coverage of a line of half width `half` at distance `d`, soft over `aa`.
double line_cover(double d, double half, double aa) { return clamp01((half - d) / aa + 0.5); }

bool inside(double x, double y, double left, double top, double right, double bottom) {
  return x >= left && x < right && y >= top && y < bottom;
}

constexpr std::string_view kSignTitle = "FRESH BREAD";
constexpr std::string_view kSignSubtitle = "OPEN DAILY 7-18";

constexpr double kSignTop = 0.40, kSignBottom = 0.53;
constexpr double kGround = 0.76;  // where house, posts and trunk meet the lawn

Rgb sky(const BackdropLayout&, double x, double y) {
  const Rgb top{0.22, 0.42, 0.78}, horizon{0.80, 0.87, 0.94};
  Rgb c = mix(top, horizon, std::pow(clamp01(y / 0.55), 0.8));
  // A soft glow where the sun stands, out of the picture above.
  const double dx = x - 0.9, dy = y + 0.15;
  const double glow = 0.22 * std::exp(-(dx * dx + dy * dy) / 0.18);
  c = {c.r + glow, c.g + glow * 0.9, c.b + glow * 0.6};
  if (y < 0.5) {
    const double cloud = fbm(x * 2.2 + 3.0, y * 6.5, 4);
    const double alpha = smoothstep(0.50, 0.72, cloud) * (1 - smoothstep(0.22, 0.42, y));
    const Rgb white = mix(Rgb{0.98, 0.98, 0.97}, Rgb{0.72, 0.75, 0.82}, clamp01((cloud - 0.6) * 3));
    c = mix(c, white, alpha);
  }
  return c;
}

double far_ridge(double x) {
  return 0.47 + 0.035 * std::sin(x * 2.1 + 1.0) + 0.02 * std::sin(x * 5.3 + 0.4) +
         0.006 * std::sin(x * 13.0 + 2.0);
}

double near_ridge(double x) {
  return 0.58 + 0.03 * std::sin(x * 1.3 + 2.0) + 0.012 * std::sin(x * 3.7);
}

Rgb landscape(const BackdropLayout& at, double x, double y) {
  Rgb c = sky(at, x, y);
  const double far = far_ridge(x);
  if (y >= far) {
    const Rgb hazy{0.58, 0.64, 0.74}, deeper{0.42, 0.52, 0.56};
    c = mix(c, mix(hazy, deeper, clamp01((y - far) / 0.12)), line_cover(far - y, 0, at.aa));
  }
  const double near = near_ridge(x);
  if (y >= near) {
    const double texture = fbm(x * 4.0, y * 9.0, 3) - 0.5;
    const Rgb grass = mix(Rgb{0.45, 0.62, 0.30}, Rgb{0.24, 0.42, 0.18}, clamp01((y - near) / 0.3));
    c = mix(c, scale(grass, 1 + 0.10 * texture), line_cover(near - y, 0, at.aa));
  }
  return c;
}

Rgb with_poles_and_wires(const BackdropLayout& at, double x, double y, Rgb c) {
  const double top = 0.30;
  for (const double pole : {at.pole_a, at.pole_b}) {
    if (y >= top - 0.01 && y < kGround) {
      const double cover = line_cover(std::abs(x - pole), 0.004, at.aa);
      if (cover > 0)
        c = mix(c, mix(Rgb{0.30, 0.22, 0.15}, Rgb{0.18, 0.13, 0.09}, (x - pole) / 0.008 + 0.5),
                cover);
    }
    if (std::abs(y - (top + 0.004)) < 0.004 && std::abs(x - pole) < 0.05) c = Rgb{0.22, 0.16, 0.11};
  }
  // Two wires that sag between the poles, about a pixel thick.
  if (x > at.pole_a && x < at.pole_b) {
    const double t = (x - at.pole_a) / (at.pole_b - at.pole_a);
    for (const double offset : {-0.03, 0.03}) {
      const double sag = 0.05 + offset * 0.2;
      const double wire_y = top + 0.002 + sag * 4 * t * (1 - t) + 0.1 * offset * offset;
      const double slope = sag * 4 * (1 - 2 * t) / (at.pole_b - at.pole_a);
      const double d = std::abs(y - wire_y) / std::sqrt(1 + slope * slope);
      const double cover = line_cover(d, 0.0009, at.aa);
      if (cover > 0) c = mix(c, Rgb{0.25, 0.25, 0.27}, cover);
    }
  }
  return c;
}

Rgb house(const BackdropLayout& at, double x, double y, Rgb c) {
  const double left = at.house, right = at.house + 0.54;
  const double eaves = 0.40, ridge = 0.25;
  // Roof: a trapezoid of terracotta tiles in rows.
  if (y >= ridge && y < eaves) {
    const double t = (y - ridge) / (eaves - ridge);
    const double roof_left = left + 0.10 - 0.13 * t, roof_right = right - 0.10 + 0.13 * t;
    const double cover =
        std::min(line_cover(roof_left - x, 0, at.aa), line_cover(x - roof_right, 0, at.aa));
    if (cover > 0) {
      const double row = (y - ridge) / 0.02;
      const double in_row = row - std::floor(row);
      Rgb tile = mix(Rgb{0.72, 0.34, 0.22}, Rgb{0.52, 0.22, 0.15}, in_row);
      tile = mix(tile, Rgb{0.46, 0.21, 0.14}, line_cover(in_row * 0.02, 0.0015, at.aa));
      c = mix(c, tile, cover);
    }
  }
  // Chimney.
  if (inside(x, y, left + 0.38, 0.21, left + 0.43, ridge + 0.05)) {
    c = mix(Rgb{0.55, 0.30, 0.24}, Rgb{0.40, 0.20, 0.16}, (x - left - 0.38) / 0.05);
  }
  if (!inside(x, y, left, eaves, right, kGround)) return c;
  // Walls: warm plaster, lit from the left, a shadow under the eaves.
  const double plaster = fbm(x * 30.0, y * 30.0, 2) - 0.5;
  Rgb wall = mix(Rgb{0.93, 0.87, 0.72}, Rgb{0.80, 0.72, 0.58}, (x - left) / 0.54);
  wall = scale(wall, (1 + 0.04 * plaster) * (0.78 + 0.22 * smoothstep(eaves, eaves + 0.04, y)));
  c = wall;
  const auto window = [&](double wl, double wr, double wt, double wb) {
    if (!inside(x, y, wl, wt, wr, wb)) return;
    const double frame = 0.008;
    if (inside(x, y, wl + frame, wt + frame, wr - frame, wb - frame)) {
      // Glass mirrors the sky: light above, dark below, with a bright streak.
      Rgb glass = mix(Rgb{0.62, 0.72, 0.84}, Rgb{0.32, 0.40, 0.50}, (y - wt) / (wb - wt));
      const double streak = std::abs((x - wl) - 0.6 * (y - wt) - 0.02);
      glass = mix(glass, Rgb{0.85, 0.90, 0.95}, 0.5 * line_cover(streak, 0.006, 0.004));
      const double mid_x = (wl + wr) / 2, mid_y = (wt + wb) / 2;
      const double bar = std::min(std::abs(x - mid_x), std::abs(y - mid_y));
      c = mix(glass, Rgb{0.90, 0.90, 0.88}, line_cover(bar, 0.002, at.aa));
    } else {
      c = Rgb{0.90, 0.90, 0.88};
    }
  };
  window(left + 0.04, left + 0.13, 0.47, 0.60);
  window(left + 0.16, left + 0.25, 0.47, 0.60);
  window(left + 0.43, left + 0.51, 0.47, 0.60);
  // Door: planks with dark joints, and a brass knob.
  if (inside(x, y, left + 0.29, 0.53, left + 0.39, kGround)) {
    const double plank = std::fmod(x - left - 0.29, 0.025);
    c = mix(Rgb{0.45, 0.26, 0.14}, Rgb{0.36, 0.20, 0.11}, plank / 0.025);
    c = mix(c, Rgb{0.20, 0.11, 0.06}, line_cover(std::min(plank, 0.025 - plank), 0.0012, at.aa));
    const double kx = x - (left + 0.37), ky = y - 0.655;
    if (kx * kx + ky * ky < 0.006 * 0.006)
      c = mix(Rgb{0.95, 0.82, 0.45}, Rgb{0.60, 0.45, 0.15}, (kx + ky) / 0.012 + 0.5);
  }
  return c;
}

Rgb sign(const BackdropLayout& at, double x, double y, Rgb c) {
  const double left = at.sign, right = at.sign + kSignWidth;
  for (const double post : {left + 0.04, right - 0.04}) {
    if (inside(x, y, post - 0.006, kSignBottom, post + 0.006, kGround)) {
      c = mix(Rgb{0.50, 0.36, 0.22}, Rgb{0.30, 0.21, 0.13}, (x - post) / 0.012 + 0.5);
    }
  }
  if (!inside(x, y, left, kSignTop, right, kSignBottom)) return c;
  const double border = 0.007;
  if (!inside(x, y, left + border, kSignTop + border, right - border, kSignBottom - border)) {
    return Rgb{0.22, 0.44, 0.30};
  }
  // Painted board, a little brighter at the top, with two lines of lettering.
  c = mix(Rgb{0.97, 0.95, 0.88}, Rgb{0.90, 0.87, 0.78}, (y - kSignTop) / (kSignBottom - kSignTop));
  const Rgb ink{0.20, 0.42, 0.28};
  const auto lettering = [&](std::string_view text, double cell, double top) {
    const double text_left = (left + right) / 2 - text_cells(text) * cell / 2;
    if (text_ink(text, (x - text_left) / cell, (y - top) / cell)) c = ink;
  };
  lettering(kSignTitle, 0.0046, kSignTop + 0.022);
  lettering(kSignSubtitle, 0.0024, kSignTop + 0.076);
  return c;
}

Rgb tree(const BackdropLayout& at, double x, double y, Rgb c) {
  const double trunk_x = at.tree, crown_y = 0.40, radius = 0.13;
  const double half = 0.012 + 0.006 * smoothstep(0.45, kGround, y);
  if (y >= crown_y && y < kGround && std::abs(x - trunk_x) < half) {
    c = mix(Rgb{0.42, 0.30, 0.20}, Rgb{0.22, 0.15, 0.10}, (x - trunk_x) / (2 * half) + 0.5);
  }
  const double dx = x - trunk_x, dy = y - crown_y;
  const double ragged =
      std::sqrt(dx * dx + dy * dy) / radius + 0.5 * (fbm(x * 14, y * 14, 3) - 0.5);
  if (ragged < 1.0) {
    const double leaves = fbm(x * 25, y * 25, 3);
    const double light = clamp01(0.55 - 1.8 * (dx + dy));  // lit from the top left
    Rgb crown = mix(Rgb{0.10, 0.26, 0.10}, Rgb{0.36, 0.55, 0.22},
                    clamp01(light * 0.8 + (leaves - 0.5) * 1.2));
    c = mix(c, crown, line_cover(ragged - 1.0, 0, at.aa * 4 / radius));
  }
  return c;
}

// A country road from the lawn's edge to the bottom of the frame, with a
// worn centre line.
Rgb road(const BackdropLayout& at, double x, double y, Rgb c) {
  constexpr double kEdge = 0.82;
  if (y < kEdge - 0.01) return c;
  Rgb asphalt = mix(Rgb{0.44, 0.44, 0.45}, Rgb{0.33, 0.33, 0.35}, clamp01((y - kEdge) / 0.18));
  asphalt = scale(asphalt, 1 + 0.05 * (fbm(x * 12, y * 30, 2) - 0.5));
  const double dash = std::fmod(x + 100.0, 0.16);
  if (dash < 0.09) {
    asphalt = mix(asphalt, Rgb{0.66, 0.66, 0.62}, line_cover(std::abs(y - 0.905), 0.004, at.aa));
  }
  return mix(c, asphalt, line_cover(kEdge - y, 0, 0.004));
}

}  // namespace

Rgb backdrop_colour(const BackdropLayout& at, double x, double y) {
  Rgb c = landscape(at, x, y);
  c = with_poles_and_wires(at, x, y, c);
  c = tree(at, x, y, c);
  c = house(at, x, y, c);
  c = sign(at, x, y, c);
  return road(at, x, y, c);
}

}  // namespace qnr
