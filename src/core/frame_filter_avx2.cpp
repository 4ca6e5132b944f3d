// The frame filter with AVX2: 16 pixels per step. Samples are widened to 16
// bits, the two components of each line come from pairwise multiply-adds of
// samples with their weights, and the decisions run on 32-bit lanes in
// two's-complement arithmetic exactly as the shared analysis forms them.
#include "core/simd_versions.h"

#if QNR_X86_SIMD
#include "core/simd_intrinsics.h"

#include <cstring>

#include "core/analysis.h"
#include "core/color_avx2.h"
#include "core/frame_blocks.h"
#include "core/frame_filter.h"
#include "host/filter_config.h"

namespace {

constexpr int32_t kBlock = 16;

// Per-frame constants. The threshold test wrap(T x 2000) < |C| x 10 uses
// wrap(A x 2000) - wrap(q x 2000) x |K|, equal to it modulo 2^32; a detail
// value wrap(-(S x C)) is wrap((-S) x C) for the same reason.
struct Constants {
  __m256i a2000_1, q2000_1, a2000_2, q2000_2, neg_sharp;
  __m256i weight1[4], weight2[4];  // (first, second) weight pairs for the multiply-adds
};

QNR_TARGET_AVX2 __m256i weight_pair(int16_t first, int16_t second) {
  return _mm256_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(first) |
                                                static_cast<uint32_t>(static_cast<uint16_t>(second)) << 16));
}

QNR_TARGET_AVX2 Constants make_constants(const AnalysisConstants& k) {
  Constants c;
  c.a2000_1 = _mm256_set1_epi32(wrap_mul(k.a1, 2000));
  c.q2000_1 = _mm256_set1_epi32(wrap_mul(k.q1, 2000));
  c.a2000_2 = _mm256_set1_epi32(wrap_mul(k.a2, 2000));
  c.q2000_2 = _mm256_set1_epi32(wrap_mul(k.q2, 2000));
  c.neg_sharp = _mm256_set1_epi32(wrap_sub(0, k.sharp));
  // Pairs (g, s1), (s2, s3), (s4, s5), (s6, 0).
  c.weight1[0] = weight_pair(5041, 4464);
  c.weight1[1] = weight_pair(2864, 608);
  c.weight1[2] = weight_pair(-1788, -3773);
  c.weight1[3] = weight_pair(-4895, 0);
  c.weight2[0] = weight_pair(5041, 2864);
  c.weight2[1] = weight_pair(-1788, -4895);
  c.weight2[2] = weight_pair(-3773, 608);
  c.weight2[3] = weight_pair(4464, 0);
  return c;
}

QNR_TARGET_AVX2 __m256i decide(__m256i c, __m256i abs_k, __m256i a2000, __m256i q2000,
                               __m256i neg_sharp) {
  const __m256i t2000 = _mm256_sub_epi32(a2000, _mm256_mullo_epi32(q2000, abs_k));
  const __m256i abs_c = _mm256_abs_epi32(c);
  const __m256i c10 = _mm256_add_epi32(_mm256_slli_epi32(abs_c, 3), _mm256_slli_epi32(abs_c, 1));
  const __m256i detail = _mm256_cmpgt_epi32(c10, t2000);
  const __m256i boosted = _mm256_srai_epi32(_mm256_mullo_epi32(neg_sharp, c), 5);
  return _mm256_blendv_epi8(c, boosted, detail);
}

QNR_TARGET_AVX2 __m256i component(__m256i p0, __m256i p1, __m256i p2, __m256i p3,
                                  const __m256i w[4]) {
  return _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(p0, w[0]), _mm256_madd_epi16(p1, w[1])),
                          _mm256_add_epi32(_mm256_madd_epi16(p2, w[2]), _mm256_madd_epi16(p3, w[3])));
}

// Adds the two decided values of one line to the sums. The 16-bit lanes of g
// and s hold pixels 0..15; the 32-bit sums hold pixels 0-3, 8-11 (low) and
// 4-7, 12-15 (high), the order the in-lane unpacks give.
QNR_TARGET_AVX2 void add_line(__m256i g, const __m256i s[6], const Constants& c, __m256i& sum_low,
                              __m256i& sum_high) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i p0l = _mm256_unpacklo_epi16(g, s[0]), p0h = _mm256_unpackhi_epi16(g, s[0]);
  const __m256i p1l = _mm256_unpacklo_epi16(s[1], s[2]), p1h = _mm256_unpackhi_epi16(s[1], s[2]);
  const __m256i p2l = _mm256_unpacklo_epi16(s[3], s[4]), p2h = _mm256_unpackhi_epi16(s[3], s[4]);
  const __m256i p3l = _mm256_unpacklo_epi16(s[5], zero), p3h = _mm256_unpackhi_epi16(s[5], zero);

  const __m256i k1 = _mm256_abs_epi16(
      _mm256_sub_epi16(_mm256_add_epi16(_mm256_add_epi16(s[0], s[1]), s[2]),
                       _mm256_add_epi16(_mm256_add_epi16(s[3], s[4]), s[5])));
  const __m256i k2 = _mm256_abs_epi16(
      _mm256_sub_epi16(_mm256_add_epi16(_mm256_add_epi16(s[0], s[4]), s[5]),
                       _mm256_add_epi16(_mm256_add_epi16(s[1], s[2]), s[3])));

  sum_low = _mm256_add_epi32(
      sum_low, _mm256_add_epi32(decide(component(p0l, p1l, p2l, p3l, c.weight1),
                                       _mm256_unpacklo_epi16(k1, zero), c.a2000_1, c.q2000_1,
                                       c.neg_sharp),
                                decide(component(p0l, p1l, p2l, p3l, c.weight2),
                                       _mm256_unpacklo_epi16(k2, zero), c.a2000_2, c.q2000_2,
                                       c.neg_sharp)));
  sum_high = _mm256_add_epi32(
      sum_high, _mm256_add_epi32(decide(component(p0h, p1h, p2h, p3h, c.weight1),
                                        _mm256_unpackhi_epi16(k1, zero), c.a2000_1, c.q2000_1,
                                        c.neg_sharp),
                                 decide(component(p0h, p1h, p2h, p3h, c.weight2),
                                        _mm256_unpackhi_epi16(k2, zero), c.a2000_2, c.q2000_2,
                                        c.neg_sharp)));
}

// The 16 samples at column offset dx of row j, or the centre's luma where the
// row (whole vector) or the column (masked lanes) lies outside the frame.
template <bool kEdge>
QNR_TARGET_AVX2 __m256i sample(const BlockRows& rows, int j, int dx, __m256i g,
                               const __m256i in_frame[kLineRows]) {
  const uint8_t* row = rows.at[j];
  if (row == nullptr) return g;
  const __m256i v =
      _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + dx)));
  if constexpr (kEdge) return _mm256_blendv_epi8(g, v, in_frame[dx + kLineReach]);
  return v;
}

// The corrections D of the block's 16 pixels, in pixel order.
template <bool kEdge>
QNR_TARGET_AVX2 void block_corrections(const BlockRows& rows, const __m256i in_frame[kLineRows],
                                       const Constants& c, __m256i& d_first, __m256i& d_second) {
  const __m256i g =
      _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rows.at[kLineReach])));
  __m256i sum_low = _mm256_setzero_si256(), sum_high = _mm256_setzero_si256();
  __m256i s[6];
  constexpr int c0 = kLineReach;  // row index of the centre
  for (int k = 1; k <= 6; ++k) {
    s[k - 1] = _mm256_add_epi16(sample<kEdge>(rows, c0, -k, g, in_frame),
                                sample<kEdge>(rows, c0, k, g, in_frame));
  }
  add_line(g, s, c, sum_low, sum_high);
  for (int k = 1; k <= 6; ++k) {
    s[k - 1] = _mm256_add_epi16(sample<kEdge>(rows, c0 - k, 0, g, in_frame),
                                sample<kEdge>(rows, c0 + k, 0, g, in_frame));
  }
  add_line(g, s, c, sum_low, sum_high);
  for (int k = 1; k <= 6; ++k) {
    s[k - 1] = _mm256_add_epi16(sample<kEdge>(rows, c0 - k, -k, g, in_frame),
                                sample<kEdge>(rows, c0 + k, k, g, in_frame));
  }
  add_line(g, s, c, sum_low, sum_high);
  for (int k = 1; k <= 6; ++k) {
    s[k - 1] = _mm256_add_epi16(sample<kEdge>(rows, c0 + k, -k, g, in_frame),
                                sample<kEdge>(rows, c0 - k, k, g, in_frame));
  }
  add_line(g, s, c, sum_low, sum_high);
  const __m256i d_low = _mm256_srai_epi32(sum_low, 16);
  const __m256i d_high = _mm256_srai_epi32(sum_high, 16);
  d_first = _mm256_permute2x128_si256(d_low, d_high, 0x20);
  d_second = _mm256_permute2x128_si256(d_low, d_high, 0x31);
}

QNR_TARGET_AVX2 void edge_lanes(int32_t x0, int32_t width, __m256i in_frame[kLineRows]) {
  const __m256i lane = _mm256_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  for (int32_t dx = -kLineReach; dx <= kLineReach; ++dx) {
    const LaneRange r = lanes_in_frame(x0, dx, kBlock, width);
    in_frame[dx + kLineReach] =
        _mm256_and_si256(_mm256_cmpgt_epi16(lane, _mm256_set1_epi16(static_cast<int16_t>(r.first - 1))),
                         _mm256_cmpgt_epi16(_mm256_set1_epi16(static_cast<int16_t>(r.end)), lane));
  }
}

QNR_TARGET_AVX2 void rebuild_block(const uint32_t* in, uint32_t* out, __m256i d_first,
                                   __m256i d_second, bool show_noise) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                      avx2::rebuild8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)),
                                     d_first, show_noise));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8),
                      avx2::rebuild8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 8)),
                                     d_second, show_noise));
}

}  // namespace

QNR_TARGET_AVX2_ENTRY void cpu_filter_frame_avx2(const CpuFilterArgs& args) {
  if (args.rows <= 0 || args.width <= 0) return;
  const Constants c = make_constants(analysis_constants(args.level_f1, args.level_f2, args.sharp));
  const int32_t step = args.interlace != 0 ? 2 : 1;
  const int32_t width = args.width;
  const uint8_t* plane = args.config->luma_plane;
  const bool show_noise = args.config->show_noise != 0;

  uint8_t window[edge_window_size(kBlock)];
  __m256i in_frame[kLineRows] = {};
  for (int32_t y = 0; y < args.rows; ++y) {
    const uint8_t* starts[kLineRows];
    frame_rows(plane, width, args.rows, y, step, starts);
    const size_t row_start = static_cast<size_t>(y) * static_cast<size_t>(width);
    for (int32_t x0 = 0; x0 < width; x0 += kBlock) {
      BlockRows rows;
      __m256i d_first, d_second;
      if (block_is_interior(x0, kBlock, width)) {
        block_rows_in_plane(starts, x0, rows);
        block_corrections<false>(rows, in_frame, c, d_first, d_second);
      } else {
        block_rows_in_window(starts, x0, kBlock, width, window, rows);
        edge_lanes(x0, width, in_frame);
        block_corrections<true>(rows, in_frame, c, d_first, d_second);
      }
      const uint32_t* in = args.src + row_start + x0;
      uint32_t* out = args.dst + row_start + x0;
      const int32_t count = width - x0 < kBlock ? width - x0 : kBlock;
      if (count == kBlock) {
        rebuild_block(in, out, d_first, d_second, show_noise);
      } else {
        uint32_t in_copy[kBlock] = {}, out_copy[kBlock];
        std::memcpy(in_copy, in, sizeof(uint32_t) * count);
        rebuild_block(in_copy, out_copy, d_first, d_second, show_noise);
        std::memcpy(out, out_copy, sizeof(uint32_t) * count);
      }
    }
  }
}

#endif  // QNR_X86_SIMD
