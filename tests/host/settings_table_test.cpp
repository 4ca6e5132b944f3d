// The host library's settings table against the module itself: a fresh
// instance holds the table's defaults, each setting lands where the table
// says (its place in the Config line, or the record), and reads back.
#include <gtest/gtest.h>

#include <string>

#include "support/module.h"

namespace {

using vdhost::Setting;

class SettingsTable : public testing_module::ModuleTest {
 protected:
  vdhost::ScriptCall config_line() {
    std::string line, error;
    vdhost::ScriptCall call;
    instance().script_string(line);
    EXPECT_TRUE(vdhost::parse_script_line(line, call, error)) << error;
    return call;
  }
};

TEST_F(SettingsTable, AFreshInstanceHoldsTheDefaults) {
  EXPECT_EQ(vdhost::held_settings(instance()), vdhost::default_settings());
}

TEST_F(SettingsTable, EachSettingLandsInItsPlaceAndReadsBack) {
  for (const vdhost::SettingInfo& info : vdhost::kSettingTable) {
    SCOPED_TRACE(info.name);
    TearDown();
    SetUp();
    // The maximum is no setting's default.
    const int32_t value = info.maximum;
    ASSERT_NE(value, info.default_value);
    const vdhost::ScriptCall before = config_line();
    vdhost::Settings one;
    one[info.setting] = value;
    ASSERT_EQ(vdhost::apply_settings(instance(), one), vdhost::SettingsOutcome::applied);

    const vdhost::ScriptCall after = config_line();
    ASSERT_EQ(after.arguments.size(), 5u);
    for (size_t at = 0; at < after.arguments.size(); ++at) {
      const bool here = static_cast<int>(at) == info.config_position;
      EXPECT_EQ(after.arguments[at], here ? value : before.arguments[at]) << "Config value " << at;
    }
    EXPECT_EQ(config().show_noise, info.setting == Setting::show_noise ? value : 0);
    EXPECT_EQ(config().disable, info.setting == Setting::disable ? value : 0);
    vdhost::Settings expected = vdhost::default_settings();
    expected[info.setting] = value;
    EXPECT_EQ(vdhost::held_settings(instance()), expected);
  }
}

}  // namespace
