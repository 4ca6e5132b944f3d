// The call sequences a real host makes with an instance: byte copies of a
// started instance, ends after failed starts, runs on threads other than the
// one that started, instances running side by side, scripts while started.
// Run under AddressSanitizer, a stale reference or a double free fails here.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "support/frames.h"
#include "support/module.h"

namespace {

using testing_frames::cpu_path;
using testing_frames::FilterSettings;
using testing_frames::random_frame;
using testing_module::ModuleTest;

// A frame as the host hands it to a filter of this interface version: bottom-up
// rows 16-byte aligned, source and destination separate, the destination stale.
struct HostFrame {
  HostFrame(int32_t width, int32_t height, uint32_t seed)
      : src(width, height, (int64_t{width} * 4 + 15) / 16 * 16),
        dst(width, height, (int64_t{width} * 4 + 15) / 16 * 16) {
    src.fill_from_packed(random_frame(width, height, seed));
    dst.fill_from_packed(random_frame(width, height, seed + 1000));
  }
  vdhost::Bitmap src, dst;
};

// Runs one frame through `instance` and checks it against the CPU path.
void expect_filtered(vdhost::FilterInstance& instance, HostFrame& frame,
                     const FilterSettings& settings = {}) {
  ASSERT_EQ(instance.run(frame.src, frame.dst), 0);
  EXPECT_EQ(frame.dst.packed(),
            cpu_path(frame.src.packed(), frame.src.width(), frame.src.height(), settings));
}

FilterConfig& config_of(vdhost::FilterInstance& instance) {
  return *instance.data_as<FilterConfig>();
}

class HostSequence : public ModuleTest {};

// "Duplicate filter" from the preview's filter list: the copy holds the
// original's references, which the original's end frees before both start.
TEST_F(HostSequence, DuplicateOfAStartedInstance) {
  HostFrame frame(45, 29, 1);
  ASSERT_EQ(instance().start(frame.src, frame.dst), 0);
  expect_filtered(instance(), frame);

  auto copy = instance().duplicate();
  EXPECT_EQ(config_of(*copy).luma_plane, config().luma_plane);
  ASSERT_EQ(instance().end(), 0);
  ASSERT_EQ(instance().start(frame.src, frame.dst), 0);
  ASSERT_EQ(copy->start(frame.src, frame.dst), 0);
  EXPECT_NE(config_of(*copy).luma_plane, config().luma_plane);

  expect_filtered(instance(), frame);
  HostFrame other(45, 29, 2);
  expect_filtered(*copy, other);
  EXPECT_EQ(copy->end(), 0);
  EXPECT_EQ(instance().end(), 0);
}

// The host calls end after a start that failed; a copy whose start fails must
// not hand the original's released storage to end a second time.
TEST_F(HostSequence, EndAfterAFailedStart) {
  vdhost::Bitmap too_large(0, 0), unused(0, 0);
  too_large.record().w = 65536;
  too_large.record().h = 32768;  // 2^31 pixels: no plane can be had

  EXPECT_EQ(instance().start(too_large, unused), 1);
  EXPECT_EQ(config().luma_plane, nullptr);
  EXPECT_EQ(config().gpu_context, nullptr);
  EXPECT_EQ(instance().end(), 0);

  HostFrame frame(16, 9, 3);
  ASSERT_EQ(instance().start(frame.src, frame.dst), 0);
  auto copy = instance().duplicate();
  ASSERT_EQ(instance().end(), 0);
  EXPECT_EQ(copy->start(too_large, unused), 1);
  EXPECT_EQ(config_of(*copy).luma_plane, nullptr);
  EXPECT_EQ(config_of(*copy).gpu_context, nullptr);
  EXPECT_EQ(copy->end(), 0);
}

// A render in stream-copy mode starts and ends the chain without a frame.
TEST_F(HostSequence, StartAndEndWithNoRunBetween) {
  HostFrame frame(8, 8, 4);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(instance().start(frame.src, frame.dst), 0);
    ASSERT_EQ(instance().end(), 0);
  }
}

// Start and end on the UI thread, every frame of the render on another worker.
TEST_F(HostSequence, RunsOnAnotherThreadForEveryFrame) {
  HostFrame first(33, 21, 5);
  ASSERT_EQ(instance().start(first.src, first.dst), 0);
  for (uint32_t seed = 10; seed < 16; ++seed) {
    HostFrame frame(33, 21, seed);
    std::thread worker([&] { expect_filtered(instance(), frame); });
    worker.join();
  }
  EXPECT_EQ(instance().end(), 0);
}

// Two instances of the filter in one chain render at the same time.
TEST_F(HostSequence, TwoInstancesRunFramesAtOnce) {
  vdhost::FilterInstance second(*module_, *module_->filter());
  ASSERT_EQ(second.init(), 0);
  std::string error;
  const int32_t strong[] = {20, 90, 6, 1, 0};
  ASSERT_TRUE(second.call_script("Config", strong, error)) << error;
  const FilterSettings strong_settings{20, 90, 6, 1, 0};

  HostFrame a(40, 24, 20), b(40, 24, 21);
  ASSERT_EQ(instance().start(a.src, a.dst), 0);
  ASSERT_EQ(second.start(b.src, b.dst), 0);
  auto render = [](vdhost::FilterInstance& instance, uint32_t seed, FilterSettings settings) {
    for (uint32_t i = 0; i < 8; ++i) {
      HostFrame frame(40, 24, seed + i);
      expect_filtered(instance, frame, settings);
    }
  };
  std::thread one(render, std::ref(instance()), 100u, FilterSettings{});
  std::thread two(render, std::ref(second), 200u, strong_settings);
  one.join();
  two.join();
  EXPECT_EQ(second.end(), 0);
  EXPECT_EQ(instance().end(), 0);
}

// The config dialog and script commands may come while the preview keeps the
// chain started; the next frame uses the new settings.
TEST_F(HostSequence, ScriptCommandWhileStarted) {
  HostFrame frame(30, 20, 30);
  ASSERT_EQ(instance().start(frame.src, frame.dst), 0);
  expect_filtered(instance(), frame);

  std::string error;
  const int32_t values[] = {35, 55, 4, 1, 0};
  ASSERT_TRUE(instance().call_script("Config", values, error)) << error;
  std::string line;
  EXPECT_TRUE(instance().script_string(line));
  EXPECT_EQ(line, "Config(35,55,4,1,0)");
  expect_filtered(instance(), frame, FilterSettings{35, 55, 4, 1, 0});
  EXPECT_EQ(instance().end(), 0);
}

}  // namespace
