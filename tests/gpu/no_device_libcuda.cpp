// A libcuda.so.1 that loads and reports no device, as the driver does on a
// machine whose GPU is absent or unusable: cuInit fails with
// CUDA_ERROR_NO_DEVICE, and so does every other call but cuGetErrorName and
// cuDriverGetVersion, which need no device.
// Tests that expect the CPU path run against it on machines with a real GPU.
#include "gpu/cuda_driver.h"

namespace {

constexpr CuResult kNoDevice = 100;  // CUDA_ERROR_NO_DEVICE
constexpr CuResult kInvalidValue = 1;

CuResult error_name(CuResult error, const char** name) {
  *name = error == kNoDevice ? "CUDA_ERROR_NO_DEVICE" : nullptr;
  return *name != nullptr ? 0 : kInvalidValue;
}

// A current driver's version: CUDA 13.0.
CuResult driver_version(int* version) {
  *version = 13000;
  return 0;
}

template <CudaCall call, class... Arguments> CuResult answer(Arguments... arguments) {
  if constexpr (call == CudaCall::get_error_name) {
    return error_name(arguments...);
  } else if constexpr (call == CudaCall::driver_get_version) {
    return driver_version(arguments...);
  } else {
    ((void)arguments, ...);
    return kNoDevice;
  }
}

}  // namespace

#define NO_DEVICE_FUNCTION(symbol, member, parameters, arguments)                \
  extern "C" __attribute__((visibility("default"))) CuResult symbol parameters { \
    return answer<CudaCall::member> arguments;                                   \
  }
QNR_CUDA_DRIVER_FUNCTIONS(NO_DEVICE_FUNCTION)
#undef NO_DEVICE_FUNCTION
