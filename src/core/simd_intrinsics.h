// The x86 intrinsics. GCC 12's AVX-512 headers start many results from an
// "undefined" vector and then warn that it may be used uninitialised; those
// warnings concern the headers' own code and are silenced here only.
#pragma once

#include "core/simd_target.h"

#if QNR_X86_SIMD && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#elif QNR_X86_SIMD
#include <immintrin.h>
#endif
