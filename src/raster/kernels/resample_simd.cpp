// Vectorised rows of the general filtered resampler, SSE2 and AVX2 (the
// latter compiled per function and chosen at run time).
//
// Horizontal pass: every position reads a run of source pixels in groups of
// four (the run is the longest nonzero run of the tap tables, so the tables'
// zero taps are skipped). Opaque rows take a lane without opacity weighting:
// 8-bit channels times the weights, and 255 x that sum is the weighted sum
// of opacity-weighted channels. A row where some weighted pixel is not
// opaque (seen in the summed T channel) is done again through a row of
// opacity-weighted channels. Both lanes give the same integers as the
// scalar rows, so the bytes are identical.
#include "raster/kernels/resample_simd.h"

#include <immintrin.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

namespace rx_kernel {

thread_local int32_t gResampleSimdLimit = 2;

namespace {

constexpr int32_t kUnit = 16384;              // weights of one position add up to this
constexpr int32_t kRound = (1 << 29) + 8192;  // the bias (32768 x 16384) back, plus rounding of >> 14

struct ColumnPlan {
  int32_t count = 0;
  int32_t padded = 0;        // positions rounded up to 4: the routines work on pairs and fours
  int32_t groups = 0;        // four-tap groups per position
  int32_t spanLo = 0;        // first source column read
  int32_t spanLen = 0;       // source pixels read from spanLo
  int32_t copyLen = 0;       // narrow sources: pixels copied into rowCopy first (0: read in place)
  bool translucent = false;  // the last row needed opacity weighting: try that first
  int32_t *begin = nullptr;  // per position: first pixel read, from spanLo
  // Per pair of positions and group: two vectors of 16, [w0 w2] x 4 then
  // [w1 w3] x 4 for the first position, the same for the second.
  int16_t *weights = nullptr;
  uint32_t *rowCopy = nullptr;
  int16_t *premultiplied = nullptr;  // spanLen pixels of four biased channels
};

size_t Round32(size_t n) { return (n + 31) & ~size_t{31}; }

// Nonzero run of a position, its weights checked: none negative, sum 16384.
bool PositionRun(const AxisTaps &t, int32_t j, int32_t *k0, int32_t *k1) {
  const int16_t *w = t.weight + static_cast<size_t>(j) * t.taps;
  int32_t sum = 0;
  *k0 = *k1 = -1;
  for (int32_t k = 0; k < t.taps; ++k) {
    if (w[k] < 0) return false;
    if (w[k] == 0) continue;
    if (*k0 < 0) *k0 = k;
    *k1 = k;
    sum += w[k];
  }
  return *k0 >= 0 && sum == kUnit;
}

// --- scalar pieces shared by both sets ---

inline void PremultiplyOne(uint32_t p, int16_t *out) {
  const int32_t a = 255 - static_cast<int32_t>(p >> 24);
  out[0] = static_cast<int16_t>(static_cast<int32_t>(p & 255) * a - 32768);
  out[1] = static_cast<int16_t>(static_cast<int32_t>(p >> 8 & 255) * a - 32768);
  out[2] = static_cast<int16_t>(static_cast<int32_t>(p >> 16 & 255) * a - 32768);
  out[3] = static_cast<int16_t>(a * 255 - 32768);
}

// --- SSE2 ---

// Four pixels widened to 16 bits (two vectors) to opacity-weighted, biased channels.
inline __m128i PremultiplyPair(__m128i u) {
  const __m128i alphaLane = _mm_set_epi16(-1, 0, 0, 0, -1, 0, 0, 0);
  const __m128i t = _mm_shufflehi_epi16(_mm_shufflelo_epi16(u, 0xFF), 0xFF);
  const __m128i a = _mm_sub_epi16(_mm_set1_epi16(255), t);
  const __m128i value = _mm_or_si128(_mm_andnot_si128(alphaLane, u), _mm_and_si128(alphaLane, a));
  const __m128i factor = _mm_or_si128(_mm_andnot_si128(alphaLane, a), _mm_and_si128(alphaLane, _mm_set1_epi16(255)));
  return _mm_xor_si128(_mm_mullo_epi16(value, factor), _mm_set1_epi16(-32768));
}

// True when some pixel of the span is not opaque.
bool PremultiplySse2(const uint32_t *src, int32_t n, int16_t *out) {
  const __m128i zero = _mm_setzero_si128();
  __m128i any = zero;
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
    any = _mm_or_si128(any, x);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 4 * i), PremultiplyPair(_mm_unpacklo_epi8(x, zero)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 4 * i + 8), PremultiplyPair(_mm_unpackhi_epi8(x, zero)));
  }
  uint32_t t = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_srli_epi32(any, 24), zero))) != 0xFFFF;
  for (; i < n; ++i) {
    PremultiplyOne(src[i], out + 4 * i);
    t |= src[i] >> 24;
  }
  return t != 0;
}

// Sums of one position, four channels (int32), from 8-bit pixels.
inline __m128i OpaqueSumsSse2(const uint32_t *p, const int16_t *w, int32_t groups) {
  const __m128i zero = _mm_setzero_si128();
  __m128i acc = zero;
  for (int32_t g = 0; g < groups; ++g, p += 4, w += 32) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i lo = _mm_unpacklo_epi8(x, zero), hi = _mm_unpackhi_epi8(x, zero);
    acc = _mm_add_epi32(
        acc, _mm_madd_epi16(_mm_unpacklo_epi16(lo, hi), _mm_loadu_si128(reinterpret_cast<const __m128i *>(w))));
    acc = _mm_add_epi32(
        acc, _mm_madd_epi16(_mm_unpackhi_epi16(lo, hi), _mm_loadu_si128(reinterpret_cast<const __m128i *>(w + 16))));
  }
  return acc;
}

inline __m128i TranslucentSumsSse2(const int16_t *p, const int16_t *w, int32_t groups) {
  __m128i acc = _mm_setzero_si128();
  for (int32_t g = 0; g < groups; ++g, p += 16, w += 32) {
    const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 8));
    acc = _mm_add_epi32(
        acc, _mm_madd_epi16(_mm_unpacklo_epi16(x0, x1), _mm_loadu_si128(reinterpret_cast<const __m128i *>(w))));
    acc = _mm_add_epi32(
        acc, _mm_madd_epi16(_mm_unpackhi_epi16(x0, x1), _mm_loadu_si128(reinterpret_cast<const __m128i *>(w + 16))));
  }
  return acc;
}

// Opaque sums to biased line values: 255 x sum, rounded >> 14; T lane opaque.
inline __m128i OpaqueLineSse2(__m128i s) {
  const __m128i v = _mm_srli_epi32(_mm_add_epi32(_mm_sub_epi32(_mm_slli_epi32(s, 8), s), _mm_set1_epi32(8192)), 14);
  const __m128i alphaLane = _mm_set_epi32(-1, 0, 0, 0);
  return _mm_sub_epi32(_mm_or_si128(_mm_andnot_si128(alphaLane, v), _mm_and_si128(alphaLane, _mm_set1_epi32(65025))),
                       _mm_set1_epi32(32768));
}
// Weighted sums stay within 0..65,025 x 16384 (weights are not negative and add up to 16384): no clamp needed.
inline __m128i TranslucentLineSse2(__m128i s) {
  return _mm_sub_epi32(_mm_srai_epi32(_mm_add_epi32(s, _mm_set1_epi32(kRound)), 14), _mm_set1_epi32(32768));
}

inline const int16_t *WeightsOf(const ColumnPlan &p, int32_t j) {
  return p.weights + static_cast<size_t>(j >> 1) * p.groups * 32 + (j & 1) * 8;
}

// False when a weighted pixel was not opaque (the line is then unfinished).
bool OpaqueRowSse2(const ColumnPlan &p, const uint32_t *src, int16_t *line) {
  __m128i any = _mm_setzero_si128();
  for (int32_t j = 0; j < p.padded; j += 2) {
    const __m128i a = OpaqueSumsSse2(src + p.begin[j], WeightsOf(p, j), p.groups);
    const __m128i b = OpaqueSumsSse2(src + p.begin[j + 1], WeightsOf(p, j + 1), p.groups);
    any = _mm_or_si128(any, _mm_or_si128(a, b));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(line + 4 * j), _mm_packs_epi32(OpaqueLineSse2(a), OpaqueLineSse2(b)));
  }
  return _mm_cvtsi128_si32(_mm_shuffle_epi32(any, 0xFF)) == 0;
}

void TranslucentRowSse2(const ColumnPlan &p, int16_t *line) {
  for (int32_t j = 0; j < p.padded; j += 2) {
    const __m128i a = TranslucentSumsSse2(p.premultiplied + 4 * p.begin[j], WeightsOf(p, j), p.groups);
    const __m128i b = TranslucentSumsSse2(p.premultiplied + 4 * p.begin[j + 1], WeightsOf(p, j + 1), p.groups);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(line + 4 * j),
                     _mm_packs_epi32(TranslucentLineSse2(a), TranslucentLineSse2(b)));
  }
}

// One pixel's sums (c0 c1 c2 a, int32, 0..65,025) to 8-bit channels in
// int32 lanes, as Unpremultiply does: opaque sums divide by 255 rounded,
// the others by their opacity in single precision (numerators stay below
// 2^24, so the truncated quotient is the integer one).
inline __m128i ResolveSse2(__m128i v) {
  const __m128i a = _mm_shuffle_epi32(v, 0xFF);
  const __m128i r = _mm_add_epi32(v, _mm_set1_epi32(128));
  const __m128i d = _mm_srli_epi32(_mm_add_epi32(r, _mm_srli_epi32(r, 8)), 8);
  const __m128i alphaLane = _mm_set_epi32(-1, 0, 0, 0);
  const __m128i t = _mm_and_si128(alphaLane, _mm_sub_epi32(_mm_set1_epi32(255), d));
  const __m128i opaque = _mm_cmpeq_epi32(a, _mm_set1_epi32(65025));
  if (_mm_movemask_epi8(opaque) == 0xFFFF) return _mm_or_si128(_mm_andnot_si128(alphaLane, d), t);
  const __m128i none = _mm_cmpeq_epi32(a, _mm_setzero_si128());
  const __m128i num = _mm_add_epi32(_mm_sub_epi32(_mm_slli_epi32(v, 8), v), _mm_srli_epi32(a, 1));
  __m128i q = _mm_cvttps_epi32(_mm_div_ps(_mm_cvtepi32_ps(num), _mm_cvtepi32_ps(_mm_sub_epi32(a, none))));
  const __m128i over = _mm_cmpgt_epi32(q, _mm_set1_epi32(255));
  q = _mm_or_si128(_mm_andnot_si128(over, q), _mm_and_si128(over, _mm_set1_epi32(255)));
  __m128i colour = _mm_or_si128(_mm_andnot_si128(opaque, q), _mm_and_si128(opaque, d));
  colour = _mm_andnot_si128(_mm_or_si128(none, alphaLane), colour);
  return _mm_or_si128(colour, t);
}

void VerticalSse2(const int16_t *const *lines, const int16_t *weights, int32_t used, int32_t count, uint32_t *out) {
  for (int32_t i = 0; i < count; i += 2) {
    __m128i lo = _mm_set1_epi32(kRound), hi = lo;
    for (int32_t k = 0; k < used; k += 2) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(lines[k] + 4 * i));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(lines[k + 1] + 4 * i));
      const __m128i w = _mm_set1_epi32(static_cast<int32_t>(
          static_cast<uint16_t>(weights[k]) | static_cast<uint32_t>(static_cast<uint16_t>(weights[k + 1])) << 16));
      lo = _mm_add_epi32(lo, _mm_madd_epi16(_mm_unpacklo_epi16(a, b), w));
      hi = _mm_add_epi32(hi, _mm_madd_epi16(_mm_unpackhi_epi16(a, b), w));
    }
    lo = _mm_srai_epi32(lo, 14);
    hi = _mm_srai_epi32(hi, 14);
    // Both pixels opaque: colours divided by 255 rounded, in 16 bits (packed biased, as the signed pack needs).
    const __m128i bias = _mm_set1_epi32(32768), flip = _mm_set1_epi16(-32768);
    const __m128i sums = _mm_xor_si128(_mm_packs_epi32(_mm_sub_epi32(lo, bias), _mm_sub_epi32(hi, bias)), flip);
    __m128i p;
    if ((_mm_movemask_epi8(_mm_cmpeq_epi16(sums, _mm_set1_epi16(static_cast<int16_t>(65025)))) & 0xC0C0) == 0xC0C0) {
      const __m128i r = _mm_add_epi16(sums, _mm_set1_epi16(128));
      p = _mm_and_si128(_mm_srli_epi16(_mm_add_epi16(r, _mm_srli_epi16(r, 8)), 8), _mm_set1_epi64x(0x0000FFFFFFFFFFFF));
    } else {
      p = _mm_packs_epi32(ResolveSse2(lo), ResolveSse2(hi));
    }
    const __m128i bytes = _mm_packus_epi16(p, p);
    if (i + 1 < count)
      _mm_storel_epi64(reinterpret_cast<__m128i *>(out + i), bytes);
    else
      out[i] = static_cast<uint32_t>(_mm_cvtsi128_si32(bytes));
  }
}

// --- AVX2 ---

#define RX_AVX2 __attribute__((target("avx2")))

RX_AVX2 bool PremultiplyAvx2(const uint32_t *src, int32_t n, int16_t *out) {
  const __m256i alphaLane = _mm256_set_epi16(-1, 0, 0, 0, -1, 0, 0, 0, -1, 0, 0, 0, -1, 0, 0, 0);
  const __m256i c255 = _mm256_set1_epi16(255), flip = _mm256_set1_epi16(-32768);
  __m256i any = _mm256_setzero_si256();
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256i u = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i)));
    any = _mm256_or_si256(any, u);
    const __m256i a = _mm256_sub_epi16(c255, _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(u, 0xFF), 0xFF));
    const __m256i value = _mm256_blendv_epi8(u, a, alphaLane);
    const __m256i factor = _mm256_blendv_epi8(a, c255, alphaLane);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 4 * i),
                        _mm256_xor_si256(_mm256_mullo_epi16(value, factor), flip));
  }
  uint32_t t = !_mm256_testz_si256(any, alphaLane);
  for (; i < n; ++i) {
    PremultiplyOne(src[i], out + 4 * i);
    t |= src[i] >> 24;
  }
  return t != 0;
}

// Sums of two positions (one per 128-bit half). A byte shuffle widens and
// pairs pixels 0 and 2, another 1 and 3, for the pairs of weights.
template <int G>
RX_AVX2 inline __m256i OpaqueSumsAvx2(const uint32_t *p, const uint32_t *q, const int16_t *w, int32_t groups) {
  const __m256i even = _mm256_setr_epi8(0, -1, 8, -1, 1, -1, 9, -1, 2, -1, 10, -1, 3, -1, 11, -1, 0, -1, 8, -1, 1, -1,
                                        9, -1, 2, -1, 10, -1, 3, -1, 11, -1);
  const __m256i odd = _mm256_setr_epi8(4, -1, 12, -1, 5, -1, 13, -1, 6, -1, 14, -1, 7, -1, 15, -1, 4, -1, 12, -1, 5, -1,
                                       13, -1, 6, -1, 14, -1, 7, -1, 15, -1);
  __m256i acc = _mm256_setzero_si256();
  if (G > 0) groups = G;
  for (int32_t g = 0; g < groups; ++g, p += 4, q += 4, w += 32) {
    const __m256i x =
        _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))),
                                _mm_loadu_si128(reinterpret_cast<const __m128i *>(q)), 1);
    acc = _mm256_add_epi32(
        acc, _mm256_madd_epi16(_mm256_shuffle_epi8(x, even), _mm256_loadu_si256(reinterpret_cast<const __m256i *>(w))));
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_shuffle_epi8(x, odd),
                                                  _mm256_loadu_si256(reinterpret_cast<const __m256i *>(w + 16))));
  }
  return acc;
}

RX_AVX2 inline __m256i TranslucentSumsAvx2(const int16_t *p, const int16_t *q, const int16_t *w, int32_t groups) {
  __m256i acc = _mm256_setzero_si256();
  for (int32_t g = 0; g < groups; ++g, p += 16, q += 16, w += 32) {
    const __m256i x0 =
        _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))),
                                _mm_loadu_si128(reinterpret_cast<const __m128i *>(q)), 1);
    const __m256i x1 =
        _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 8))),
                                _mm_loadu_si128(reinterpret_cast<const __m128i *>(q + 8)), 1);
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_unpacklo_epi16(x0, x1),
                                                  _mm256_loadu_si256(reinterpret_cast<const __m256i *>(w))));
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_unpackhi_epi16(x0, x1),
                                                  _mm256_loadu_si256(reinterpret_cast<const __m256i *>(w + 16))));
  }
  return acc;
}

RX_AVX2 inline __m256i OpaqueLineAvx2(__m256i s) {
  const __m256i v =
      _mm256_srli_epi32(_mm256_add_epi32(_mm256_sub_epi32(_mm256_slli_epi32(s, 8), s), _mm256_set1_epi32(8192)), 14);
  return _mm256_sub_epi32(_mm256_blend_epi32(v, _mm256_set1_epi32(65025), 0x88), _mm256_set1_epi32(32768));
}
RX_AVX2 inline __m256i TranslucentLineAvx2(__m256i s) {
  return _mm256_sub_epi32(_mm256_srai_epi32(_mm256_add_epi32(s, _mm256_set1_epi32(kRound)), 14),
                          _mm256_set1_epi32(32768));
}
// Positions j, j + 2 | j + 1, j + 3 (packed halves) back in order.
RX_AVX2 inline void StoreFour(int16_t *line, __m256i first, __m256i second) {
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(line),
                      _mm256_permute4x64_epi64(_mm256_packs_epi32(first, second), 0xD8));
}

template <int G>
RX_AVX2 bool OpaqueRowAvx2(const ColumnPlan &p, const uint32_t *src, int16_t *line) {
  __m256i any = _mm256_setzero_si256();
  const int32_t stride = p.groups * 32;
  for (int32_t j = 0; j < p.padded; j += 4) {
    const int16_t *w = p.weights + static_cast<size_t>(j >> 1) * stride;
    const __m256i a = OpaqueSumsAvx2<G>(src + p.begin[j], src + p.begin[j + 1], w, p.groups);
    const __m256i b = OpaqueSumsAvx2<G>(src + p.begin[j + 2], src + p.begin[j + 3], w + stride, p.groups);
    any = _mm256_or_si256(any, _mm256_or_si256(a, b));
    StoreFour(line + 4 * j, OpaqueLineAvx2(a), OpaqueLineAvx2(b));
  }
  return _mm256_testz_si256(any, _mm256_set_epi32(-1, 0, 0, 0, -1, 0, 0, 0));
}

// Short runs (enlarging, mild shrinking) unrolled.
RX_AVX2 bool OpaqueRowAvx2(const ColumnPlan &p, const uint32_t *src, int16_t *line) {
  switch (p.groups) {
    case 1:
      return OpaqueRowAvx2<1>(p, src, line);
    case 2:
      return OpaqueRowAvx2<2>(p, src, line);
    case 3:
      return OpaqueRowAvx2<3>(p, src, line);
    default:
      return OpaqueRowAvx2<0>(p, src, line);
  }
}

RX_AVX2 void TranslucentRowAvx2(const ColumnPlan &p, int16_t *line) {
  const int32_t stride = p.groups * 32;
  const int16_t *pm = p.premultiplied;
  for (int32_t j = 0; j < p.padded; j += 4) {
    const int16_t *w = p.weights + static_cast<size_t>(j >> 1) * stride;
    const __m256i a = TranslucentSumsAvx2(pm + 4 * p.begin[j], pm + 4 * p.begin[j + 1], w, p.groups);
    const __m256i b = TranslucentSumsAvx2(pm + 4 * p.begin[j + 2], pm + 4 * p.begin[j + 3], w + stride, p.groups);
    StoreFour(line + 4 * j, TranslucentLineAvx2(a), TranslucentLineAvx2(b));
  }
}

RX_AVX2 inline __m256i ResolveAvx2(__m256i v) {
  const __m256i a = _mm256_shuffle_epi32(v, 0xFF);
  const __m256i r = _mm256_add_epi32(v, _mm256_set1_epi32(128));
  const __m256i d = _mm256_srli_epi32(_mm256_add_epi32(r, _mm256_srli_epi32(r, 8)), 8);
  const __m256i t = _mm256_sub_epi32(_mm256_set1_epi32(255), d);
  const __m256i opaque = _mm256_cmpeq_epi32(a, _mm256_set1_epi32(65025));
  if (_mm256_movemask_epi8(opaque) == -1) return _mm256_blend_epi32(d, t, 0x88);
  const __m256i none = _mm256_cmpeq_epi32(a, _mm256_setzero_si256());
  const __m256i num = _mm256_add_epi32(_mm256_sub_epi32(_mm256_slli_epi32(v, 8), v), _mm256_srli_epi32(a, 1));
  const __m256 divisor = _mm256_cvtepi32_ps(_mm256_max_epi32(a, _mm256_set1_epi32(1)));
  __m256i q = _mm256_cvttps_epi32(_mm256_div_ps(_mm256_cvtepi32_ps(num), divisor));
  q = _mm256_min_epi32(q, _mm256_set1_epi32(255));
  const __m256i colour = _mm256_andnot_si256(none, _mm256_blendv_epi8(q, d, opaque));
  return _mm256_blend_epi32(colour, t, 0x88);
}

RX_AVX2 void VerticalAvx2(const int16_t *const *lines, const int16_t *weights, int32_t used, int32_t count,
                          uint32_t *out) {
  const __m256i opaque = _mm256_set1_epi16(static_cast<int16_t>(65025));
  const __m256i colourLanes = _mm256_set1_epi64x(0x0000FFFFFFFFFFFF);
  for (int32_t i = 0; i < count; i += 4) {
    __m256i lo = _mm256_set1_epi32(kRound), hi = lo;
    for (int32_t k = 0; k < used; k += 2) {
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(lines[k] + 4 * i));
      const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(lines[k + 1] + 4 * i));
      const __m256i w = _mm256_set1_epi32(static_cast<int32_t>(
          static_cast<uint16_t>(weights[k]) | static_cast<uint32_t>(static_cast<uint16_t>(weights[k + 1])) << 16));
      lo = _mm256_add_epi32(lo, _mm256_madd_epi16(_mm256_unpacklo_epi16(a, b), w));
      hi = _mm256_add_epi32(hi, _mm256_madd_epi16(_mm256_unpackhi_epi16(a, b), w));
    }
    // lo holds pixels i and i + 2, hi pixels i + 1 and i + 3; packed, they are in order per half.
    lo = _mm256_srai_epi32(lo, 14);
    hi = _mm256_srai_epi32(hi, 14);
    const __m256i sums = _mm256_packus_epi32(lo, hi);
    __m256i p;
    if ((_mm256_movemask_epi8(_mm256_cmpeq_epi16(sums, opaque)) & 0xC0C0C0C0u) == 0xC0C0C0C0u) {
      // All four opaque: colours divided by 255 rounded (in 16 bits), T 0.
      const __m256i r = _mm256_add_epi16(sums, _mm256_set1_epi16(128));
      p = _mm256_and_si256(_mm256_srli_epi16(_mm256_add_epi16(r, _mm256_srli_epi16(r, 8)), 8), colourLanes);
    } else {
      p = _mm256_packs_epi32(ResolveAvx2(lo), ResolveAvx2(hi));
    }
    const __m128i bytes = _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi16(p, p), 0x08));
    if (i + 4 <= count) {
      _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), bytes);
    } else {
      uint32_t tail[4];
      _mm_storeu_si128(reinterpret_cast<__m128i *>(tail), bytes);
      std::memcpy(out + i, tail, static_cast<size_t>(count - i) * 4);
    }
  }
}

}  // namespace

int32_t GeneralResampleLevel(bool simd) {
  if (!simd) return 0;
  const uint32_t mask = rx_GetFeatureMask();
  if (gResampleSimdLimit >= 2 && (mask & rx_HasAVX2)) return 2;
  if (gResampleSimdLimit >= 1 && (mask & rx_HasSSE2)) return 1;
  return 0;
}

int32_t GeneralLinePixels(int32_t count) { return (count + 3) & ~3; }

bool GeneralTapsFit(const AxisTaps &taps) {
  int32_t k0 = 0, k1 = 0;
  for (int32_t j = 0; j < taps.count; ++j)
    if (!PositionRun(taps, j, &k0, &k1)) return false;
  return taps.count > 0;
}

bool PlanGeneralColumns(const AxisTaps &t, Buffer *block, bool *lacking) {
  *lacking = false;
  int32_t lo = INT32_MAX, hi = INT32_MIN, longest = 0, k0 = 0, k1 = 0;
  for (int32_t j = 0; j < t.count; ++j) {
    if (!PositionRun(t, j, &k0, &k1)) return false;
    lo = std::min(lo, t.start[j]);
    hi = std::max(hi, t.start[j] + t.taps - 1);
    longest = std::max(longest, k1 - k0 + 1);
  }
  if (t.count <= 0) return false;
  const int32_t n = (longest + 3) & ~3, padded = GeneralLinePixels(t.count);
  // A source narrower than one group is read through a copy padded with zeros.
  const bool copy = hi - lo + 1 < n;
  int32_t spanLo = copy ? lo : INT32_MAX, spanEnd = 0;
  for (int32_t j = 0; j < t.count; ++j) {
    PositionRun(t, j, &k0, &k1);
    const int32_t first = t.start[j] + k0, b = copy ? first : std::min(first, hi + 1 - n);
    spanLo = std::min(spanLo, b);
    spanEnd = std::max(spanEnd, b + n);
  }
  const int32_t copyLen = copy ? hi - lo + 1 : 0, spanLen = copy ? copyLen + n : spanEnd - spanLo;
  const size_t sizes[] = {Round32(sizeof(ColumnPlan)), Round32(static_cast<size_t>(padded) * 4),
                          Round32(static_cast<size_t>(padded) / 2 * (n / 4) * 64),
                          Round32(static_cast<size_t>(copy ? spanLen : 0) * 4),
                          Round32(static_cast<size_t>(spanLen) * 8 + 32)};
  size_t total = 0;
  for (size_t s : sizes) total += s;
  if (!block->reset(total)) {
    *lacking = true;
    return false;
  }
  char *at = block->as<char>();
  ColumnPlan *p = new (at) ColumnPlan;
  p->begin = reinterpret_cast<int32_t *>(at += sizes[0]);
  p->weights = reinterpret_cast<int16_t *>(at += sizes[1]);
  p->rowCopy = reinterpret_cast<uint32_t *>(at += sizes[2]);
  p->premultiplied = reinterpret_cast<int16_t *>(at + sizes[3]);
  p->count = t.count;
  p->padded = padded;
  p->groups = n / 4;
  p->spanLo = spanLo;
  p->spanLen = spanLen;
  p->copyLen = copyLen;
  for (int32_t j = 0; j < t.count; ++j) {  // padding positions read pixel 0 with no weight
    PositionRun(t, j, &k0, &k1);
    const int32_t first = t.start[j] + k0, b = copy ? first : std::min(first, hi + 1 - n);
    p->begin[j] = b - spanLo;
    const int16_t *w = t.weight + static_cast<size_t>(j) * t.taps;
    int16_t *out = p->weights + static_cast<size_t>(j >> 1) * p->groups * 32 + (j & 1) * 8;
    for (int32_t i = 0; i < n; ++i) {
      const int32_t k = b + i - t.start[j];
      const int16_t wk = k >= 0 && k < t.taps ? w[k] : 0;
      // Group i / 4, vector (i & 1), pair slot (i & 2) / 2, repeated for the four channels.
      int16_t *v = out + (i >> 2) * 32 + (i & 1) * 16 + ((i & 2) >> 1);
      for (int c = 0; c < 4; ++c) v[2 * c] = wk;
    }
  }
  return true;
}

void GeneralHorizontal(const Buffer &plan, int32_t level, const uint32_t *row, int16_t *line) {
  ColumnPlan &p = *plan.as<ColumnPlan>();
  const uint32_t *src = row + p.spanLo;
  if (p.copyLen > 0) {
    std::memcpy(p.rowCopy, src, static_cast<size_t>(p.copyLen) * 4);
    src = p.rowCopy;
  }
  if (!p.translucent && (level == 2 ? OpaqueRowAvx2(p, src, line) : OpaqueRowSse2(p, src, line))) return;
  const bool translucent =
      level == 2 ? PremultiplyAvx2(src, p.spanLen, p.premultiplied) : PremultiplySse2(src, p.spanLen, p.premultiplied);
  if (level == 2)
    TranslucentRowAvx2(p, line);
  else
    TranslucentRowSse2(p, line);
  p.translucent = translucent;
}

void GeneralVertical(int32_t level, const int16_t *const *lines, const int16_t *weights, int32_t used, int32_t count,
                     uint32_t *out) {
  if (level == 2)
    VerticalAvx2(lines, weights, used, count, out);
  else
    VerticalSse2(lines, weights, used, count, out);
}

}  // namespace rx_kernel
