# cmake -DINPUT=file -DOUTPUT=file.cpp -DDRIVER_VERSION=n -P CudaEmbedImage.cmake
# Writes the bytes of INPUT as the module's kernel image (gpu/kernel_image.h),
# with the oldest driver version (cuDriverGetVersion's count) that loads it.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
# 24 bytes per line, each byte as 0xNN.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n  " bytes "${bytes}")
file(WRITE ${OUTPUT}.tmp
"// Generated from ${INPUT}; do not edit.
#include \"gpu/kernel_image.h\"

namespace {
// The driver reads the image in place; a fatbin wants 8-byte alignment.
alignas(64) const unsigned char image_bytes[${size}] = {
  ${bytes}
};
}  // namespace

const KernelImage qnr_kernel_image = {image_bytes, ${size}, ${DRIVER_VERSION}};
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
