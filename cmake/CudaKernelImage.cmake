# The kernel's device code image: src/qnr_cuda.cu compiled by nvcc into one
# fatbin (machine code for every current GPU generation plus PTX for the
# oldest, which every later GPU can compile) and turned into a C++ byte array
# that qnr_gpu compiles in. Without nvcc the image
# is empty: the module still builds and every frame takes the CPU path.
#
#   QNR_CUDA=OFF           build without device code even where nvcc exists
#   QNR_NVCC=/path/nvcc    pick the compiler (default: nvcc on PATH or in CUDA_PATH)
#   QNR_NVCC_FLAGS         extra flags, e.g. -ccbin=g++-12 or -allow-unsupported-compiler

option(QNR_CUDA "Build the GPU kernel image with nvcc" ON)
set(QNR_NVCC_FLAGS "" CACHE STRING "Extra nvcc flags for the kernel image")

# Machine code for these generations: Turing, Ampere (A100; RTX 30, A-series),
# Ada (RTX 40, L4, L40), Hopper (H100, H200), Blackwell data centre (B200,
# B300, GB200), Thor, and Blackwell desktop (RTX 50, RTX PRO). Machine code of
# sm_XY also runs on X.Z with Z > Y (8.7 Orin takes sm_86, 10.3 takes sm_100,
# 12.1 takes sm_120). PTX for compute_75 lets the driver compile the kernel for
# any later GPU not listed. The embedded-image test checks these entries.
set(QNR_CUDA_SASS_ARCHS 75 80 86 89 90 100 110 120 CACHE INTERNAL "")
set(QNR_CUDA_PTX_ARCH 75 CACHE INTERNAL "")

# Set once for the whole build: tests ask whether the module carries a kernel.
set(QNR_HAVE_KERNEL_IMAGE OFF CACHE INTERNAL "")
if(QNR_CUDA)
  find_program(QNR_NVCC nvcc HINTS $ENV{CUDA_PATH}/bin /usr/local/cuda/bin)
  if(QNR_NVCC)
    set(QNR_HAVE_KERNEL_IMAGE ON CACHE INTERNAL "")
    # Machine code built by CUDA X.Y loads with any driver of CUDA X.0 or later
    # (the driver's minor version compatibility); older drivers cannot load it,
    # so the module does not take the GPU road on them. The PTX, which needs a
    # driver of X.Y, is only compiled for GPUs newer than every machine code.
    execute_process(COMMAND ${QNR_NVCC} --version OUTPUT_VARIABLE nvcc_version_text
                    ERROR_QUIET RESULT_VARIABLE nvcc_version_result)
    if(nvcc_version_result EQUAL 0 AND nvcc_version_text MATCHES "release ([0-9]+)\\.([0-9]+)")
      math(EXPR driver_version "${CMAKE_MATCH_1} * 1000")
      message(STATUS "QNR: GPU kernel image built with ${QNR_NVCC} (CUDA ${CMAKE_MATCH_1}."
                     "${CMAKE_MATCH_2}); it needs a driver of CUDA ${CMAKE_MATCH_1}.0 or later")
    else()
      set(driver_version 0)
      message(WARNING "QNR: ${QNR_NVCC} --version names no release; the module will not check "
                      "the driver's version before it loads the kernel")
    endif()
    set(QNR_KERNEL_DRIVER_VERSION ${driver_version} CACHE INTERNAL "")
  else()
    message(WARNING "QNR: nvcc not found; the module carries no GPU kernel and every frame "
                    "takes the CPU path (set QNR_NVCC to enable the GPU road)")
  endif()
else()
  message(STATUS "QNR: QNR_CUDA is OFF; the module carries no GPU kernel")
endif()

# Adds the kernel image source to `target`.
function(qnr_add_kernel_image target)
  if(NOT QNR_HAVE_KERNEL_IMAGE)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src/gpu/kernel_image_none.cpp)
    return()
  endif()

  set(cu ${PROJECT_SOURCE_DIR}/src/qnr_cuda.cu)
  set(fatbin ${CMAKE_CURRENT_BINARY_DIR}/qnr_kernel.fatbin)
  set(image_cpp ${CMAKE_CURRENT_BINARY_DIR}/qnr_kernel_image.cpp)
  set(arch_flags "")
  foreach(arch ${QNR_CUDA_SASS_ARCHS})
    if(arch STREQUAL QNR_CUDA_PTX_ARCH)
      list(APPEND arch_flags -gencode "arch=compute_${arch},code=[sm_${arch},compute_${arch}]")
    else()
      list(APPEND arch_flags -gencode "arch=compute_${arch},code=sm_${arch}")
    endif()
  endforeach()
  if(NOT QNR_CUDA_PTX_ARCH IN_LIST QNR_CUDA_SASS_ARCHS)
    list(APPEND arch_flags -gencode "arch=compute_${QNR_CUDA_PTX_ARCH},code=compute_${QNR_CUDA_PTX_ARCH}")
  endif()

  # One command for all generations; it reruns only when the kernel or the
  # headers it includes change. -Xptxas -v prints registers, stack and shared
  # memory per generation into the build log.
  add_custom_command(
    OUTPUT ${fatbin}
    COMMAND ${QNR_NVCC} -fatbin --fmad=false -std=c++20 -I${PROJECT_SOURCE_DIR}/src
            ${arch_flags} -Xptxas -v ${QNR_NVCC_FLAGS} -o ${fatbin} ${cu}
    DEPENDS ${cu} ${PROJECT_SOURCE_DIR}/src/gpu/kernel_steps.h
            ${PROJECT_SOURCE_DIR}/src/core/analysis.h
    COMMENT "nvcc: GPU kernel image (sm_${QNR_CUDA_SASS_ARCHS}, compute_${QNR_CUDA_PTX_ARCH})"
    VERBATIM)
  add_custom_command(
    OUTPUT ${image_cpp}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${fatbin} -DOUTPUT=${image_cpp}
            -DDRIVER_VERSION=${QNR_KERNEL_DRIVER_VERSION}
            -P ${PROJECT_SOURCE_DIR}/cmake/CudaEmbedImage.cmake
    DEPENDS ${fatbin} ${PROJECT_SOURCE_DIR}/cmake/CudaEmbedImage.cmake
    COMMENT "Embedding the GPU kernel image"
    VERBATIM)
  target_sources(${target} PRIVATE ${image_cpp})
endfunction()
