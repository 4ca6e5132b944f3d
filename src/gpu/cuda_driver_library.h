// The installed NVIDIA driver library, and the binding of its functions to a
// CudaDriver table: the GPU road binds it this way, and so does the GPU check's
// report, which asks the same library a few questions of its own.
#pragma once

#include "gpu/cuda_driver.h"

// Opens the installed driver: libcuda.so.1, or on Windows nvcuda.dll from the
// system directory only, so a DLL planted beside the host is never taken. Null
// where there is none. The library stays loaded for the process's life.
void* open_cuda_driver_library();

// The address of one of the library's exported functions, or null.
void* cuda_driver_symbol(void* library, const char* name);

// Assigns every member of `driver` from the library. False when the library
// lacks one of the functions; `missing` then names the first.
bool bind_cuda_driver(void* library, CudaDriver& driver, CudaCall& missing);
