// A small frei0r host: it opens a plug-in with dlopen, resolves its entry
// points by name and calls them as the frei0r header lays them out, on packed
// frames (stride width x 4, top row first).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <frei0r.h>
}

namespace frei0r_testing {

struct Frei0rPlugin {
  // Null with a message in `error` when the file is not a frei0r plug-in.
  static std::unique_ptr<Frei0rPlugin> open(const std::string& path, std::string& error);
  ~Frei0rPlugin();

  void* handle = nullptr;
  int (*init)();
  void (*deinit)();
  void (*get_plugin_info)(f0r_plugin_info_t*);
  void (*get_param_info)(f0r_param_info_t*, int);
  f0r_instance_t (*construct)(unsigned, unsigned);
  void (*destruct)(f0r_instance_t);
  void (*set_param_value)(f0r_instance_t, f0r_param_t, int);
  void (*get_param_value)(f0r_instance_t, f0r_param_t, int);
  void (*update)(f0r_instance_t, double, const uint32_t*, uint32_t*);
};

// One instance, destroyed with the object.
class Frei0rInstance {
 public:
  Frei0rInstance(const Frei0rPlugin& plugin, unsigned width, unsigned height)
      : plugin_(plugin), instance_(plugin.construct(width, height)) {}
  ~Frei0rInstance() {
    if (instance_ != nullptr) plugin_.destruct(instance_);
  }
  Frei0rInstance(const Frei0rInstance&) = delete;
  Frei0rInstance& operator=(const Frei0rInstance&) = delete;

  f0r_instance_t get() const { return instance_; }
  void set(int index, double value) { plugin_.set_param_value(instance_, &value, index); }
  double get(int index) const {
    double value = -1;
    plugin_.get_param_value(instance_, &value, index);
    return value;
  }
  // Filters frames of the construction size one after another, through
  // 16-byte-aligned buffers as the header asks.
  std::vector<uint32_t> filter(const std::vector<uint32_t>& frames, size_t pixels_per_frame,
                               double time = 0.0);

 private:
  const Frei0rPlugin& plugin_;
  f0r_instance_t instance_;
};

}  // namespace frei0r_testing
