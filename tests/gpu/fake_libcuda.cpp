// The fake driver as a shared library named libcuda.so.1, for tests that drive
// the module as a host does: the module's own dlopen finds it first through
// LD_LIBRARY_PATH, and the test reaches the same driver through
// fake_cuda_control().
#include <cstdio>

#include "fake_driver.h"

#define FAKE_CUDA_EXPORT extern "C" __attribute__((visibility("default")))

FAKE_CUDA_EXPORT fake_cuda::FakeDriver* fake_cuda_control() { return &fake_cuda::driver(); }

// Each driver function under its exported name, forwarding to the fake's table.
#define FAKE_CUDA_EXPORTED_FUNCTION(symbol, member, parameters, arguments) \
  FAKE_CUDA_EXPORT CuResult symbol parameters { return fake_cuda::driver_table().member arguments; }
QNR_CUDA_DRIVER_FUNCTIONS(FAKE_CUDA_EXPORTED_FUNCTION)
#undef FAKE_CUDA_EXPORTED_FUNCTION

// The calling thread's current context, for tests on the module's manners.
FAKE_CUDA_EXPORT CuContext fake_cuda_current_context() { return fake_cuda::current_context(); }

// Device queries that only the GPU check's report makes (not part of the
// module's binding), so the report can be tried out on the fake.
FAKE_CUDA_EXPORT CuResult cuDeviceGetName(char* name, int length, CuDevice) {
  std::snprintf(name, static_cast<size_t>(length), "%s", "QNR fake CUDA device");
  return 0;
}
FAKE_CUDA_EXPORT CuResult cuDeviceGetAttribute(int* value, int attribute, CuDevice) {
  // Compute capability 12.0; nothing else is asked.
  *value = attribute == 75 ? 12 : 0;
  return 0;
}
FAKE_CUDA_EXPORT CuResult cuFuncGetAttribute(int* value, int, CuFunction) {
  *value = 120;  // PTX and binary version alike: machine code
  return 0;
}

// What other components of a process call: contexts of their own, the
// primary context's flags, its reset (fake_driver.h, extras).
FAKE_CUDA_EXPORT CuResult cuCtxCreate_v2(CuContext* context, unsigned flags, CuDevice device) {
  return fake_cuda::extras::ctx_create(context, flags, device);
}
FAKE_CUDA_EXPORT CuResult cuCtxDestroy_v2(CuContext context) {
  return fake_cuda::extras::ctx_destroy(context);
}
FAKE_CUDA_EXPORT CuResult cuCtxGetCurrent(CuContext* context) {
  return fake_cuda::extras::ctx_get_current(context);
}
FAKE_CUDA_EXPORT CuResult cuDevicePrimaryCtxSetFlags_v2(CuDevice device, unsigned flags) {
  return fake_cuda::extras::primary_ctx_set_flags(device, flags);
}
FAKE_CUDA_EXPORT CuResult cuDevicePrimaryCtxGetState(CuDevice device, unsigned* flags,
                                                     int* active) {
  return fake_cuda::extras::primary_ctx_get_state(device, flags, active);
}
FAKE_CUDA_EXPORT CuResult cuDevicePrimaryCtxRelease_v2(CuDevice device) {
  return fake_cuda::extras::primary_ctx_release(device);
}
FAKE_CUDA_EXPORT CuResult cuDevicePrimaryCtxReset_v2(CuDevice device) {
  return fake_cuda::extras::primary_ctx_reset(device);
}
FAKE_CUDA_EXPORT CuResult cuMemGetInfo_v2(size_t* free, size_t* total) {
  return fake_cuda::extras::mem_get_info(free, total);
}
