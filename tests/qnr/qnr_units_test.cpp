// The pieces of qnr that decide things on their own: the settings-line
// reader, the turning of pictures by their orientation, and which names are
// image sequences.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "base/failure.h"
#include "script_line.h"

namespace qnr {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using vdhost::parse_script_line;
using vdhost::ScriptCall;

TEST(ScriptLine, ReadsTheLinesHostsStore) {
  ScriptCall call;
  std::string error;
  ASSERT_TRUE(parse_script_line("  Config( 70 , -3,+2,0,2147483647 ) ", call, error)) << error;
  EXPECT_EQ(call.name, "Config");
  EXPECT_THAT(call.arguments, ElementsAre(70, -3, 2, 0, 2147483647));
  ASSERT_TRUE(parse_script_line("VirtualDub.video.filters.instance[12].Config(1,2,3,4,-2147483648)",
                                call, error))
      << error;
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

#include "media/frame_convert.h"

namespace qnr {
namespace {

// A 3 x 2 picture "abc / def" shown as each EXIF orientation says; the rows
// of the expected pictures are what a viewer shows, top first.
TEST(Orientation, EveryExifOrientationShowsThePictureAsAViewerDoes) {
  const uint32_t a = 0x0A, b = 0x0B, c = 0x0C, d = 0x0D, e = 0x0E, f = 0x0F;
  struct Case {
    Orientation orientation;
    int32_t width;
    std::vector<uint32_t> shown;
  };
  const std::vector<Case> cases = {
      {1, 3, {a, b, c, d, e, f}}, {2, 3, {c, b, a, f, e, d}}, {3, 3, {f, e, d, c, b, a}},
      {4, 3, {d, e, f, a, b, c}}, {5, 2, {a, d, b, e, c, f}}, {6, 2, {d, a, e, b, f, c}},
      {7, 2, {f, c, e, b, d, a}}, {8, 2, {c, f, b, e, a, d}},
  };
  FramePtr frame = new_frame();
  frame->format = AV_PIX_FMT_BGR0;
  frame->width = 3;
  frame->height = 2;
  ASSERT_GE(av_frame_get_buffer(frame.get(), 0), 0);
  const uint32_t stored[2][3] = {{a, b, c}, {d, e, f}};
  for (int y = 0; y < 2; ++y) std::memcpy(frame->data[0] + y * frame->linesize[0], stored[y], 12);

  FrameConverter converter;
  for (const Case& c : cases) {
    HostFrame host;
    converter.to_host(*frame, c.orientation, host);
    ASSERT_EQ(host.width, c.width) << "orientation " << c.orientation;
    std::vector<uint32_t> shown;
    for (int32_t r = 0; r < host.height; ++r) {
      const auto* row = reinterpret_cast<const uint32_t*>(host.top_row(r));
      for (int32_t x = 0; x < host.width; ++x) shown.push_back(row[x] & 0x00FFFFFFu);
    }
    EXPECT_EQ(shown, c.shown) << "orientation " << c.orientation;
  }
}

// The matrix av_display_rotation_set makes for a turn of θ is the one a
// stream carries when its picture must be shown turned θ clockwise (what a
// "rotate=θ" tag becomes); the end-to-end test checks the same against ffmpeg.
TEST(Orientation, DisplayMatrixTurnsBecomeOrientations) {
  for (const auto& [clockwise, orientation] :
       std::vector<std::pair<double, Orientation>>{{0, 1}, {90, 6}, {180, 3}, {270, 8}, {-90, 8}}) {
    int32_t matrix[9];
    av_display_rotation_set(matrix, clockwise);
    EXPECT_EQ(orientation_from_matrix(matrix), orientation) << clockwise;
  }
  EXPECT_EQ(orientation_from_matrix(nullptr), 1);
}

// A conversion FFmpeg's scaler will not set up is a one-line failure that
// names it, not "std::bad_alloc"; the converter stays usable and ends
// cleanly after it (the scaler frees its old context when it refuses).
TEST(FrameConverter, AConversionTheScalerRefusesIsNamed) {
  HostFrame bitmap;
  bitmap.resize(1, 300);
  FrameConverter converter;
  EXPECT_NE(converter.from_host(bitmap, PictureFormat{1, 300, AV_PIX_FMT_YUV444P}), nullptr);
  try {
    converter.from_host(bitmap, PictureFormat{300, 1, AV_PIX_FMT_YUV420P});
    FAIL() << "the scaler took a 1x300 to 300x1 conversion";
  } catch (const Failure& failure) {
    EXPECT_THAT(failure.what(), HasSubstr("1x300 bgr0 picture to 300x1 yuv420p"));
  }
  EXPECT_NE(converter.from_host(bitmap, PictureFormat{1, 300, AV_PIX_FMT_YUV444P}), nullptr);
}

// The scaler leaves a Bayer picture's odd last row unwritten: refused, not
// filled with whatever the bitmap held.
TEST(FrameConverter, ABayerPictureOfOddHeightIsRefused) {
  FramePtr frame = new_frame();
  frame->format = AV_PIX_FMT_BAYER_GRBG16LE;
  frame->width = 231;
  frame->height = 3;
  ASSERT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
  FrameConverter converter;
  HostFrame out;
  try {
    converter.to_host(*frame, 1, out);
    FAIL() << "a 231x3 Bayer picture was converted";
  } catch (const Failure& failure) {
    EXPECT_THAT(failure.what(), HasSubstr("even number of rows"));
  }
}

}  // namespace
}  // namespace qnr

#include "media/sequence_name.h"

namespace qnr {
namespace {

// A percent sign makes an image sequence only in a picture name with one
// %d or %0Nd; anything else is a plain name that replaces nothing unasked.
TEST(SequenceName, OnlyAPictureNameWithOneNumberFieldIsAPattern) {
  struct Case {
    std::string name;
    std::string format;
    bool pattern;
  };
  const std::vector<Case> cases = {
      {"seq%03d.png", "", true},     {"shots/img%d.jpg", "", true},
      {"50%%_%04d.tif", "", true},   {"x%d.raw", "image2", true},
      {"100%done.mp4", "", false},   {"clip%03d.mkv", "", false},
      {"50%.png", "", false},        {"a%5d.png", "", false},
      {"a%0d.png", "", false},       {"a%d_%d.png", "", false},
      {"frames%d/a.png", "", false}, {"seq%03d.png", "matroska", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_sequence_pattern(c.name, c.format), c.pattern) << c.name << " -f " << c.format;
  }
  EXPECT_EQ(sequence_file_name("50%%_%04d.tif", 7), "50%_0007.tif");
}

}  // namespace
}  // namespace qnr
