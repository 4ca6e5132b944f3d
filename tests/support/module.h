// The built module, loaded and initialised through its exported entry as a host does.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/filter_config.h"
#include "vdhost.h"

namespace testing_module {

inline std::unique_ptr<vdhost::FilterModule> load_module() {
  std::string error;
  auto module = vdhost::FilterModule::load(QNR_MODULE_PATH, error);
  EXPECT_NE(module, nullptr) << error;
  if (module) {
    EXPECT_EQ(module->initialise(), 0);
  }
  return module;
}

// A fresh module and one initialised instance of its filter.
class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = load_module();
    ASSERT_NE(module_, nullptr);
    ASSERT_NE(module_->filter(), nullptr);
    instance_ = std::make_unique<vdhost::FilterInstance>(*module_, *module_->filter());
    ASSERT_EQ(instance_->init(), 0);
  }
  void TearDown() override {
    instance_.reset();
    module_.reset();
  }
  FilterConfig& config() { return *instance_->data_as<FilterConfig>(); }
  vdhost::FilterInstance& instance() { return *instance_; }

  std::unique_ptr<vdhost::FilterModule> module_;
  std::unique_ptr<vdhost::FilterInstance> instance_;
};

}  // namespace testing_module
