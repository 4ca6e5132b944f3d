// The GPU check's report, on a machine with a GPU. Sections, in the order
// given on the command line (none: device, exactness, times):
//   device     the device and driver, the driver version the module needs, the
//              images the module carries and the one the driver loads from them
//              (machine code, or PTX it compiles)
//   exactness  the kernel against its emulation bit for bit, case by case
//   sanitize   a short run of small frames, for compute-sanitizer to watch
//   times      ms per frame of the round trip, its copies alone, the kernel
//              alone and the CPU path at 1080p and 4K, and the device memory
//              one instance holds at 1080p, 4K and 8K
// Exits 0 when everything holds, 1 on any failure, and 3 with one line when no
// driver or no device is there to check. QNR_GPU_CHECK_QUICK=1 keeps frames
// small (the dry run on the fake driver).
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

constexpr int kExitFailure = 1;
constexpr int kExitNothingToCheck = 3;

// Mean ms per call over up to `calls` calls, stopping early (after two) once
// a second has passed, so a slow device or the fake driver ends soon too.
template <class F> double ms_per_call(int calls, F&& f) {
  const auto start = Clock::now();
  int done = 0;
  while (done < calls) {
    f();
    ++done;
    if (done >= 2 && Clock::now() - start > std::chrono::seconds(1)) break;
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / done;
}

// The driver as the report asks it directly: the module's functions and the
// queries the module has no use for.
struct Driver {
  CudaDriver base{};
  CuResult (*device_get_name)(char*, int, CuDevice) = nullptr;
  CuResult (*device_get_attribute)(int*, int, CuDevice) = nullptr;
  CuResult (*func_get_attribute)(int*, int, CuFunction) = nullptr;
  CuResult (*mem_get_info)(size_t*, size_t*) = nullptr;
  CuDevice device = 0;
  CuContext primary = nullptr;

  const char* error_name(CuResult error) const {
    const char* name = nullptr;
    return base.get_error_name(error, &name) == 0 && name != nullptr ? name : "unknown";
  }
};

constexpr int kComputeCapabilityMajor = 75;  // CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR
constexpr int kComputeCapabilityMinor = 76;
constexpr int kFuncPtxVersion = 5;     // CU_FUNC_ATTRIBUTE_PTX_VERSION
constexpr int kFuncBinaryVersion = 6;  // CU_FUNC_ATTRIBUTE_BINARY_VERSION

std::string cuda_version(int version) {
  return std::to_string(version / 1000) + "." + std::to_string(version % 1000 / 10);
}

// Binds the driver and retains device 0's primary context; on failure prints
// the one line that says why nothing can be checked.
bool open_driver(Driver& d) {
  void* library = open_cuda_driver_library();
  if (library == nullptr) {
    std::printf("gpu-check: stopped: no NVIDIA driver here (libcuda.so.1 cannot be loaded)\n");
    return false;
  }
  CudaCall missing = CudaCall::init;
  const auto find = [library]<class F>(F& function, const char* name) {
    function = reinterpret_cast<F>(cuda_driver_symbol(library, name));
    return function != nullptr;
  };
  if (!bind_cuda_driver(library, d.base, missing)) {
    std::printf("gpu-check: stopped: the NVIDIA driver lacks %s (driver too old)\n",
                cuda_call_name(missing));
    return false;
  }
  CuResult error = d.base.init(0);
  if (error == 0) error = d.base.device_get(&d.device, 0);
  if (error != 0) {
    std::printf("gpu-check: stopped: the NVIDIA driver finds no usable GPU (%d %s)\n", error,
                d.error_name(error));
    return false;
  }
  if (!find(d.device_get_name, "cuDeviceGetName") ||
      !find(d.device_get_attribute, "cuDeviceGetAttribute") ||
      !find(d.func_get_attribute, "cuFuncGetAttribute") ||
      !find(d.mem_get_info, "cuMemGetInfo_v2")) {
    std::printf("gpu-check: stopped: the NVIDIA driver lacks queries the check makes\n");
    return false;
  }
  error = d.base.primary_ctx_retain(&d.primary, d.device);
  if (error != 0) {
    std::printf(
        "gpu-check: stopped: the NVIDIA driver cannot start the GPU "
        "(cuDevicePrimaryCtxRetain: %d %s)\n",
        error, d.error_name(error));
    return false;
  }
  return true;
}

std::string first_line_of(const char* path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

// Device, driver and the image the driver picks for this GPU (the module's
// own choice, since it loads the same bytes the same way).
bool report_device(const Driver& d) {
  char name[256] = {};
  int major = 0, minor = 0, version = 0;
  d.device_get_name(name, sizeof name, d.device);
  d.device_get_attribute(&major, kComputeCapabilityMajor, d.device);
  d.device_get_attribute(&minor, kComputeCapabilityMinor, d.device);
  d.base.driver_get_version(&version);
  std::printf("device:       %s, compute capability %d.%d\n", name, major, minor);
  const std::string release = first_line_of("/proc/driver/nvidia/version");
  std::printf("driver:       CUDA %s%s%s\n", cuda_version(version).c_str(),
              release.empty() ? "" : "; ", release.c_str());
  std::printf("module needs: a driver of CUDA %s or later\n",
              cuda_version(qnr_kernel_image.driver_version).c_str());

  const auto entries = gpu_test::fatbin_entries(qnr_kernel_image.data, qnr_kernel_image.size);
  std::string listed;
  for (const auto& e : entries.value_or(std::vector<gpu_test::FatbinEntry>{})) {
    listed += (e.ptx ? " compute_" : " sm_") + std::to_string(e.arch);
  }
  std::printf("module image:%s (%zu bytes)\n", entries ? listed.c_str() : " NOT A FATBIN",
              qnr_kernel_image.size);

  d.base.ctx_push_current(d.primary);
  CuModule module = nullptr;
  CuFunction function = nullptr;
  CuResult error = d.base.module_load_data(&module, qnr_kernel_image.data);
  if (error == 0) error = d.base.module_get_function(&function, module, kKernelSymbol);
  if (error != 0) {
    std::printf("kernel image: none loads (%d %s): FAILED\n", error, d.error_name(error));
  } else {
    int ptx = 0, binary = 0;
    d.func_get_attribute(&ptx, kFuncPtxVersion, function);
    d.func_get_attribute(&binary, kFuncBinaryVersion, function);
    // Each machine-code entry is built from PTX of its own generation; code
    // from the compute_75 PTX for a later GPU was compiled by the driver.
    const bool jit = ptx != binary;
    std::printf("kernel image: %s (PTX version %d, binary version %d)%s\n",
                jit ? "PTX compute_75 compiled by the driver (JIT)" : "machine code (SASS)", ptx,
                binary, std::getenv("CUDA_FORCE_PTX_JIT") ? "  [CUDA_FORCE_PTX_JIT=1]" : "");
  }
  CuContext popped = nullptr;
  d.base.ctx_pop_current(&popped);
  return error == 0;
}

// The frame through the module's round trip into a packed output; false when
// the round trip failed.
bool through_gpu(GpuContext* context, const Frame& in, const Settings& s,
                 std::vector<uint32_t>& out, int64_t src_pitch = 0) {
  const int64_t row = 4 * int64_t{in.width};
  out.assign(in.pixels.size(), 0);
  if (src_pitch >= 0) {
    return gpu_process(context, reinterpret_cast<const uint8_t*>(in.pixels.data()), row,
                       reinterpret_cast<uint8_t*>(out.data()), row, in.width, in.height, s.level_f1,
                       s.level_f2, s.sharp, s.interlace, s.show_noise);
  }
  // The same rows handed over bottom-up: the lowest-addressed row comes first either way.
  const auto* last_src = reinterpret_cast<const uint8_t*>(in.pixels.data()) + (in.height - 1) * row;
  auto* last_dst = reinterpret_cast<uint8_t*>(out.data()) + (in.height - 1) * row;
  return gpu_process(context, last_src, -row, last_dst, -row, in.width, in.height, s.level_f1,
                     s.level_f2, s.sharp, s.interlace, s.show_noise);
}

// "exact", or where the output differs from the expected frame.
std::string verdict(bool ran, const std::vector<uint32_t>& out, const Frame& want) {
  if (!ran) return "GPU ROUND TRIP FAILED";
  size_t differing = 0, first = 0;
  for (size_t i = out.size(); i-- > 0;) {
    if (out[i] != want.pixels[i]) {
      ++differing;
      first = i;
    }
  }
  if (differing == 0) return "exact";
  return "DIFFERS in " + std::to_string(differing) + " pixels, first at " +
         std::to_string(first % want.width) + "," + std::to_string(first / want.width);
}

struct Case {
  const char* content;
  Frame in;
  Settings settings;
  std::future<Frame> expected;
};

bool report_exactness(GpuContext* context) {
  std::vector<Case> cases;
  const std::vector<std::pair<int, int>> sizes =
      gpu_test::quick_check() ? std::vector<std::pair<int, int>>{{1, 1}, {17, 9}, {48, 20}}
                              : std::vector<std::pair<int, int>>{
                                    {1, 1}, {17, 9}, {720, 576}, {1920, 1080}, {3840, 2160}};
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
    c.expected =
        std::async(std::launch::async, [&c] { return gpu_test::emulated(c.in, c.settings); });
  }
  std::printf("\nkernel against its emulation, bit for bit:\n");
  int exact = 0;
  for (Case& c : cases) {
    const Settings& s = c.settings;
    std::vector<uint32_t> out;
    const bool ran = through_gpu(context, c.in, s, out);
    const std::string v = verdict(ran, out, c.expected.get());
    exact += v == "exact";
    std::printf("  %4dx%-4d %-8s f1 %3d f2 %3d sharp %d interlace %d noise %d  %s\n", c.in.width,
                c.in.height, c.content, s.level_f1, s.level_f2, s.sharp, s.interlace, s.show_noise,
                v.c_str());
  }
  std::printf("exactness: %d of %zu cases exact\n", exact, cases.size());
  return exact == static_cast<int>(cases.size());
}

// A few small frames, both row orders and a change of size, for
// compute-sanitizer's tools to watch every kind of work the road queues.
bool report_sanitized_run(GpuContext* context) {
  bool exact = true;
  uint32_t seed = 40;
  for (const auto& [w, h] : {std::pair{67, 45}, {200, 120}, {67, 45}}) {
    for (const int64_t pitch_sign : {1, -1}) {
      const Frame in = gpu_test::textured_frame(w, h, seed++);
      const Settings s{80, 60, 3, 1, pitch_sign < 0 ? 1 : 0};
      std::vector<uint32_t> out;
      const bool ran = through_gpu(context, in, s, out, pitch_sign);
      exact &= verdict(ran, out, gpu_test::emulated(in, s)) == "exact";
    }
  }
  std::printf("short run: 6 frames of 67x45 and 200x120, pitches of either sign: %s\n",
              exact ? "exact" : "FAILED");
  return exact;
}

bool report_times(GpuContext* context) {
  std::printf("\nms per frame       round trip  copies only  kernel only   CPU path  speed-up\n");
  const std::vector<std::pair<int, int>> sizes =
      gpu_test::quick_check() ? std::vector<std::pair<int, int>>{{96, 54}, {160, 90}}
                              : std::vector<std::pair<int, int>>{{1920, 1080}, {3840, 2160}};
  for (const auto& [w, h] : sizes) {
    const Frame in = gpu_test::textured_frame(w, h, 1);
    std::vector<uint32_t> out(in.pixels.size());
    const auto* src = reinterpret_cast<const uint8_t*>(in.pixels.data());
    auto* dst = reinterpret_cast<uint8_t*>(out.data());
    const int64_t pitch = 4 * int64_t{w};
    bool ok = true;
    const auto round_trip = [&] {
      ok &= gpu_process(context, src, pitch, dst, pitch, w, h, 70, 70, 2, 0, 0);
    };
    round_trip();  // sizes the images
    const double trip = ms_per_call(50, round_trip);

    const void* kernel_src = context->src_image;
    void* kernel_dst = context->dst_image;
    unsigned long long p = context->pitch;
    int width = w, height = h, f1 = 70, f2 = 70, sharp = 2, interlace = 0, noise = 0;
    void* arguments[] = {&kernel_src, &p,  &kernel_dst, &p,         &width, &height,
                         &f1,         &f2, &sharp,      &interlace, &noise};
    const Dim3 grid{static_cast<unsigned>((w + 15) / 16), static_cast<unsigned>((h + 15) / 16), 1};
    // Launches queue back to back; the wait after the last ends the measurement.
    constexpr int kLaunches = 20;
    const double kernel =
        ms_per_call(10,
                    [&] {
                      for (int i = 0; i < kLaunches; ++i) {
                        cuda_launch_qnr_kernel(grid, {16, 16, 1}, 0, context->stream, arguments);
                      }
                      ok &= cuda_stream_synchronize(context->stream) == kCudaSuccess;
                    }) /
        kLaunches;
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
      std::printf("  %dx%d: a GPU operation FAILED\n", w, h);
      return false;
    }
    std::printf("  %4dx%-5d %12.3f %12.3f %12.3f %10.1f %8.1fx\n", w, h, trip, copies, kernel, cpu,
                cpu / trip);
  }
  return true;
}

// What one instance holds on the device once sized: the driver's free memory
// before and after, beside what two images of the reported pitch take.
bool report_instance_memory(const Driver& d) {
  std::printf("\ndevice memory one instance holds (two pitched images):\n");
  bool ok = true;
  for (const auto& [w, h] : {std::pair{1920, 1080}, {3840, 2160}, {7680, 4320}}) {
    GpuContext* context = gpu_create();
    size_t free_before = 0, free_after = 0, total = 0;
    d.base.ctx_push_current(d.primary);
    d.mem_get_info(&free_before, &total);
    const bool sized = context != nullptr && gpu_resize(context, w, h);
    d.mem_get_info(&free_after, &total);
    CuContext popped = nullptr;
    d.base.ctx_pop_current(&popped);
    if (!sized) {
      std::printf("  %4dx%-5d sizing FAILED\n", w, h);
      ok = false;
    } else {
      const double images = 2.0 * static_cast<double>(context->pitch) * h / 1e6;
      std::printf("  %4dx%-5d %7.1f MB measured; two images of pitch %llu: %.1f MB\n", w, h,
                  static_cast<double>(free_before - free_after) / 1e6,
                  static_cast<unsigned long long>(context->pitch), images);
    }
    gpu_release(context);
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> sections(argv + 1, argv + argc);
  if (sections.empty()) sections = {"device", "exactness", "times"};
  for (const std::string& s : sections) {
    if (s != "device" && s != "exactness" && s != "sanitize" && s != "times") {
      std::fprintf(stderr, "usage: gpu_check_report [device|exactness|sanitize|times]...\n");
      return 2;
    }
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // lines reach the log as they come
  Driver driver;
  if (!open_driver(driver)) return kExitNothingToCheck;
  if (qnr_kernel_image.data == nullptr) {
    std::printf("gpu-check: the module was built without nvcc and carries no kernel: FAILED\n");
    return kExitFailure;
  }
  bool ok = true;
  GpuContext* context = nullptr;
  for (const std::string& section : sections) {
    if (section == "device") {
      ok &= report_device(driver);
      continue;
    }
    if (context == nullptr && (context = gpu_create()) == nullptr) {
      std::printf(
          "gpu-check: the module's GPU road makes no context here (QNR_LOG=1 says why): "
          "FAILED\n");
      return kExitFailure;
    }
    if (section == "exactness") ok &= report_exactness(context);
    if (section == "sanitize") ok &= report_sanitized_run(context);
    if (section == "times") ok &= report_times(context) & report_instance_memory(driver);
  }
  gpu_release(context);
  return ok ? 0 : kExitFailure;
}
