// The kernel's device code image compiled into the module, and the name under
// which the driver finds the kernel in it.
#pragma once

#include <cstddef>

struct KernelImage {
  const unsigned char* data;  // null when the build had no CUDA compiler
  size_t size;
  // The oldest driver that loads the image, as cuDriverGetVersion counts
  // (1000 x major + 10 x minor); 0 when nothing is required.
  int driver_version;
};

extern const KernelImage qnr_kernel_image;

// The kernel qnr_kernel<16,16> as the device code names it (parameters: const
// byte pointer, 64-bit pitch, byte pointer, 64-bit pitch, seven ints).
inline constexpr char kKernelSymbol[] = "_Z10qnr_kernelILi16ELi16EEvPKhyPhyiiiiiii";
