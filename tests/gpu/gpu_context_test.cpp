// The GPU context's states and the frame round trip, over the fake driver.
#include <gtest/gtest.h>

#include <cstring>

#include "core/row_walk.h"
#include "fake_fixture.h"
#include "frames.h"
#include "gpu/gpu_context.h"

namespace {

using fake_cuda::Event;
using fake_cuda::Op;
using gpu_test::Frame;
using gpu_test::Settings;

// A host bitmap: rows `pitch` bytes apart (negative: top-down), padding 0xA5.
struct HostImage {
  int32_t width, height;
  int64_t pitch;
  std::vector<uint8_t> storage;

  HostImage(int32_t w, int32_t h, int64_t p)
      : width(w), height(h), pitch(p), storage(static_cast<size_t>(h * row_stride(p)), 0xA5) {}
  // The data pointer a host would hand over.
  uint8_t* data() { return storage.data() - lowest_row_offset(pitch, height); }
  // Row k in ascending address order.
  uint8_t* row(int32_t k) { return storage.data() + k * row_stride(pitch); }
  void put(const Frame& f) {
    for (int32_t k = 0; k < height; ++k)
      std::memcpy(row(k), &f.pixels[size_t(k) * width], 4 * size_t(width));
  }
  Frame get() {
    Frame f{width, height, std::vector<uint32_t>(size_t(width) * height)};
    for (int32_t k = 0; k < height; ++k)
      std::memcpy(&f.pixels[size_t(k) * width], row(k), 4 * size_t(width));
    return f;
  }
  bool padding_intact() {
    for (int32_t k = 0; k < height; ++k)
      for (int64_t i = 4 * int64_t{width}; i < row_stride(pitch); ++i)
        if (row(k)[i] != 0xA5) return false;
    return true;
  }
};

class GpuContextTest : public gpu_test::FakeDriverTest {
 protected:
  void TearDown() override {
    gpu_release(context);
    context = nullptr;
    EXPECT_EQ(fake.live_allocations(), 0u);
    EXPECT_EQ(fake.live_streams(), 0u);
    FakeDriverTest::TearDown();
  }

  bool process(HostImage& src, HostImage& dst, const Settings& s = {}) {
    return gpu_process(context, src.data(), src.pitch, dst.data(), dst.pitch, src.width, src.height,
                       s.level_f1, s.level_f2, s.sharp, s.interlace, s.show_noise);
  }

  GpuContext* context = nullptr;
};

TEST_F(GpuContextTest, CreateGivesANonBlockingStreamAndNoImages) {
  context = gpu_create();
  ASSERT_NE(context, nullptr);
  EXPECT_NE(context->stream, nullptr);
  EXPECT_EQ(context->width, 0);
  EXPECT_EQ(context->height, 0);
  EXPECT_EQ(context->pitch, 0u);
  EXPECT_EQ(context->src_image, nullptr);
  EXPECT_EQ(context->dst_image, nullptr);
  EXPECT_EQ(fake.live_streams(), 1u);  // the fake checks the non-blocking flag
}

TEST_F(GpuContextTest, CreateGivesNothingWhenTheStreamCannotBeMadeOrNoDriverBinds) {
  fake.fail(Op::stream_create);
  EXPECT_EQ(gpu_create(), nullptr);
  SetUp();
  fake.fail(Op::init);
  EXPECT_EQ(gpu_create(), nullptr);
  EXPECT_EQ(fake.live_streams(), 0u);
}

TEST_F(GpuContextTest, SizingTwiceForOneSizeAllocatesOnce) {
  context = gpu_create();
  ASSERT_TRUE(gpu_resize(context, 100, 30));
  EXPECT_EQ(context->width, 100);
  EXPECT_EQ(context->height, 30);
  EXPECT_EQ(context->pitch, 512u);
  EXPECT_NE(context->src_image, nullptr);
  EXPECT_NE(context->dst_image, nullptr);
  ASSERT_TRUE(gpu_resize(context, 100, 30));
  EXPECT_EQ(fake.count(Op::mem_alloc_pitch), 2);
  EXPECT_EQ(fake.count(Op::mem_free), 0);
}

TEST_F(GpuContextTest, SizingForAnEmptyFrameChangesNothing) {
  context = gpu_create();
  ASSERT_TRUE(gpu_resize(context, 8, 8));
  const GpuContext before = *context;
  const int calls = fake.count(Op::ctx_push_current);
  for (const auto& [w, h] : {std::pair{0, 8}, {8, 0}, {-1, 8}, {8, -5}}) {
    EXPECT_FALSE(gpu_resize(context, w, h));
    EXPECT_EQ(std::memcmp(&before, context, sizeof before), 0);
  }
  EXPECT_EQ(fake.count(Op::ctx_push_current), calls);  // no driver call at all
  EXPECT_FALSE(gpu_resize(nullptr, 8, 8));
}

TEST_F(GpuContextTest, AFailedSecondAllocationFreesTheFirst) {
  context = gpu_create();
  ASSERT_TRUE(gpu_resize(context, 8, 8));
  fake.fail(Op::mem_alloc_pitch, 2);
  EXPECT_FALSE(gpu_resize(context, 20, 10));
  EXPECT_EQ(context->src_image, nullptr);
  EXPECT_EQ(context->dst_image, nullptr);
  EXPECT_EQ(context->pitch, 0u);
  EXPECT_EQ(fake.live_allocations(), 0u);
  // The size stays the last good one, and the next call allocates again.
  EXPECT_EQ(context->width, 8);
  EXPECT_EQ(context->height, 8);
  EXPECT_TRUE(gpu_resize(context, 8, 8));
  EXPECT_EQ(fake.live_allocations(), 2u);
}

TEST_F(GpuContextTest, ImagesOfUnequalPitchCountAsAFailedSizing) {
  // One pitch addresses both images in the kernel; a mismatch would misread rows.
  context = gpu_create();
  fake.widen_pitch_countdown = 2;
  EXPECT_FALSE(gpu_resize(context, 20, 10));
  EXPECT_EQ(context->src_image, nullptr);
  EXPECT_EQ(context->dst_image, nullptr);
  EXPECT_EQ(context->pitch, 0u);
  EXPECT_EQ(fake.live_allocations(), 0u);
  EXPECT_TRUE(gpu_resize(context, 20, 10));
}

TEST_F(GpuContextTest, AFailedFirstAllocationLeavesNoImages) {
  context = gpu_create();
  fake.fail(Op::mem_alloc_pitch, 1);
  EXPECT_FALSE(gpu_resize(context, 20, 10));
  EXPECT_EQ(context->src_image, nullptr);
  EXPECT_EQ(context->dst_image, nullptr);
  EXPECT_EQ(fake.count(Op::mem_alloc_pitch), 1);
}

TEST_F(GpuContextTest, ResizingWaitsAndFreesTheOldImagesBeforeAllocating) {
  context = gpu_create();
  ASSERT_TRUE(gpu_resize(context, 8, 8));
  fake.events.clear();
  ASSERT_TRUE(gpu_resize(context, 300, 9));
  std::vector<Op> order;
  for (const Event& e : fake.events) order.push_back(e.op);
  EXPECT_EQ(order, (std::vector<Op>{Op::stream_synchronize, Op::mem_free, Op::mem_free,
                                    Op::mem_alloc_pitch, Op::mem_alloc_pitch}));
  EXPECT_EQ(fake.peak_allocations, 2u);  // old and new never coexist
  EXPECT_EQ(context->pitch, 1536u);
}

TEST_F(GpuContextTest, ReleaseAfterAFailedSizingStillDestroysTheStream) {
  context = gpu_create();
  fake.fail(Op::mem_alloc_pitch, 2);
  EXPECT_FALSE(gpu_resize(context, 20, 10));
  fake.events.clear();
  gpu_release(context);
  context = nullptr;
  ASSERT_EQ(fake.events.size(), 2u);
  EXPECT_EQ(fake.events[0].op, Op::stream_synchronize);
  EXPECT_EQ(fake.events[1].op, Op::stream_destroy);
  gpu_release(nullptr);
}

TEST_F(GpuContextTest, ReleaseWaitsFreesBothImagesThenDestroysTheStream) {
  context = gpu_create();
  ASSERT_TRUE(gpu_resize(context, 20, 10));
  fake.events.clear();
  gpu_release(context);
  context = nullptr;
  std::vector<Op> order;
  for (const Event& e : fake.events) order.push_back(e.op);
  EXPECT_EQ(order, (std::vector<Op>{Op::stream_synchronize, Op::mem_free, Op::mem_free,
                                    Op::stream_destroy}));
}

TEST_F(GpuContextTest, RoundTripGivesTheKernelsOutput) {
  context = gpu_create();
  ASSERT_TRUE(gpu_resize(context, 37, 21));
  const Frame in = gpu_test::textured_frame(37, 21, 5);
  HostImage src(37, 21, 37 * 4 + 12), dst(37, 21, 37 * 4 + 20);
  src.put(in);
  const Settings s{80, 60, 5, 0, 0};
  const int waits_before = fake.count(Op::stream_synchronize);
  ASSERT_TRUE(process(src, dst, s));
  EXPECT_EQ(dst.get().pixels, gpu_test::emulated(in, s).pixels);
  EXPECT_TRUE(dst.padding_intact());
  // One upload, one launch, one download, one wait.
  EXPECT_EQ(fake.count(Op::memcpy_2d_async), 2);
  EXPECT_EQ(fake.count(Op::launch_kernel), 1);
  EXPECT_EQ(fake.count(Op::stream_synchronize), waits_before + 1);
  EXPECT_EQ(fake.count(Op::mem_alloc_pitch), 2);  // sized before the frame
}

TEST_F(GpuContextTest, LaunchCoversTheFrameWithSixteenBySixteenBlocks) {
  context = gpu_create();
  for (const auto& [w, h, gx, gy] :
       {std::array{16, 16, 1, 1}, {17, 16, 2, 1}, {16, 17, 1, 2}, {17, 33, 2, 3}, {1, 1, 1, 1}}) {
    fake.launches.clear();
    HostImage src(w, h, 4 * w), dst(w, h, 4 * w);
    src.put(gpu_test::random_frame(w, h, 3));
    ASSERT_TRUE(process(src, dst, Settings{11, 22, 3, 2, 1}));
    ASSERT_EQ(fake.launches.size(), 1u);
    const fake_cuda::LaunchRecord& l = fake.launches[0];
    EXPECT_EQ(l.grid[0], unsigned(gx));
    EXPECT_EQ(l.grid[1], unsigned(gy));
    EXPECT_EQ(l.grid[2], 1u);
    EXPECT_EQ(l.block[0], 16u);
    EXPECT_EQ(l.block[1], 16u);
    EXPECT_EQ(l.block[2], 1u);
    EXPECT_EQ(l.shared_bytes, 0u);
    EXPECT_EQ(l.stream, context->stream);
    EXPECT_EQ(l.src, context->src_image);
    EXPECT_EQ(l.dst, context->dst_image);
    EXPECT_EQ(l.src_pitch, context->pitch);
    EXPECT_EQ(l.dst_pitch, context->pitch);
    // Settings arrive as received: interlace 2 stays 2, show noise passes through.
    const KernelSettings& k = l.settings;
    EXPECT_EQ(k.width, w);
    EXPECT_EQ(k.height, h);
    EXPECT_EQ(k.f1, 11);
    EXPECT_EQ(k.f2, 22);
    EXPECT_EQ(k.sharp, 3);
    EXPECT_EQ(k.interlace, 2);
    EXPECT_EQ(k.show_noise, 1);
  }
}

TEST_F(GpuContextTest, ANewSizeResizesAndTheSameSizeReuses) {
  context = gpu_create();
  ASSERT_TRUE(gpu_resize(context, 8, 8));
  HostImage a_src(20, 12, 80), a_dst(20, 12, 80);
  a_src.put(gpu_test::random_frame(20, 12, 1));
  ASSERT_TRUE(process(a_src, a_dst));
  EXPECT_EQ(fake.count(Op::mem_alloc_pitch), 4);
  EXPECT_EQ(context->width, 20);
  ASSERT_TRUE(process(a_src, a_dst));
  EXPECT_EQ(fake.count(Op::mem_alloc_pitch), 4);
}

TEST_F(GpuContextTest, RejectedArgumentsFailAfterSizing) {
  context = gpu_create();
  HostImage src(24, 6, 96), dst(24, 6, 96);
  src.put(gpu_test::random_frame(24, 6, 2));
  EXPECT_FALSE(gpu_process(context, nullptr, 96, dst.data(), 96, 24, 6, 70, 70, 2, 0, 0));
  EXPECT_EQ(context->width, 24);  // sized for the rejected frame
  EXPECT_EQ(context->height, 6);
  EXPECT_NE(context->pitch, 0u);
  EXPECT_FALSE(gpu_process(context, src.data(), 96, nullptr, 96, 24, 6, 70, 70, 2, 0, 0));
  EXPECT_FALSE(gpu_process(context, src.data(), 0, dst.data(), 96, 24, 6, 70, 70, 2, 0, 0));
  EXPECT_FALSE(gpu_process(context, src.data(), 96, dst.data(), 0, 24, 6, 70, 70, 2, 0, 0));
  EXPECT_FALSE(gpu_process(context, src.data(), 96, dst.data(), 96, 0, 6, 70, 70, 2, 0, 0));
  EXPECT_FALSE(gpu_process(nullptr, src.data(), 96, dst.data(), 96, 24, 6, 70, 70, 2, 0, 0));
  EXPECT_EQ(fake.count(Op::memcpy_2d_async), 0);
  EXPECT_EQ(fake.count(Op::mem_alloc_pitch), 2);
}

TEST_F(GpuContextTest, NegativePitchesPairDeviceRowZeroWithTheLowestAddressedRow) {
  context = gpu_create();
  const Frame in = gpu_test::random_frame(19, 7, 8);
  for (const auto& [src_pitch, dst_pitch] :
       {std::pair{-19 * 4, 19 * 4}, {19 * 4 + 8, -(19 * 4 + 4)}, {-100, -80}}) {
    fake.copies.clear();
    HostImage src(19, 7, src_pitch), dst(19, 7, dst_pitch);
    src.put(in);  // ascending address order
    ASSERT_TRUE(process(src, dst));
    ASSERT_EQ(fake.copies.size(), 2u);
    EXPECT_EQ(fake.copies[0].copy.src_host, src.row(0));
    EXPECT_EQ(fake.copies[0].copy.src_pitch, size_t(std::abs(src_pitch)));
    EXPECT_EQ(fake.copies[1].copy.dst_host, dst.row(0));
    EXPECT_EQ(fake.copies[1].copy.dst_pitch, size_t(std::abs(dst_pitch)));
    EXPECT_EQ(dst.get().pixels, gpu_test::emulated(in, {}).pixels);
    EXPECT_TRUE(dst.padding_intact());
  }
}

TEST_F(GpuContextTest, ShowNoiseReachesTheKernel) {
  context = gpu_create();
  const Frame in = gpu_test::textured_frame(30, 18, 4);
  HostImage src(30, 18, 120), dst(30, 18, 120);
  src.put(in);
  const Settings s{70, 70, 2, 0, 1};
  ASSERT_TRUE(process(src, dst, s));
  EXPECT_EQ(dst.get().pixels, gpu_test::emulated(in, s).pixels);
  EXPECT_NE(dst.get().pixels, gpu_test::emulated(in, Settings{}).pixels);
}

struct StepFault {
  Op op;
  int nth;
  const char* name;
};

void PrintTo(const StepFault& f, std::ostream* os) { *os << f.name; }

class RoundTripFault : public GpuContextTest, public testing::WithParamInterface<StepFault> {};

TEST_P(RoundTripFault, FailsThatFrameOnlyAndTheNextOneSucceeds) {
  context = gpu_create();
  ASSERT_TRUE(gpu_resize(context, 8, 8));  // a different size: the frame resizes
  const Frame in = gpu_test::textured_frame(33, 17, 6);
  HostImage src(33, 17, 33 * 4), dst(33, 17, 33 * 4);
  src.put(in);
  fake.fail(GetParam().op, GetParam().nth);
  EXPECT_FALSE(process(src, dst));
  // No failure is remembered: the next frame goes through.
  HostImage dst2(33, 17, 33 * 4);
  ASSERT_TRUE(process(src, dst2));
  EXPECT_EQ(dst2.get().pixels, gpu_test::emulated(in, {}).pixels);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, RoundTripFault,
    // Context calls of the frame: wait, two frees, two allocations, upload, ...
    testing::Values(StepFault{Op::ctx_push_current, 6, "context_at_upload"},
                    StepFault{Op::mem_alloc_pitch, 1, "first_allocation"},
                    StepFault{Op::mem_alloc_pitch, 2, "second_allocation"},
                    StepFault{Op::memcpy_2d_async, 1, "upload"},
                    StepFault{Op::launch_kernel, 1, "launch"},
                    StepFault{Op::memcpy_2d_async, 2, "download"},
                    StepFault{Op::stream_synchronize, 2, "final_wait"}),
    [](const testing::TestParamInfo<StepFault>& info) { return std::string(info.param.name); });

}  // namespace
