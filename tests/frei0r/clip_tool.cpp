// Helper for the host checks: makes a raw BGRA clip and filters it through the
// module in our host, so a frei0r host's output can be compared byte for byte.
//
//   frei0r_clip_tool clip WIDTH HEIGHT FRAMES OUT.bgra
//   frei0r_clip_tool reference WIDTH HEIGHT F1 F2 SHARP INTERLACE SHOW_NOISE IN.bgra OUT.bgra
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "module_reference.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: frei0r_clip_tool clip W H FRAMES OUT\n"
               "       frei0r_clip_tool reference W H F1 F2 SHARP INTERLACE SHOW_NOISE IN OUT\n");
  return 2;
}

bool write_file(const std::string& path, const std::vector<uint32_t>& words) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(words.data()), std::streamsize(words.size() * 4));
  return bool(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "clip" && argc == 6) {
    const int w = std::atoi(argv[2]), h = std::atoi(argv[3]), frames = std::atoi(argv[4]);
    // Noise over a diagonal ramp, with random alpha, which hosts must carry through.
    std::mt19937 rng(20260);
    std::vector<uint32_t> clip;
    for (int f = 0; f < frames; ++f)
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const uint32_t ramp = uint32_t((x * 5 + y * 3 + f * 7) & 0xFF);
          const uint32_t noise = rng();
          uint32_t px = 0;
          for (int c = 0; c < 3; ++c) {
            const int v = int(ramp) + int((noise >> (8 * c)) & 0x3F) - 32;
            px |= uint32_t(v < 0 ? 0 : v > 255 ? 255 : v) << (8 * c);
          }
          clip.push_back(px | (noise & 0xFF000000u));
        }
    return write_file(argv[5], clip) ? 0 : 1;
  }
  if (command == "reference" && argc == 11) {
    const int w = std::atoi(argv[2]), h = std::atoi(argv[3]);
    frei0r_testing::ModuleSettings s{std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6]),
                                     std::atoi(argv[7]), std::atoi(argv[8])};
    std::ifstream in(argv[9], std::ios::binary);
    std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<uint32_t> frames(bytes.size() / 4);
    std::copy_n(bytes.data(), frames.size() * 4, reinterpret_cast<char*>(frames.data()));
    std::string error;
    auto reference = frei0r_testing::ModuleReference::load(QNR_MODULE_PATH, error);
    if (!reference) {
      std::fprintf(stderr, "frei0r_clip_tool: %s\n", error.c_str());
      return 1;
    }
    return write_file(argv[10], reference->filter(frames, w, h, s)) ? 0 : 1;
  }
  return usage();
}
