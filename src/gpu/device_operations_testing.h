// Test access to the driver binding: replace the real driver by a table of
// functions and a kernel image of the test's choosing.
#pragma once

#include "gpu/cuda_driver.h"
#include "gpu/kernel_image.h"

// From now on the runtime operations bind `driver` (on their next use, with the
// same steps as the real driver) and look the kernel up in `image`; every
// once-per-process step starts afresh. Null restores the real driver's binding.
// Not thread-safe: call it while no operation runs.
void cuda_use_driver_for_testing(const CudaDriver* driver, KernelImage image);
