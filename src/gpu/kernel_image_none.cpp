// A build without a CUDA compiler: the module carries no device code, every
// launch fails and every frame takes the CPU path.
#include "gpu/kernel_image.h"

const KernelImage qnr_kernel_image = {nullptr, 0, 0};
