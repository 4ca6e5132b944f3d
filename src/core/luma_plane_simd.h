// The luma-plane fill on whole vectors, written once over an instruction-set
// trait (isa_*.h) and instantiated per set by luma_plane_{sse41,avx2,avx512}.cpp;
// the last few pixels take the plain rule. Each including file defines
// QNR_BODY_TARGET first (see color_simd.h).
#pragma once

#include "core/simd_target.h"

#if QNR_X86_SIMD
#include <cstddef>
#include <cstdint>

#include "core/color.h"
#include "core/color_simd.h"

namespace simd {
namespace {

template <class I>
QNR_BODY_TARGET void fill_luma_plane(const uint32_t* src, uint8_t* plane, size_t count) {
  constexpr size_t kBlock = I::kBlock, kHalf = kBlock / 2;
  size_t i = 0;
  for (; i + kBlock <= count; i += kBlock) {
    I::store_bytes(plane + i, luma<I>(I::load_words(src + i)),
                   luma<I>(I::load_words(src + i + kHalf)));
  }
  for (; i < count; ++i) plane[i] = cpu_luma(src[i]);
}

}  // namespace
}  // namespace simd

#endif  // QNR_X86_SIMD
