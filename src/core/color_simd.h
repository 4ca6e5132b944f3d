// The colour rules of color.h on whole vectors, written once over an
// instruction-set trait (isa_*.h): the same IEEE double products and sums,
// combined in the same order (no fused multiply-add), and the same truncation
// toward zero. The words of one vector V are handled as two halves of doubles.
//
// A function template cannot take its target attribute from its template
// argument, so each source file that instantiates these for one instruction
// set defines QNR_BODY_TARGET as that set's inline attribute before including
// this header; the functions live in an unnamed namespace, one copy per file.
#pragma once

#include "core/simd_target.h"

#if QNR_X86_SIMD
#ifndef QNR_BODY_TARGET
#error "define QNR_BODY_TARGET as the instruction set's inline target attribute first"
#endif

#include <cstdint>

namespace simd {
namespace {

// Blue, green and red of a vector of BGRX words as int32 lanes.
template <class I> struct Channels { typename I::V blue, green, red; };

template <class I> QNR_BODY_TARGET Channels<I> channels_of(typename I::V px) {
  const typename I::V byte = I::set32(0xFF);
  return {I::bit_and(px, byte), I::bit_and(I::template shr32<8>(px), byte),
          I::bit_and(I::template shr32<16>(px), byte)};
}

template <class I> QNR_BODY_TARGET typename I::D times(typename I::D v, double k) {
  return I::mul_pd(v, I::set_pd(k));
}

// green x 0.587 + red x 0.299 + blue x 0.114.
template <class I>
QNR_BODY_TARGET typename I::D luma_sum(typename I::D blue, typename I::D green, typename I::D red) {
  return I::add_pd(I::add_pd(times<I>(green, 0.587), times<I>(red, 0.299)), times<I>(blue, 0.114));
}

// The luma bytes of a vector of words, as int32 lanes.
template <class I> QNR_BODY_TARGET typename I::V luma(typename I::V px) {
  const Channels<I> c = channels_of<I>(px);
  typename I::Half half[2];
  QNR_UNROLL_ALL
  for (int h = 0; h < 2; ++h) {
    half[h] = I::truncate(
        luma_sum<I>(I::to_double(c.blue, h), I::to_double(c.green, h), I::to_double(c.red, h)));
  }
  return I::join(half[0], half[1]);
}

template <class I> QNR_BODY_TARGET typename I::V limit_to_byte(typename I::V v) {
  return I::min32(I::max32(v, I::zero()), I::set32(255));
}

// What the filter removed, amplified five times around mid-grey, byte 3 zero.
template <class I>
QNR_BODY_TARGET typename I::V noise_view(typename I::V input, typename I::V output) {
  using V = typename I::V;
  const V zero = I::zero(), five = I::set16(5), grey = I::set16(127);
  const V low = I::add16(
      I::mullo16(I::sub16(I::unpacklo8(input, zero), I::unpacklo8(output, zero)), five), grey);
  const V high = I::add16(
      I::mullo16(I::sub16(I::unpackhi8(input, zero), I::unpackhi8(output, zero)), five), grey);
  return I::bit_and(I::packus16(low, high), I::set32(0x00FFFFFF));
}

// rebuild_pixel for a vector of words with their corrections d (int32 lanes).
template <class I>
QNR_BODY_TARGET typename I::V rebuild(typename I::V px, typename I::V d, bool show_noise) {
  using D = typename I::D;
  const Channels<I> c = channels_of<I>(px);
  typename I::Half red[2], green[2], blue[2];
  QNR_UNROLL_ALL
  for (int h = 0; h < 2; ++h) {
    const D b = I::to_double(c.blue, h), g = I::to_double(c.green, h), r = I::to_double(c.red, h);
    const D yd = luma_sum<I>(b, g, r);
    // U, V and the corrected luma are integers: truncated, but kept in double.
    // |d| <= 2^15 (a 32-bit sum shifted right by 16), so no value comes near
    // the range where a conversion to int32 would saturate.
    const D u = I::truncate_pd(
        I::add_pd(I::sub_pd(times<I>(r, -0.147), times<I>(g, 0.289)), times<I>(b, 0.436)));
    const D v = I::truncate_pd(
        I::add_pd(I::sub_pd(times<I>(r, 0.615), times<I>(g, 0.515)), times<I>(b, 0.100)));
    const D y = I::truncate_pd(I::sub_pd(yd, I::to_double(d, h)));
    const D half = I::set_pd(0.5);
    red[h] = I::truncate(I::add_pd(
        I::add_pd(I::sub_pd(times<I>(y, 0.772), times<I>(u, 0.4633)), times<I>(v, 1.14)), half));
    green[h] = I::truncate(I::add_pd(
        I::sub_pd(I::sub_pd(times<I>(y, 1.1161), times<I>(u, 0.1587)), times<I>(v, 0.5806)), half));
    blue[h] = I::truncate(I::add_pd(
        I::sub_pd(I::add_pd(times<I>(y, 1.0001), times<I>(u, 2.0322)), times<I>(v, 0.0005)), half));
  }
  const typename I::V out =
      I::bit_or(I::bit_or(limit_to_byte<I>(I::join(blue[0], blue[1])),
                          I::template shl32<8>(limit_to_byte<I>(I::join(green[0], green[1])))),
                I::template shl32<16>(limit_to_byte<I>(I::join(red[0], red[1]))));
  return show_noise ? noise_view<I>(px, out) : out;
}

}  // namespace
}  // namespace simd

#endif  // QNR_X86_SIMD
