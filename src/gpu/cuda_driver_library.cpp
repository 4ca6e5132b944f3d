#include "gpu/cuda_driver_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

void* open_cuda_driver_library() {
#if defined(_WIN32)
  return static_cast<void*>(LoadLibraryExA("nvcuda.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
#else
  return dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
#endif
}

void* cuda_driver_symbol(void* library, const char* name) {
#if defined(_WIN32)
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
#else
  return dlsym(library, name);
#endif
}

bool bind_cuda_driver(void* library, CudaDriver& driver, CudaCall& missing) {
#define QNR_BIND_DRIVER_FUNCTION(symbol, member, parameters, arguments)                            \
  driver.member = reinterpret_cast<decltype(driver.member)>(cuda_driver_symbol(library, #symbol)); \
  if (driver.member == nullptr) {                                                                  \
    missing = CudaCall::member;                                                                    \
    return false;                                                                                  \
  }
  QNR_CUDA_DRIVER_FUNCTIONS(QNR_BIND_DRIVER_FUNCTION)
#undef QNR_BIND_DRIVER_FUNCTION
  return true;
}
