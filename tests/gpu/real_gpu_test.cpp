// The real kernel on a real GPU against its CPU emulation, bit for bit. These
// tests skip where no CUDA driver or GPU exists (scripts/gpu-check runs them on
// a machine with one).
#include <gtest/gtest.h>

#include <array>
#include <cstring>

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
  const std::vector<std::pair<int, int>> sizes = {
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
