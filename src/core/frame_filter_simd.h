// The vectorised frame filter, written once over an instruction-set trait
// (isa_*.h) and instantiated per set by frame_filter_{sse41,avx2,avx512}.cpp.
//
// A block is a run of I::kBlock consecutive pixels of one row. Samples are
// widened to 16 bits, the two components of each line come from pairwise
// multiply-adds of samples with their weights, and the decisions run on 32-bit
// lanes in two's-complement arithmetic exactly as the shared analysis forms
// them. Each including file defines QNR_BODY_TARGET first (see color_simd.h).
#pragma once

#include "core/simd_target.h"

#if QNR_X86_SIMD
#include <cstdint>
#include <cstring>

#include "core/analysis.h"
#include "core/color_simd.h"
#include "core/frame_blocks.h"
#include "core/frame_filter.h"
#include "host/filter_config.h"

namespace simd {
namespace {

// Per-frame constants. The threshold test wrap(T x 2000) < |C| x 10 uses
// wrap(A x 2000) - wrap(q x 2000) x |K|, equal to it modulo 2^32; a detail
// value wrap(-(S x C)) is wrap((-S) x C) for the same reason.
template <class I>
struct Constants {
  typename I::V a2000_1, q2000_1, a2000_2, q2000_2, neg_sharp;
  typename I::V weight1[4], weight2[4];  // (first, second) weight pairs for the multiply-adds
};

template <class I>
QNR_BODY_TARGET typename I::V weight_pair(int16_t first, int16_t second) {
  return I::set32(static_cast<int32_t>(static_cast<uint16_t>(first) |
                                       static_cast<uint32_t>(static_cast<uint16_t>(second)) << 16));
}

template <class I>
QNR_BODY_TARGET Constants<I> make_constants(const AnalysisConstants& k) {
  Constants<I> c;
  c.a2000_1 = I::set32(wrap_mul(k.a1, 2000));
  c.q2000_1 = I::set32(wrap_mul(k.q1, 2000));
  c.a2000_2 = I::set32(wrap_mul(k.a2, 2000));
  c.q2000_2 = I::set32(wrap_mul(k.q2, 2000));
  c.neg_sharp = I::set32(wrap_sub(0, k.sharp));
  // Pairs (g, s1), (s2, s3), (s4, s5), (s6, 0).
  c.weight1[0] = weight_pair<I>(5041, 4464);
  c.weight1[1] = weight_pair<I>(2864, 608);
  c.weight1[2] = weight_pair<I>(-1788, -3773);
  c.weight1[3] = weight_pair<I>(-4895, 0);
  c.weight2[0] = weight_pair<I>(5041, 2864);
  c.weight2[1] = weight_pair<I>(-1788, -4895);
  c.weight2[2] = weight_pair<I>(-3773, 608);
  c.weight2[3] = weight_pair<I>(4464, 0);
  return c;
}

template <class I>
QNR_BODY_TARGET typename I::V decide(typename I::V c, typename I::V abs_k, typename I::V a2000,
                                     typename I::V q2000, typename I::V neg_sharp) {
  using V = typename I::V;
  const V t2000 = I::sub32(a2000, I::mullo32(q2000, abs_k));
  const V abs_c = I::abs32(c);
  const V c10 = I::add32(I::template shl32<3>(abs_c), I::template shl32<1>(abs_c));
  const V boosted = I::template sar32<5>(I::mullo32(neg_sharp, c));
  return I::select_gt32(c10, t2000, c, boosted);
}

template <class I>
QNR_BODY_TARGET typename I::V component(typename I::V p0, typename I::V p1, typename I::V p2,
                                        typename I::V p3, const typename I::V w[4]) {
  return I::add32(I::add32(I::madd16(p0, w[0]), I::madd16(p1, w[1])),
                  I::add32(I::madd16(p2, w[2]), I::madd16(p3, w[3])));
}

// Adds the two decided values of one line to the sums. The 16-bit lanes of g
// and s hold the block's pixels; the 32-bit sums hold them in the order the
// in-lane unpacks give (I::pixel_order restores it).
template <class I>
QNR_BODY_TARGET void add_line(typename I::V g, const typename I::V s[6], const Constants<I>& c,
                              typename I::V& sum_low, typename I::V& sum_high) {
  using V = typename I::V;
  const V zero = I::zero();
  const V p0l = I::unpacklo16(g, s[0]), p0h = I::unpackhi16(g, s[0]);
  const V p1l = I::unpacklo16(s[1], s[2]), p1h = I::unpackhi16(s[1], s[2]);
  const V p2l = I::unpacklo16(s[3], s[4]), p2h = I::unpackhi16(s[3], s[4]);
  const V p3l = I::unpacklo16(s[5], zero), p3h = I::unpackhi16(s[5], zero);

  const V k1 = I::abs16(I::sub16(I::add16(I::add16(s[0], s[1]), s[2]),
                                 I::add16(I::add16(s[3], s[4]), s[5])));
  const V k2 = I::abs16(I::sub16(I::add16(I::add16(s[0], s[4]), s[5]),
                                 I::add16(I::add16(s[1], s[2]), s[3])));

  sum_low = I::add32(
      sum_low, I::add32(decide<I>(component<I>(p0l, p1l, p2l, p3l, c.weight1),
                                  I::unpacklo16(k1, zero), c.a2000_1, c.q2000_1, c.neg_sharp),
                        decide<I>(component<I>(p0l, p1l, p2l, p3l, c.weight2),
                                  I::unpacklo16(k2, zero), c.a2000_2, c.q2000_2, c.neg_sharp)));
  sum_high = I::add32(
      sum_high, I::add32(decide<I>(component<I>(p0h, p1h, p2h, p3h, c.weight1),
                                   I::unpackhi16(k1, zero), c.a2000_1, c.q2000_1, c.neg_sharp),
                         decide<I>(component<I>(p0h, p1h, p2h, p3h, c.weight2),
                                   I::unpackhi16(k2, zero), c.a2000_2, c.q2000_2, c.neg_sharp)));
}

// The block's samples at column offset dx of row j, or the centre's luma where
// the row (whole vector) or the column (lanes outside in_frame) lies outside
// the frame.
template <class I, bool kEdge>
QNR_BODY_TARGET typename I::V sample(const BlockRows& rows, int j, int dx, typename I::V g,
                                     const typename I::LaneMask in_frame[kLineRows]) {
  const uint8_t* row = rows.at[j];
  if (row == nullptr) return g;
  const typename I::V v = I::load_luma(row + dx);
  if constexpr (kEdge) return I::select16(in_frame[dx + kLineReach], g, v);
  return v;
}

// The corrections D of the block's pixels, in pixel order: first and second
// half of the block.
template <class I, bool kEdge>
QNR_BODY_TARGET void block_corrections(const BlockRows& rows,
                                       const typename I::LaneMask in_frame[kLineRows],
                                       const Constants<I>& c, typename I::V& d_first,
                                       typename I::V& d_second) {
  using V = typename I::V;
  const V g = I::load_luma(rows.at[kLineReach]);
  V sum_low = I::zero(), sum_high = I::zero();
  V s[6];
  constexpr int c0 = kLineReach;  // row index of the centre
  for (int k = 1; k <= 6; ++k) {
    s[k - 1] = I::add16(sample<I, kEdge>(rows, c0, -k, g, in_frame),
                        sample<I, kEdge>(rows, c0, k, g, in_frame));
  }
  add_line<I>(g, s, c, sum_low, sum_high);
  for (int k = 1; k <= 6; ++k) {
    s[k - 1] = I::add16(sample<I, kEdge>(rows, c0 - k, 0, g, in_frame),
                        sample<I, kEdge>(rows, c0 + k, 0, g, in_frame));
  }
  add_line<I>(g, s, c, sum_low, sum_high);
  for (int k = 1; k <= 6; ++k) {
    s[k - 1] = I::add16(sample<I, kEdge>(rows, c0 - k, -k, g, in_frame),
                        sample<I, kEdge>(rows, c0 + k, k, g, in_frame));
  }
  add_line<I>(g, s, c, sum_low, sum_high);
  for (int k = 1; k <= 6; ++k) {
    s[k - 1] = I::add16(sample<I, kEdge>(rows, c0 + k, -k, g, in_frame),
                        sample<I, kEdge>(rows, c0 - k, k, g, in_frame));
  }
  add_line<I>(g, s, c, sum_low, sum_high);
  I::pixel_order(I::template sar32<16>(sum_low), I::template sar32<16>(sum_high), d_first,
                 d_second);
}

template <class I>
QNR_BODY_TARGET void edge_lanes(int32_t x0, int32_t width,
                                typename I::LaneMask in_frame[kLineRows]) {
  for (int32_t dx = -kLineReach; dx <= kLineReach; ++dx) {
    const LaneRange r = lanes_in_frame(x0, dx, I::kBlock, width);
    in_frame[dx + kLineReach] = I::lanes16(r.first, r.end);
  }
}

template <class I>
QNR_BODY_TARGET void rebuild_block(const uint32_t* in, uint32_t* out, typename I::V d_first,
                                   typename I::V d_second, bool show_noise) {
  constexpr int32_t half = I::kBlock / 2;
  I::store_words(out, rebuild<I>(I::load_words(in), d_first, show_noise));
  I::store_words(out + half, rebuild<I>(I::load_words(in + half), d_second, show_noise));
}

// The whole frame: every row, block by block. Interior blocks read the plane
// directly; edge blocks read a zero-padded copy and mask the lanes outside.
template <class I>
QNR_BODY_TARGET void filter_frame(const CpuFilterArgs& args) {
  constexpr int32_t kBlock = I::kBlock;
  if (args.rows <= 0 || args.width <= 0) return;
  const Constants<I> c =
      make_constants<I>(analysis_constants(args.level_f1, args.level_f2, args.sharp));
  const int32_t step = args.interlace != 0 ? 2 : 1;
  const int32_t width = args.width;
  const uint8_t* plane = args.config->luma_plane;
  const bool show_noise = args.config->show_noise != 0;

  uint8_t window[edge_window_size(kBlock)];
  typename I::LaneMask in_frame[kLineRows] = {};
  for (int32_t y = 0; y < args.rows; ++y) {
    const uint8_t* starts[kLineRows];
    frame_rows(plane, width, args.rows, y, step, starts);
    const size_t row_start = static_cast<size_t>(y) * static_cast<size_t>(width);
    for (int32_t x0 = 0; x0 < width; x0 += kBlock) {
      BlockRows rows;
      typename I::V d_first, d_second;
      if (block_is_interior(x0, kBlock, width)) {
        block_rows_in_plane(starts, x0, rows);
        block_corrections<I, false>(rows, in_frame, c, d_first, d_second);
      } else {
        block_rows_in_window(starts, x0, kBlock, width, window, rows);
        edge_lanes<I>(x0, width, in_frame);
        block_corrections<I, true>(rows, in_frame, c, d_first, d_second);
      }
      const uint32_t* in = args.src + row_start + x0;
      uint32_t* out = args.dst + row_start + x0;
      const int32_t count = width - x0 < kBlock ? width - x0 : kBlock;
      if (count == kBlock) {
        rebuild_block<I>(in, out, d_first, d_second, show_noise);
      } else {
        uint32_t in_copy[kBlock] = {}, out_copy[kBlock];
        std::memcpy(in_copy, in, sizeof(uint32_t) * count);
        rebuild_block<I>(in_copy, out_copy, d_first, d_second, show_noise);
        std::memcpy(out, out_copy, sizeof(uint32_t) * count);
      }
    }
  }
}

}  // namespace
}  // namespace simd

#endif  // QNR_X86_SIMD
