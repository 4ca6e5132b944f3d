// The frame filter with AVX-512 (F and BW): 32 pixels per step, the same
// scheme as the AVX2 version on registers twice as wide, with lane masks for
// the edge columns and the detail decisions.
#include "core/simd_versions.h"

#if QNR_X86_SIMD
#include "core/simd_intrinsics.h"

#include <array>
#include <cstring>

#include "core/analysis.h"
#include "core/color_avx512.h"
#include "core/frame_blocks.h"
#include "core/frame_filter.h"
#include "host/filter_config.h"

namespace {

constexpr int32_t kBlock = 32;

// Per-frame constants; see the AVX2 version for why the products are formed this way.
struct Constants {
  __m512i a2000_1, q2000_1, a2000_2, q2000_2, neg_sharp;
  __m512i weight1[4], weight2[4];
};

QNR_TARGET_AVX512 __m512i weight_pair(int16_t first, int16_t second) {
  return _mm512_set1_epi32(static_cast<int32_t>(static_cast<uint16_t>(first) |
                                                static_cast<uint32_t>(static_cast<uint16_t>(second)) << 16));
}

QNR_TARGET_AVX512 Constants make_constants(const AnalysisConstants& k) {
  Constants c;
  c.a2000_1 = _mm512_set1_epi32(wrap_mul(k.a1, 2000));
  c.q2000_1 = _mm512_set1_epi32(wrap_mul(k.q1, 2000));
  c.a2000_2 = _mm512_set1_epi32(wrap_mul(k.a2, 2000));
  c.q2000_2 = _mm512_set1_epi32(wrap_mul(k.q2, 2000));
  c.neg_sharp = _mm512_set1_epi32(wrap_sub(0, k.sharp));
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

QNR_TARGET_AVX512 __m512i decide(__m512i c, __m512i abs_k, __m512i a2000, __m512i q2000,
                                 __m512i neg_sharp) {
  const __m512i t2000 = _mm512_sub_epi32(a2000, _mm512_mullo_epi32(q2000, abs_k));
  const __m512i abs_c = _mm512_abs_epi32(c);
  const __m512i c10 = _mm512_add_epi32(_mm512_slli_epi32(abs_c, 3), _mm512_slli_epi32(abs_c, 1));
  const __mmask16 detail = _mm512_cmpgt_epi32_mask(c10, t2000);
  const __m512i boosted = _mm512_srai_epi32(_mm512_mullo_epi32(neg_sharp, c), 5);
  return _mm512_mask_blend_epi32(detail, c, boosted);
}

QNR_TARGET_AVX512 __m512i component(__m512i p0, __m512i p1, __m512i p2, __m512i p3,
                                    const __m512i w[4]) {
  return _mm512_add_epi32(_mm512_add_epi32(_mm512_madd_epi16(p0, w[0]), _mm512_madd_epi16(p1, w[1])),
                          _mm512_add_epi32(_mm512_madd_epi16(p2, w[2]), _mm512_madd_epi16(p3, w[3])));
}

// Adds the two decided values of one line to the sums. The 16-bit lanes hold
// pixels 0..31; in 128-bit lane L the low sum holds pixels 8L..8L+3 and the
// high sum 8L+4..8L+7, the order the in-lane unpacks give.
QNR_TARGET_AVX512 void add_line(__m512i g, const __m512i s[6], const Constants& c,
                                __m512i& sum_low, __m512i& sum_high) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i p0l = _mm512_unpacklo_epi16(g, s[0]), p0h = _mm512_unpackhi_epi16(g, s[0]);
  const __m512i p1l = _mm512_unpacklo_epi16(s[1], s[2]), p1h = _mm512_unpackhi_epi16(s[1], s[2]);
  const __m512i p2l = _mm512_unpacklo_epi16(s[3], s[4]), p2h = _mm512_unpackhi_epi16(s[3], s[4]);
  const __m512i p3l = _mm512_unpacklo_epi16(s[5], zero), p3h = _mm512_unpackhi_epi16(s[5], zero);

  const __m512i k1 = _mm512_abs_epi16(
      _mm512_sub_epi16(_mm512_add_epi16(_mm512_add_epi16(s[0], s[1]), s[2]),
                       _mm512_add_epi16(_mm512_add_epi16(s[3], s[4]), s[5])));
  const __m512i k2 = _mm512_abs_epi16(
      _mm512_sub_epi16(_mm512_add_epi16(_mm512_add_epi16(s[0], s[4]), s[5]),
                       _mm512_add_epi16(_mm512_add_epi16(s[1], s[2]), s[3])));

  sum_low = _mm512_add_epi32(
      sum_low, _mm512_add_epi32(decide(component(p0l, p1l, p2l, p3l, c.weight1),
                                       _mm512_unpacklo_epi16(k1, zero), c.a2000_1, c.q2000_1,
                                       c.neg_sharp),
                                decide(component(p0l, p1l, p2l, p3l, c.weight2),
                                       _mm512_unpacklo_epi16(k2, zero), c.a2000_2, c.q2000_2,
                                       c.neg_sharp)));
  sum_high = _mm512_add_epi32(
      sum_high, _mm512_add_epi32(decide(component(p0h, p1h, p2h, p3h, c.weight1),
                                        _mm512_unpackhi_epi16(k1, zero), c.a2000_1, c.q2000_1,
                                        c.neg_sharp),
                                 decide(component(p0h, p1h, p2h, p3h, c.weight2),
                                        _mm512_unpackhi_epi16(k2, zero), c.a2000_2, c.q2000_2,
                                        c.neg_sharp)));
}

template <bool kEdge>
QNR_TARGET_AVX512 __m512i sample(const BlockRows& rows, int j, int dx, __m512i g,
                                 const __mmask32 in_frame[kLineRows]) {
  const uint8_t* row = rows.at[j];
  if (row == nullptr) return g;
  const __m512i v =
      _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + dx)));
  if constexpr (kEdge) return _mm512_mask_blend_epi16(in_frame[dx + kLineReach], g, v);
  return v;
}

// Index tables that put the low/high sums back into pixel order: entry i of the
// first table is pixel i, of the second pixel 16 + i; 0..15 pick the low sum,
// 16..31 the high one.
constexpr std::array<int32_t, 16> pixel_order(int32_t first_pixel) {
  std::array<int32_t, 16> index{};
  for (int32_t i = 0; i < 16; ++i) {
    const int32_t p = first_pixel + i, lane = p / 8, r = p % 8;
    index[static_cast<size_t>(i)] = r < 4 ? 4 * lane + r : 16 + 4 * lane + (r - 4);
  }
  return index;
}
constexpr std::array<int32_t, 16> kFirstHalf = pixel_order(0);
constexpr std::array<int32_t, 16> kSecondHalf = pixel_order(16);

template <bool kEdge>
QNR_TARGET_AVX512 void block_corrections(const BlockRows& rows, const __mmask32 in_frame[kLineRows],
                                         const Constants& c, __m512i& d_first, __m512i& d_second) {
  const __m512i g = _mm512_cvtepu8_epi16(
      _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows.at[kLineReach])));
  __m512i sum_low = _mm512_setzero_si512(), sum_high = _mm512_setzero_si512();
  __m512i s[6];
  constexpr int c0 = kLineReach;
  for (int k = 1; k <= 6; ++k) {
    s[k - 1] = _mm512_add_epi16(sample<kEdge>(rows, c0, -k, g, in_frame),
                                sample<kEdge>(rows, c0, k, g, in_frame));
  }
  add_line(g, s, c, sum_low, sum_high);
  for (int k = 1; k <= 6; ++k) {
    s[k - 1] = _mm512_add_epi16(sample<kEdge>(rows, c0 - k, 0, g, in_frame),
                                sample<kEdge>(rows, c0 + k, 0, g, in_frame));
  }
  add_line(g, s, c, sum_low, sum_high);
  for (int k = 1; k <= 6; ++k) {
    s[k - 1] = _mm512_add_epi16(sample<kEdge>(rows, c0 - k, -k, g, in_frame),
                                sample<kEdge>(rows, c0 + k, k, g, in_frame));
  }
  add_line(g, s, c, sum_low, sum_high);
  for (int k = 1; k <= 6; ++k) {
    s[k - 1] = _mm512_add_epi16(sample<kEdge>(rows, c0 + k, -k, g, in_frame),
                                sample<kEdge>(rows, c0 - k, k, g, in_frame));
  }
  add_line(g, s, c, sum_low, sum_high);
  const __m512i d_low = _mm512_srai_epi32(sum_low, 16);
  const __m512i d_high = _mm512_srai_epi32(sum_high, 16);
  d_first = _mm512_permutex2var_epi32(
      d_low, _mm512_loadu_si512(static_cast<const void*>(kFirstHalf.data())), d_high);
  d_second = _mm512_permutex2var_epi32(
      d_low, _mm512_loadu_si512(static_cast<const void*>(kSecondHalf.data())), d_high);
}

QNR_TARGET_AVX512 void edge_lanes(int32_t x0, int32_t width, __mmask32 in_frame[kLineRows]) {
  for (int32_t dx = -kLineReach; dx <= kLineReach; ++dx) {
    const LaneRange r = lanes_in_frame(x0, dx, kBlock, width);
    const uint64_t below_end = (uint64_t{1} << r.end) - 1;
    const uint64_t below_first = (uint64_t{1} << r.first) - 1;
    in_frame[dx + kLineReach] = static_cast<__mmask32>(below_end & ~below_first);
  }
}

QNR_TARGET_AVX512 void rebuild_block(const uint32_t* in, uint32_t* out, __m512i d_first,
                                     __m512i d_second, bool show_noise) {
  _mm512_storeu_si512(static_cast<void*>(out),
                      avx512::rebuild16(_mm512_loadu_si512(static_cast<const void*>(in)),
                                        d_first, show_noise));
  _mm512_storeu_si512(static_cast<void*>(out + 16),
                      avx512::rebuild16(_mm512_loadu_si512(static_cast<const void*>(in + 16)),
                                        d_second, show_noise));
}

}  // namespace

QNR_TARGET_AVX512_ENTRY void cpu_filter_frame_avx512(const CpuFilterArgs& args) {
  if (args.rows <= 0 || args.width <= 0) return;
  const Constants c = make_constants(analysis_constants(args.level_f1, args.level_f2, args.sharp));
  const int32_t step = args.interlace != 0 ? 2 : 1;
  const int32_t width = args.width;
  const uint8_t* plane = args.config->luma_plane;
  const bool show_noise = args.config->show_noise != 0;

  uint8_t window[edge_window_size(kBlock)];
  __mmask32 in_frame[kLineRows] = {};
  for (int32_t y = 0; y < args.rows; ++y) {
    const uint8_t* starts[kLineRows];
    frame_rows(plane, width, args.rows, y, step, starts);
    const size_t row_start = static_cast<size_t>(y) * static_cast<size_t>(width);
    for (int32_t x0 = 0; x0 < width; x0 += kBlock) {
      BlockRows rows;
      __m512i d_first, d_second;
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
