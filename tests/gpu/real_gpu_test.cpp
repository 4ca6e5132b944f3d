// The real kernel on a real GPU against its CPU emulation, bit for bit. These
// tests skip where no CUDA driver or GPU exists (scripts/gpu-check runs them on
// a machine with one).
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <future>

#include "core/row_walk.h"
#include "frames.h"
#include "gpu/device_operations.h"
#include "gpu/gpu_context.h"
#include "gpu/kernel_image.h"

namespace {

using gpu_test::Frame;
using gpu_test::Settings;

class RealGpu : public testing::Test {
 protected:
  void SetUp() override {
    if (qnr_kernel_image.data == nullptr) GTEST_SKIP() << "built without nvcc: no kernel image";
    context = gpu_create();
    if (context == nullptr) GTEST_SKIP() << "no usable CUDA driver or GPU";
  }
  void TearDown() override { gpu_release(context); }

  // The frame through the GPU with the given host pitches (0: packed).
  Frame on_gpu(const Frame& in, const Settings& s, int64_t src_pitch = 0, int64_t dst_pitch = 0) {
    const int64_t row = 4 * int64_t{in.width};
    if (src_pitch == 0) src_pitch = row;
    if (dst_pitch == 0) dst_pitch = row;
    std::vector<uint8_t> src(row_stride(src_pitch) * in.height);
    std::vector<uint8_t> dst(row_stride(dst_pitch) * in.height, 0x5A);
    // Row k of the frame is the k-th lowest-addressed row, whatever the sign of the pitch.
    copy_rows({src.data(), row_stride(src_pitch)},
              packed_walk(const_cast<uint32_t*>(in.pixels.data()), row), in.height, row);
    const auto data = [&](std::vector<uint8_t>& v, int64_t p) {
      return v.data() - lowest_row_offset(p, in.height);
    };
    EXPECT_TRUE(gpu_process(context, data(src, src_pitch), src_pitch, data(dst, dst_pitch),
                            dst_pitch, in.width, in.height, s.level_f1, s.level_f2, s.sharp,
                            s.interlace, s.show_noise));
    Frame out{in.width, in.height, std::vector<uint32_t>(in.pixels.size())};
    copy_rows(packed_walk(out.pixels.data(), row), {dst.data(), row_stride(dst_pitch)}, in.height,
              row);
    size_t padding_changed = 0;
    for (int32_t k = 0; k < in.height; ++k) {
      const uint8_t* line = dst.data() + k * row_stride(dst_pitch);
      for (int64_t i = row; i < row_stride(dst_pitch); ++i) padding_changed += line[i] != 0x5A;
    }
    EXPECT_EQ(padding_changed, 0u) << "bytes past the frame's rows were written";
    return out;
  }

  GpuContext* context = nullptr;
};

void expect_same(const Frame& got, const Frame& want) {
  ASSERT_EQ(got.pixels.size(), want.pixels.size());
  for (size_t i = 0; i < got.pixels.size(); ++i) {
    ASSERT_EQ(got.pixels[i], want.pixels[i]) << "pixel " << i % got.width << "," << i / got.width
                                             << " of " << got.width << "x" << got.height;
  }
}

TEST_F(RealGpu, KernelMatchesItsEmulationBitForBit) {
  const std::vector<std::pair<int, int>> sizes =
      gpu_test::quick_check() ? std::vector<std::pair<int, int>>{{1, 1}, {17, 9}, {40, 24}}
                              : std::vector<std::pair<int, int>>{
                                    {1, 1}, {17, 9}, {720, 576}, {1920, 1080}, {3840, 2160}};
  std::vector<Settings> settings;
  for (const int interlace : {0, 1})
    for (const int noise : {0, 1})
      for (const auto& [f1, f2, sharp] :
           {std::array{0, 0, 0}, {100, 100, 6}, {100, 0, 6}, {0, 100, 0}})
        settings.push_back(Settings{f1, f2, sharp, interlace, noise});
  settings.push_back(Settings{70, 70, 2, 2, 0});
  uint32_t seed = 100;
  for (const auto& [w, h] : sizes) {
    // Random pixels exercise every colour; textured ones both decisions.
    const Frame random = gpu_test::random_frame(w, h, seed++);
    const Frame textured = gpu_test::textured_frame(w, h, seed++);
    for (const Settings& s : settings) {
      // The largest frames take a subset of the settings to keep the check short.
      if (w >= 1920 && s.level_f1 != s.level_f2) continue;
      SCOPED_TRACE(testing::Message()
                   << w << "x" << h << " f1 " << s.level_f1 << " f2 " << s.level_f2 << " sharp "
                   << s.sharp << " interlace " << s.interlace << " noise " << s.show_noise);
      expect_same(on_gpu(random, s), gpu_test::emulated(random, s));
      expect_same(on_gpu(textured, s), gpu_test::emulated(textured, s));
    }
  }
}

// Sizes that fill no whole block, up to 8K, with host rows padded by a number
// of bytes that is no multiple of 4 (so pixels sit unaligned) and walked
// bottom-up or top-down on either side.
TEST_F(RealGpu, OddSizesUpTo8KWithUnalignedHostPitchesOfEitherSign) {
  struct Case {
    int width, height;
    int src_padding, dst_padding;  // bytes past 4 x width; negative: a negative pitch
  };
  const std::vector<Case> cases =
      gpu_test::quick_check()
          ? std::vector<Case>{{67, 45, 3, -1}, {1, 33, -5, 7}, {33, 1, 1, -3}, {3, 2, -7, 5}}
          : std::vector<Case>{{7680, 4320, 3, -1}, {7679, 4319, -5, 7}, {4097, 2161, 1, -3},
                              {1921, 1079, -7, 5}, {1, 4320, 3, 3},     {7680, 1, -1, -1},
                              {33, 17, 5, -9}};
  // The emulation is slow at 8K: every case's reference is computed at once.
  std::vector<std::future<Frame>> expected;
  std::vector<Frame> inputs;
  uint32_t seed = 300;
  for (const Case& c : cases) inputs.push_back(gpu_test::random_frame(c.width, c.height, seed++));
  const Settings s{80, 60, 3, 1, 0};
  for (const Frame& in : inputs) {
    expected.push_back(
        std::async(std::launch::async, [&in, s] { return gpu_test::emulated(in, s); }));
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const auto pitch = [&c](int padding) {
      const int64_t magnitude = 4 * int64_t{c.width} + (padding < 0 ? -padding : padding);
      return padding < 0 ? -magnitude : magnitude;
    };
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " pitches "
                                    << pitch(c.src_padding) << ", " << pitch(c.dst_padding));
    expect_same(on_gpu(inputs[i], s, pitch(c.src_padding), pitch(c.dst_padding)),
                expected[i].get());
  }
}

TEST_F(RealGpu, HostPitchesOfEitherSignGiveTheSameFrame) {
  const Frame in = gpu_test::textured_frame(720, 576, 9);
  const Settings s{};
  const Frame want = gpu_test::emulated(in, s);
  expect_same(on_gpu(in, s, -720 * 4, 720 * 4 + 64), want);
  expect_same(on_gpu(in, s, 720 * 4 + 4, -(720 * 4)), want);
}

TEST_F(RealGpu, ResizingBetweenFramesKeepsResultsExact) {
  // Frames that change size re-size the images; nothing from earlier frames leaks in.
  const Frame small = gpu_test::random_frame(33, 7, 1);
  const Frame large = gpu_test::random_frame(300, 200, 2);
  expect_same(on_gpu(small, {}), gpu_test::emulated(small, {}));
  expect_same(on_gpu(large, {}), gpu_test::emulated(large, {}));
  expect_same(on_gpu(small, {}), gpu_test::emulated(small, {}));
  EXPECT_EQ(cuda_get_last_error(), kCudaSuccess);
}

}  // namespace
