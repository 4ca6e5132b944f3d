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
