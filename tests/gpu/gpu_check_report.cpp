// The GPU check's report, on a machine with a GPU: the device and driver, the
// image the driver took from the module's fatbin (machine code or PTX compiled
// by the driver), the kernel against its emulation bit for bit case by case,
// and per-frame times of the round trip (upload, kernel, download, wait), its
// copies alone, the kernel alone and the CPU path at 1080p and 4K.
// Exits non-zero when no GPU is usable or any case differs.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "fatbin.h"
#include "frames.h"
#include "gpu/cuda_driver.h"
#include "gpu/cuda_driver_library.h"
#include "gpu/device_operations.h"
#include "gpu/gpu_context.h"
#include "gpu/kernel_image.h"

namespace {

using Clock = std::chrono::steady_clock;
using gpu_test::Frame;
using gpu_test::Settings;

// Mean ms per call over up to `calls` calls, stopping early (after two) once
// a second has passed, so a slow device or the fake driver ends soon too.
template <class F>
double ms_per_call(int calls, F&& f) {
  const auto start = Clock::now();
  int done = 0;
  while (done < calls) {
    f();
    ++done;
    if (done >= 2 && Clock::now() - start > std::chrono::seconds(1)) break;
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / done;
}

// Queries the module's runtime has no use for, taken from the driver directly.
struct DriverQueries {
  CuResult (*driver_get_version)(int*);
  CuResult (*device_get_name)(char*, int, CuDevice);
  CuResult (*device_get_attribute)(int*, int, CuDevice);
  CuResult (*func_get_attribute)(int*, int, CuFunction);
  CudaDriver base;
};

constexpr int kComputeCapabilityMajor = 75;  // CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR
constexpr int kComputeCapabilityMinor = 76;
constexpr int kFuncPtxVersion = 5;           // CU_FUNC_ATTRIBUTE_PTX_VERSION
constexpr int kFuncBinaryVersion = 6;        // CU_FUNC_ATTRIBUTE_BINARY_VERSION

bool load_queries(DriverQueries& q) {
  void* library = open_cuda_driver_library();
  CudaCall missing = CudaCall::init;
  if (library == nullptr || !bind_cuda_driver(library, q.base, missing)) return false;
  const auto find = [library]<class F>(F& function, const char* name) {
    function = reinterpret_cast<F>(cuda_driver_symbol(library, name));
    return function != nullptr;
  };
  return find(q.driver_get_version, "cuDriverGetVersion") &&
         find(q.device_get_name, "cuDeviceGetName") &&
         find(q.device_get_attribute, "cuDeviceGetAttribute") &&
         find(q.func_get_attribute, "cuFuncGetAttribute");
}

std::string first_line_of(const char* path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

// Device, driver and the image the driver picks for this GPU (the module's
// own choice, since it loads the same bytes the same way).
bool report_device() {
  DriverQueries q{};
  CuDevice device = 0;
  CuContext context = nullptr;
  if (!load_queries(q) || q.base.init(0) != 0 || q.base.device_get(&device, 0) != 0 ||
      q.base.primary_ctx_retain(&context, device) != 0) {
    std::printf("device:       none usable (libcuda.so.1 missing, or no device)\n");
    return false;
  }
  char name[256] = {};
  int major = 0, minor = 0, version = 0;
  q.device_get_name(name, sizeof name, device);
  q.device_get_attribute(&major, kComputeCapabilityMajor, device);
  q.device_get_attribute(&minor, kComputeCapabilityMinor, device);
  q.driver_get_version(&version);
  std::printf("device:       %s, compute capability %d.%d\n", name, major, minor);
  const std::string release = first_line_of("/proc/driver/nvidia/version");
  std::printf("driver:       CUDA %d.%d%s%s\n", version / 1000, version % 1000 / 10,
              release.empty() ? "" : "; ", release.c_str());

  const auto entries = gpu_test::fatbin_entries(qnr_kernel_image.data, qnr_kernel_image.size);
  std::string listed;
  for (const auto& e : entries.value_or(std::vector<gpu_test::FatbinEntry>{})) {
    listed += (e.ptx ? " compute_" : " sm_") + std::to_string(e.arch);
  }
  std::printf("module image:%s\n", listed.c_str());

  q.base.ctx_push_current(context);
  CuModule module = nullptr;
  CuFunction function = nullptr;
  CuResult error = q.base.module_load_data(&module, qnr_kernel_image.data);
  if (error == 0) error = q.base.module_get_function(&function, module, kKernelSymbol);
  if (error != 0) {
    const char* error_name = nullptr;
    q.base.get_error_name(error, &error_name);
    std::printf("kernel image: none loads (%d %s)\n", error, error_name ? error_name : "");
  } else {
    int ptx = 0, binary = 0;
    q.func_get_attribute(&ptx, kFuncPtxVersion, function);
    q.func_get_attribute(&binary, kFuncBinaryVersion, function);
    // Each machine-code entry is built from PTX of its own generation; code
    // from the compute_75 PTX for a later GPU was compiled by the driver.
    const bool jit = ptx != binary;
    std::printf("kernel image: %s (PTX version %d, binary version %d)%s\n",
                jit ? "PTX compute_75 compiled by the driver (JIT)" : "machine code (SASS)", ptx,
                binary, std::getenv("CUDA_FORCE_PTX_JIT") ? "  [CUDA_FORCE_PTX_JIT=1]" : "");
  }
  CuContext popped = nullptr;
  q.base.ctx_pop_current(&popped);
  return error == 0;
}

struct Case {
  const char* content;
  Frame in;
  Settings settings;
  std::future<Frame> expected;
};

bool report_exactness(GpuContext* context) {
  std::vector<Case> cases;
  const std::vector<std::pair<int, int>> sizes = {{1, 1}, {17, 9}, {720, 576}, {1920, 1080}, {3840, 2160}};
  const std::vector<Settings> settings = {
      {70, 70, 2, 0, 0}, {100, 100, 6, 1, 1}, {0, 100, 0, 0, 0}, {100, 0, 6, 2, 0}};
  uint32_t seed = 1;
  for (const auto& [w, h] : sizes) {
    for (const Settings& s : settings) {
      cases.push_back({"random", gpu_test::random_frame(w, h, seed++), s, {}});
      cases.push_back({"textured", gpu_test::textured_frame(w, h, seed++), s, {}});
    }
  }
  // The emulation is slow; every case's runs on its own thread.
  for (Case& c : cases) {
    c.expected = std::async(std::launch::async, [&c] { return gpu_test::emulated(c.in, c.settings); });
  }
  std::printf("\nkernel against its emulation, bit for bit:\n");
  bool all_exact = true;
  for (Case& c : cases) {
    const Frame& in = c.in;
    const Settings& s = c.settings;
    std::vector<uint32_t> out(in.pixels.size());
    const int64_t pitch = 4 * int64_t{in.width};
    const bool ran = gpu_process(context, reinterpret_cast<const uint8_t*>(in.pixels.data()), pitch,
                                 reinterpret_cast<uint8_t*>(out.data()), pitch, in.width, in.height,
                                 s.level_f1, s.level_f2, s.sharp, s.interlace, s.show_noise);
    const Frame want = c.expected.get();
    size_t differing = 0, first = 0;
    for (size_t i = out.size(); i-- > 0;) {
      if (out[i] != want.pixels[i]) {
        ++differing;
        first = i;
      }
    }
    std::string verdict = "exact";
    if (!ran) {
      verdict = "GPU ROUND TRIP FAILED";
    } else if (differing != 0) {
      verdict = "DIFFERS in " + std::to_string(differing) + " pixels, first at " +
                std::to_string(first % in.width) + "," + std::to_string(first / in.width);
    }
    all_exact &= ran && differing == 0;
    std::printf("  %4dx%-4d %-8s f1 %3d f2 %3d sharp %d interlace %d noise %d  %s\n", in.width,
                in.height, c.content, s.level_f1, s.level_f2, s.sharp, s.interlace, s.show_noise,
                verdict.c_str());
  }
  return all_exact;
}

bool report_times(GpuContext* context) {
  std::printf("\nms per frame       round trip  copies only  kernel only   CPU path  speed-up\n");
  for (const auto& [w, h] : {std::pair{1920, 1080}, {3840, 2160}}) {
    const Frame in = gpu_test::textured_frame(w, h, 1);
    std::vector<uint32_t> out(in.pixels.size());
    const auto* src = reinterpret_cast<const uint8_t*>(in.pixels.data());
    auto* dst = reinterpret_cast<uint8_t*>(out.data());
    const int64_t pitch = 4 * int64_t{w};
    bool ok = true;
    const auto round_trip = [&] { ok &= gpu_process(context, src, pitch, dst, pitch, w, h, 70, 70, 2, 0, 0); };
    round_trip();  // sizes the images
    const double trip = ms_per_call(50, round_trip);

    const void* kernel_src = context->src_image;
    void* kernel_dst = context->dst_image;
    unsigned long long p = context->pitch;
    int width = w, height = h, f1 = 70, f2 = 70, sharp = 2, interlace = 0, noise = 0;
    void* arguments[] = {&kernel_src, &p, &kernel_dst, &p, &width, &height,
                         &f1, &f2, &sharp, &interlace, &noise};
    const Dim3 grid{static_cast<unsigned>((w + 15) / 16), static_cast<unsigned>((h + 15) / 16), 1};
    // Launches queue back to back; the wait after the last ends the measurement.
    constexpr int kLaunches = 20;
    const double kernel = ms_per_call(10, [&] {
      for (int i = 0; i < kLaunches; ++i) {
        cuda_launch_qnr_kernel(grid, {16, 16, 1}, 0, context->stream, arguments);
      }
      ok &= cuda_stream_synchronize(context->stream) == kCudaSuccess;
    }) / kLaunches;
    ok &= cuda_get_last_error() == kCudaSuccess;

    const size_t row = 4 * static_cast<size_t>(w);
    const double copies = ms_per_call(50, [&] {
      ok &= cuda_memcpy_2d_async(context->src_image, context->pitch, src, row, row, h,
                                 CudaCopyKind::kHostToDevice, context->stream) == kCudaSuccess;
      ok &= cuda_memcpy_2d_async(dst, row, context->dst_image, context->pitch, row, h,
                                 CudaCopyKind::kDeviceToHost, context->stream) == kCudaSuccess;
      ok &= cuda_stream_synchronize(context->stream) == kCudaSuccess;
    });
    const double cpu = ms_per_call(3, [&] { gpu_test::cpu_path(in, Settings{}); });
    if (!ok) {
      std::printf("  %dx%d: a GPU operation failed\n", w, h);
      return false;
    }
    std::printf("  %4dx%-5d %12.3f %12.3f %12.3f %10.1f %8.1fx\n", w, h, trip, copies, kernel, cpu,
                cpu / trip);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool times = !(argc > 1 && std::string(argv[1]) == "--no-times");
  if (qnr_kernel_image.data == nullptr) {
    std::printf("gpu_check_report: built without nvcc, the module carries no kernel\n");
    return 1;
  }
  if (!report_device()) return 1;
  GpuContext* context = gpu_create();
  if (context == nullptr) {
    std::printf("gpu_check_report: the GPU road found no usable driver or GPU\n");
    return 1;
  }
  bool ok = report_exactness(context);
  if (times) ok &= report_times(context);
  gpu_release(context);
  return ok ? 0 : 1;
}
