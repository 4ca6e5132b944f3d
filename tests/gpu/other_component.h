// Another component of the host's process that uses CUDA on its own: it opens
// the same driver library the module binds (the real driver, or the fake one
// on LD_LIBRARY_PATH) and makes the calls such components make: a context of
// its own, the primary context retained with flags of its choosing, or reset.
#pragma once

#include <dlfcn.h>

#include <string>

#include "gpu/cuda_driver.h"

namespace gpu_test {

inline constexpr unsigned kCtxSchedBlockingSync = 0x04;  // CU_CTX_SCHED_BLOCKING_SYNC
inline constexpr unsigned kCtxLmemResizeToMax = 0x10;    // CU_CTX_LMEM_RESIZE_TO_MAX

struct OtherComponent {
  CuResult (*init)(unsigned) = nullptr;
  CuResult (*device_get)(CuDevice*, int) = nullptr;
  CuResult (*ctx_create)(CuContext*, unsigned, CuDevice) = nullptr;
  CuResult (*ctx_destroy)(CuContext) = nullptr;
  CuResult (*ctx_get_current)(CuContext*) = nullptr;
  CuResult (*primary_ctx_retain)(CuContext*, CuDevice) = nullptr;
  CuResult (*primary_ctx_release)(CuDevice) = nullptr;
  CuResult (*primary_ctx_set_flags)(CuDevice, unsigned) = nullptr;
  CuResult (*primary_ctx_get_state)(CuDevice, unsigned*, int*) = nullptr;
  CuResult (*primary_ctx_reset)(CuDevice) = nullptr;
  CuDevice device = 0;
  std::string missing;  // what open() did not find

  // False where the driver library, one of its functions or device 0 is
  // missing; `missing` says which.
  bool open() {
    void* library = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
    missing = "libcuda.so.1";
    if (library == nullptr) return false;
    missing = "device 0";
    const auto find = [this, library]<class F>(F& function, const char* name) {
      function = reinterpret_cast<F>(dlsym(library, name));
      if (function == nullptr) missing = name;
      return function != nullptr;
    };
    return find(init, "cuInit") && find(device_get, "cuDeviceGet") &&
           find(ctx_create, "cuCtxCreate_v2") && find(ctx_destroy, "cuCtxDestroy_v2") &&
           find(ctx_get_current, "cuCtxGetCurrent") &&
           find(primary_ctx_retain, "cuDevicePrimaryCtxRetain") &&
           find(primary_ctx_release, "cuDevicePrimaryCtxRelease_v2") &&
           find(primary_ctx_set_flags, "cuDevicePrimaryCtxSetFlags_v2") &&
           find(primary_ctx_get_state, "cuDevicePrimaryCtxGetState") &&
           find(primary_ctx_reset, "cuDevicePrimaryCtxReset_v2") && init(0) == 0 &&
           device_get(&device, 0) == 0;
  }

  CuContext current() const {
    CuContext context = nullptr;
    return ctx_get_current(&context) == 0 ? context : nullptr;
  }
};

}  // namespace gpu_test
