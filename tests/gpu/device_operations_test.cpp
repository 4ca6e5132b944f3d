// The runtime operations over the driver: binding once per process, the
// primary context, the kernel lookup and the per-thread launch error.
#include <gtest/gtest.h>

#include <string_view>
#include <thread>

#include "fake_fixture.h"
#include "gpu/device_operations.h"
#include "gpu/kernel_image.h"

namespace {

using fake_cuda::Op;

class CudaRuntime : public gpu_test::FakeDriverTest {
 protected:
  // A valid launch of a 16 x 16 frame on a fresh stream and images.
  CudaError launch_once() {
    if (stream == nullptr) {
      EXPECT_EQ(cuda_stream_create_with_flags(&stream, kCudaStreamNonBlocking), 0);
      EXPECT_EQ(cuda_malloc_pitch(&src, &pitch, 64, 16), 0);
      EXPECT_EQ(cuda_malloc_pitch(&dst, &pitch, 64, 16), 0);
    }
    const void* s = src;
    void* d = dst;
    unsigned long long p = pitch;
    int width = 16, height = 16, f1 = 70, f2 = 70, sharp = 2, interlace = 0, noise = 0;
    void* arguments[] = {&s, &p, &d, &p, &width, &height, &f1, &f2, &sharp, &interlace, &noise};
    return cuda_launch_qnr_kernel({1, 1, 1}, {16, 16, 1}, 0, stream, arguments);
  }
  void TearDown() override {
    if (stream != nullptr) {
      cuda_stream_synchronize(stream);
      cuda_free(src);
      cuda_free(dst);
      cuda_stream_destroy(stream);
    }
    FakeDriverTest::TearDown();
  }
  CudaStream stream = nullptr;
  void* src = nullptr;
  void* dst = nullptr;
  size_t pitch = 0;
};

TEST_F(CudaRuntime, BindsOnceAndMakesThePrimaryContextCurrentForEveryOperation) {
  EXPECT_EQ(fake.count(Op::init), 0);  // nothing happens before the first use
  ASSERT_EQ(launch_once(), 0);
  ASSERT_EQ(cuda_stream_synchronize(stream), 0);
  EXPECT_EQ(fake.count(Op::init), 1);
  EXPECT_EQ(fake.count(Op::device_get), 1);
  EXPECT_EQ(fake.count(Op::primary_ctx_retain), 1);
  // stream, two allocations, launch, wait
  EXPECT_EQ(fake.count(Op::ctx_push_current), 5);
  EXPECT_EQ(pitch, 512u);
}

TEST_F(CudaRuntime, EveryOperationReportsNotSupportedWhenBindingFails) {
  for (const Op step : {Op::init, Op::device_get, Op::primary_ctx_retain}) {
    SetUp();  // a fresh binding
    fake.fail(step);
    CudaStream s = nullptr;
    void* p = nullptr;
    size_t row_pitch = 0;
    int byte = 0;
    EXPECT_EQ(cuda_stream_create_with_flags(&s, kCudaStreamNonBlocking), kCudaErrorNotSupported);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(cuda_malloc_pitch(&p, &row_pitch, 64, 4), kCudaErrorNotSupported);
    EXPECT_EQ(cuda_free(&byte), kCudaErrorNotSupported);
    EXPECT_EQ(cuda_memcpy_2d_async(&byte, 4, &byte, 4, 4, 1, CudaCopyKind::kHostToDevice, s),
              kCudaErrorNotSupported);
    EXPECT_EQ(cuda_stream_synchronize(s), kCudaErrorNotSupported);
    EXPECT_EQ(cuda_stream_destroy(s), kCudaErrorNotSupported);
    void* arguments[11] = {};
    EXPECT_EQ(cuda_launch_qnr_kernel({1, 1, 1}, {16, 16, 1}, 0, s, arguments),
              kCudaErrorNotSupported);
    EXPECT_EQ(cuda_get_last_error(), kCudaErrorNotSupported);
    // The failed binding is not retried.
    EXPECT_EQ(fake.count(Op::init), 1);
    EXPECT_EQ(fake.count(Op::stream_create), 0);
  }
}

TEST_F(CudaRuntime, AFailureToMakeTheContextCurrentFailsThatOperationOnly) {
  fake.fail(Op::ctx_push_current);
  CudaStream s = nullptr;
  EXPECT_NE(cuda_stream_create_with_flags(&s, kCudaStreamNonBlocking), 0);
  EXPECT_EQ(fake.count(Op::stream_create), 0);
  ASSERT_EQ(cuda_stream_create_with_flags(&s, kCudaStreamNonBlocking), 0);
  EXPECT_EQ(cuda_stream_destroy(s), 0);
}

TEST_F(CudaRuntime, LooksTheKernelUpOnceOnTheFirstLaunch) {
  ASSERT_EQ(launch_once(), 0);
  ASSERT_EQ(launch_once(), 0);
  EXPECT_EQ(fake.count(Op::module_load_data), 1);
  EXPECT_EQ(fake.count(Op::module_get_function), 1);
  EXPECT_EQ(fake.count(Op::launch_kernel), 2);
  EXPECT_EQ(cuda_get_last_error(), 0);
}

TEST_F(CudaRuntime, AFailedKernelLookupIsNeverRetried) {
  for (const Op step : {Op::module_load_data, Op::module_get_function}) {
    SetUp();
    stream = nullptr;
    fake.fail(step);
    EXPECT_NE(launch_once(), 0);
    EXPECT_NE(launch_once(), 0);
    EXPECT_EQ(fake.count(step), 1);
    EXPECT_EQ(fake.count(Op::launch_kernel), 0);
    EXPECT_NE(cuda_get_last_error(), 0);
    TearDown();
    stream = nullptr;
  }
}

TEST_F(CudaRuntime, WithoutAKernelImageEveryLaunchFailsWithoutAskingTheDriver) {
  cuda_use_driver_for_testing(&fake_cuda::driver_table(), KernelImage{nullptr, 0, 0});
  EXPECT_NE(launch_once(), 0);
  EXPECT_NE(cuda_get_last_error(), 0);
  EXPECT_EQ(fake.count(Op::module_load_data), 0);
}

TEST_F(CudaRuntime, ALaunchErrorStaysWithItsThreadUntilQueried) {
  ASSERT_EQ(launch_once(), 0);
  fake.fail(Op::launch_kernel);
  CudaError seen_there = 0, second_query = -1;
  std::thread([&] {
    launch_once();
    seen_there = cuda_get_last_error();
    second_query = cuda_get_last_error();
  }).join();
  EXPECT_EQ(seen_there, fake_cuda::kInjectedError);
  EXPECT_EQ(second_query, 0);           // the query cleared it
  EXPECT_EQ(cuda_get_last_error(), 0);  // this thread's launches all succeeded
}

TEST_F(CudaRuntime, FreeingNullAsksNothingOfTheDriver) {
  EXPECT_EQ(cuda_free(nullptr), 0);
  EXPECT_EQ(fake.count(Op::init), 0);
  EXPECT_EQ(fake.count(Op::mem_free), 0);
}

TEST_F(CudaRuntime, CopiesDescribeHostAndDeviceSidesAsTheDriverExpects) {
  CudaStream s = nullptr;
  void* image = nullptr;
  size_t row_pitch = 0;
  ASSERT_EQ(cuda_stream_create_with_flags(&s, kCudaStreamNonBlocking), 0);
  ASSERT_EQ(cuda_malloc_pitch(&image, &row_pitch, 12, 2), 0);
  uint8_t host[2][16] = {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
                         {13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24}};
  uint8_t back[2][16] = {};
  ASSERT_EQ(cuda_memcpy_2d_async(image, row_pitch, host, 16, 12, 2, CudaCopyKind::kHostToDevice, s),
            0);
  ASSERT_EQ(cuda_memcpy_2d_async(back, 16, image, row_pitch, 12, 2, CudaCopyKind::kDeviceToHost, s),
            0);
  ASSERT_EQ(cuda_stream_synchronize(s), 0);
  EXPECT_EQ(std::memcmp(host, back, sizeof host), 0);
  const CuMemcpy2D& up = fake.copies[0].copy;
  EXPECT_EQ(up.src_memory_type, kCuMemoryTypeHost);
  EXPECT_EQ(up.dst_memory_type, kCuMemoryTypeDevice);
  EXPECT_EQ(up.dst_pitch, row_pitch);
  EXPECT_EQ(up.src_pitch, 16u);
  cuda_free(image);
  cuda_stream_destroy(s);
}

TEST(KernelImage, HoldsTheKernelUnderTheNameTheLookupUses) {
#if defined(QNR_HAVE_KERNEL_IMAGE)
  ASSERT_NE(qnr_kernel_image.data, nullptr);
  // A fatbin starts with its magic number.
  const unsigned char magic[] = {0x50, 0xED, 0x55, 0xBA};
  EXPECT_EQ(std::memcmp(qnr_kernel_image.data, magic, 4), 0);
  const std::string_view bytes(reinterpret_cast<const char*>(qnr_kernel_image.data),
                               qnr_kernel_image.size);
  EXPECT_NE(bytes.find(kKernelSymbol), std::string_view::npos);
#else
  EXPECT_EQ(qnr_kernel_image.data, nullptr);
  EXPECT_EQ(qnr_kernel_image.size, 0u);
#endif
}

}  // namespace
