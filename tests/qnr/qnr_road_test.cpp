// What qnr writes: by default the decoded frames with the filter's
// brightness correction added at their own depth and layout, colour planes
// untouched; --rgb the filter's own RGB; --disable the frames as decoded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "media/correction.h"
#include "qnr_support.h"

namespace qnr_test {
namespace {

TEST(CorrectionRule, TakesTheLargestChangeAndScalesItToThePlane) {
  struct Case {
    uint32_t before, after;  // BGRX words
    int correction;
  };
  const std::vector<Case> corrections = {
      {0x000A0A0A, 0x000A0A0A, 0},   // nothing moved
      {0x00101010, 0x00141414, 4},   // all alike
      {0x00FA1010, 0x00FF1414, 5},   // red stops at 255: the others tell
      {0x00030A0A, 0x00000505, -5},  // red stops at 0
      {0x00FF0000, 0x00FE0001, 0},   // a rise and a fall tie, summing to 0
      {0x00640A0A, 0x00650A09, 0},   // the same, one unit each way
      {0x00646464, 0x00656563, 1},   // tie broken by the sum
      {0x00646464, 0x00636365, -1}, {0xFF101010, 0x00121212, 2},  // byte 3 plays no part
  };
  for (const Case& c : corrections) {
    EXPECT_EQ(qnr::pixel_correction(c.before, c.after), c.correction) << std::hex << c.before;
  }
  struct Scale {
    int c, depth;
    bool full;
    int code;
  };
  const std::vector<Scale> scales = {
      {1, 8, false, 1},      {2, 8, false, 2},       {3, 8, false, 3},        {7, 8, false, 6},
      {-7, 8, false, -6},    {255, 8, false, 219},   {-255, 8, false, -219},  {1, 10, false, 3},
      {255, 10, false, 876}, {1, 12, false, 14},     {255, 16, false, 56064}, {1, 8, true, 1},
      {-9, 10, true, -36},   {255, 16, true, 65280},
  };
  for (const Scale& s : scales) {
    EXPECT_EQ(qnr::scaled_luma_correction(s.c, s.depth, s.full), s.code)
        << s.c << " at " << s.depth << (s.full ? " full" : " limited");
  }
}

struct RawPicture {
  std::string bytes;  // every frame, planes packed one after the other
  size_t frame_bytes = 0;
  size_t luma_bytes = 0;  // the first plane's bytes in each frame
};

RawPicture raw_frames(const std::filesystem::path& file, AVPixelFormat format, int w, int h) {
  const Ran ran = run({"ffmpeg", "-nostdin", "-loglevel", "error", "-i", file.string(), "-f",
                       "rawvideo", "-pix_fmt", av_get_pix_fmt_name(format), "pipe:1"});
  EXPECT_EQ(ran.status, 0) << ran.err;
  RawPicture raw;
  raw.bytes = ran.out;
  raw.frame_bytes = static_cast<size_t>(av_image_get_buffer_size(format, w, h, 1));
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  const size_t sample = desc->comp[0].depth > 8 ? 2 : 1;
  raw.luma_bytes = (desc->flags & AV_PIX_FMT_FLAG_PLANAR) != 0 || desc->nb_components <= 2
                       ? size_t(w) * h * sample
                       : raw.frame_bytes;
  return raw;
}

uint32_t sample_at(const std::string& bytes, size_t at, bool wide) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data()) + at;
  return wide ? (uint32_t{p[1]} << 8 | p[0]) : p[0];
}

TEST(QnrRoad, LumaTakesTheModulesCorrectionAndColourIsKept) {
  struct Case {
    AVPixelFormat format;
    int width, height;
    bool full_range;  // tagged so, in Matroska (NUT has no range)
    std::vector<std::string> options;
  };
  const std::vector<Case> cases = {
      {AV_PIX_FMT_YUV420P, 35, 27, false, {}},
      {AV_PIX_FMT_YUV420P, 35, 27, true, {}},
      {AV_PIX_FMT_YUV420P, 34, 28, false, {"--interlace"}},
      {AV_PIX_FMT_YUV422P10LE, 33, 20, false, {}},
      {AV_PIX_FMT_YUV444P12LE, 31, 17, false, {}},
      {AV_PIX_FMT_YUV420P16LE, 30, 18, false, {}},
      {AV_PIX_FMT_NV12, 36, 22, false, {}},
      {AV_PIX_FMT_GRAY8, 29, 21, false, {}},
      {AV_PIX_FMT_GRAY10LE, 29, 21, false, {}},
      {AV_PIX_FMT_RGB48LE, 27, 19, false, {}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const char* name = av_get_pix_fmt_name(c.format);
    const std::string what = std::string(name) + (c.full_range ? " full" : "") + " " +
                             ::testing::PrintToString(c.options);
    std::vector<std::string> make = {"-f",
                                     "lavfi",
                                     "-i",
                                     "testsrc2=size=64x48,scale=" + std::to_string(c.width) + ":" +
                                         std::to_string(c.height) + ",noise=alls=24:allf=t" +
                                         (c.full_range ? ",scale=out_range=full" : ""),
                                     "-frames:v",
                                     "2",
                                     "-pix_fmt",
                                     name};
    // Raw frames in NUT hold every layout; FFV1 in Matroska holds the range.
    const std::string codec = c.full_range ? "ffv1" : "rawvideo";
    const std::string ext = c.full_range ? ".mkv" : ".nut";
    make.insert(make.end(), {"-c:v", codec});
    if (c.full_range) make.insert(make.end(), {"-color_range", "pc"});
    make.push_back(dir / ("in" + ext));
    ffmpeg(make);
    auto run_qnr = [&](const std::string& out, std::vector<std::string> extra) {
      std::vector<std::string> args = {dir / ("in" + ext), dir / (out + ext), "-q", "--codec",
                                       codec};
      args.insert(args.end(), c.options.begin(), c.options.end());
      args.insert(args.end(), extra.begin(), extra.end());
      const Ran ran = qnr(args);
      EXPECT_EQ(ran.status, 0) << what << ": " << ran.err;
    };
    run_qnr("out", {});
    run_qnr("off", {"--disable"});
    run_qnr("given", {"--rgb", "--disable", "--", "-pix_fmt", "bgr0"});

    const RawPicture in = raw_frames(dir.path() / ("in" + ext), c.format, c.width, c.height);
    const RawPicture out = raw_frames(dir.path() / ("out" + ext), c.format, c.width, c.height);
    EXPECT_EQ(raw_frames(dir.path() / ("off" + ext), c.format, c.width, c.height).bytes, in.bytes)
        << what;
    ASSERT_EQ(out.bytes.size(), in.bytes.size()) << what;
    ASSERT_EQ(in.bytes.size(), 2 * in.frame_bytes) << what;

    const std::vector<uint32_t> given = decode(dir.path() / ("given" + ext));
    FilterSettings settings;
    settings.interlace = c.options == std::vector<std::string>{"--interlace"} ? 1 : 0;
    const std::vector<uint32_t> filtered = filter_with_module(given, c.width, c.height, settings);
    ASSERT_EQ(given.size(), size_t(2) * c.width * c.height) << what;

    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(c.format);
    const int depth = desc->comp[0].depth;
    const bool wide = depth > 8, rgb = (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0;
    const size_t sample = wide ? 2 : 1, per_pixel = rgb ? 3 : 1;
    std::string expected = in.bytes;
    int moved = 0;
    for (size_t i = 0; i < given.size(); ++i) {
      const int correction = qnr::pixel_correction(given[i], filtered[i]);
      if (correction == 0) continue;
      ++moved;
      const size_t frame = i / (size_t(c.width) * c.height);
      const size_t pixel = i % (size_t(c.width) * c.height);
      const int delta = rgb ? qnr::scaled_rgb_correction(correction, depth)
                            : qnr::scaled_luma_correction(correction, depth, c.full_range);
      for (size_t k = 0; k < per_pixel; ++k) {
        const size_t at = frame * in.frame_bytes + (pixel * per_pixel + k) * sample;
        const int value =
            std::clamp(int(sample_at(in.bytes, at, wide)) + delta, 0, (1 << depth) - 1);
        expected[at] = static_cast<char>(value & 0xFF);
        if (wide) expected[at + 1] = static_cast<char>(value >> 8);
      }
    }
    EXPECT_GT(moved, 0) << what;
    for (size_t frame = 0; frame < 2; ++frame) {
      const size_t start = frame * in.frame_bytes;
      EXPECT_TRUE(out.bytes.compare(start, in.luma_bytes, expected, start, in.luma_bytes) == 0)
          << what << ": luma of frame " << frame;
      const size_t colour = in.frame_bytes - in.luma_bytes;
      EXPECT_TRUE(out.bytes.compare(start + in.luma_bytes, colour, in.bytes, start + in.luma_bytes,
                                    colour) == 0)
          << what << ": colour of frame " << frame;
    }
  }
}

// Bytes of the first plane (8-bit) of a file's frames.
std::string luma_plane(const std::filesystem::path& file, int w, int h) {
  const RawPicture raw = raw_frames(file, AV_PIX_FMT_YUV420P, w, h);
  return raw.bytes.substr(0, raw.luma_bytes);
}

// MPEG-1/2 and Theora cannot say full range: a full-range picture is
// converted to limited, as players read it.
TEST(QnrRoad, FullRangeBecomesLimitedWhereTheCodecCannotCarryIt) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "color=black:s=32x32,pad=64:32:32:0:white", "-frames:v", "1", "-vf",
          "scale=out_range=full", "-pix_fmt", "yuvj420p", "-c:v", "mjpeg", "-q:v", "1",
          dir / "full.mkv"});
  for (const char* out : {"out.mpg", "out.ogv"}) {
    for (const bool rgb : {false, true}) {
      std::vector<std::string> args = {dir / "full.mkv", dir / out, "-q", "-y", "--disable"};
      if (rgb) args.push_back("--rgb");
      const Ran ran = qnr(args);
      ASSERT_EQ(ran.status, 0) << out << ": " << ran.err;
      const std::string y = luma_plane(dir.path() / out, 64, 32);
      ASSERT_EQ(y.size(), size_t{64} * 32) << out;
      const std::vector<uint8_t> codes(y.begin(), y.end());
      const auto [low, high] = std::minmax_element(codes.begin(), codes.end());
      EXPECT_NEAR(*low, 16, 2) << out << (rgb ? " --rgb" : "");
      EXPECT_NEAR(*high, 235, 2) << out << (rgb ? " --rgb" : "");
    }
  }
}

// Interlaced 4:2:0: each chroma row belongs to one field; converted as one
// picture the two fields' colours would blend.
TEST(QnrRoad, InterlacedFieldsKeepTheirOwnColour) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i",
          "color=red:s=64x48:r=50[a];color=blue:s=64x48:r=50[b];[a][b]interleave,"
          "tinterlace=mode=interleave_top",
          "-frames:v", "1", "-pix_fmt", "yuv420p", "-c:v", "ffv1", dir / "fields.mkv"});
  const RawPicture in = raw_frames(dir.path() / "fields.mkv", AV_PIX_FMT_YUV420P, 64, 48);
  for (const bool rgb : {false, true}) {
    std::vector<std::string> args = {dir / "fields.mkv", dir / "out.mkv", "-q",      "-y",
                                     "--interlace",      "--disable",     "--codec", "ffv1"};
    if (rgb) args.push_back("--rgb");
    const Ran ran = qnr(args);
    ASSERT_EQ(ran.status, 0) << ran.err;
    const RawPicture out = raw_frames(dir.path() / "out.mkv", AV_PIX_FMT_YUV420P, 64, 48);
    ASSERT_EQ(out.bytes.size(), in.bytes.size());
    int worst = 0;
    for (size_t i = in.luma_bytes; i < in.frame_bytes; ++i) {
      worst = std::max(worst, std::abs(int(uint8_t(out.bytes[i])) - int(uint8_t(in.bytes[i]))));
    }
    EXPECT_LE(worst, 3) << (rgb ? "--rgb" : "default road");
  }
}

// A picture stored turned (a phone's display matrix) is turned upright in its
// own layout: the output equals that of the same picture stored upright, on
// the correction road and with --disable.
TEST(QnrRoad, TurnedPicturesTakeTheCorrectionUpright) {
  TempDir dir;
  ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25,noise=alls=12:allf=t", "-frames:v", "2",
          "-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv420p", dir / "flat.mp4"});
  for (const char* turn : {"90", "180", "270"}) {
    const std::string turned = dir / ("turned" + std::string(turn) + ".mp4");
    const std::string upright = dir / ("upright" + std::string(turn) + ".mkv");
    ffmpeg({"-i", dir / "flat.mp4", "-c", "copy", "-metadata:s:v:0", "rotate=" + std::string(turn),
            turned});
    ffmpeg({"-i", turned, "-c:v", "ffv1", upright});  // ffmpeg turns it upright
    for (const bool disable : {false, true}) {
      std::vector<std::string> a = {turned, dir / "a.mkv", "-q", "-y", "--codec", "ffv1"};
      std::vector<std::string> b = {upright, dir / "b.mkv", "-q", "-y", "--codec", "ffv1"};
      if (disable) {
        a.push_back("--disable");
        b.push_back("--disable");
      }
      ASSERT_EQ(qnr(a).status, 0) << turn;
      ASSERT_EQ(qnr(b).status, 0) << turn;
      const std::string label = std::string(turn) + (disable ? " --disable" : "");
      const std::string written = raw_frames(dir.path() / "a.mkv", AV_PIX_FMT_YUV420P, 0, 0).bytes;
      EXPECT_EQ(written, raw_frames(dir.path() / "b.mkv", AV_PIX_FMT_YUV420P, 0, 0).bytes) << label;
      if (disable) {
        EXPECT_EQ(written, raw_frames(upright, AV_PIX_FMT_YUV420P, 0, 0).bytes) << label;
      }
    }
  }
}

}  // namespace
}  // namespace qnr_test
