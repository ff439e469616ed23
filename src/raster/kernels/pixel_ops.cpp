// The engine operations on rows of pixels: the normal blend (scalar and
// SSE2), the whole-pixel and per-channel operations, luma and chroma,
// lightness, patterns, masking and the adjustment tables.
#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "raster/kernels/adjustment.h"
#include "raster/kernels/kernel_internal.h"

namespace rx_kernel {

uint32_t BlendNormal(uint32_t d, uint32_t s, bool keepT) {
  uint32_t ts = T(s), td = T(d);
  if (ts == 255) return d;
  if (ts == 0 || td == 255) return keepT ? (s & 0x00FFFFFF) | (td << 24) : s;
  if (td == 0) {
    int w = static_cast<int>(ts + (ts >> 7));
    uint32_t out = 0;
    for (int shift = 0; shift < 24; shift += 8) {
      int sc = B(s, shift), dc = B(d, shift);
      out |= static_cast<uint32_t>(sc + (((dc - sc) * w) >> 8)) << shift;
    }
    return out;  // T stays 0
  }
  double os = 1.0 - ts / 255.0, od = 1.0 - td / 255.0;
  double o = os + od * (1.0 - os);
  uint32_t out = 0;
  for (int shift = 0; shift < 24; shift += 8) {
    double c = (B(d, shift) * od * (1.0 - os) + B(s, shift) * os) / o;
    out |= static_cast<uint32_t>(Clamp255(static_cast<int>(c + 0.5))) << shift;
  }
  uint32_t t = keepT ? td : 255u - static_cast<uint32_t>(std::lround(o * 255.0));
  return out | t << 24;
}

// Source transparency after the layer's: opacities multiply.
static inline uint32_t WeightByLayer(uint32_t s, int32_t layerT) {
  if (layerT == 0) return s;
  uint32_t o = Div255((255 - T(s)) * static_cast<uint32_t>(255 - layerT));
  return (s & 0x00FFFFFF) | (255 - o) << 24;
}

void BlendNormalRowScalar(uint32_t *dst, const uint32_t *src, int32_t n, int32_t layerT, bool keepT) {
  for (int32_t i = 0; i < n; ++i) dst[i] = BlendNormal(dst[i], WeightByLayer(src[i], layerT), keepT);
}

void BlendNormalRowSse2(uint32_t *dst, const uint32_t *src, int32_t n, int32_t layerT, bool keepT) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  const __m128i colour = _mm_set1_epi32(0x00FFFFFF);
  const __m128i c255 = _mm_set1_epi32(255), c128 = _mm_set1_epi32(128), c256 = _mm_set1_epi16(256);
  const __m128i layer = _mm_set1_epi32(255 - layerT);
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(dst + i));
    __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
    // Only an opaque destination takes the packed path; the rest go pixel by pixel.
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(d, alpha), zero)) != 0xFFFF) {
      for (int k = 0; k < 4; ++k) dst[i + k] = BlendNormal(dst[i + k], WeightByLayer(src[i + k], layerT), keepT);
      continue;
    }
    __m128i t = _mm_srli_epi32(s, 24);
    if (layerT != 0) {
      __m128i x = _mm_add_epi32(_mm_mullo_epi16(_mm_sub_epi32(c255, t), layer), c128);
      x = _mm_srli_epi32(_mm_add_epi32(x, _mm_srli_epi32(x, 8)), 8);
      t = _mm_sub_epi32(c255, x);
    }
    __m128i w = _mm_add_epi32(t, _mm_srli_epi32(t, 7));
    w = _mm_or_si128(w, _mm_slli_epi32(w, 16));
    __m128i wlo = _mm_unpacklo_epi32(w, w), whi = _mm_unpackhi_epi32(w, w);
    __m128i dlo = _mm_unpacklo_epi8(d, zero), dhi = _mm_unpackhi_epi8(d, zero);
    __m128i slo = _mm_unpacklo_epi8(s, zero), shi = _mm_unpackhi_epi8(s, zero);
    // s * (256 - w) + d * w never exceeds 65,280.
    __m128i rlo = _mm_add_epi16(_mm_mullo_epi16(slo, _mm_sub_epi16(c256, wlo)), _mm_mullo_epi16(dlo, wlo));
    __m128i rhi = _mm_add_epi16(_mm_mullo_epi16(shi, _mm_sub_epi16(c256, whi)), _mm_mullo_epi16(dhi, whi));
    __m128i r = _mm_packus_epi16(_mm_srli_epi16(rlo, 8), _mm_srli_epi16(rhi, 8));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_and_si128(r, colour));
  }
  for (; i < n; ++i) dst[i] = BlendNormal(dst[i], WeightByLayer(src[i], layerT), keepT);
}

int ChannelOp(int32_t op, int d, int s, const uint8_t *const tables[4]) {
  switch (op) {
    case rx_OpAdd: return std::min(255, d + s);
    case rx_OpLinearBurn: return std::max(0, d + s - 255);
    case rx_OpMultiply: return (d * (s + (s >> 7))) >> 8;
    case rx_OpDivide: return tables[rx_TableDivision][d * 256 + s];
    // Screen: 255 - (255 - d)(255 - s) / 255.
    case rx_OpScreen: return 255 - static_cast<int>(Div255(static_cast<uint32_t>((255 - d) * (255 - s))));
    case rx_OpDarken: return std::min(d, s);
    case rx_OpLighten: return std::max(d, s);
    case rx_OpDifference: return std::abs(d - s);
    // Exclusion: d + s - 2ds / 255, rounded.
    case rx_OpExclusion: return d + s - (2 * d * s + 127) / 255;
    case rx_OpSoftLight: {
      // Soft light, the W3C compositing formula on 0..1 values.
      double cb = d / 255.0, cs = s / 255.0, r;
      if (cs <= 0.5) {
        r = cb - (1 - 2 * cs) * cb * (1 - cb);
      } else {
        double g = cb <= 0.25 ? ((16 * cb - 12) * cb + 4) * cb : std::sqrt(cb);
        r = cb + (2 * cs - 1) * (g - cb);
      }
      return Clamp255(static_cast<int>(r * 255.0 + 0.5));
    }
    case rx_OpOverlay: return tables[rx_TableOverlay][d * 256 + s];
    case rx_OpDodge: return tables[rx_TableDodge][d * 256 + s];
    case rx_OpBurn: return tables[rx_TableBurn][d * 256 + s];
    // Hard light: overlay with the roles of source and destination exchanged.
    case rx_OpHardLight: return tables[rx_TableOverlay][s * 256 + d];
    // Linear light: d + 2s - 255, clamped.
    case rx_OpLinearLight: return Clamp255(d + 2 * s - 255);
    // Pin light: s < 128 darkens to 2s, else lightens to 2s - 255.
    case rx_OpPinLight: return s < 128 ? std::min(d, 2 * s) : std::max(d, 2 * s - 255);
    default: return d;
  }
}

// Luma and chroma in 16.16 fixed point; the result takes Y from `ly` and
// the chroma from `lc`.
static uint32_t MixLumaChroma(uint32_t ly, uint32_t lc, uint32_t t) {
  int64_t Y = 19595LL * B(ly, 16) + 38470LL * B(ly, 8) + 7471LL * B(ly, 0);
  int r = B(lc, 16), g = B(lc, 8), b = B(lc, 0);
  int64_t cb = (-11059LL * r - 21709LL * g + 32768LL * b) >> 16;
  int64_t cr = (32768LL * r - 27439LL * g - 5329LL * b) >> 16;
  auto back = [](int64_t v) { return static_cast<uint32_t>(Clamp255(static_cast<int>(std::clamp<int64_t>(v >> 16, -1, 256)))); };
  uint32_t R = back(Y + 32768 + 91881 * cr);
  uint32_t G = back(Y + 32768 - 22553 * cb - 46802 * cr);
  uint32_t Bl = back(Y + 32768 + 116130 * cb);
  return Pack(Bl, G, R, t);
}

static double HueToChannel(double p, double q, double h) {
  if (h < 0) h += 1;
  if (h > 1) h -= 1;
  if (h < 1.0 / 6) return p + (q - p) * 6 * h;
  if (h < 0.5) return q;
  if (h < 2.0 / 3) return p + (q - p) * (2.0 / 3 - h) * 6;
  return p;
}

// Hue and saturation of d, lightness of s.
static uint32_t MixLightness(uint32_t d, uint32_t s) {
  double r = B(d, 16) / 255.0, g = B(d, 8) / 255.0, b = B(d, 0) / 255.0;
  double mx = std::max({r, g, b}), mn = std::min({r, g, b});
  double l = (mx + mn) / 2, h = 0, sat = 0;
  if (mx != mn) {
    double delta = mx - mn;
    sat = l > 0.5 ? delta / (2 - mx - mn) : delta / (mx + mn);
    if (mx == r) h = (g - b) / delta + (g < b ? 6 : 0);
    else if (mx == g) h = (b - r) / delta + 2;
    else h = (r - g) / delta + 4;
    h /= 6;
  }
  int smax = std::max({B(s, 16), B(s, 8), B(s, 0)}), smin = std::min({B(s, 16), B(s, 8), B(s, 0)});
  double nl = (smax + smin) / 510.0;
  double R, G, Bl;
  if (sat == 0) {
    R = G = Bl = nl;
  } else {
    double q = nl < 0.5 ? nl * (1 + sat) : nl + sat - nl * sat;
    double p = 2 * nl - q;
    R = HueToChannel(p, q, h + 1.0 / 3);
    G = HueToChannel(p, q, h);
    Bl = HueToChannel(p, q, h - 1.0 / 3);
  }
  auto q8 = [](double v) { return static_cast<uint32_t>(Clamp255(static_cast<int>(v * 255 + 0.5))); };
  return Pack(q8(Bl), q8(G), q8(R), T(d));
}

// Colour of `r` laid over `d` with strength a (0..255); T of d.
static inline uint32_t MixColour(uint32_t d, uint32_t r, uint32_t a) {
  if (a == 255) return (r & 0x00FFFFFF) | (d & 0xFF000000);
  if (a == 0) return d;
  uint32_t out = d & 0xFF000000;
  for (int shift = 0; shift < 24; shift += 8)
    out |= Div255(B(d, shift) * (255 - a) + B(r, shift) * a) << shift;
  return out;
}
// All four bytes of `r` over `d` with strength a.
static inline uint32_t MixAll(uint32_t d, uint32_t r, uint32_t a) {
  if (a == 255) return r;
  uint32_t out = 0;
  for (int shift = 0; shift < 32; shift += 8) out |= Div255(B(d, shift) * (255 - a) + B(r, shift) * a) << shift;
  return out;
}

static uint32_t Background(const OpContext &c, int32_t x) {
  rx_ThreadState *st = c.state;
  int32_t px = x - st->patternOriginX, py = c.y - st->patternOriginY;
  if (c.pattern != nullptr) {
    int32_t w = static_cast<int32_t>(c.pattern->width), h = static_cast<int32_t>(c.pattern->height);
    int32_t cx = ((px % w) + w) % w, cy = ((py % h) + h) % h;
    return c.pattern->bits[static_cast<size_t>(cy) * c.pattern->stride + static_cast<size_t>(cx)] & 0x00FFFFFF;
  }
  int32_t scale = st->checkerScale, shift = std::clamp(st->checkerShift, 0, 30);
  int64_t cellX = (static_cast<int64_t>(px) * scale) >> shift, cellY = (static_cast<int64_t>(py) * scale) >> shift;
  return (((cellX + cellY) & 1) ? st->checkerColor2 : st->checkerColor1) & 0x00FFFFFF;
}

void CombineRow(uint32_t *dst, const uint32_t *src, int32_t n, int32_t x0, const OpContext &c) {
  const int32_t op = c.op;
  const uint32_t layerO = static_cast<uint32_t>(255 - c.transparency);
  const bool clipped = c.opClass == rx_ClassClipped;
  // Strength of a colour operation: source opacity times layer opacity.
  auto strength = [&](uint32_t s) { return Div255((255 - T(s)) * layerO); };
  switch (op) {
    case rx_OpNormal: {
      bool keepT = c.keepT || clipped;
      if (c.simd) BlendNormalRowSse2(dst, src, n, c.transparency, keepT);
      else BlendNormalRowScalar(dst, src, n, c.transparency, keepT);
      return;
    }
    case rx_OpReplace:
      if (layerO == 255 && !clipped) {
        std::memmove(dst, src, static_cast<size_t>(n) * 4);
        return;
      }
      [[fallthrough]];
    case rx_OpOr:
    case rx_OpAnd:
    case rx_OpXor:
    case rx_OpAddAll:
    case rx_OpSubtractAll:
      for (int32_t i = 0; i < n; ++i) {
        uint32_t d = dst[i], s = src[i], r = 0;
        switch (op) {
          case rx_OpOr: r = d | s; break;
          case rx_OpAnd: r = d & s; break;
          case rx_OpXor: r = d ^ s; break;
          case rx_OpAddAll:
            for (int sh = 0; sh < 32; sh += 8) r |= static_cast<uint32_t>(std::min(255, B(d, sh) + B(s, sh))) << sh;
            break;
          case rx_OpSubtractAll:
            for (int sh = 0; sh < 32; sh += 8) r |= static_cast<uint32_t>(std::max(0, B(d, sh) - B(s, sh))) << sh;
            break;
          default: r = s; break;
        }
        r = MixAll(d, r, layerO);
        dst[i] = clipped ? (r & 0x00FFFFFF) | (d & 0xFF000000) : r;
      }
      return;
    case rx_OpPattern:
    case rx_OpChecker:
      // The source laid over the background; the result is opaque.
      for (int32_t i = 0; i < n; ++i)
        dst[i] = BlendNormal(Background(c, x0 + i), WeightByLayer(src[i], c.transparency), false);
      return;
    case rx_OpLuminosity:
    case rx_OpColor:
      for (int32_t i = 0; i < n; ++i) {
        uint32_t d = dst[i], s = src[i];
        uint32_t r = op == rx_OpLuminosity ? MixLumaChroma(s, d, T(d)) : MixLumaChroma(d, s, T(d));
        dst[i] = MixColour(d, r, strength(s));
      }
      return;
    case rx_OpLightness:
      for (int32_t i = 0; i < n; ++i) dst[i] = MixColour(dst[i], MixLightness(dst[i], src[i]), strength(src[i]));
      return;
    case rx_OpMaskUnion:
    case rx_OpMaskErase:
    case rx_OpMaskIntersect:
      for (int32_t i = 0; i < n; ++i) {
        uint32_t d = dst[i], od = 255 - T(d), os = 255 - T(src[i]), o;
        // Union adds the source's cover, erase removes it, intersect keeps the common part.
        if (op == rx_OpMaskUnion) o = od + os - Div255(od * os);
        else if (op == rx_OpMaskErase) o = Div255(od * (255 - os));
        else o = Div255(od * os);
        dst[i] = (d & 0x00FFFFFF) | (255 - o) << 24;
      }
      return;
    case rx_OpAdjust:
      for (int32_t i = 0; i < n; ++i) dst[i] = MixColour(dst[i], rx_AdjustPixel(c.state, dst[i], src[i]), strength(src[i]));
      return;
    default:
      break;
  }
  // Per-channel colour operations: one 64 KiB table per call would cost more
  // than it saves on the short rows of quadrilaterals, so they run directly.
  for (int32_t i = 0; i < n; ++i) {
    uint32_t d = dst[i], s = src[i];
    uint32_t a = strength(s);
    if (a == 0) continue;
    uint32_t r = Pack(static_cast<uint32_t>(ChannelOp(op, B(d, 0), B(s, 0), c.tables)),
                      static_cast<uint32_t>(ChannelOp(op, B(d, 8), B(s, 8), c.tables)),
                      static_cast<uint32_t>(ChannelOp(op, B(d, 16), B(s, 16), c.tables)), 0);
    dst[i] = MixColour(d, r, a);
  }
}

static bool KnownOp(int32_t op) {
  return (op >= 0 && op <= 27) || (op >= 123 && op <= 126);
}

bool PrepareOp(rx_ThreadState *state, int32_t op, int32_t op_class, int32_t transparency, OpContext *c) {
  if (!KnownOp(op)) {
    state->lastError = rx_ErrArgument;
    return false;
  }
  c->op = op;
  c->opClass = op_class;
  c->transparency = std::clamp(transparency, 0, 255);
  c->state = state;
  c->simd = (rx_GetFeatureMask() & rx_HasSSE2) != 0;
  for (int t = 0; t < 4; ++t) c->tables[t] = rx_GetBlendTable(static_cast<rx_BlendTableId>(t));
  if (c->tables[0] == nullptr) {
    state->lastError = rx_ErrNoMemory;
    return false;
  }
  if (op == rx_OpAdjust && !rx_HasAdjustment(state)) {
    state->lastError = rx_ErrNoAdjustment;
    return false;
  }
  if (op == rx_OpPattern || op == rx_OpChecker) {
    rx_ApplyCheckerDefaults(state);
    // Operation 15 tiles the pattern surface when the thread has one and
    // falls back to the checkerboard, so one code serves both backgrounds.
    rx_Surface *pattern = op == rx_OpPattern ? state->patternSurface : nullptr;
    if (pattern != nullptr && rx_SurfaceLock(pattern, 0) != 0) {
      if (pattern->width > 0 && pattern->height > 0) c->pattern = pattern;
      else rx_SurfaceUnlock(pattern, 0);
    }
  }
  return true;
}

void FinishOp(OpContext *c) {
  if (c->pattern != nullptr) rx_SurfaceUnlock(c->pattern, 0);
  c->pattern = nullptr;
}

}  // namespace rx_kernel
