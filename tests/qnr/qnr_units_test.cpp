// The pieces of qnr that decide things on their own: the settings-line
// reader, the reading of ffprobe's report, and the encoder's command line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "script_line.h"

namespace qnr {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(ScriptLine, ReadsTheLinesHostsStore) {
  ScriptCall call;
  std::string error;
  ASSERT_TRUE(parse_script_line("  Config( 70 , -3,+2,0,2147483647 ) ", call, error)) << error;
  EXPECT_EQ(call.name, "Config");
  EXPECT_THAT(call.arguments, ElementsAre(70, -3, 2, 0, 2147483647));
  ASSERT_TRUE(parse_script_line("VirtualDub.video.filters.instance[12].Config(1,2,3,4,-2147483648)",
                                call, error)) << error;
  EXPECT_THAT(call.arguments, ElementsAre(1, 2, 3, 4, -2147483648));
  ASSERT_TRUE(parse_script_line("Reset();", call, error)) << error;
  EXPECT_EQ(call.name, "Reset");
  EXPECT_TRUE(call.arguments.empty());
}

TEST(ScriptLine, RejectsWhatAHostWouldNotRun) {
  ScriptCall call;
  std::string error;
  for (const char* line : {"Config 70,70,2,0,1", "(70)", "Config(70,,2)", "Config(70,70,2,0,1);;",
                           "Config(2147483648)", "Config(0x10)", "Config(-)", "9Config(1)",
                           "VirtualDub.video.filters.instance[x].Config(1)"}) {
    EXPECT_FALSE(parse_script_line(line, call, error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
}

}  // namespace
}  // namespace qnr
