# GoogleTest for the cross build: Debian ships no mingw build of it, so it is
# compiled from Debian's source package with the cross compiler.
set(QNR_GOOGLETEST_SOURCE /usr/src/googletest/googletest CACHE PATH
    "GoogleTest sources to build for the target (Debian package googletest)")
if(NOT EXISTS ${QNR_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources at ${QNR_GOOGLETEST_SOURCE}: install Debian's "
                      "googletest package or set QNR_GOOGLETEST_SOURCE")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${QNR_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
target_compile_options(gtest PRIVATE -w)
target_compile_options(gtest_main PRIVATE -w)
# (GoogleTest itself defines GTest::gtest and GTest::gtest_main.)
