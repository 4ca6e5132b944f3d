# Flags shared by every target. The CPU colour step is defined to the bit:
# a contracted multiply-add or any fast-math licence changes results, so
# contraction is off everywhere and fast-math is explicitly refused.
add_compile_options(
  $<$<COMPILE_LANGUAGE:C,CXX>:-ffp-contract=off>
  $<$<COMPILE_LANGUAGE:C,CXX>:-fno-fast-math>
  $<$<COMPILE_LANGUAGE:C,CXX>:-Wall>
  $<$<COMPILE_LANGUAGE:C,CXX>:-Wextra>
)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|amd64")
  # Doubles in SSE2 registers, never the x87 stack with its wider intermediates.
  add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-mfpmath=sse> $<$<COMPILE_LANGUAGE:C,CXX>:-msse2>)
endif()

if(QNR_SANITIZE)
  set(QNR_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:${QNR_SANITIZER_FLAGS}>")
  add_link_options(${QNR_SANITIZER_FLAGS})
endif()

# Shared libraries and plug-ins are linked with every symbol resolved, except in
# the fuzz build, where the executable that loads them carries the sanitizer
# and coverage runtimes.
set(QNR_LINK_NO_UNDEFINED -Wl,--no-undefined)
if(QNR_FUZZ)
  set(QNR_LINK_NO_UNDEFINED)
endif()

# The fuzz build: every object carries libFuzzer's coverage hooks and both
# sanitizers, so a finding anywhere in our code stops the run with its input.
if(QNR_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "QNR_FUZZ needs clang (libFuzzer): configure with -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang")
  endif()
  set(QNR_FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                     -fno-omit-frame-pointer)
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:${QNR_FUZZ_FLAGS}>")
  add_link_options(-fsanitize=address,undefined)
endif()
