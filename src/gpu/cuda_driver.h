// The subset of the NVIDIA driver API that the GPU road uses, declared with the
// driver's own binary layout so the module needs no CUDA headers to build. The
// runtime operations (cuda_runtime.h) call the driver only through a
// CudaDriver table: the real driver's exports, or a test double.
#pragma once

#include <cstddef>
#include <cstdint>

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

// One entry per driver function, in the order of kCudaDriverSymbols.
struct CudaDriver {
  CuResult (*init)(unsigned flags);
  CuResult (*device_get)(CuDevice* device, int ordinal);
  CuResult (*primary_ctx_retain)(CuContext* context, CuDevice device);
  CuResult (*ctx_set_current)(CuContext context);
  CuResult (*stream_create)(CuStream* stream, unsigned flags);
  CuResult (*stream_synchronize)(CuStream stream);
  CuResult (*stream_destroy)(CuStream stream);
  CuResult (*mem_alloc_pitch)(CuDevicePtr* pointer, size_t* pitch, size_t width_bytes,
                              size_t height, unsigned element_bytes);
  CuResult (*mem_free)(CuDevicePtr pointer);
  CuResult (*memcpy_2d_async)(const CuMemcpy2D* copy, CuStream stream);
  CuResult (*module_load_data)(CuModule* module, const void* image);
  CuResult (*module_get_function)(CuFunction* function, CuModule module, const char* name);
  CuResult (*launch_kernel)(CuFunction function, unsigned grid_x, unsigned grid_y,
                            unsigned grid_z, unsigned block_x, unsigned block_y,
                            unsigned block_z, unsigned shared_bytes, CuStream stream,
                            void** parameters, void** extra);
};

// The driver's exported names for the table's entries, in field order. Where the
// driver keeps several versions of a function, these are the current ones.
inline constexpr const char* kCudaDriverSymbols[] = {
    "cuInit",
    "cuDeviceGet",
    "cuDevicePrimaryCtxRetain",
    "cuCtxSetCurrent",
    "cuStreamCreate",
    "cuStreamSynchronize",
    "cuStreamDestroy_v2",
    "cuMemAllocPitch_v2",
    "cuMemFree_v2",
    "cuMemcpy2DAsync_v2",
    "cuModuleLoadData",
    "cuModuleGetFunction",
    "cuLaunchKernel",
};
static_assert(sizeof(kCudaDriverSymbols) / sizeof(kCudaDriverSymbols[0]) ==
              sizeof(CudaDriver) / sizeof(void*));
