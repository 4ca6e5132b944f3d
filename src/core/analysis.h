// The directional frequency analysis of one pixel, shared by the CPU frame
// filter and the GPU kernel (the macro below makes every function callable from
// device code), so both paths take the same decision from the same samples.
//
// On each of four lines through a pixel, 13 luma samples give two frequency
// components C (weights 5041 cos(2 pi m k / 13), m = 1, 2) and two contrast
// measures K. A component below its threshold T = A - q |K| is noise and enters
// the correction as itself; a stronger one is detail and enters as -(S C) >> 5.
// The correction D is the sum of the eight decided values >> 16.
//
// Settings reach the filter unlimited through scripts, so every product and sum
// that a setting takes part in is formed in uint32_t and wraps in two's
// complement, as the 32-bit arithmetic it describes; >> on a negative int32 is
// arithmetic (rounding toward minus infinity).
#pragma once

#include <cstdint>

#if defined(__CUDACC__)
#define QNR_HOST_DEVICE __host__ __device__ __forceinline__
#else
#define QNR_HOST_DEVICE inline
#endif

// Per-frame constants of the two frequencies, derived from the levels.
struct AnalysisConstants {
  int32_t a1, q1;  // frequency 1: A = 10 L1, q = 333 L1 / 1000
  int32_t a2, q2;  // frequency 2, from L2
  int32_t sharp;   // detail gain in 32nds
};

QNR_HOST_DEVICE int32_t wrap_mul(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
QNR_HOST_DEVICE int32_t wrap_add(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
QNR_HOST_DEVICE int32_t wrap_sub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
// |v| for values far from INT32_MIN (sample sums and their weighted totals).
QNR_HOST_DEVICE int32_t magnitude(int32_t v) { return v < 0 ? -v : v; }

QNR_HOST_DEVICE AnalysisConstants analysis_constants(int32_t level_f1, int32_t level_f2,
                                                     int32_t sharp) {
  AnalysisConstants c;
  c.a1 = wrap_mul(10, level_f1);
  c.q1 = wrap_mul(333, level_f1) / 1000;
  c.a2 = wrap_mul(10, level_f2);
  c.q2 = wrap_mul(333, level_f2) / 1000;
  c.sharp = sharp;
  return c;
}

// Decided value of one component c with contrast k against threshold a - q |k|.
QNR_HOST_DEVICE int32_t decide(int32_t c, int32_t k, int32_t a, int32_t q, int32_t sharp) {
  const int32_t t = wrap_sub(a, wrap_mul(q, magnitude(k)));
  // |c| stays below 1.1e7 for byte samples, so |c| x 10 cannot overflow.
  if (wrap_mul(t, 2000) < magnitude(c) * 10) {
    return static_cast<int32_t>(0u - static_cast<uint32_t>(wrap_mul(sharp, c))) >> 5;
  }
  return c;
}

// Sum of the two decided values of one line, given the centre luma g and the
// pair sums s[k-1] = a(k) + b(k) of the samples at distance k = 1..6.
QNR_HOST_DEVICE int32_t line_decided_sum(int32_t g, const int32_t s[6],
                                         const AnalysisConstants& c) {
  const int32_t c1 =
      5041 * g + 4464 * s[0] + 2864 * s[1] + 608 * s[2] - 1788 * s[3] - 3773 * s[4] - 4895 * s[5];
  const int32_t k1 = s[0] + s[1] + s[2] - s[3] - s[4] - s[5];
  const int32_t c2 =
      5041 * g + 2864 * s[0] - 1788 * s[1] - 4895 * s[2] - 3773 * s[3] + 608 * s[4] + 4464 * s[5];
  const int32_t k2 = s[0] - s[1] - s[2] - s[3] + s[4] + s[5];
  return wrap_add(decide(c1, k1, c.a1, c.q1, c.sharp), decide(c2, k2, c.a2, c.q2, c.sharp));
}

// The luma correction D from the four lines' pair sums (horizontal, vertical,
// falling and rising diagonal, in any order: the sum does not depend on it).
QNR_HOST_DEVICE int32_t correction_from_lines(int32_t g, const int32_t horizontal[6],
                                              const int32_t vertical[6], const int32_t falling[6],
                                              const int32_t rising[6], const AnalysisConstants& c) {
  int32_t sum = line_decided_sum(g, horizontal, c);
  sum = wrap_add(sum, line_decided_sum(g, vertical, c));
  sum = wrap_add(sum, line_decided_sum(g, falling, c));
  sum = wrap_add(sum, line_decided_sum(g, rising, c));
  return sum >> 16;
}
