// The subset of the NVIDIA driver API that the GPU road uses, declared with the
// driver's own binary layout so the module needs no CUDA headers to build. The
// runtime operations (device_operations.h) call the driver only through a
// CudaDriver table: the real driver's exports, or a test double.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

using CuResult = int;  // 0 = success
using CuDevice = int;
using CuDevicePtr = unsigned long long;
using CuContext = struct CuContextOpaque*;
using CuStream = struct CuStreamOpaque*;
using CuModule = struct CuModuleOpaque*;
using CuFunction = struct CuFunctionOpaque*;

inline constexpr unsigned kCuMemoryTypeHost = 1;
inline constexpr unsigned kCuMemoryTypeDevice = 2;

// CUDA_MEMCPY2D.
struct CuMemcpy2D {
  size_t src_x_in_bytes;
  size_t src_y;
  unsigned src_memory_type;
  const void* src_host;
  CuDevicePtr src_device;
  void* src_array;
  size_t src_pitch;
  size_t dst_x_in_bytes;
  size_t dst_y;
  unsigned dst_memory_type;
  void* dst_host;
  CuDevicePtr dst_device;
  void* dst_array;
  size_t dst_pitch;
  size_t width_in_bytes;
  size_t height;
};
static_assert(sizeof(CuMemcpy2D) == 128);

// Every driver function the GPU road calls, once: its exported name (the
// current version where the driver keeps several), the CudaDriver member that
// holds it, its parameters and the argument list that forwards them. The
// binding table, the symbol names, the CudaCall enumeration and the test
// driver's entry points are all generated from this list, so they cannot drift
// apart. Every function returns a CuResult.
#define QNR_CUDA_DRIVER_FUNCTIONS(X)                                                             \
  X(cuDriverGetVersion, driver_get_version, (int* version), (version))                           \
  X(cuInit, init, (unsigned flags), (flags))                                                     \
  X(cuDeviceGet, device_get, (CuDevice * device, int ordinal), (device, ordinal))                \
  X(cuDevicePrimaryCtxRetain, primary_ctx_retain, (CuContext * context, CuDevice device),        \
    (context, device))                                                                           \
  X(cuCtxPushCurrent_v2, ctx_push_current, (CuContext context), (context))                       \
  X(cuCtxPopCurrent_v2, ctx_pop_current, (CuContext * context), (context))                       \
  X(cuStreamCreate, stream_create, (CuStream * stream, unsigned flags), (stream, flags))         \
  X(cuStreamSynchronize, stream_synchronize, (CuStream stream), (stream))                        \
  X(cuStreamDestroy_v2, stream_destroy, (CuStream stream), (stream))                             \
  X(cuMemAllocPitch_v2, mem_alloc_pitch,                                                         \
    (CuDevicePtr * pointer, size_t * pitch, size_t width_bytes, size_t height,                   \
     unsigned element_bytes),                                                                    \
    (pointer, pitch, width_bytes, height, element_bytes))                                        \
  X(cuMemFree_v2, mem_free, (CuDevicePtr pointer), (pointer))                                    \
  X(cuMemcpy2DAsync_v2, memcpy_2d_async, (const CuMemcpy2D* copy, CuStream stream),              \
    (copy, stream))                                                                              \
  X(cuModuleLoadData, module_load_data, (CuModule * module, const void* image), (module, image)) \
  X(cuModuleGetFunction, module_get_function,                                                    \
    (CuFunction * function, CuModule module, const char* name), (function, module, name))        \
  X(cuLaunchKernel, launch_kernel,                                                               \
    (CuFunction function, unsigned grid_x, unsigned grid_y, unsigned grid_z, unsigned block_x,   \
     unsigned block_y, unsigned block_z, unsigned shared_bytes, CuStream stream,                 \
     void** parameters, void** extra),                                                           \
    (function, grid_x, grid_y, grid_z, block_x, block_y, block_z, shared_bytes, stream,          \
     parameters, extra))                                                                         \
  X(cuGetErrorName, get_error_name, (CuResult error, const char** name), (error, name))

// One enumerator per driver function, named as its CudaDriver member.
enum class CudaCall {
#define QNR_CUDA_CALL_ENUMERATOR(symbol, member, parameters, arguments) member,
  QNR_CUDA_DRIVER_FUNCTIONS(QNR_CUDA_CALL_ENUMERATOR)
#undef QNR_CUDA_CALL_ENUMERATOR
};

// The driver's functions, in list order.
struct CudaDriver {
#define QNR_CUDA_DRIVER_MEMBER(symbol, member, parameters, arguments) CuResult(*member) parameters;
  QNR_CUDA_DRIVER_FUNCTIONS(QNR_CUDA_DRIVER_MEMBER)
#undef QNR_CUDA_DRIVER_MEMBER
};

// The driver's exported names, in list order.
inline constexpr const char* kCudaDriverSymbols[] = {
#define QNR_CUDA_DRIVER_SYMBOL(symbol, member, parameters, arguments) #symbol,
    QNR_CUDA_DRIVER_FUNCTIONS(QNR_CUDA_DRIVER_SYMBOL)
#undef QNR_CUDA_DRIVER_SYMBOL
};
inline constexpr int kCudaCallCount = static_cast<int>(std::size(kCudaDriverSymbols));

inline const char* cuda_call_name(CudaCall call) {
  return kCudaDriverSymbols[static_cast<int>(call)];
}
