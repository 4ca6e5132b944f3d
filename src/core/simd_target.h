// Whether this compiler and target can build the x86 SIMD versions, and the
// per-function target attributes they are built with. Only the functions that
// carry an attribute use the wider instructions, so the rest of the module
// (and every inline helper it shares with them) still runs on plain x86-64.
// No attribute enables FMA: the colour step needs its products and sums
// rounded separately. Defining QNR_DISABLE_SIMD leaves only the plain versions.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(QNR_DISABLE_SIMD)
#define QNR_X86_SIMD 1
#define QNR_TARGET_SSE41 __attribute__((target("sse4.1"), always_inline)) inline
#define QNR_TARGET_SSE41_ENTRY __attribute__((target("sse4.1")))
#define QNR_TARGET_AVX2 __attribute__((target("avx2"), always_inline)) inline
#define QNR_TARGET_AVX2_ENTRY __attribute__((target("avx2")))
#define QNR_TARGET_AVX512 __attribute__((target("avx2,avx512f,avx512bw"), always_inline)) inline
#define QNR_TARGET_AVX512_ENTRY __attribute__((target("avx2,avx512f,avx512bw")))
// Short loops of the vector bodies unrolled completely, so that what they
// produce stays in registers instead of a stack array.
#define QNR_UNROLL_ALL _Pragma("GCC unroll 16")
#else
#define QNR_X86_SIMD 0
#endif
