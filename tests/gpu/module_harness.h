// Drives the built module as a host does (tools/vdhost): load, register, one
// instance with Config(...) replayed through the script table, start, run, end.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "frames.h"
#include "support/instance_settings.h"
#include "vdhost.h"

namespace gpu_test {

struct ModuleHarness {
  std::unique_ptr<vdhost::FilterModule> module;
  std::unique_ptr<vdhost::FilterInstance> instance;

  // Loads the module and makes one initialised instance with these settings.
  void open(const Settings& s) {
    std::string error;
    module = vdhost::FilterModule::load(QNR_MODULE_PATH, error);
    ASSERT_NE(module, nullptr) << error;
    ASSERT_EQ(module->initialise(), 0);
    ASSERT_NE(module->filter(), nullptr);
    instance = std::make_unique<vdhost::FilterInstance>(*module, *module->filter());
    ASSERT_EQ(instance->init(), 0);
    ASSERT_TRUE(testing_frames::configure(*instance, s, error)) << error;
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
