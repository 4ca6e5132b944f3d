// Instance life cycle through the module's callbacks: defaults, the processor
// count, and the storage that start acquires and end releases.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sched.h>
#endif

#include <algorithm>

#include "support/module.h"
#if defined(_WIN32)
#include <windows.h>
#else
#include "win32_standin_testing.h"
#endif

namespace {

using testing_module::ModuleTest;

TEST_F(ModuleTest, InitSetsTheDefaults) {
  EXPECT_EQ(config().level_f1, 70);
  EXPECT_EQ(config().level_f2, 70);
  EXPECT_EQ(config().sharp, 2);
  EXPECT_EQ(config().disable, 0);
  EXPECT_EQ(config().show_noise, 0);
  EXPECT_EQ(config().interlace, 0);
  EXPECT_EQ(config().gpu_context, nullptr);
  EXPECT_EQ(config().luma_plane, nullptr);
}

#if defined(_WIN32)
// On Windows the count comes from the real GetSystemInfo.
TEST_F(ModuleTest, ThreadCountFollowsTheProcessorCount) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  const int32_t expected = std::min<int32_t>(static_cast<int32_t>(info.dwNumberOfProcessors), 4);
  EXPECT_EQ(config().thread_count, expected);
  EXPECT_EQ(config().multithreading, expected > 1 ? 1 : 0);
}
#else
// The dialog shows at most four threads, and Multithreading is on by default
// only where there is more than one.
TEST_F(ModuleTest, ThreadCountFollowsTheProcessorCount) {
  struct Row {
    DWORD processors;
    int32_t thread_count, multithreading;
  };
  for (Row row : {Row{1, 1, 0}, Row{2, 2, 1}, Row{3, 3, 1}, Row{4, 4, 1}, Row{16, 4, 1}}) {
    qnr_standin_set_processor_count(row.processors);
    ASSERT_EQ(instance().init(), 0);
    EXPECT_EQ(config().thread_count, row.thread_count) << row.processors << " processors";
    EXPECT_EQ(config().multithreading, row.multithreading) << row.processors << " processors";
  }
  qnr_standin_set_processor_count(0);
  ASSERT_EQ(instance().init(), 0);
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  EXPECT_EQ(config().thread_count, std::min(CPU_COUNT(&set), 4));
}
#endif

TEST_F(ModuleTest, StartAllocatesAZeroedPlaneOfTheFrameAndEndFreesIt) {
  vdhost::Bitmap src(720, 576), dst(720, 576);
  ASSERT_EQ(instance().start(src, dst), 0);
  EXPECT_EQ(config().luma_size, 720 * 576);
  ASSERT_NE(config().luma_plane, nullptr);
  EXPECT_TRUE(std::all_of(config().luma_plane, config().luma_plane + 720 * 576,
                          [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(config().gpu_context, nullptr);  // no GPU road on this machine

  EXPECT_EQ(instance().end(), 0);
  EXPECT_EQ(config().luma_plane, nullptr);
  EXPECT_EQ(config().gpu_context, nullptr);
  EXPECT_EQ(config().luma_size, 720 * 576);  // kept after end

  // The record can be started anew, for another size.
  vdhost::Bitmap small(3, 2), small_dst(3, 2);
  ASSERT_EQ(instance().start(small, small_dst), 0);
  EXPECT_EQ(config().luma_size, 6);
  EXPECT_EQ(instance().end(), 0);
}

// A wrapped 32-bit product would allocate a small plane that frames overrun.
TEST_F(ModuleTest, StartRefusesAFrameWhosePixelCountDoesNotFit32Bits) {
  vdhost::Bitmap src(0, 0), dst(0, 0);
  src.record().w = 65536;
  src.record().h = 32768;  // 2^31 pixels
  EXPECT_EQ(instance().start(src, dst), 1);
  EXPECT_EQ(config().luma_plane, nullptr);
  src.record().w = -4;
  src.record().h = 4;
  EXPECT_EQ(instance().start(src, dst), 1);
  EXPECT_EQ(config().luma_plane, nullptr);
}

TEST_F(ModuleTest, EndWithoutStartIsSafeOnTheZeroedRecord) {
  EXPECT_EQ(instance().end(), 0);
  EXPECT_EQ(config().luma_plane, nullptr);
}

}  // namespace
