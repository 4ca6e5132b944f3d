// Compile-time check that our declaration of the driver's records matches the
// toolkit's cuda.h, built only where the toolkit headers exist.
#include <cuda.h>

#include <cstddef>
#include <type_traits>

#include "gpu/cuda_driver.h"

#define SAME_OFFSET(theirs, ours) \
  static_assert(offsetof(CUDA_MEMCPY2D, theirs) == offsetof(CuMemcpy2D, ours))
SAME_OFFSET(srcXInBytes, src_x_in_bytes);
SAME_OFFSET(srcY, src_y);
SAME_OFFSET(srcMemoryType, src_memory_type);
SAME_OFFSET(srcHost, src_host);
SAME_OFFSET(srcDevice, src_device);
SAME_OFFSET(srcArray, src_array);
SAME_OFFSET(srcPitch, src_pitch);
SAME_OFFSET(dstXInBytes, dst_x_in_bytes);
SAME_OFFSET(dstY, dst_y);
SAME_OFFSET(dstMemoryType, dst_memory_type);
SAME_OFFSET(dstHost, dst_host);
SAME_OFFSET(dstDevice, dst_device);
SAME_OFFSET(dstArray, dst_array);
SAME_OFFSET(dstPitch, dst_pitch);
SAME_OFFSET(WidthInBytes, width_in_bytes);
SAME_OFFSET(Height, height);
static_assert(sizeof(CUDA_MEMCPY2D) == sizeof(CuMemcpy2D));
static_assert(CU_MEMORYTYPE_HOST == kCuMemoryTypeHost);
static_assert(CU_MEMORYTYPE_DEVICE == kCuMemoryTypeDevice);
static_assert(CU_STREAM_NON_BLOCKING == 1);
static_assert(std::is_same_v<CUdeviceptr, CuDevicePtr>);
static_assert(sizeof(CUresult) == sizeof(CuResult));
static_assert(sizeof(CUdevice) == sizeof(CuDevice));
