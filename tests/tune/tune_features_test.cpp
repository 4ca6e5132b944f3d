// What qnr tune tells the page about its input, through a real
// `qnr tune --no-browser` child: the decoded format and depth, the matrix and
// range the conversion reads, the field order, and whether it is a still.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "qnr_support.h"
#include "tune_support.h"

namespace qnr_test {
namespace {

struct SourceCase {
  const char* name;
  const char* lavfi;
  std::vector<std::string> ffmpeg_args;  // after the source, before the file name
  const char* facts;                     // the "source" object /api/info should hold
};

const SourceCase kSources[] = {
    {"progressive.mp4",
     "testsrc2=size=64x48:rate=25",
     {"-frames:v", "4", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-colorspace", "bt709"},
     R"j({"pixel_format":"yuv420p","bit_depth":8,"filtered_bits":8,"rgb":false,)j"
     R"j("matrix":"BT.709","range":"limited","field_order":"progressive","interlaced":false,)j"
     R"j("still":false})j"},
    {"top-first.mp4",
     "testsrc2=size=64x48:rate=25",
     {"-vf", "setfield=tff", "-frames:v", "4", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-flags",
      "+ildct+ilme"},
     R"j({"pixel_format":"yuv420p","bit_depth":8,"filtered_bits":8,"rgb":false,)j"
     R"j("matrix":"BT.601 (unmarked)","range":"limited","field_order":"top field first",)j"
     R"j("interlaced":true,"still":false})j"},
    {"bottom-first.mp4",
     "testsrc2=size=64x48:rate=25",
     {"-vf", "setfield=bff", "-frames:v", "4", "-c:v", "libx264", "-pix_fmt", "yuv420p", "-flags",
      "+ildct+ilme"},
     R"j("field_order":"bottom field first","interlaced":true)j"},
    {"ten-bit.mkv",
     "testsrc2=size=64x48:rate=25",
     {"-frames:v", "4", "-c:v", "ffv1", "-pix_fmt", "yuv422p10le", "-color_range", "pc"},
     R"j({"pixel_format":"yuv422p10le","bit_depth":10,"filtered_bits":8,"rgb":false,)j"
     R"j("matrix":"BT.601 (unmarked)","range":"full",)j"},
    {"rgb.mkv",
     "testsrc2=size=64x48:rate=25",
     {"-frames:v", "4", "-c:v", "ffv1", "-pix_fmt", "bgr0"},
     R"j({"pixel_format":"bgr0","bit_depth":8,"filtered_bits":8,"rgb":true,"matrix":"",)j"
     R"j("range":"full","field_order":"progressive")j"},
    {"still.png",
     "testsrc2=size=33x17:rate=25",
     {"-frames:v", "1"},
     R"j("rgb":true,"matrix":"","range":"full","field_order":"progressive","interlaced":false,)j"
     R"j("still":true})j"},
};

TEST(TuneFeatures, InfoDescribesTheSourcesPictures) {
  TempDir dir;
  for (const SourceCase& c : kSources) {
    const std::string path = dir / c.name;
    std::vector<std::string> args = {"-f", "lavfi", "-i", c.lavfi};
    args.insert(args.end(), c.ffmpeg_args.begin(), c.ffmpeg_args.end());
    args.push_back(path);
    ffmpeg(args);
    TuneChild tune(path);
    ASSERT_TRUE(tune.started()) << c.name;
    const httplib::Result info = tune.get("/api/info");
    ASSERT_TRUE(info && info->status == 200) << c.name;
    const size_t at = info->body.find("\"source\":");
    ASSERT_NE(at, std::string::npos) << c.name << ": " << info->body;
    const std::string source = info->body.substr(at + 9, info->body.find('}', at) - at - 8);
    EXPECT_NE(source.find(c.facts), std::string::npos) << c.name << ": " << source;
  }
}

// The value `name` has in /api/info's "start" object, as text.
std::string start_value(const std::string& info, const std::string& name) {
  const size_t start = info.find("\"start\":{");
  const size_t at = info.find("\"" + name + "\":", start);
  if (start == std::string::npos || at == std::string::npos) return "";
  const size_t from = at + name.size() + 3;
  return info.substr(from, info.find_first_of(",}", from) - from);
}

// Done keeps the line for the input; the next qnr tune of the same file
// starts from it unless told otherwise or the file changed.
TEST(TuneFeatures, TheLastChosenSettingsStartTheNextSession) {
  TempDir dir;
  const std::string clip = dir / "kept.mp4";
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v", "3", "-c:v", "libx264",
          clip});
  ASSERT_EQ(::setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1), 0);
  {
    TuneChild tune(clip);
    ASSERT_TRUE(tune.started());
    const httplib::Result done = tune.client()->Post(
        "/api/done?f1=12&f2=34&sharp=5&interlace=1&token=" + tune.token(), "", "text/plain");
    ASSERT_TRUE(done && done->status == 200);
    std::string rest;
    EXPECT_EQ(tune.wait(rest), 0);
  }
  struct Case {
    const char* what;
    std::vector<std::string> args;
    bool touch_first;
    const char* f1;  // the starting f1
    bool recalled;
  };
  const Case cases[] = {
      {"the same file again", {}, false, "12", true},
      {"--fresh", {"--fresh"}, false, "70", false},
      {"settings given", {"--sharp", "1"}, false, "70", false},
      {"the file changed since", {}, true, "70", false},
  };
  for (const Case& c : cases) {
    if (c.touch_first) {
      std::filesystem::last_write_time(
          clip, std::filesystem::last_write_time(clip) + std::chrono::seconds(5));
    }
    TuneChild tune(clip, c.args);
    ASSERT_TRUE(tune.started()) << c.what;
    const httplib::Result info = tune.get("/api/info");
    ASSERT_TRUE(info && info->status == 200) << c.what;
    EXPECT_EQ(start_value(info->body, "f1"), c.f1) << c.what;
    EXPECT_EQ(info->body.find("\"recalled\":\"Config(12,34,5,1,") != std::string::npos, c.recalled)
        << c.what << ": " << info->body;
  }
  ::unsetenv("XDG_STATE_HOME");
}

}  // namespace
}  // namespace qnr_test
