// The runtime operations over the driver: binding, the primary context, the
// kernel lookup and the per-thread launch error.
#include "gpu/device_operations.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "gpu/cuda_driver.h"
#include "gpu/cuda_driver_library.h"
#include "gpu/device_operations_testing.h"
#include "gpu/kernel_image.h"

namespace {

thread_local CudaFailure last_failure;
thread_local CudaError last_launch_error = kCudaSuccess;

CudaFailure driver_call_failure(CudaCall call, CuResult result) {
  return CudaFailure{CudaFailureKind::kDriverCall, call, result};
}

// Everything that exists once per process: the driver's functions, device 0's
// primary context and the kernel's handle.
struct Binding {
  bool from_library = true;  // resolve the table from the installed driver
  CudaDriver driver{};
  KernelImage image{};
  std::once_flag bind_once;
  bool loaded = false;  // the table is filled (cuGetErrorName may be asked)
  bool usable = false;  // and the primary context is retained
  CudaFailure bind_failure;
  CuContext context = nullptr;
  std::once_flag kernel_once;
  CuFunction kernel = nullptr;
  CudaFailure kernel_failure;
};

// Opens the installed driver and fills the table; on failure says why.
bool load_driver_library(CudaDriver& driver, CudaFailure& failure) {
  void* library = open_cuda_driver_library();
  if (library == nullptr) {
    failure = CudaFailure{CudaFailureKind::kNoDriverLibrary, CudaCall::init, 0};
    return false;
  }
  CudaCall missing = CudaCall::init;
  if (!bind_cuda_driver(library, driver, missing)) {
    failure = CudaFailure{CudaFailureKind::kMissingSymbol, missing, 0};
    return false;
  }
  return true;
}

void bind(Binding& b) {
  if (b.from_library) {
    b.image = qnr_kernel_image;
    if (!load_driver_library(b.driver, b.bind_failure)) return;
  }
  b.loaded = true;
  // A driver older than the kernel image needs cannot load it: the road is not
  // taken, before cuInit and the primary context cost anything on the device.
  int version = 0;
  CuResult error = b.driver.driver_get_version(&version);
  if (error != 0) {
    b.bind_failure = driver_call_failure(CudaCall::driver_get_version, error);
    return;
  }
  if (version < b.image.driver_version) {
    b.bind_failure = CudaFailure{CudaFailureKind::kDriverTooOld, CudaCall::driver_get_version,
                                 version, b.image.driver_version};
    return;
  }
  CuDevice device = 0;
  error = b.driver.init(0);
  if (error != 0) {
    b.bind_failure = driver_call_failure(CudaCall::init, error);
    return;
  }
  error = b.driver.device_get(&device, 0);
  if (error != 0) {
    b.bind_failure = driver_call_failure(CudaCall::device_get, error);
    return;
  }
  error = b.driver.primary_ctx_retain(&b.context, device);
  if (error != 0) {
    b.bind_failure = driver_call_failure(CudaCall::primary_ctx_retain, error);
    return;
  }
  b.usable = true;
}

Binding& real_binding() {
  static Binding binding;
  return binding;
}

std::atomic<Binding*> test_binding{nullptr};

// The binding in use, bound on first use.
Binding& binding() {
  Binding* b = test_binding.load(std::memory_order_acquire);
  if (b == nullptr) b = &real_binding();
  std::call_once(b->bind_once, [b] { bind(*b); });
  return *b;
}

// Makes device 0's primary context current for the scope of one operation:
// pushed on entry, popped on exit, so the thread's own current context (the
// host's or another filter's) is current again afterwards.
class PrimaryContext {
 public:
  PrimaryContext() : b_(binding()) {
    if (!b_.usable) {
      error_ = kCudaErrorNotSupported;
      last_failure = b_.bind_failure;
      return;
    }
    error_ = b_.driver.ctx_push_current(b_.context);
    if (error_ != 0) last_failure = driver_call_failure(CudaCall::ctx_push_current, error_);
  }
  ~PrimaryContext() {
    if (error_ != 0) return;
    // The operation's own result stands; a failed pop cannot undo it.
    CuContext popped = nullptr;
    b_.driver.ctx_pop_current(&popped);
  }
  PrimaryContext(const PrimaryContext&) = delete;
  PrimaryContext& operator=(const PrimaryContext&) = delete;

  bool entered() const { return error_ == 0; }
  CuResult error() const { return error_; }
  const CudaDriver& driver() const { return b_.driver; }
  Binding& binding_in_use() const { return b_; }

  // Passes a driver result on, keeping a failure for the log.
  CuResult check(CudaCall call, CuResult result) const {
    if (result != 0) last_failure = driver_call_failure(call, result);
    return result;
  }

 private:
  Binding& b_;
  CuResult error_ = 0;
};

CuDevicePtr device_address(const void* pointer) {
  return static_cast<CuDevicePtr>(reinterpret_cast<uintptr_t>(pointer));
}

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
  const PrimaryContext scope;
  if (!scope.entered()) return scope.error();
  CuStream created = nullptr;
  const CuResult error =
      scope.check(CudaCall::stream_create, scope.driver().stream_create(&created, flags));
  if (error == 0) *stream = created;
  return error;
}

CudaError cuda_malloc_pitch(void** pointer, size_t* pitch, size_t width_bytes, size_t height) {
  const PrimaryContext scope;
  if (!scope.entered()) return scope.error();
  CuDevicePtr address = 0;
  size_t row_pitch = 0;
  // Rows of 32-bit pixels.
  const CuResult error =
      scope.check(CudaCall::mem_alloc_pitch,
                  scope.driver().mem_alloc_pitch(&address, &row_pitch, width_bytes, height, 4));
  if (error != 0) return error;
  *pointer = reinterpret_cast<void*>(static_cast<uintptr_t>(address));
  *pitch = row_pitch;
  return 0;
}

CudaError cuda_free(void* pointer) {
  if (pointer == nullptr) return kCudaSuccess;
  const PrimaryContext scope;
  if (!scope.entered()) return scope.error();
  return scope.check(CudaCall::mem_free, scope.driver().mem_free(device_address(pointer)));
}

CudaError cuda_memcpy_2d_async(void* dst, size_t dst_pitch, const void* src, size_t src_pitch,
                               size_t width_bytes, size_t height, CudaCopyKind kind,
                               CudaStream stream) {
  const PrimaryContext scope;
  if (!scope.entered()) return scope.error();
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
  return scope.check(CudaCall::memcpy_2d_async,
                     scope.driver().memcpy_2d_async(&copy, static_cast<CuStream>(stream)));
}

CudaError cuda_stream_synchronize(CudaStream stream) {
  const PrimaryContext scope;
  if (!scope.entered()) return scope.error();
  return scope.check(CudaCall::stream_synchronize,
                     scope.driver().stream_synchronize(static_cast<CuStream>(stream)));
}

CudaError cuda_stream_destroy(CudaStream stream) {
  const PrimaryContext scope;
  if (!scope.entered()) return scope.error();
  return scope.check(CudaCall::stream_destroy,
                     scope.driver().stream_destroy(static_cast<CuStream>(stream)));
}

namespace {

// The once-per-process lookup, in the primary context that `scope` made
// current; the lookup's error, kept for every later call.
CuResult look_kernel_up(const PrimaryContext& scope) {
  Binding* b = &scope.binding_in_use();
  std::call_once(b->kernel_once, [b] {
    if (b->image.data == nullptr || b->image.size == 0) {
      b->kernel_failure = CudaFailure{CudaFailureKind::kNoKernelImage, CudaCall::module_load_data,
                                      kCudaErrorNoKernelImage};
      return;
    }
    CuModule module = nullptr;
    CuResult result = b->driver.module_load_data(&module, b->image.data);
    if (result != 0) {
      b->kernel_failure = driver_call_failure(CudaCall::module_load_data, result);
      return;
    }
    result = b->driver.module_get_function(&b->kernel, module, kKernelSymbol);
    if (result != 0) b->kernel_failure = driver_call_failure(CudaCall::module_get_function, result);
  });
  if (b->kernel_failure.kind == CudaFailureKind::kNone) return 0;
  last_failure = b->kernel_failure;
  return b->kernel_failure.result;
}

}  // namespace

CudaError cuda_load_qnr_kernel() {
  const PrimaryContext scope;
  if (!scope.entered()) return scope.error();
  return look_kernel_up(scope);
}

CudaError cuda_launch_qnr_kernel(Dim3 grid, Dim3 block, size_t shared_bytes, CudaStream stream,
                                 void** arguments) {
  const PrimaryContext scope;
  CuResult error = scope.error();
  if (scope.entered()) {
    Binding* b = &scope.binding_in_use();
    error = look_kernel_up(scope);
    if (error == 0) {
      error = scope.check(
          CudaCall::launch_kernel,
          scope.driver().launch_kernel(b->kernel, grid.x, grid.y, grid.z, block.x, block.y, block.z,
                                       static_cast<unsigned>(shared_bytes),
                                       static_cast<CuStream>(stream), arguments, nullptr));
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

CudaFailure cuda_last_failure() { return last_failure; }

const char* cuda_error_name(int result) {
  Binding& b = binding();
  if (!b.loaded) return nullptr;
  const char* name = nullptr;
  if (b.driver.get_error_name(result, &name) != 0) return nullptr;
  return name;
}
