# cmake -DINPUT=file -DOUTPUT=file.cpp -DNAMESPACE=ns -DNAME=name -P EmbedText.cmake
# Writes the bytes of INPUT as `std::string_view NAMESPACE::NAME()`, so a
# program carries a text file (a page, a script) without reading it at run time.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
# 24 bytes per line, each byte as 0xNN.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n  " bytes "${bytes}")
file(WRITE ${OUTPUT}.tmp
"// Generated from ${INPUT}; do not edit.
#include <string_view>

namespace ${NAMESPACE} {
namespace {
const unsigned char text_bytes[${size} + 1] = {
  ${bytes} 0
};
}  // namespace

std::string_view ${NAME}() {
  return std::string_view(reinterpret_cast<const char*>(text_bytes), ${size});
}

}  // namespace ${NAMESPACE}
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
