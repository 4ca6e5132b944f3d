// Drives the built module as a host does (tools/vdhost): load, register, one
// instance with Config(...) replayed through the script table, start, run, end.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "frames.h"
#include "vdhost.h"

namespace gpu_test {

struct ModuleHarness {
  std::unique_ptr<vdhost::FilterModule> module;
  std::unique_ptr<vdhost::FilterInstance> instance;

  // Loads the module and makes one initialised instance with these settings.
  // Show noise has no script argument; its dialog check box writes the record's
  // field, so the harness writes it the same way.
  void open(const Settings& s) {
    std::string error;
    module = vdhost::FilterModule::load(QNR_MODULE_PATH, error);
    ASSERT_NE(module, nullptr) << error;
    ASSERT_EQ(module->initialise(), 0);
    ASSERT_NE(module->filter(), nullptr);
    instance = std::make_unique<vdhost::FilterInstance>(*module, *module->filter());
    ASSERT_EQ(instance->init(), 0);
    const std::vector<int32_t> arguments = {s.f1, s.f2, s.sharp, s.interlace, 0};
    ASSERT_TRUE(instance->call_script("Config", arguments, error)) << error;
    config()->show_noise = s.show_noise;
  }

  void close() {
    instance.reset();
    module.reset();
  }

  FilterConfig* config() { return instance->data_as<FilterConfig>(); }
};

inline void put(vdhost::Bitmap& bitmap, const Frame& f) { bitmap.fill_from_packed(f.pixels); }

inline Frame get(const vdhost::Bitmap& bitmap) {
  return Frame{bitmap.width(), bitmap.height(), bitmap.packed()};
}

}  // namespace gpu_test
