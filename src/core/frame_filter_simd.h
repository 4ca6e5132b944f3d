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
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

#include "core/analysis.h"
#include "core/color_simd.h"
#include "core/frame_blocks.h"
#include "core/frame_filter.h"

namespace simd {
namespace {

// Whether the levels allow the narrow decision below. Within it nothing that
// the levels enter wraps: |A| <= 4000, |q| <= 133 and |K| <= 1530 (three pair
// sums of at most 510 less three others), so |T| < 2.1e5 and |2000 T| < 2^31.
inline bool levels_are_narrow(int32_t level_f1, int32_t level_f2) {
  constexpr int32_t kLimit = 400;
  return level_f1 >= -kLimit && level_f1 <= kLimit && level_f2 >= -kLimit && level_f2 <= kLimit;
}

// Per-frame constants. Wide levels: the threshold test wrap(T x 2000) < |C| x 10
// uses wrap(A x 2000) - wrap(q x 2000) x |K|, equal to it modulo 2^32. Narrow
// levels: with nothing wrapping the test is 200 T < |C|, and 200 T =
// (-200 q) |K| + 1000 (2 L) is one multiply-add of 16-bit pairs (|K|, 1000).
// A detail value wrap(-(S x C)) is wrap((-S) x C) for the same reason.
template <class I> struct Constants {
  typename I::V a2000_1, q2000_1, a2000_2, q2000_2;  // wide levels
  typename I::V threshold1, threshold2;              // narrow levels: (-200 q, 2 L) pairs
  typename I::V neg_sharp;
  typename I::V weight1[3], weight2[3];  // weight pairs of (s1, s2), (s3, s4), (s5, s6)
  typename I::V weight_centre;           // (5041, 0)
};

template <class I> QNR_BODY_TARGET typename I::V weight_pair(int32_t first, int32_t second) {
  return I::set32(static_cast<int32_t>(static_cast<uint16_t>(first) |
                                       static_cast<uint32_t>(static_cast<uint16_t>(second)) << 16));
}

template <class I> QNR_BODY_TARGET Constants<I> make_constants(const CpuFilterArgs& args) {
  const AnalysisConstants k = analysis_constants(args.level_f1, args.level_f2, args.sharp);
  Constants<I> c;
  c.a2000_1 = I::set32(wrap_mul(k.a1, 2000));
  c.q2000_1 = I::set32(wrap_mul(k.q1, 2000));
  c.a2000_2 = I::set32(wrap_mul(k.a2, 2000));
  c.q2000_2 = I::set32(wrap_mul(k.q2, 2000));
  // Only used when the levels are narrow; meaningless (but harmless) otherwise.
  c.threshold1 = weight_pair<I>(wrap_mul(-200, k.q1), wrap_mul(2, args.level_f1));
  c.threshold2 = weight_pair<I>(wrap_mul(-200, k.q2), wrap_mul(2, args.level_f2));
  c.neg_sharp = I::set32(wrap_sub(0, k.sharp));
  c.weight1[0] = weight_pair<I>(4464, 2864);
  c.weight1[1] = weight_pair<I>(608, -1788);
  c.weight1[2] = weight_pair<I>(-3773, -4895);
  c.weight2[0] = weight_pair<I>(2864, -1788);
  c.weight2[1] = weight_pair<I>(-4895, -3773);
  c.weight2[2] = weight_pair<I>(608, 4464);
  c.weight_centre = weight_pair<I>(5041, 0);
  return c;
}

// The decided value of component c (int32 lanes) with its contrast; contrast
// holds 16-bit pairs (|K|, 1000) for narrow levels and (|K|, 0) for wide ones.
template <class I, bool kNarrow>
QNR_BODY_TARGET typename I::V decide(typename I::V c, typename I::V contrast,
                                     typename I::V threshold, typename I::V a2000,
                                     typename I::V q2000, typename I::V neg_sharp) {
  using V = typename I::V;
  const V boost = I::mullo32(neg_sharp, c);
  if constexpr (kNarrow) {
    return I::select_gt32_sar5(I::abs32(c), I::madd16(contrast, threshold), c, boost);
  } else {
    const V t2000 = I::sub32(a2000, I::mullo32(q2000, contrast));
    const V abs_c = I::abs32(c);
    const V c10 = I::add32(I::template shl32<3>(abs_c), I::template shl32<1>(abs_c));
    return I::select_gt32_sar5(c10, t2000, c, boost);
  }
}

// One component from its centre term and the three pairs of sample sums.
template <class I>
QNR_BODY_TARGET typename I::V component(typename I::V centre, typename I::V p01, typename I::V p23,
                                        typename I::V p45, const typename I::V w[3]) {
  return I::add32(I::add32(centre, I::madd16(p01, w[0])),
                  I::add32(I::madd16(p23, w[1]), I::madd16(p45, w[2])));
}

// 5041 g as int32 lanes, in the order of the in-lane unpacks: formed once per
// block and shared by the block's eight components.
template <class I> struct Centre { typename I::V low, high; };

template <class I> QNR_BODY_TARGET Centre<I> centre_terms(typename I::V g, const Constants<I>& c) {
  return {I::madd16(I::unpacklo16(g, I::zero()), c.weight_centre),
          I::madd16(I::unpackhi16(g, I::zero()), c.weight_centre)};
}

// Adds the two decided values of one line to the sums. The 16-bit lanes of s
// hold the block's pixels; the 32-bit sums hold them in the order the in-lane
// unpacks give (I::pixel_order restores it).
template <class I, bool kNarrow>
QNR_BODY_TARGET void add_line(const Centre<I>& centre, const typename I::V s[6],
                              const Constants<I>& c, typename I::V& sum_low,
                              typename I::V& sum_high) {
  using V = typename I::V;
  const V p01l = I::unpacklo16(s[0], s[1]), p01h = I::unpackhi16(s[0], s[1]);
  const V p23l = I::unpacklo16(s[2], s[3]), p23h = I::unpackhi16(s[2], s[3]);
  const V p45l = I::unpacklo16(s[4], s[5]), p45h = I::unpackhi16(s[4], s[5]);

  // K1 = s1 + s2 + s3 - s4 - s5 - s6 and K2 = s1 - s2 - s3 - s4 + s5 + s6 from
  // the shared partial sums (s1 - s4) and (s2 + s3) - (s5 + s6).
  const V near_far = I::sub16(s[0], s[3]);
  const V middle = I::sub16(I::add16(s[1], s[2]), I::add16(s[4], s[5]));
  const V k1 = I::abs16(I::add16(near_far, middle));
  const V k2 = I::abs16(I::sub16(near_far, middle));
  const V pad = kNarrow ? I::set16(1000) : I::zero();

  const V c1l = component<I>(centre.low, p01l, p23l, p45l, c.weight1);
  const V c2l = component<I>(centre.low, p01l, p23l, p45l, c.weight2);
  const V c1h = component<I>(centre.high, p01h, p23h, p45h, c.weight1);
  const V c2h = component<I>(centre.high, p01h, p23h, p45h, c.weight2);
  sum_low = I::add32(sum_low, I::add32(decide<I, kNarrow>(c1l, I::unpacklo16(k1, pad), c.threshold1,
                                                          c.a2000_1, c.q2000_1, c.neg_sharp),
                                       decide<I, kNarrow>(c2l, I::unpacklo16(k2, pad), c.threshold2,
                                                          c.a2000_2, c.q2000_2, c.neg_sharp)));
  sum_high =
      I::add32(sum_high, I::add32(decide<I, kNarrow>(c1h, I::unpackhi16(k1, pad), c.threshold1,
                                                     c.a2000_1, c.q2000_1, c.neg_sharp),
                                  decide<I, kNarrow>(c2h, I::unpackhi16(k2, pad), c.threshold2,
                                                     c.a2000_2, c.q2000_2, c.neg_sharp)));
}

// Which of a block's rows may lie outside the frame, and whether its columns may.
enum class BlockKind { interior, rows_cut, edge };

// The block's samples at column offset dx of row j, or the centre's luma where
// the row (whole vector) or the column (lanes outside in_frame) lies outside
// the frame.
template <class I, BlockKind kKind>
QNR_BODY_TARGET typename I::V sample(const uint8_t* const rows[kLineRows], int32_t column, int j,
                                     int dx, typename I::V g,
                                     const typename I::LaneMask in_frame[kLineRows]) {
  const uint8_t* row = rows[j];
  if constexpr (kKind != BlockKind::interior) {
    if (row == nullptr) return g;
  }
  const typename I::V v = I::load_luma(row + column + dx);
  if constexpr (kKind == BlockKind::edge) return I::select16(in_frame[dx + kLineReach], g, v);
  return v;
}

// The four lines through a pixel (horizontal, vertical, falling and rising
// diagonal) as one step in rows and columns: the two samples at distance k lie
// k steps before and k steps after the centre.
struct LineStep {
  int rows, columns;
};
inline constexpr LineStep kLineSteps[] = {{0, 1}, {1, 0}, {1, 1}, {-1, 1}};

// Where a block's samples come from, and the sums its lines add to.
template <class I> struct BlockLines {
  const uint8_t* const* rows;  // the 13 rows (null outside the frame)
  int32_t column;              // the block's first pixel in each row
  const typename I::LaneMask* in_frame;
  typename I::V g;
  Centre<I> centre;
  typename I::V sum_low, sum_high;
};

// Adds the line along kStep. The step is a template argument so that every
// row index and column offset below is a constant once the loop is unrolled.
template <class I, bool kNarrow, BlockKind kKind, LineStep kStep>
QNR_BODY_TARGET void add_line_along(BlockLines<I>& b, const Constants<I>& c) {
  constexpr int c0 = kLineReach;  // row index of the centre
  typename I::V s[6];
  QNR_UNROLL_ALL
  for (int k = 1; k <= 6; ++k) {
    const int dj = kStep.rows * k, dx = kStep.columns * k;
    s[k - 1] = I::add16(sample<I, kKind>(b.rows, b.column, c0 - dj, -dx, b.g, b.in_frame),
                        sample<I, kKind>(b.rows, b.column, c0 + dj, dx, b.g, b.in_frame));
  }
  add_line<I, kNarrow>(b.centre, s, c, b.sum_low, b.sum_high);
}

template <class I, bool kNarrow, BlockKind kKind, size_t... kLine>
QNR_BODY_TARGET void add_lines(BlockLines<I>& b, const Constants<I>& c,
                               std::index_sequence<kLine...>) {
  (add_line_along<I, kNarrow, kKind, kLineSteps[kLine]>(b, c), ...);
}

// The corrections D of the block's pixels, in pixel order: first and second
// half of the block. The block's first pixel lies at `column` of each of the
// 13 rows (null where a row lies outside the frame).
template <class I, bool kNarrow, BlockKind kKind>
QNR_BODY_TARGET void block_corrections(const uint8_t* const rows[kLineRows], int32_t column,
                                       const typename I::LaneMask in_frame[kLineRows],
                                       const Constants<I>& c, typename I::V& d_first,
                                       typename I::V& d_second) {
  const typename I::V g = I::load_luma(rows[kLineReach] + column);
  BlockLines<I> b{rows, column, in_frame, g, centre_terms<I>(g, c), I::zero(), I::zero()};
  add_lines<I, kNarrow, kKind>(b, c, std::make_index_sequence<std::size(kLineSteps)>{});
  I::pixel_order(I::template sar32<16>(b.sum_low), I::template sar32<16>(b.sum_high), d_first,
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
// directly, through the row starts; edge blocks read a zero-padded copy and
// mask the lanes outside.
template <class I, bool kNarrow>
QNR_BODY_TARGET void filter_rows(const CpuFilterArgs& args, const Constants<I>& c) {
  constexpr int32_t kBlock = I::kBlock;
  const int32_t step = args.interlace != 0 ? 2 : 1;
  const int32_t width = args.width;
  const uint8_t* plane = args.luma_plane;
  const bool show_noise = args.show_noise != 0;

  uint8_t window[edge_window_size(kBlock)];
  typename I::LaneMask in_frame[kLineRows] = {};
  for (int32_t y = 0; y < args.rows; ++y) {
    const uint8_t* starts[kLineRows];
    frame_rows(plane, width, args.rows, y, step, starts);
    const bool all_rows = starts[0] != nullptr && starts[kLineRows - 1] != nullptr;
    const size_t row_start = static_cast<size_t>(y) * static_cast<size_t>(width);
    for (int32_t x0 = 0; x0 < width; x0 += kBlock) {
      typename I::V d_first, d_second;
      if (!block_is_interior(x0, kBlock, width)) {
        BlockRows rows;
        block_rows_in_window(starts, x0, kBlock, width, window, rows);
        edge_lanes<I>(x0, width, in_frame);
        block_corrections<I, kNarrow, BlockKind::edge>(rows.at, 0, in_frame, c, d_first, d_second);
      } else if (all_rows) {
        block_corrections<I, kNarrow, BlockKind::interior>(starts, x0, in_frame, c, d_first,
                                                           d_second);
      } else {
        block_corrections<I, kNarrow, BlockKind::rows_cut>(starts, x0, in_frame, c, d_first,
                                                           d_second);
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

template <class I> QNR_BODY_TARGET void filter_frame(const CpuFilterArgs& args) {
  if (args.rows <= 0 || args.width <= 0) return;
  const Constants<I> c = make_constants<I>(args);
  if (levels_are_narrow(args.level_f1, args.level_f2)) {
    filter_rows<I, true>(args, c);
  } else {
    filter_rows<I, false>(args, c);
  }
}

}  // namespace
}  // namespace simd

#endif  // QNR_X86_SIMD
