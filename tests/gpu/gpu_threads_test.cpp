// The GPU road on the host's threads: the caller's current context survives
// every operation, a context made on one thread serves frames on another, and
// several instances run at once (clean under ThreadSanitizer).
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "fake_fixture.h"
#include "frames.h"
#include "gpu/gpu_context.h"

namespace {

using gpu_test::Frame;
using gpu_test::Settings;

// One frame through the context, packed rows; the output, or empty on failure.
std::vector<uint32_t> through(GpuContext* context, const Frame& in, const Settings& s) {
  std::vector<uint32_t> out(in.pixels.size());
  const int64_t pitch = 4 * int64_t{in.width};
  if (!gpu_process(context, reinterpret_cast<const uint8_t*>(in.pixels.data()), pitch,
                   reinterpret_cast<uint8_t*>(out.data()), pitch, in.width, in.height, s.level_f1,
                   s.level_f2, s.sharp, s.interlace, s.show_noise)) {
    return {};
  }
  return out;
}

using GpuThreads = gpu_test::FakeDriverTest;

TEST_F(GpuThreads, TheCallersCurrentContextIsCurrentAfterEveryOperation) {
  for (const CuContext callers : {CuContext{nullptr}, fake_cuda::kForeignContext}) {
    if (callers != nullptr) {
      ASSERT_EQ(fake_cuda::driver_table().ctx_push_current(callers), 0);
    }
    GpuContext* context = gpu_create();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(fake_cuda::current_context(), callers);
    const Frame in = gpu_test::textured_frame(21, 17, 1);
    EXPECT_EQ(through(context, in, {}), gpu_test::emulated(in, {}).pixels);
    EXPECT_EQ(fake_cuda::current_context(), callers);
    fake.fail(fake_cuda::Op::memcpy_2d_async);  // a failed operation pops too
    EXPECT_TRUE(through(context, in, {}).empty());
    EXPECT_EQ(fake_cuda::current_context(), callers);
    gpu_release(context);
    EXPECT_EQ(fake_cuda::current_context(), callers);
    if (callers != nullptr) {
      CuContext popped = nullptr;
      ASSERT_EQ(fake_cuda::driver_table().ctx_pop_current(&popped), 0);
      EXPECT_EQ(popped, callers);
    }
  }
  // Every operation ran with the primary context current (the fake reports
  // any that did not), each push matched by a pop.
  EXPECT_EQ(fake.count(fake_cuda::Op::ctx_push_current),
            fake.count(fake_cuda::Op::ctx_pop_current));
}

TEST_F(GpuThreads, AContextMadeOnOneThreadServesFramesOnAnother) {
  GpuContext* context = gpu_create();
  ASSERT_TRUE(gpu_resize(context, 40, 30));
  const Frame in = gpu_test::textured_frame(40, 30, 2);
  const Settings s{60, 80, 3, 1, 0};
  std::vector<uint32_t> out;
  std::thread([&] {
    for (int frame = 0; frame < 3; ++frame) out = through(context, in, s);
  }).join();
  EXPECT_EQ(out, gpu_test::emulated(in, s).pixels);
  gpu_release(context);
}

TEST_F(GpuThreads, EightInstancesRunAtOnceOnEightThreads) {
  constexpr int kInstances = 8;
  std::vector<Frame> frames;
  std::vector<std::vector<uint32_t>> expected;
  for (int i = 0; i < kInstances; ++i) {
    frames.push_back(gpu_test::textured_frame(24 + 7 * i, 18 + 3 * i, 10 + i));
    expected.push_back(gpu_test::emulated(frames[i], {}).pixels);
  }
  std::vector<int> exact(kInstances, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kInstances; ++i) {
    threads.emplace_back([&, i] {
      GpuContext* context = gpu_create();
      for (int frame = 0; frame < 4; ++frame)
        exact[i] += through(context, frames[i], {}) == expected[i];
      gpu_release(context);
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kInstances; ++i) EXPECT_EQ(exact[i], 4) << "instance " << i;
  EXPECT_EQ(fake.live_allocations(), 0u);
  EXPECT_EQ(fake.live_streams(), 0u);
}

}  // namespace
