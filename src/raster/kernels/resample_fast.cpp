// Fast paths of the filtered resampler. Colours are weighted by opacity on
// 8 bits (b x a / 255, exact for opaque pixels) so that transparent pixels
// never darken their neighbours; sums stay within 16 bits, which lets the
// final division run in single precision with the exact integer result
// (numerator below 2^24, divisor at most 65,535), so the scalar twins can
// use plain integer division and still give the same bytes.
#include "raster/kernels/resample_fast.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace rx_kernel {

thread_local bool gResampleGeneralOnly = false;

namespace {

constexpr int32_t kMaxBoxArea = 256;  // 255 x 256 still fits the 16-bit sums

// The nonzero taps of position j as one run of positive weights.
bool TapRun(const AxisTaps &t, int32_t j, int32_t *first, int32_t *len) {
  const int16_t *w = t.weight + static_cast<size_t>(j) * t.taps;
  int32_t k0 = -1, k1 = -1;
  for (int32_t k = 0; k < t.taps; ++k) {
    if (w[k] < 0) return false;
    if (w[k] > 0) {
      if (k0 < 0) k0 = k;
      k1 = k;
    }
  }
  if (k0 < 0) return false;
  for (int32_t k = k0; k <= k1; ++k)
    if (w[k] == 0) return false;
  *first = t.start[j] + k0;
  *len = k1 - k0 + 1;
  return true;
}

// Whole runs of f equal weights, each position f source pixels past the last.
bool BoxAxis(const AxisTaps &t, int32_t *factor, int32_t *origin) {
  int32_t f = 0, o = 0;
  for (int32_t j = 0; j < t.count; ++j) {
    int32_t first, len;
    if (!TapRun(t, j, &first, &len)) return false;
    if (j == 0) f = len, o = first;
    if (len != f || first != o + j * f) return false;
    const int16_t *w = t.weight + static_cast<size_t>(j) * t.taps + (first - t.start[j]);
    for (int32_t k = 0; k < f; ++k)
      if (std::abs(w[k] * f - 16384) > f) return false;  // rounding of 16384 / f
  }
  *factor = f;
  *origin = o;
  return t.count > 0;
}

bool LinearAxis(const AxisTaps &t) {
  for (int32_t j = 0; j < t.count; ++j) {
    int32_t first, len;
    if (!TapRun(t, j, &first, &len) || len > 2) return false;
  }
  return t.count > 0;
}

// Second weight of a two-tap position in 1/128 (0 for one tap), and its first source index.
int32_t LinearWeight(const AxisTaps &t, int32_t j, int32_t *first) {
  int32_t len = 0;
  TapRun(t, j, first, &len);
  if (len < 2) return 0;
  const int16_t *w = t.weight + static_cast<size_t>(j) * t.taps + (*first - t.start[j]);
  return (w[1] + 64) >> 7;
}

struct Plan {
  int32_t kind = rx_FastNone;
  int32_t columns = 0;
  // Box: source of destination (0, 0) and the factors.
  int32_t fx = 0, fy = 0, x0 = 0, y0 = 0;
  // Bilinear: the premultiplied source line covers minX.. (one zero pixel of padding after it).
  int32_t minX = 0, lineLength = 0;
  int32_t tags[2] = {-1, -1};
  int32_t *colIndex = nullptr;     // first source column - minX
  uint16_t *colWeights = nullptr;  // per column: w0 x 4, w1 x 4 (1/128)
  int32_t *rowIndex = nullptr;
  int32_t *rowWeight = nullptr;  // weight of the second row, 1/128
  uint16_t *premultiplied = nullptr;
  uint16_t *lines[2] = {};
  uint16_t *sums = nullptr;
};

size_t Round16(size_t n) { return (n + 15) & ~size_t{15}; }

// --- scalar pieces ---

inline void PremultiplyPixel(uint32_t p, uint16_t out[4]) {
  const uint32_t a = 255 - T(p);
  out[0] = static_cast<uint16_t>(Div255(B(p, 0) * a));
  out[1] = static_cast<uint16_t>(Div255(B(p, 8) * a));
  out[2] = static_cast<uint16_t>(Div255(B(p, 16) * a));
  out[3] = static_cast<uint16_t>(T(p));
}

void PremultiplyLineScalar(const uint32_t *src, int32_t n, uint16_t *out) {
  for (int32_t i = 0; i < n; ++i) PremultiplyPixel(src[i], out + 4 * i);
}

void HorizontalScalar(const Plan &p, uint16_t *line) {
  for (int32_t j = 0; j < p.columns; ++j) {
    const uint16_t *a = p.premultiplied + 4 * static_cast<size_t>(p.colIndex[j]);
    const uint16_t *w = p.colWeights + 8 * static_cast<size_t>(j);
    for (int c = 0; c < 4; ++c) line[4 * j + c] = static_cast<uint16_t>(a[c] * w[0] + a[4 + c] * w[4]);
  }
}

// --- SSE2 pieces ---

// Two pixels widened to 16 bits: colours times opacity / 255, T kept.
inline __m128i PremultiplyHalf(__m128i v) {
  const __m128i t = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xFF), 0xFF);
  // Colour lanes get the opacity 255 - T; the T lane gets 255 so that it comes out unchanged.
  const __m128i m = _mm_or_si128(_mm_xor_si128(t, _mm_set1_epi16(255)), _mm_set_epi16(255, 0, 0, 0, 255, 0, 0, 0));
  const __m128i x = _mm_add_epi16(_mm_mullo_epi16(v, m), _mm_set1_epi16(128));
  return _mm_mulhi_epu16(x, _mm_set1_epi16(257));  // rounded / 255, as Div255
}

void PremultiplyLineSse2(const uint32_t *src, int32_t n, uint16_t *out) {
  const __m128i zero = _mm_setzero_si128();
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 4 * i), PremultiplyHalf(_mm_unpacklo_epi8(x, zero)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 4 * i + 8), PremultiplyHalf(_mm_unpackhi_epi8(x, zero)));
  }
  for (; i < n; ++i) {
    __m128i x = _mm_cvtsi32_si128(static_cast<int>(src[i]));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out + 4 * i), PremultiplyHalf(_mm_unpacklo_epi8(x, zero)));
  }
}

void HorizontalSse2(const Plan &p, uint16_t *line) {
  auto one = [&p](int32_t j) {
    const uint16_t *at = p.premultiplied + 4 * static_cast<size_t>(p.colIndex[j]);
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
    __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p.colWeights + 8 * static_cast<size_t>(j)));
    __m128i m = _mm_mullo_epi16(a, w);
    return _mm_add_epi16(m, _mm_srli_si128(m, 8));
  };
  int32_t j = 0;
  for (; j + 2 <= p.columns; j += 2)
    _mm_storeu_si128(reinterpret_cast<__m128i *>(line + 4 * j), _mm_unpacklo_epi64(one(j), one(j + 1)));
  if (j < p.columns) _mm_storel_epi64(reinterpret_cast<__m128i *>(line + 4 * j), one(j));
}

void ResolveFourSse2(const uint16_t *sums, int32_t n, uint32_t *out) {
  const __m128i zero = _mm_setzero_si128();
  __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(sums));
  __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(sums + 8));
  // To planes: b0..b3 g0..g3 / r0..r3 t0..t3.
  __m128i u = _mm_unpacklo_epi16(lo, hi), v = _mm_unpackhi_epi16(lo, hi);
  __m128i bg = _mm_unpacklo_epi16(u, v), rt = _mm_unpackhi_epi16(u, v);
  __m128i b = _mm_unpacklo_epi16(bg, zero), g = _mm_unpackhi_epi16(bg, zero);
  __m128i r = _mm_unpacklo_epi16(rt, zero), t = _mm_unpackhi_epi16(rt, zero);
  __m128i a = _mm_sub_epi32(_mm_set1_epi32(255 * n), t);
  __m128i halfA = _mm_srli_epi32(a, 1);
  __m128 divisor = _mm_max_ps(_mm_cvtepi32_ps(a), _mm_set1_ps(1.0f));
  auto colour = [&](__m128i c) {
    __m128i num = _mm_add_epi32(_mm_sub_epi32(_mm_slli_epi32(c, 8), c), halfA);
    return _mm_cvttps_epi32(_mm_div_ps(_mm_cvtepi32_ps(num), divisor));
  };
  // A power-of-two count divides exactly by multiplying with its reciprocal.
  const __m128 opacitySum = _mm_cvtepi32_ps(_mm_add_epi32(a, _mm_set1_epi32(n / 2)));
  const __m128 scaled = (n & (n - 1)) == 0 ? _mm_mul_ps(opacitySum, _mm_set1_ps(1.0f / static_cast<float>(n)))
                                             : _mm_div_ps(opacitySum, _mm_set1_ps(static_cast<float>(n)));
  __m128i opacity = _mm_cvttps_epi32(scaled);
  __m128i tOut = _mm_sub_epi32(_mm_set1_epi32(255), opacity);
  // Back to pixels: bytes b0-3 r0-3 g0-3 t0-3, then interleaved twice.
  __m128i x = _mm_packus_epi16(_mm_packs_epi32(colour(b), colour(r)), _mm_packs_epi32(colour(g), tOut));
  __m128i y = _mm_unpacklo_epi8(x, _mm_srli_si128(x, 8));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_unpacklo_epi16(y, _mm_srli_si128(y, 8)));
}

void BoxRow(const Plan &p, int32_t row, const uint32_t *src, size_t stride, uint32_t *out, bool simd) {
  const uint32_t *first = src + static_cast<size_t>(p.y0 + row * p.fy) * stride + p.x0;
  if (simd) {
    BoxSumsSse2(first, stride, p.fx, p.fy, p.columns, p.sums);
    ResolveSumsSse2(p.sums, p.columns, p.fx * p.fy, out);
  } else {
    BoxSumsScalar(first, stride, p.fx, p.fy, p.columns, p.sums);
    ResolveSumsScalar(p.sums, p.columns, p.fx * p.fy, out);
  }
}

// The horizontally filtered line of source row r, kept while the next rows need it.
const uint16_t *BilinearLine(Plan &p, int32_t r, const uint32_t *src, size_t stride, bool simd) {
  const int32_t slot = r & 1;  // neighbouring rows never share a slot
  if (p.tags[slot] != r) {
    const uint32_t *row = src + static_cast<size_t>(r) * stride + p.minX;
    if (simd) {
      PremultiplyLineSse2(row, p.lineLength - 1, p.premultiplied);
      HorizontalSse2(p, p.lines[slot]);
    } else {
      PremultiplyLineScalar(row, p.lineLength - 1, p.premultiplied);
      HorizontalScalar(p, p.lines[slot]);
    }
    p.tags[slot] = r;
  }
  return p.lines[slot];
}

void BilinearRow(Plan &p, int32_t row, const uint32_t *src, size_t stride, uint32_t *out, bool simd) {
  const int32_t r0 = p.rowIndex[row], w1 = p.rowWeight[row];
  const uint16_t *h0 = BilinearLine(p, r0, src, stride, simd);
  const uint16_t *h1 = w1 > 0 ? BilinearLine(p, r0 + 1, src, stride, simd) : h0;
  if (simd) {
    VerticalSse2(h0, h1, w1, 4 * p.columns, p.sums);
    ResolveSumsSse2(p.sums, p.columns, 256, out);
  } else {
    VerticalScalar(h0, h1, w1, 4 * p.columns, p.sums);
    ResolveSumsScalar(p.sums, p.columns, 256, out);
  }
}

}  // namespace

void VerticalScalar(const uint16_t *h0, const uint16_t *h1, int32_t w1, int32_t lanes, uint16_t *sums) {
  const int32_t w0 = 128 - w1;
  for (int32_t i = 0; i < lanes; ++i) sums[i] = static_cast<uint16_t>((h0[i] * w0 + h1[i] * w1 + 32) >> 6);
}

void VerticalSse2(const uint16_t *h0, const uint16_t *h1, int32_t w1, int32_t lanes, uint16_t *sums) {
  const __m128i w = _mm_set1_epi32((w1 << 16) | (128 - w1));
  const __m128i round = _mm_set1_epi32(32), bias = _mm_set1_epi32(32768), flip = _mm_set1_epi16(-32768);
  auto half = [&](__m128i pairs) {
    return _mm_sub_epi32(_mm_srli_epi32(_mm_add_epi32(_mm_madd_epi16(pairs, w), round), 6), bias);
  };
  int32_t i = 0;
  for (; i + 8 <= lanes; i += 8) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(h0 + i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(h1 + i));
    // Sums reach 65,280: packed with a bias since the signed pack would saturate them.
    __m128i s = _mm_packs_epi32(half(_mm_unpacklo_epi16(a, b)), half(_mm_unpackhi_epi16(a, b)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(sums + i), _mm_xor_si128(s, flip));
  }
  if (i < lanes) {  // one pixel left
    __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(h0 + i));
    __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(h1 + i));
    __m128i s = _mm_packs_epi32(half(_mm_unpacklo_epi16(a, b)), bias);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(sums + i), _mm_xor_si128(s, flip));
  }
}

void ResolveSumsScalar(const uint16_t *sums, int32_t count, int32_t n, uint32_t *out) {
  for (int32_t j = 0; j < count; ++j, sums += 4) {
    const uint32_t a = static_cast<uint32_t>(255 * n) - sums[3];
    const uint32_t divisor = std::max<uint32_t>(a, 1), half = a >> 1;
    auto colour = [&](uint32_t c) { return std::min<uint32_t>(255, (c * 255 + half) / divisor); };
    const uint32_t opacity = (a + static_cast<uint32_t>(n / 2)) / static_cast<uint32_t>(n);
    out[j] = Pack(colour(sums[0]), colour(sums[1]), colour(sums[2]), 255 - opacity);
  }
}

void ResolveSumsSse2(const uint16_t *sums, int32_t count, int32_t n, uint32_t *out) {
  int32_t j = 0;
  for (; j + 4 <= count; j += 4) ResolveFourSse2(sums + 4 * j, n, out + j);
  if (j < count) {  // the last few through a padded copy
    uint16_t tail[16];
    uint32_t pixels[4];
    const int32_t left = count - j;
    for (int32_t i = 0; i < 16; ++i)  // padding: nothing, fully transparent
      tail[i] = i < 4 * left ? sums[4 * j + i] : i % 4 == 3 ? static_cast<uint16_t>(255 * n) : 0;
    ResolveFourSse2(tail, n, pixels);
    std::memcpy(out + j, pixels, static_cast<size_t>(left) * 4);
  }
}

void BoxSumsScalar(const uint32_t *src, size_t stride, int32_t fx, int32_t fy, int32_t count, uint16_t *sums) {
  std::fill(sums, sums + 4 * static_cast<size_t>(count), uint16_t{0});
  for (int32_t r = 0; r < fy; ++r) {
    const uint32_t *row = src + static_cast<size_t>(r) * stride;
    for (int32_t j = 0; j < count; ++j) {
      uint16_t *s = sums + 4 * static_cast<size_t>(j);
      for (int32_t i = 0; i < fx; ++i) {
        uint16_t pm[4];
        PremultiplyPixel(row[static_cast<size_t>(j) * fx + i], pm);
        for (int c = 0; c < 4; ++c) s[c] = static_cast<uint16_t>(s[c] + pm[c]);
      }
    }
  }
}

void BoxSumsSse2(const uint32_t *src, size_t stride, int32_t fx, int32_t fy, int32_t count, uint16_t *sums) {
  const __m128i zero = _mm_setzero_si128();
  for (int32_t r = 0; r < fy; ++r) {
    const uint32_t *row = src + static_cast<size_t>(r) * stride;
    // The first row stores, the others add.
    auto put = [r, sums](int32_t j, __m128i s, bool full) {
      auto *at = reinterpret_cast<__m128i *>(sums + 4 * static_cast<size_t>(j));
      if (full) {
        if (r > 0) s = _mm_add_epi16(s, _mm_loadu_si128(at));
        _mm_storeu_si128(at, s);
      } else {
        if (r > 0) s = _mm_add_epi16(s, _mm_loadl_epi64(at));
        _mm_storel_epi64(at, s);
      }
    };
    int32_t j = 0;
    if (fx == 2) {
      for (; j + 2 <= count; j += 2) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + 2 * j));
        __m128i a = PremultiplyHalf(_mm_unpacklo_epi8(x, zero)), b = PremultiplyHalf(_mm_unpackhi_epi8(x, zero));
        put(j, _mm_add_epi16(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b)), true);
      }
    }
    for (; j < count; ++j) {
      const uint32_t *p = row + static_cast<size_t>(j) * fx;
      __m128i acc = zero;
      int32_t i = 0;
      for (; i + 4 <= fx; i += 4) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        acc = _mm_add_epi16(acc, _mm_add_epi16(PremultiplyHalf(_mm_unpacklo_epi8(x, zero)),
                                               PremultiplyHalf(_mm_unpackhi_epi8(x, zero))));
      }
      for (; i + 2 <= fx; i += 2)
        acc = _mm_add_epi16(
            acc, PremultiplyHalf(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + i)), zero)));
      if (i < fx)
        acc = _mm_add_epi16(acc, PremultiplyHalf(_mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(p[i])), zero)));
      put(j, _mm_add_epi16(acc, _mm_srli_si128(acc, 8)), false);
    }
  }
}

int32_t ClassifyFastResample(const AxisTaps &columns, const AxisTaps &rows) {
  int32_t fx, fy, ox, oy;
  if (BoxAxis(columns, &fx, &ox) && BoxAxis(rows, &fy, &oy) && fx * fy <= kMaxBoxArea) return rx_FastBox;
  if (LinearAxis(columns) && LinearAxis(rows)) return rx_FastBilinear;
  return rx_FastNone;
}

int32_t PlanFastResample(const AxisTaps &columns, const AxisTaps &rows, Buffer *block) {
  if (gResampleGeneralOnly) return rx_FastNone;
  const int32_t kind = ClassifyFastResample(columns, rows);
  if (kind == rx_FastNone) return rx_FastNone;
  const size_t n = static_cast<size_t>(columns.count);
  const size_t sumBytes = Round16(n * 8 + 16);
  if (kind == rx_FastBox) {
    if (!block->reset(Round16(sizeof(Plan)) + sumBytes)) return -1;
    Plan *p = new (block->as<void>()) Plan;
    p->kind = kind;
    p->columns = columns.count;
    BoxAxis(columns, &p->fx, &p->x0);
    BoxAxis(rows, &p->fy, &p->y0);
    p->sums = reinterpret_cast<uint16_t *>(block->as<char>() + Round16(sizeof(Plan)));
    return kind;
  }
  int32_t minX = INT32_MAX, maxX = 0;
  for (int32_t j = 0; j < columns.count; ++j) {
    int32_t first, len;
    TapRun(columns, j, &first, &len);
    minX = std::min(minX, first);
    maxX = std::max(maxX, first + len - 1);
  }
  const size_t lineLength = static_cast<size_t>(maxX - minX) + 2;
  const size_t rowCount = static_cast<size_t>(rows.count);
  const size_t sizes[] = {Round16(sizeof(Plan)), Round16(n * 4),      Round16(n * 16),        Round16(rowCount * 4),
                          Round16(rowCount * 4), Round16(lineLength * 8), sumBytes, sumBytes, sumBytes};
  size_t total = 0;
  for (size_t s : sizes) total += s;
  if (!block->reset(total)) return -1;
  char *at = block->as<char>();
  Plan *p = new (at) Plan;
  auto take = [&at, &sizes](int i) {
    at += sizes[i - 1];
    return at;
  };
  p->kind = kind;
  p->columns = columns.count;
  p->minX = minX;
  p->lineLength = static_cast<int32_t>(lineLength);
  p->colIndex = reinterpret_cast<int32_t *>(take(1));
  p->colWeights = reinterpret_cast<uint16_t *>(take(2));
  p->rowIndex = reinterpret_cast<int32_t *>(take(3));
  p->rowWeight = reinterpret_cast<int32_t *>(take(4));
  p->premultiplied = reinterpret_cast<uint16_t *>(take(5));
  p->lines[0] = reinterpret_cast<uint16_t *>(take(6));
  p->lines[1] = reinterpret_cast<uint16_t *>(take(7));
  p->sums = reinterpret_cast<uint16_t *>(take(8));
  for (int32_t j = 0; j < columns.count; ++j) {
    int32_t first;
    const int32_t w1 = LinearWeight(columns, j, &first);
    p->colIndex[j] = first - minX;
    for (int c = 0; c < 4; ++c) {
      p->colWeights[8 * j + c] = static_cast<uint16_t>(128 - w1);
      p->colWeights[8 * j + 4 + c] = static_cast<uint16_t>(w1);
    }
  }
  for (int32_t j = 0; j < rows.count; ++j) p->rowWeight[j] = LinearWeight(rows, j, &p->rowIndex[j]);
  return kind;
}

void FastResampleRow(const Buffer &block, int32_t row, const uint32_t *src, size_t stride, uint32_t *out, bool simd) {
  Plan &p = *block.as<Plan>();
  simd = simd && (rx_GetFeatureMask() & rx_HasSSE2) != 0;
  if (p.kind == rx_FastBox)
    BoxRow(p, row, src, stride, out, simd);
  else
    BilinearRow(p, row, src, stride, out, simd);
}

}  // namespace rx_kernel
