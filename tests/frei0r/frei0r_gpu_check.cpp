// qnr.so on a machine's GPU against the module, for the GPU check: the same
// frames through qnr.so in a frei0r host of our own and through the module in
// our VirtualDub-style host must come out byte for byte the same, and both
// must be the kernel's output (the module's bits on the GPU road), not the
// CPU path's.
//
//   frei0r_gpu_check [QNR_SO [QNR_CUDA.vdf]]
//
// By default both are found beside this program (frei0r-1/qnr.so and
// QNR_CUDA.vdf). Exits 0 when every size agrees and took the GPU, else 1.
// QNR_GPU_CHECK_QUICK=1 keeps the frames small (the dry run on the fake driver).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "frei0r_host.h"
#include "gpu/kernel_emulation.h"
#include "gpu/program_folder.h"
#include "module_reference.h"

namespace {

using frei0r_testing::Frei0rInstance;
using frei0r_testing::Frei0rPlugin;
using frei0r_testing::ModuleReference;

// What the module gives on the GPU road for top-down frames handed over as
// bottom-up bitmaps, as our host hands them: the kernel runs on the rows in
// address order, so the picture is flipped on the way in and out. Alpha is
// the input's, as qnr.so and the reference keep it.
std::vector<uint32_t> kernel_output(const std::vector<uint32_t>& frames, int width, int height) {
  const size_t pixels = static_cast<size_t>(width) * height;
  const uint64_t pitch = 4 * static_cast<uint64_t>(width);
  std::vector<uint32_t> out(frames.size()), in_rows(pixels), out_rows(pixels);
  const KernelSettings settings{width, height, 70, 70, 2, 0, 0};
  for (size_t first = 0; first + pixels <= frames.size(); first += pixels) {
    for (int r = 0; r < height; ++r) {
      std::memcpy(&in_rows[size_t(height - 1 - r) * width], &frames[first + size_t(r) * width],
                  4 * size_t(width));
    }
    emulate_qnr_kernel(static_cast<unsigned>((width + 15) / 16),
                       static_cast<unsigned>((height + 15) / 16),
                       reinterpret_cast<const uint8_t*>(in_rows.data()), pitch,
                       reinterpret_cast<uint8_t*>(out_rows.data()), pitch, settings);
    for (int r = 0; r < height; ++r) {
      for (int x = 0; x < width; ++x) {
        const size_t i = first + size_t(r) * width + x;
        out[i] = (out_rows[size_t(height - 1 - r) * width + x] & 0x00FFFFFFu) |
                 (frames[i] & 0xFF000000u);
      }
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string plugin_path =
      argc > 1 ? argv[1] : gpu_test::beside_this_program("frei0r-1/qnr.so");
  const std::string module_path =
      argc > 2 ? argv[2] : gpu_test::beside_this_program("QNR_CUDA.vdf");
  std::string error;
  const auto plugin = Frei0rPlugin::open(plugin_path, error);
  if (!plugin || plugin->init() != 1) {
    std::printf("qnr.so: cannot open %s: %s\n", plugin_path.c_str(), error.c_str());
    return 1;
  }
  const auto reference = ModuleReference::load(module_path, error);
  if (!reference) {
    std::printf("qnr.so: cannot load the module %s: %s\n", module_path.c_str(), error.c_str());
    return 1;
  }
  const char* quick = std::getenv("QNR_GPU_CHECK_QUICK");
  const std::vector<std::pair<int, int>> sizes =
      quick != nullptr && std::strcmp(quick, "1") == 0
          ? std::vector<std::pair<int, int>>{{97, 61}, {33, 17}}
          : std::vector<std::pair<int, int>>{{1920, 1080}, {97, 61}, {33, 17}};
  constexpr int kFrames = 3;
  bool all_good = true;
  std::mt19937 rng(19);
  for (const auto& [w, h] : sizes) {
    const size_t pixels = static_cast<size_t>(w) * h;
    std::vector<uint32_t> frames(pixels * kFrames);
    for (uint32_t& px : frames) px = rng();
    Frei0rInstance instance(*plugin, w, h);
    const std::vector<uint32_t> from_plugin = instance.filter(frames, pixels);
    const std::vector<uint32_t> from_module = reference->filter(frames, w, h, {});
    const bool same = from_plugin == from_module;
    const bool on_gpu = from_module == kernel_output(frames, w, h);
    all_good &= same && on_gpu;
    std::printf("qnr.so %4dx%-4d x%d frames: %s the module's; the module's are %s\n", w, h, kFrames,
                same ? "equal to" : "DIFFER from",
                on_gpu ? "the kernel's (GPU road)" : "NOT the kernel's (not the GPU road)");
  }
  plugin->deinit();
  return all_good ? 0 : 1;
}
