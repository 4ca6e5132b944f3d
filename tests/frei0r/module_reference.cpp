#include "module_reference.h"

#include <algorithm>

#include "support/instance_settings.h"

namespace frei0r_testing {

std::unique_ptr<ModuleReference> ModuleReference::load(const std::string& path,
                                                       std::string& error) {
  auto module = vdhost::FilterModule::load(path, error);
  if (!module) return nullptr;
  if (module->initialise() != 0 || module->filter() == nullptr) {
    error = path + ": the module registered no filter";
    return nullptr;
  }
  std::unique_ptr<ModuleReference> reference(new ModuleReference);
  reference->module_ = std::move(module);
  return reference;
}

std::vector<uint32_t> ModuleReference::filter(const std::vector<uint32_t>& frames, int32_t width,
                                              int32_t height, const ModuleSettings& settings) {
  vdhost::FilterInstance instance(*module_, *module_->filter());
  instance.init();
  std::string error;
  testing_frames::configure(instance, settings, error);

  const int64_t pitch = (int64_t{width} * 4 + 15) & ~int64_t{15};
  vdhost::Bitmap src(width, height, pitch), dst(width, height, pitch);
  instance.start(src, dst);
  const size_t pixels = static_cast<size_t>(width) * height;
  std::vector<uint32_t> out(frames.size());
  for (size_t first = 0; first + pixels <= frames.size() && pixels > 0; first += pixels) {
    // The host's rows go bottom-up: the picture's top row has the highest address.
    for (int32_t r = 0; r < height; ++r)
      std::copy_n(&frames[first + size_t(r) * width], width, src.row(height - 1 - r));
    instance.run(src, dst);
    for (int32_t r = 0; r < height; ++r) {
      const uint32_t* filtered = dst.row(height - 1 - r);
      for (int32_t x = 0; x < width; ++x) {
        const size_t i = first + size_t(r) * width + x;
        out[i] = (filtered[x] & 0x00FFFFFFu) | (frames[i] & 0xFF000000u);
      }
    }
  }
  instance.end();
  return out;
}

}  // namespace frei0r_testing
