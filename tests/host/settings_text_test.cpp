// The settings text: the script command that restores five settings, the
// command line the host stores in its scripts, and the filter-list summary,
// all reached through the module's definition and script table as a host
// reaches them.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "host/filter_config.h"
#include "vdhost.h"
#if defined(_WIN32)
#include <windows.h>
#else
#include "win32_standin_testing.h"
#endif

namespace {

constexpr char kCanary = 0x5A;

class SettingsTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    module_ = vdhost::FilterModule::load(QNR_MODULE_PATH, error);
    ASSERT_NE(module_, nullptr) << error;
    ASSERT_EQ(module_->initialise(), 0);
    ASSERT_NE(module_->filter(), nullptr);
  }
  void TearDown() override {
#if !defined(_WIN32)
    qnr_standin_set_processor_count(0);
#endif
  }

  // On Windows the system's own processor count stands.
  std::unique_ptr<vdhost::FilterInstance> new_instance([[maybe_unused]] DWORD processors) {
#if !defined(_WIN32)
    qnr_standin_set_processor_count(processors);
#endif
    auto instance = std::make_unique<vdhost::FilterInstance>(*module_, *module_->filter());
    EXPECT_EQ(instance->init(), 0);
    return instance;
  }

  static void config(vdhost::FilterInstance& instance, std::array<int32_t, 5> values) {
    std::string error;
    ASSERT_TRUE(instance.call_script("Config", values, error)) << error;
  }

  static std::string script_line(vdhost::FilterInstance& instance) {
    std::string text;
    EXPECT_TRUE(instance.script_string(text));
    return text;
  }

  // Calls the script-string callback on a buffer of `length` bytes followed by
  // canary bytes; returns the callback's result.
  bool script_string_into(vdhost::FilterInstance& instance, std::string& buffer, int32_t length) {
    buffer.assign(static_cast<size_t>(length) + 16, kCanary);
    return instance.definition().script_string(&instance.activation(), module_->functions(),
                                               buffer.data(), length);
  }

  std::unique_ptr<vdhost::FilterModule> module_;
};

#if !defined(_WIN32)
TEST_F(SettingsTextTest, DefaultsFollowTheProcessorCount) {
  auto many = new_instance(4);
  EXPECT_EQ(script_line(*many), "Config(70,70,2,0,1)");
  EXPECT_EQ(many->list_string(), " (F1-70,F2-70,S-2)");

  auto one = new_instance(1);
  EXPECT_EQ(script_line(*one), "Config(70,70,2,0,0)");
  EXPECT_EQ(one->list_string(), " (F1-70,F2-70,S-2)");
}
#endif

TEST_F(SettingsTextTest, ScriptCommandStoresValuesUncheckedAndTheLineReadsThemBack) {
  auto instance = new_instance(4);
  FilterConfig* cfg = instance->data_as<FilterConfig>();
  // Settings the command does not carry keep whatever they held.
  cfg->show_noise = 1;
  cfg->disable = 7;
  const int32_t thread_count = cfg->thread_count;

  config(*instance, {150, -3, 9, 2, 0});
  EXPECT_EQ(cfg->level_f1, 150);
  EXPECT_EQ(cfg->level_f2, -3);
  EXPECT_EQ(cfg->sharp, 9);
  EXPECT_EQ(cfg->interlace, 2);
  EXPECT_EQ(cfg->multithreading, 0);
  EXPECT_EQ(cfg->show_noise, 1);
  EXPECT_EQ(cfg->disable, 7);
  EXPECT_EQ(cfg->thread_count, thread_count);

  EXPECT_EQ(script_line(*instance), "Config(150,-3,9,2,0)");
  EXPECT_EQ(instance->list_string(), " (F1-150,F2--3,S-9)");

  // Replaying the line restores the same record.
  auto replayed = new_instance(4);
  config(*replayed, {150, -3, 9, 2, 0});
  EXPECT_EQ(script_line(*replayed), script_line(*instance));
}

TEST_F(SettingsTextTest, ShortBufferGetsATruncatedLineAndNothingPastIt) {
  auto instance = new_instance(4);
  std::string buffer;
  EXPECT_TRUE(script_string_into(*instance, buffer, 10));
  EXPECT_EQ(std::string(buffer.c_str()), "Config(70");
  EXPECT_EQ(buffer[9], '\0');
  EXPECT_EQ(buffer.substr(10), std::string(16, kCanary));

  // No room at all: nothing is written, and the callback still reports a line.
  EXPECT_TRUE(script_string_into(*instance, buffer, 0));
  EXPECT_EQ(buffer, std::string(16, kCanary));
}

TEST_F(SettingsTextTest, WidestValuesFitTheirStatedBuffers) {
  auto instance = new_instance(4);
  config(*instance, {INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN});
  const std::string widest_line =
      "Config(-2147483648,-2147483648,-2147483648,-2147483648,-2147483648)";
  const std::string widest_summary = " (F1--2147483648,F2--2147483648,S--2147483648)";
  ASSERT_EQ(widest_line.size(), 67u);
  ASSERT_EQ(widest_summary.size(), 46u);

  std::string buffer;
  EXPECT_TRUE(script_string_into(*instance, buffer, 68));
  EXPECT_EQ(std::string(buffer.c_str()), widest_line);
  EXPECT_EQ(buffer.substr(68), std::string(16, kCanary));
  // One byte less cuts the last character.
  EXPECT_TRUE(script_string_into(*instance, buffer, 67));
  EXPECT_EQ(std::string(buffer.c_str()), widest_line.substr(0, 66));
  EXPECT_EQ(buffer.substr(67), std::string(16, kCanary));

  // The summary callback is given no length; 47 bytes hold the widest text.
  std::string summary(47 + 16, kCanary);
  instance->definition().string(&instance->activation(), module_->functions(), summary.data());
  EXPECT_EQ(std::string(summary.c_str()), widest_summary);
  EXPECT_EQ(summary.substr(47), std::string(16, kCanary));
}

}  // namespace
