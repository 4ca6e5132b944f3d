// The runtime operations over the driver: binding, the primary context, the
// kernel lookup and the per-thread launch error.
#include "gpu/cuda_runtime.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "gpu/cuda_driver.h"
#include "gpu/cuda_runtime_testing.h"
#include "gpu/kernel_image.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

// Everything that exists once per process: the driver's functions, device 0's
// primary context and the kernel's handle.
struct Binding {
  bool from_library = true;  // resolve the table from the installed driver
  CudaDriver driver{};
  KernelImage image{};
  std::once_flag bind_once;
  bool usable = false;
  CuContext context = nullptr;
  std::once_flag kernel_once;
  CuFunction kernel = nullptr;
  CuResult kernel_error = 0;
};

// Opens the installed driver and fills the table; false when the library or any
// of its functions is missing. The library stays loaded for the process's life.
bool load_driver_library(CudaDriver& driver) {
#if defined(_WIN32)
  // Only the system directory: a driver DLL planted beside the host is never taken.
  HMODULE library = LoadLibraryExA("nvcuda.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library == nullptr) return false;
  const auto find = [library](const char* name) -> void* {
    return reinterpret_cast<void*>(GetProcAddress(library, name));
  };
#else
  void* library = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return false;
  const auto find = [library](const char* name) { return dlsym(library, name); };
#endif
  void* entries[std::size(kCudaDriverSymbols)];
  for (size_t i = 0; i < std::size(kCudaDriverSymbols); ++i) {
    entries[i] = find(kCudaDriverSymbols[i]);
    if (entries[i] == nullptr) return false;
  }
  // The table is a row of function pointers in symbol order.
  static_assert(sizeof(entries) == sizeof(CudaDriver));
  std::memcpy(&driver, entries, sizeof driver);
  return true;
}

void bind(Binding& b) {
  if (b.from_library) {
    b.image = qnr_kernel_image;
    if (!load_driver_library(b.driver)) return;
  }
  CuDevice device = 0;
  if (b.driver.init(0) != 0) return;
  if (b.driver.device_get(&device, 0) != 0) return;
  if (b.driver.primary_ctx_retain(&b.context, device) != 0) return;
  b.usable = true;
}

Binding& real_binding() {
  static Binding binding;
  return binding;
}

std::atomic<Binding*> test_binding{nullptr};

// The bound driver with its context current on this thread, or null (the error
// that the operation returns is then in `error`).
Binding* current(CuResult& error) {
  Binding* b = test_binding.load(std::memory_order_acquire);
  if (b == nullptr) b = &real_binding();
  std::call_once(b->bind_once, [b] { bind(*b); });
  if (!b->usable) {
    error = kCudaErrorNotSupported;
    return nullptr;
  }
  error = b->driver.ctx_set_current(b->context);
  return error == 0 ? b : nullptr;
}

CuDevicePtr device_address(const void* pointer) {
  return static_cast<CuDevicePtr>(reinterpret_cast<uintptr_t>(pointer));
}

thread_local CudaError last_launch_error = kCudaSuccess;

}  // namespace

void cuda_use_driver_for_testing(const CudaDriver* driver, KernelImage image) {
  // Earlier bindings stay alive: a handle taken from one must never dangle.
  static std::vector<std::unique_ptr<Binding>> retired;
  if (driver == nullptr) {
    test_binding.store(nullptr, std::memory_order_release);
    return;
  }
  auto b = std::make_unique<Binding>();
  b->from_library = false;
  b->driver = *driver;
  b->image = image;
  test_binding.store(b.get(), std::memory_order_release);
  retired.push_back(std::move(b));
}

CudaError cuda_stream_create_with_flags(CudaStream* stream, unsigned flags) {
  CuResult error = 0;
  Binding* b = current(error);
  if (b == nullptr) return error;
  CuStream created = nullptr;
  error = b->driver.stream_create(&created, flags);
  if (error == 0) *stream = created;
  return error;
}

CudaError cuda_malloc_pitch(void** pointer, size_t* pitch, size_t width_bytes, size_t height) {
  CuResult error = 0;
  Binding* b = current(error);
  if (b == nullptr) return error;
  CuDevicePtr address = 0;
  size_t row_pitch = 0;
  // Rows of 32-bit pixels.
  error = b->driver.mem_alloc_pitch(&address, &row_pitch, width_bytes, height, 4);
  if (error != 0) return error;
  *pointer = reinterpret_cast<void*>(static_cast<uintptr_t>(address));
  *pitch = row_pitch;
  return 0;
}

CudaError cuda_free(void* pointer) {
  if (pointer == nullptr) return kCudaSuccess;
  CuResult error = 0;
  Binding* b = current(error);
  if (b == nullptr) return error;
  return b->driver.mem_free(device_address(pointer));
}

CudaError cuda_memcpy_2d_async(void* dst, size_t dst_pitch, const void* src, size_t src_pitch,
                               size_t width_bytes, size_t height, CudaCopyKind kind,
                               CudaStream stream) {
  CuResult error = 0;
  Binding* b = current(error);
  if (b == nullptr) return error;
  CuMemcpy2D copy{};
  if (kind == CudaCopyKind::kHostToDevice) {
    copy.src_memory_type = kCuMemoryTypeHost;
    copy.src_host = src;
    copy.dst_memory_type = kCuMemoryTypeDevice;
    copy.dst_device = device_address(dst);
  } else {
    copy.src_memory_type = kCuMemoryTypeDevice;
    copy.src_device = device_address(src);
    copy.dst_memory_type = kCuMemoryTypeHost;
    copy.dst_host = dst;
  }
  copy.src_pitch = src_pitch;
  copy.dst_pitch = dst_pitch;
  copy.width_in_bytes = width_bytes;
  copy.height = height;
  return b->driver.memcpy_2d_async(&copy, static_cast<CuStream>(stream));
}

CudaError cuda_stream_synchronize(CudaStream stream) {
  CuResult error = 0;
  Binding* b = current(error);
  if (b == nullptr) return error;
  return b->driver.stream_synchronize(static_cast<CuStream>(stream));
}

CudaError cuda_stream_destroy(CudaStream stream) {
  CuResult error = 0;
  Binding* b = current(error);
  if (b == nullptr) return error;
  return b->driver.stream_destroy(static_cast<CuStream>(stream));
}

CudaError cuda_launch_qnr_kernel(Dim3 grid, Dim3 block, size_t shared_bytes, CudaStream stream,
                                 void** arguments) {
  CuResult error = 0;
  Binding* b = current(error);
  if (b != nullptr) {
    std::call_once(b->kernel_once, [b] {
      if (b->image.data == nullptr || b->image.size == 0) {
        b->kernel_error = kCudaErrorNoKernelImage;
        return;
      }
      CuModule module = nullptr;
      b->kernel_error = b->driver.module_load_data(&module, b->image.data);
      if (b->kernel_error == 0) {
        b->kernel_error = b->driver.module_get_function(&b->kernel, module, kKernelSymbol);
      }
    });
    error = b->kernel_error;
    if (error == 0) {
      error = b->driver.launch_kernel(b->kernel, grid.x, grid.y, grid.z, block.x, block.y,
                                      block.z, static_cast<unsigned>(shared_bytes),
                                      static_cast<CuStream>(stream), arguments, nullptr);
    }
  }
  if (error != 0) last_launch_error = error;
  return error;
}

CudaError cuda_get_last_error() {
  const CudaError error = last_launch_error;
  last_launch_error = kCudaSuccess;
  return error;
}
