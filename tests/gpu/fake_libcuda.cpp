// The fake driver as a shared library named libcuda.so.1, for tests that drive
// the module as a host does: the module's own dlopen finds it first through
// LD_LIBRARY_PATH, and the test reaches the same driver through
// fake_cuda_control().
#include "fake_driver.h"

#define FAKE_CUDA_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
const CudaDriver& t() { return fake_cuda::driver_table(); }
}  // namespace

FAKE_CUDA_EXPORT fake_cuda::FakeDriver* fake_cuda_control() { return &fake_cuda::driver(); }

FAKE_CUDA_EXPORT CuResult cuInit(unsigned flags) { return t().init(flags); }
FAKE_CUDA_EXPORT CuResult cuDeviceGet(CuDevice* device, int ordinal) {
  return t().device_get(device, ordinal);
}
FAKE_CUDA_EXPORT CuResult cuDevicePrimaryCtxRetain(CuContext* context, CuDevice device) {
  return t().primary_ctx_retain(context, device);
}
FAKE_CUDA_EXPORT CuResult cuCtxSetCurrent(CuContext context) { return t().ctx_set_current(context); }
FAKE_CUDA_EXPORT CuResult cuStreamCreate(CuStream* stream, unsigned flags) {
  return t().stream_create(stream, flags);
}
FAKE_CUDA_EXPORT CuResult cuStreamSynchronize(CuStream stream) {
  return t().stream_synchronize(stream);
}
FAKE_CUDA_EXPORT CuResult cuStreamDestroy_v2(CuStream stream) { return t().stream_destroy(stream); }
FAKE_CUDA_EXPORT CuResult cuMemAllocPitch_v2(CuDevicePtr* pointer, size_t* pitch,
                                             size_t width_bytes, size_t height,
                                             unsigned element_bytes) {
  return t().mem_alloc_pitch(pointer, pitch, width_bytes, height, element_bytes);
}
FAKE_CUDA_EXPORT CuResult cuMemFree_v2(CuDevicePtr pointer) { return t().mem_free(pointer); }
FAKE_CUDA_EXPORT CuResult cuMemcpy2DAsync_v2(const CuMemcpy2D* copy, CuStream stream) {
  return t().memcpy_2d_async(copy, stream);
}
FAKE_CUDA_EXPORT CuResult cuModuleLoadData(CuModule* module, const void* image) {
  return t().module_load_data(module, image);
}
FAKE_CUDA_EXPORT CuResult cuModuleGetFunction(CuFunction* function, CuModule module,
                                              const char* name) {
  return t().module_get_function(function, module, name);
}
FAKE_CUDA_EXPORT CuResult cuLaunchKernel(CuFunction function, unsigned gx, unsigned gy,
                                         unsigned gz, unsigned bx, unsigned by, unsigned bz,
                                         unsigned shared_bytes, CuStream stream,
                                         void** parameters, void** extra) {
  return t().launch_kernel(function, gx, gy, gz, bx, by, bz, shared_bytes, stream, parameters,
                           extra);
}
