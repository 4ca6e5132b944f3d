// The reference frame filter: for every pixel, gather the 48 samples along
// the four lines, take the correction from the shared analysis and rebuild the
// pixel. It reads as the rules do and is what faster versions are tested against.
#include "core/analysis.h"
#include "core/color.h"
#include "core/frame_filter.h"

namespace {

struct Plane {
  const uint8_t* luma;
  int32_t width;
  int32_t rows;

  // A sample outside the frame (either coordinate out of range) is the centre's luma.
  int32_t sample(int32_t x, int32_t y, int32_t centre) const {
    if (x < 0 || x >= width || y < 0 || y >= rows) return centre;
    return luma[static_cast<int64_t>(y) * width + x];
  }
};

}  // namespace

void cpu_filter_frame_plain(const CpuFilterArgs& args) {
  if (args.rows <= 0 || args.width <= 0) return;
  const AnalysisConstants constants = analysis_constants(args.level_f1, args.level_f2, args.sharp);
  const int32_t step = args.interlace != 0 ? 2 : 1;
  const Plane plane{args.luma_plane, args.width, args.rows};
  const bool show_noise = args.show_noise != 0;

  for (int32_t y = 0; y < args.rows; ++y) {
    for (int32_t x = 0; x < args.width; ++x) {
      const int32_t g = plane.sample(x, y, 0);
      int32_t horizontal[6], vertical[6], falling[6], rising[6];
      for (int32_t k = 1; k <= 6; ++k) {
        const int32_t dy = step * k;
        horizontal[k - 1] = plane.sample(x - k, y, g) + plane.sample(x + k, y, g);
        vertical[k - 1] = plane.sample(x, y - dy, g) + plane.sample(x, y + dy, g);
        falling[k - 1] = plane.sample(x - k, y - dy, g) + plane.sample(x + k, y + dy, g);
        rising[k - 1] = plane.sample(x - k, y + dy, g) + plane.sample(x + k, y - dy, g);
      }
      const int32_t d = correction_from_lines(g, horizontal, vertical, falling, rising, constants);
      const int64_t i = static_cast<int64_t>(y) * args.width + x;
      args.dst[i] = rebuild_pixel(args.src[i], d, show_noise);
    }
  }
}
