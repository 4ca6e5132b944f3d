// What a module was built with, for `qnr --version`: the GPU code its file
// carries and the CPU routine it runs on this processor.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace qnr {

// The kernel image nvcc wrote into the module (a CUDA fatbin): the
// architectures it holds machine code for and those it holds PTX for, as
// compute capability major * 10 + minor.
struct GpuCode {
  bool present = false;
  std::vector<unsigned> machine_code;
  std::vector<unsigned> ptx;
};

// The first well-formed fatbin in `bytes`: a 16-byte header (magic 0xBA55ED50,
// version, header size, size of what follows), then entries, each a header
// (kind 1 PTX or 2 machine code, its own size, the payload's size, the
// architecture at byte 28) and its payload.
GpuCode find_gpu_code(const unsigned char* bytes, size_t size);
// The same in a module's file; nothing present when the file cannot be read.
GpuCode find_gpu_code(const std::string& module_path);

// "machine code sm_75 sm_80 ..., PTX compute_75", or that there is none.
std::string describe_gpu_code(const GpuCode& code);

// The CPU routine the module's dispatcher picks on this processor ("avx2"),
// with the others it knows. qnr is built from the same core, so it asks the
// same question of the processor as the module does when it loads.
std::string describe_cpu_routine();

}  // namespace qnr
