// Runs a fixed, seeded set of frames through the module, loaded as a host loads
// it, and prints one FNV-1a/64 hash of the output per case:
//   frame_hashes [MODULE]
// The Linux and the Windows builds print the same lines when both compute the
// same bits; a test compares the two. Exits non-zero when the module reports a
// failure or writes outside a frame's rows.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "support/hash.h"
#include "support/instance_settings.h"
#include "vdhost.h"

namespace {

using testing_frames::fnv1a64;

struct SplitMix64 {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
};

// Smooth ramps with noise on top, so both the suppression and the sharpening
// branches of the analysis see work; byte 3 carries junk the filter must ignore.
std::vector<uint32_t> make_frame(int32_t width, int32_t height, uint64_t seed) {
  SplitMix64 rng{seed};
  std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
  for (int32_t y = 0; y < height; ++y) {
    for (int32_t x = 0; x < width; ++x) {
      const uint64_t r = rng.next();
      const uint32_t noise = static_cast<uint32_t>(r & 0x3F);
      const uint32_t b = (x * 9 + y * 3 + noise) & 0xFF;
      const uint32_t g = (x * 4 + y * 7 + (noise >> 1) + ((x / 5 + y / 3) % 2) * 60) & 0xFF;
      const uint32_t red = (255 - x * 5 + y * 2 + (noise ^ 0x15)) & 0xFF;
      const uint32_t junk = static_cast<uint32_t>(r >> 56);
      pixels[static_cast<size_t>(y) * width + x] = b | g << 8 | red << 16 | junk << 24;
    }
  }
  return pixels;
}

struct Settings {
  const char* name;
  testing_frames::FilterSettings values;
};

constexpr Settings kSettings[] = {
    {"default", {70, 70, 2, 0, 0, 0}},  {"off", {0, 0, 0, 0, 0, 0}},
    {"strong", {100, 100, 6, 1, 0, 0}}, {"mixed", {30, 85, 5, 0, 0, 0}},
    {"noise", {55, 40, 3, 1, 1, 0}},    {"wild", {150, -7, 9, 2, 0, 0}},
    {"disabled", {70, 70, 2, 0, 0, 1}},
};

struct Size {
  int32_t width, height;
};
constexpr Size kSizes[] = {{1, 1}, {2, 3}, {13, 13}, {31, 17}, {64, 48}, {97, 61}};

enum class Layout { kPacked, kPadded, kTopDown };
constexpr Layout kLayouts[] = {Layout::kPacked, Layout::kPadded, Layout::kTopDown};

const char* layout_name(Layout layout) {
  switch (layout) {
    case Layout::kPacked: return "packed";
    case Layout::kPadded: return "padded";
    case Layout::kTopDown: return "topdown";
  }
  return "?";
}

int64_t pitch_for(Layout layout, int32_t width) {
  const int64_t row = int64_t{width} * 4;
  switch (layout) {
    case Layout::kPacked: return row;
    case Layout::kPadded: return row + 12;
    case Layout::kTopDown: return -(row + 4);
  }
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : QNR_MODULE_PATH;
  std::string error;
  auto module = vdhost::FilterModule::load(path, error);
  if (!module) {
    std::fprintf(stderr, "frame_hashes: %s\n", error.c_str());
    return 1;
  }
  if (module->initialise() != 0 || module->filter() == nullptr) {
    std::fprintf(stderr, "frame_hashes: %s registered no filter\n", path.c_str());
    return 1;
  }

  int failures = 0;
  uint64_t seed = 1;
  for (const Settings& settings : kSettings) {
    for (const Size& size : kSizes) {
      for (Layout layout : kLayouts) {
        vdhost::FilterInstance instance(*module, *module->filter());
        instance.init();
        if (!testing_frames::configure(instance, settings.values, error)) {
          std::fprintf(stderr, "frame_hashes: %s\n", error.c_str());
          return 1;
        }

        const int64_t pitch = pitch_for(layout, size.width);
        vdhost::Bitmap src(size.width, size.height, pitch);
        vdhost::Bitmap dst(size.width, size.height, pitch);
        src.fill_from_packed(make_frame(size.width, size.height, seed++));

        const char* problem = nullptr;
        if (instance.start(src, dst) != 0) {
          problem = "start failed";
        } else if (instance.run(src, dst) != 0) {
          problem = "run failed";
        } else if (!dst.padding_intact()) {
          problem = "wrote outside the frame rows";
        }
        instance.end();

        std::printf("%s %dx%d %s %016" PRIx64 "%s%s\n", settings.name, size.width, size.height,
                    layout_name(layout), fnv1a64(dst.packed()),
                    problem != nullptr ? " FAILED: " : "", problem != nullptr ? problem : "");
        if (problem != nullptr) ++failures;
      }
    }
  }
  return failures == 0 ? 0 : 1;
}
