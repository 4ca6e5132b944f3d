#include "frei0r_host.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>

namespace frei0r_testing {

namespace {
template <class F> bool resolve(void* handle, const char* name, F& out, std::string& missing) {
  out = reinterpret_cast<F>(dlsym(handle, name));
  if (out == nullptr) missing += std::string(missing.empty() ? "" : ", ") + name;
  return out != nullptr;
}

struct AlignedFree {
  void operator()(uint32_t* p) const { std::free(p); }
};
using AlignedFrame = std::unique_ptr<uint32_t, AlignedFree>;
AlignedFrame aligned_frame(size_t pixels) {
  const size_t bytes = std::max<size_t>((pixels * 4 + 15) & ~size_t{15}, 16);
  return AlignedFrame(static_cast<uint32_t*>(std::aligned_alloc(16, bytes)));
}
}  // namespace

std::unique_ptr<Frei0rPlugin> Frei0rPlugin::open(const std::string& path, std::string& error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    error = why != nullptr ? why : path + ": cannot load";
    return nullptr;
  }
  auto plugin = std::make_unique<Frei0rPlugin>();
  plugin->handle = handle;
  std::string missing;
  resolve(handle, "f0r_init", plugin->init, missing);
  resolve(handle, "f0r_deinit", plugin->deinit, missing);
  resolve(handle, "f0r_get_plugin_info", plugin->get_plugin_info, missing);
  resolve(handle, "f0r_get_param_info", plugin->get_param_info, missing);
  resolve(handle, "f0r_construct", plugin->construct, missing);
  resolve(handle, "f0r_destruct", plugin->destruct, missing);
  resolve(handle, "f0r_set_param_value", plugin->set_param_value, missing);
  resolve(handle, "f0r_get_param_value", plugin->get_param_value, missing);
  resolve(handle, "f0r_update", plugin->update, missing);
  if (!missing.empty()) {
    error = path + " lacks " + missing;
    return nullptr;
  }
  return plugin;
}

Frei0rPlugin::~Frei0rPlugin() {
  if (handle != nullptr) dlclose(handle);
}

std::vector<uint32_t> Frei0rInstance::filter(const std::vector<uint32_t>& frames,
                                             size_t pixels_per_frame, double time) {
  std::vector<uint32_t> out(frames.size());
  AlignedFrame in = aligned_frame(pixels_per_frame);
  AlignedFrame result = aligned_frame(pixels_per_frame);
  for (size_t first = 0; first + pixels_per_frame <= frames.size() && pixels_per_frame > 0;
       first += pixels_per_frame) {
    std::copy_n(&frames[first], pixels_per_frame, in.get());
    plugin_.update(instance_, time, in.get(), result.get());
    std::copy_n(result.get(), pixels_per_frame, &out[first]);
    time += 0.04;
  }
  return out;
}

}  // namespace frei0r_testing
