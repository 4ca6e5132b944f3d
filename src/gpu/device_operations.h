// The CUDA runtime operations that the GPU road relies on, implemented over the
// driver API. The driver is bound on first use, once per process and from any
// thread; when that fails (no driver, no device) every operation returns
// kCudaErrorNotSupported. All work goes to device 0's primary context, which
// each operation pushes onto its thread's context stack and pops again, so the
// caller's current context is the same afterwards. Results are tested for zero
// only; why an operation failed is kept for the log (cuda_last_failure).
#pragma once

#include <cstddef>

#include "gpu/cuda_driver.h"

using CudaError = int;
using CudaStream = void*;

inline constexpr CudaError kCudaSuccess = 0;
inline constexpr CudaError kCudaErrorNotSupported = 801;
inline constexpr CudaError kCudaErrorNoKernelImage = 209;

inline constexpr unsigned kCudaStreamNonBlocking = 1;

enum class CudaCopyKind : int { kHostToDevice = 1, kDeviceToHost = 2 };

struct Dim3 {
  unsigned x = 1, y = 1, z = 1;
};

CudaError cuda_stream_create_with_flags(CudaStream* stream, unsigned flags);
CudaError cuda_malloc_pitch(void** pointer, size_t* pitch, size_t width_bytes, size_t height);
CudaError cuda_free(void* pointer);
CudaError cuda_memcpy_2d_async(void* dst, size_t dst_pitch, const void* src, size_t src_pitch,
                               size_t width_bytes, size_t height, CudaCopyKind kind,
                               CudaStream stream);
CudaError cuda_stream_synchronize(CudaStream stream);
CudaError cuda_stream_destroy(CudaStream stream);

// Looks qnr_kernel<16,16> up in the module's image: once per process, on the
// first call of this or of the launch. A failed lookup is kept and returned
// again, never retried. The GPU context asks before it allocates anything, so
// a machine whose driver cannot load the kernel spends nothing per frame.
CudaError cuda_load_qnr_kernel();

// Launches qnr_kernel<16,16> with its eleven arguments (pointers to each value,
// in parameter order), looking it up first where that has not happened yet; a
// failed lookup fails every launch. A failed launch leaves its error for
// cuda_get_last_error.
CudaError cuda_launch_qnr_kernel(Dim3 grid, Dim3 block, size_t shared_bytes, CudaStream stream,
                                 void** arguments);

// The error the last failed launch on this thread left, or success; clears it.
CudaError cuda_get_last_error();

// What made the last failed operation on this thread fail.
enum class CudaFailureKind {
  kNone,
  kNoDriverLibrary,  // libcuda.so.1 / nvcuda.dll could not be loaded
  kMissingSymbol,    // the driver lacks `call`
  kNoKernelImage,    // the module was built without device code
  kDriverCall,       // `call` returned `result`
  kPitchMismatch,    // two pitched images of one size reported different pitches
  kDriverTooOld,     // the driver's version `result` is below `needed`, the kernel image's
};

struct CudaFailure {
  CudaFailureKind kind = CudaFailureKind::kNone;
  CudaCall call = CudaCall::init;
  int result = 0;
  int needed = 0;  // kDriverTooOld: the driver version the kernel image needs
};

// This thread's latest failure; a later success does not clear it. A failure
// to bind the driver is reported by every operation as its original cause.
CudaFailure cuda_last_failure();

// The driver's own name for a result (cuGetErrorName), or null where no driver
// is loaded or it does not know the value.
const char* cuda_error_name(int result);
