# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model):
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# Test programs run under Wine through the emulator below, so ctest works on the
# build machine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QNR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QNR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QNR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${QNR_MINGW_PREFIX}-windres)
set(CMAKE_AR ${QNR_MINGW_PREFIX}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${QNR_MINGW_PREFIX}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${QNR_MINGW_PREFIX}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${QNR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# <windows.h> must not define min and max macros over std::min and std::max.
set(CMAKE_C_FLAGS_INIT "-DNOMINMAX")
set(CMAKE_CXX_FLAGS_INIT "-DNOMINMAX")

# Every program this build runs (test discovery, tests) goes through Wine with
# a prefix of its own inside the build folder.
get_filename_component(QNR_WINE_RUN ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine-run ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QNR_WINE_RUN} ${CMAKE_BINARY_DIR}/wineprefix)

# Programs built here run under Wine, whose prefix has no MinGW runtime DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
