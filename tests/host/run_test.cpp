// The run callback as a host calls it: bitmaps of every pitch, pass-through,
// empty frames, and the frames a careless host may present.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "support/frames.h"
#include "support/module.h"

namespace {

using testing_frames::cpu_path;
using testing_frames::FilterSettings;
using testing_frames::random_frame;
using testing_module::ModuleTest;

class RunTest : public ModuleTest {
 protected:
  // Runs one frame and checks the output against the core on the packed
  // pixels, read in ascending address order as the host's rows lie in memory.
  void expect_filtered(vdhost::Bitmap& src, vdhost::Bitmap& dst, const FilterSettings& s = {}) {
    EXPECT_EQ(instance().run(src, dst), 0);
    EXPECT_EQ(dst.packed(), cpu_path(src.packed(), src.width(), src.height(), s));
    EXPECT_TRUE(dst.padding_intact());
    EXPECT_TRUE(src.padding_intact());
  }
};

TEST_F(RunTest, FiltersEveryPitchWalkingRowsInAscendingAddressOrder) {
  const int32_t w = 37, h = 23;
  const auto pixels = random_frame(w, h, 5);
  const int64_t pitches[][2] = {
      {w * 4, w * 4},        {w * 4 + 12, w * 4 + 64}, {-(w * 4), -(w * 4)},
      {-(w * 4 + 8), w * 4}, {w * 4, -(w * 4 + 4)},
  };
  for (const auto& p : pitches) {
    SCOPED_TRACE(testing::Message() << "source pitch " << p[0] << ", destination pitch " << p[1]);
    vdhost::Bitmap src(w, h, p[0]), dst(w, h, p[1]);
    src.fill_from_packed(pixels);
    ASSERT_EQ(instance().start(src, dst), 0);
    expect_filtered(src, dst);
    // The plane holds the luma of the packed input, whose row 0 is the
    // lowest-addressed source row (bitmap row h - 1 for a negative pitch).
    EXPECT_EQ(config().luma_plane[0], cpu_luma(src.at(0, 0)));
    EXPECT_EQ(config().luma_plane[w * (h - 1) + 5], cpu_luma(src.at(5, h - 1)));
    if (p[0] < 0) {
      EXPECT_EQ(reinterpret_cast<uint8_t*>(src.record().data) + (h - 1) * p[0],
                reinterpret_cast<uint8_t*>(src.row(0)));
    }
    instance().end();
  }
}

TEST_F(RunTest, SettingsReachTheCpuPathAsStored) {
  const int32_t w = 29, h = 31;
  vdhost::Bitmap src(w, h), dst(w, h);
  src.fill_from_packed(random_frame(w, h, 8));
  ASSERT_EQ(instance().start(src, dst), 0);
  config().interlace = 2;
  config().show_noise = 3;
  config().level_f1 = 150;
  config().sharp = -9;
  expect_filtered(src, dst, FilterSettings{150, 70, -9, 2, 3});
}

TEST_F(RunTest, DisableCopiesTheSourceByteForByteAndTouchesNothingElse) {
  const int32_t w = 11, h = 7;
  vdhost::Bitmap src(w, h, w * 4 + 20), dst(w, h, -(w * 4 + 4));
  auto pixels = random_frame(w, h, 9);
  for (auto& px : pixels) px |= 0xC3000000u;  // byte 3 set everywhere
  src.fill_from_packed(pixels);
  ASSERT_EQ(instance().start(src, dst), 0);
  config().disable = 1;
  EXPECT_EQ(instance().run(src, dst), 0);
  EXPECT_EQ(dst.packed(), pixels);
  EXPECT_TRUE(dst.padding_intact());
  EXPECT_TRUE(std::all_of(config().luma_plane, config().luma_plane + w * h,
                          [](uint8_t b) { return b == 0; }));
}

TEST_F(RunTest, EmptyFramesReadAndWriteNothing) {
  for (auto [w, h] : {std::pair{0, 5}, {6, 0}, {0, 0}}) {
    vdhost::Bitmap src(w, h, 32), dst(w, h, 32);
    ASSERT_EQ(instance().start(src, dst), 0);
    EXPECT_EQ(instance().run(src, dst), 0);
    EXPECT_TRUE(dst.padding_intact());  // every byte of a 0-wide row is padding
    config().disable = 1;
    EXPECT_EQ(instance().run(src, dst), 0);
    EXPECT_TRUE(dst.padding_intact());
    config().disable = 0;
    instance().end();
  }
}

TEST_F(RunTest, TinyAndThinFramesMatchTheCore) {
  for (auto [w, h] : {std::pair{1, 1}, {1, 40}, {40, 1}, {2, 2}}) {
    SCOPED_TRACE(testing::Message() << w << " x " << h);
    vdhost::Bitmap src(w, h, -(w * 4 + 4)), dst(w, h, w * 4 + 8);
    src.fill_from_packed(random_frame(w, h, w * 100 + h));
    ASSERT_EQ(instance().start(src, dst), 0);
    expect_filtered(src, dst);
    instance().end();
  }
}

// A host that runs without a start, or presents a larger frame than at start,
// would otherwise have the plane overrun; the plane follows the frame.
TEST_F(RunTest, ThePlaneFollowsTheFrameWhateverTheHostStartedWith) {
  vdhost::Bitmap big(64, 48), big_dst(64, 48);
  big.fill_from_packed(random_frame(64, 48, 2));
  expect_filtered(big, big_dst);  // no start at all
  EXPECT_EQ(config().luma_size, 64 * 48);
  instance().end();  // start takes nothing over from the record, so end frees that plane

  vdhost::Bitmap small(8, 8), small_dst(8, 8);
  ASSERT_EQ(instance().start(small, small_dst), 0);
  expect_filtered(big, big_dst);
  expect_filtered(small, small_dst);
  instance().end();
}

TEST_F(RunTest, NegativeSizesAreRefusedWithoutTouchingTheDestination) {
  vdhost::Bitmap src(4, 4), dst(4, 4);
  src.fill_from_packed(random_frame(4, 4, 1));
  const auto before = dst.packed();
  for (auto [w, h] : {std::pair{-1, 4}, {4, -1}, {-4, -4}}) {
    src.record().w = w;
    src.record().h = h;
    EXPECT_EQ(instance().run(src, dst), 1);
    EXPECT_EQ(dst.packed(), before);
  }
}

// Address-space caps and /proc are Linux facilities.
#if !defined(_WIN32)
#if defined(__SANITIZE_ADDRESS__)
#define QNR_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QNR_UNDER_ASAN 1
#endif
#endif

size_t mapped_bytes() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0;
  statm >> pages;
  return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// When the CPU path cannot get its frame buffers, no exception may reach the
// host: the frame goes out unchanged and the call reports failure. The child
// process caps its address space just above what it has mapped, so the
// frame's first buffer fits and the second does not.
TEST_F(RunTest, OutOfMemoryPassesTheFrameThroughInsteadOfThrowing) {
#if defined(QNR_UNDER_ASAN)
  GTEST_SKIP() << "AddressSanitizer reserves address space that an address-space cap would break";
#else
  const int32_t w = 2048, h = 2048;
  vdhost::Bitmap src(w, h), dst(w, h);
  src.fill_from_packed(random_frame(w, h, 4));
  ASSERT_EQ(instance().start(src, dst), 0);
  const auto run_with_capped_memory = [&] {
    const size_t frame_bytes = size_t{w} * h * 4;
    const rlim_t cap = mapped_bytes() + frame_bytes + frame_bytes / 2;
    const rlimit limit{cap, cap};
    if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(3);
    const int result = instance().run(src, dst);
    bool unchanged = true;
    for (int32_t k = 0; k < h; ++k) unchanged &= std::equal(src.row(k), src.row(k) + w, dst.row(k));
    std::_Exit(result == 1 && unchanged ? 0 : 1);
  };
  EXPECT_EXIT(run_with_capped_memory(), ::testing::ExitedWithCode(0), "");
  instance().end();
#endif
}
#endif  // !_WIN32

}  // namespace
