// Per-frame times on a machine with a GPU: the whole round trip (upload,
// kernel, download, wait), its floor (the two copies and the wait without the
// kernel), the kernel alone, and the CPU path beside them.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "frames.h"
#include "gpu/cuda_runtime.h"
#include "gpu/gpu_context.h"
#include "gpu/kernel_image.h"

namespace {

using Clock = std::chrono::steady_clock;

template <class F>
double ms_per_call(int calls, F&& f) {
  const auto start = Clock::now();
  for (int i = 0; i < calls; ++i) f();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / calls;
}

}  // namespace

int main() {
  if (qnr_kernel_image.data == nullptr) {
    std::fprintf(stderr, "gpu_bench: built without nvcc, the module carries no kernel\n");
    return 1;
  }
  GpuContext* context = gpu_create();
  if (context == nullptr) {
    std::fprintf(stderr, "gpu_bench: no usable CUDA driver or GPU\n");
    return 1;
  }
  std::printf("%-10s %14s %12s %14s %10s %12s %9s\n", "frame", "round trip ms", "Mpix/s",
              "copies only ms", "kernel ms", "CPU path ms", "speed-up");
  for (const auto& [w, h] : {std::pair{1920, 1080}, {3840, 2160}}) {
    const gpu_test::Frame in = gpu_test::textured_frame(w, h, 1);
    std::vector<uint32_t> out(in.pixels.size());
    const auto* src = reinterpret_cast<const uint8_t*>(in.pixels.data());
    auto* dst = reinterpret_cast<uint8_t*>(out.data());
    const int64_t pitch = 4 * int64_t{w};
    const auto round_trip = [&] {
      if (!gpu_process(context, src, pitch, dst, pitch, w, h, 70, 70, 2, 0, 0)) {
        std::fprintf(stderr, "gpu_bench: the round trip failed\n");
        std::exit(1);
      }
    };
    round_trip();  // sizes the images and loads the kernel
    const double trip = ms_per_call(50, round_trip);

    const void* kernel_src = context->src_image;
    void* kernel_dst = context->dst_image;
    unsigned long long p = context->pitch;
    int width = w, height = h, f1 = 70, f2 = 70, sharp = 2, interlace = 0, noise = 0;
    void* arguments[] = {&kernel_src, &p, &kernel_dst, &p, &width, &height,
                         &f1, &f2, &sharp, &interlace, &noise};
    const Dim3 grid{static_cast<unsigned>((w + 15) / 16), static_cast<unsigned>((h + 15) / 16), 1};
    constexpr int kLaunches = 200;
    const double kernel = ms_per_call(1, [&] {
      for (int i = 0; i < kLaunches; ++i) cuda_launch_qnr_kernel(grid, {16, 16, 1}, 0, context->stream, arguments);
      cuda_stream_synchronize(context->stream);
    }) / kLaunches;
    if (cuda_get_last_error() != kCudaSuccess) {
      std::fprintf(stderr, "gpu_bench: a kernel launch failed\n");
      return 1;
    }

    const size_t row = 4 * static_cast<size_t>(w);
    const double copies = ms_per_call(50, [&] {
      cuda_memcpy_2d_async(context->src_image, context->pitch, src, row, row, h,
                           CudaCopyKind::kHostToDevice, context->stream);
      cuda_memcpy_2d_async(dst, row, context->dst_image, context->pitch, row, h,
                           CudaCopyKind::kDeviceToHost, context->stream);
      cuda_stream_synchronize(context->stream);
    });

    const gpu_test::Settings s{};
    const double cpu = ms_per_call(3, [&] { gpu_test::cpu_path(in, s); });
    const double mpix = double(w) * h / 1e3 / trip;
    std::printf("%4dx%-5d %14.3f %12.1f %14.3f %10.3f %12.1f %8.1fx\n", w, h, trip, mpix, copies,
                kernel, cpu, cpu / trip);
  }
  gpu_release(context);
  return 0;
}
