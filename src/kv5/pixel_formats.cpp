#include "kv5/pixel_formats.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "kv5/kv5_simd.h"
#include "kv5/trvc_bits.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

// Builds one row of pixels from up to four planes (null = absent = 0).
// Planar: B, G, R, A = p0, p1, p2, p3. Green-difference: G = p0,
// B = p0 + p1 - 128, R = p0 + p2 - 128, A = p3 (absent difference planes
// give 0 bytes, like any absent plane).
template <bool kGreenDiff>
void joinRow(uint32_t *dst, const uint8_t *p0, const uint8_t *p1, const uint8_t *p2, const uint8_t *p3, size_t n) {
  size_t i = 0;
#if defined(__SSE2__)
  if (kv5_SimdEnabled()) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
    auto load = [](const uint8_t *p, size_t at, __m128i none) {
      return p != nullptr ? _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + at)) : none;
    };
    for (; i + 16 <= n; i += 16) {
      __m128i c0 = load(p0, i, zero);
      __m128i c1 = load(p1, i, zero);
      __m128i c2 = load(p2, i, zero);
      __m128i a = load(p3, i, zero);
      __m128i b, g, r;
      if constexpr (kGreenDiff) {
        g = c0;
        b = p1 != nullptr ? _mm_add_epi8(c0, _mm_xor_si128(c1, bias)) : zero;
        r = p2 != nullptr ? _mm_add_epi8(c0, _mm_xor_si128(c2, bias)) : zero;
      } else {
        b = c0;
        g = c1;
        r = c2;
      }
      __m128i bgLow = _mm_unpacklo_epi8(b, g);
      __m128i bgHigh = _mm_unpackhi_epi8(b, g);
      __m128i raLow = _mm_unpacklo_epi8(r, a);
      __m128i raHigh = _mm_unpackhi_epi8(r, a);
      auto *out = reinterpret_cast<__m128i *>(dst + i);
      _mm_storeu_si128(out + 0, _mm_unpacklo_epi16(bgLow, raLow));
      _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(bgLow, raLow));
      _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(bgHigh, raHigh));
      _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(bgHigh, raHigh));
    }
  }
#endif
  for (; i < n; ++i) {
    uint32_t c0 = p0 != nullptr ? p0[i] : 0;
    uint32_t c1 = p1 != nullptr ? p1[i] : 0;
    uint32_t c2 = p2 != nullptr ? p2[i] : 0;
    uint32_t a = p3 != nullptr ? p3[i] : 0;
    uint32_t b, g, r;
    if constexpr (kGreenDiff) {
      g = c0;
      b = p1 != nullptr ? (c0 + c1 - 128) & 0xFF : 0;
      r = p2 != nullptr ? (c0 + c2 - 128) & 0xFF : 0;
    } else {
      b = c0;
      g = c1;
      r = c2;
    }
    dst[i] = b | (g << 8) | (r << 16) | (a << 24);
  }
}

// The inverse: splits one row of pixels into planes (null = not wanted).
template <bool kGreenDiff>
void splitRow(const uint32_t *src, uint8_t *p0, uint8_t *p1, uint8_t *p2, uint8_t *p3, size_t n) {
  size_t i = 0;
#if defined(__SSE2__)
  if (kv5_SimdEnabled()) {
    const __m128i low = _mm_set1_epi32(0xFF);
    const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
    for (; i + 16 <= n; i += 16) {
      const auto *in = reinterpret_cast<const __m128i *>(src + i);
      __m128i v0 = _mm_loadu_si128(in + 0);
      __m128i v1 = _mm_loadu_si128(in + 1);
      __m128i v2 = _mm_loadu_si128(in + 2);
      __m128i v3 = _mm_loadu_si128(in + 3);
      // Byte k of each pixel, as 16 bytes.
      auto channel = [&](int k) {
        __m128i a0 = _mm_and_si128(_mm_srli_epi32(v0, 8 * k), low);
        __m128i a1 = _mm_and_si128(_mm_srli_epi32(v1, 8 * k), low);
        __m128i a2 = _mm_and_si128(_mm_srli_epi32(v2, 8 * k), low);
        __m128i a3 = _mm_and_si128(_mm_srli_epi32(v3, 8 * k), low);
        return _mm_packus_epi16(_mm_packs_epi32(a0, a1), _mm_packs_epi32(a2, a3));
      };
      __m128i b = channel(0);
      __m128i g = channel(1);
      __m128i r = channel(2);
      __m128i c0 = b, c1 = g, c2 = r;
      if constexpr (kGreenDiff) {
        c0 = g;
        c1 = _mm_xor_si128(_mm_sub_epi8(b, g), bias);
        c2 = _mm_xor_si128(_mm_sub_epi8(r, g), bias);
      }
      if (p0 != nullptr) _mm_storeu_si128(reinterpret_cast<__m128i *>(p0 + i), c0);
      if (p1 != nullptr) _mm_storeu_si128(reinterpret_cast<__m128i *>(p1 + i), c1);
      if (p2 != nullptr) _mm_storeu_si128(reinterpret_cast<__m128i *>(p2 + i), c2);
      if (p3 != nullptr) _mm_storeu_si128(reinterpret_cast<__m128i *>(p3 + i), channel(3));
    }
  }
#endif
  for (; i < n; ++i) {
    uint32_t v = src[i];
    uint32_t b = v & 0xFF, g = (v >> 8) & 0xFF, r = (v >> 16) & 0xFF, a = v >> 24;
    uint32_t c0 = b, c1 = g, c2 = r;
    if constexpr (kGreenDiff) {
      c0 = g;
      c1 = (b - g + 128) & 0xFF;
      c2 = (r - g + 128) & 0xFF;
    }
    if (p0 != nullptr) p0[i] = static_cast<uint8_t>(c0);
    if (p1 != nullptr) p1[i] = static_cast<uint8_t>(c1);
    if (p2 != nullptr) p2[i] = static_cast<uint8_t>(c2);
    if (p3 != nullptr) p3[i] = static_cast<uint8_t>(a);
  }
}

// In 64 bits, so that byte counts made from it cannot wrap where size_t is 32.
uint64_t pixelCount(const kv5_PixelView *view) {
  if (view->width <= 0 || view->height <= 0) return 0;
  return static_cast<uint64_t>(view->width) * static_cast<uint64_t>(view->height);
}

uint32_t *rowOf(const kv5_PixelView *view, int32_t y) {
  return view->pixels + static_cast<ptrdiff_t>(y) * view->stride;
}

// Planes 0..3 laid out one after another; `present` of them exist.
template <bool kGreenDiff>
void joinPlanes(const kv5_PixelView *view, const uint8_t *stream, int present) {
  size_t w = static_cast<size_t>(view->width);
  size_t plane = pixelCount(view);
  for (int32_t y = 0; y < view->height; ++y) {
    const uint8_t *p[4] = {};
    for (int k = 0; k < present; ++k) p[k] = stream + k * plane + static_cast<size_t>(y) * w;
    joinRow<kGreenDiff>(rowOf(view, y), p[0], p[1], p[2], p[3], w);
  }
}

template <bool kGreenDiff>
void splitPlanes(const kv5_PixelView *view, uint8_t *out, int planes) {
  size_t w = static_cast<size_t>(view->width);
  size_t plane = pixelCount(view);
  for (int32_t y = 0; y < view->height; ++y) {
    uint8_t *p[4] = {};
    for (int k = 0; k < planes; ++k) p[k] = out + k * plane + static_cast<size_t>(y) * w;
    splitRow<kGreenDiff>(rowOf(view, y), p[0], p[1], p[2], p[3], w);
  }
}

// Planes read by formats 0 and 5 for a channel count.
int planarPlanes(int channels) {
  if (channels <= 0) return 0;
  if (channels >= 4) return channels % 4 == 0 ? 4 : 3;
  return channels;
}

// First palette index of each pixel value (the result of a linear search,
// found through a small hash table); `missing` when absent.
class PaletteIndex {
 public:
  PaletteIndex(const uint32_t *palette, int entries, uint32_t missing) : missing_(missing) {
    std::fill(slots_, slots_ + kSlots, Slot{0, -1});
    for (int i = entries - 1; i >= 0; --i) insert(palette[i], i);  // the first equal entry wins
  }
  uint32_t find(uint32_t value) const {
    for (uint32_t h = hash(value);; h = (h + 1) & (kSlots - 1)) {
      const Slot &slot = slots_[h];
      if (slot.index < 0) return missing_;
      if (slot.value == value) return static_cast<uint32_t>(slot.index);
    }
  }

 private:
  static constexpr uint32_t kSlots = 1024;
  struct Slot {
    uint32_t value;
    int32_t index;
  };
  static uint32_t hash(uint32_t v) { return (v * 2654435761u) >> 22; }
  void insert(uint32_t value, int index) {
    for (uint32_t h = hash(value);; h = (h + 1) & (kSlots - 1)) {
      Slot &slot = slots_[h];
      if (slot.index < 0 || slot.value == value) {
        slot = Slot{value, index};
        return;
      }
    }
  }
  Slot slots_[kSlots];
  uint32_t missing_;
};

int64_t failUnpack(kv5_Context *context) {
  if (context != nullptr) context->layerError = true;
  return -1;
}

}  // namespace

int kv5_VariablePaletteBits(int entries) {
  unsigned top = entries > 1 ? static_cast<unsigned>(entries - 1) : 0;
  int bits = std::clamp(static_cast<int>(std::bit_width(top)), 1, 8);
  if (bits == 3) return 4;
  if (bits >= 5) return 8;
  return bits;
}

int64_t kv5_UnpackPixels(const kv5_PixelView *view, int format, int channels, const uint8_t *stream,
                         size_t streamLength, uint32_t palette[256], kv5_Context *context) {
  const uint64_t count = pixelCount(view);
  const size_t w = static_cast<size_t>(std::max(view->width, 0));
  switch (format) {
    case kv5_FormatPlanar:
    case kv5_FormatGreenDifference: {
      int planes = planarPlanes(channels);
      const uint64_t need = static_cast<uint64_t>(planes) * count;
      if (streamLength < need) return failUnpack(context);
      if (format == kv5_FormatPlanar) {
        joinPlanes<false>(view, stream, planes);
      } else {
        joinPlanes<true>(view, stream, planes);
      }
      return static_cast<int64_t>(need);
    }
    case kv5_FormatGrey: {
      bool alpha = channels == 2 || channels == 4;
      const uint64_t need = (alpha ? 2 : 1) * count;
      if (streamLength < need) return failUnpack(context);
      for (int32_t y = 0; y < view->height; ++y) {
        const uint8_t *grey = stream + static_cast<size_t>(y) * w;
        joinRow<false>(rowOf(view, y), grey, grey, grey, alpha ? grey + count : nullptr, w);
      }
      return static_cast<int64_t>(need);
    }
    case kv5_FormatPalette: {
      const uint64_t need = 1024 + count;
      if (streamLength < need) return failUnpack(context);
      std::memcpy(palette, stream, 1024);
      const uint8_t *index = stream + 1024;
      for (int32_t y = 0; y < view->height; ++y) {
        uint32_t *row = rowOf(view, y);
        for (size_t x = 0; x < w; ++x) row[x] = palette[index[x]];
        index += w;
      }
      return static_cast<int64_t>(need);
    }
    case kv5_FormatVariablePalette: {
      if (streamLength < 4) return failUnpack(context);
      uint32_t descriptor = trvc_detail::load32(stream);
      int bits = static_cast<int>(descriptor & 0xF) + 1;
      size_t entries = ((descriptor >> 4) & 0xFFFF) + 1;
      if (std::max<size_t>(entries, size_t{1} << bits) > 256) {
        if (context != nullptr) kv5_AppendMessageF(context, "Unsupported variable palette size (%i bits)\n", bits);
        return failUnpack(context);
      }
      const uint64_t indexBytes = (static_cast<uint64_t>(bits) * count + 7) / 8;
      const uint64_t need = 4 + 4 * entries + indexBytes;
      if (streamLength < need) return failUnpack(context);
      std::memset(palette, 0, 1024);
      std::memcpy(palette, stream + 4, 4 * entries);
      trvc_detail::BitReader reader(stream + 4 + 4 * entries, static_cast<size_t>(indexBytes), 0);
      const uint32_t mask = (1u << bits) - 1;
      for (int32_t y = 0; y < view->height; ++y) {
        uint32_t *row = rowOf(view, y);
        size_t x = 0;
        // Whole 56-bit windows where they fit, one index at a time at the end.
        const size_t perPeek = 56 / static_cast<size_t>(bits);
        while (x < w) {
          size_t take = std::min(perPeek, w - x);
          uint64_t v = reader.peek();
          for (size_t k = 0; k < take; ++k) {
            row[x + k] = palette[v & mask];
            v >>= bits;
          }
          reader.skip(take * static_cast<size_t>(bits));
          x += take;
        }
      }
      return static_cast<int64_t>(need);
    }
    case kv5_FormatSolid: {
      if (streamLength < 4) return failUnpack(context);
      uint32_t value = trvc_detail::load32(stream);
      for (int32_t y = 0; y < view->height; ++y) std::fill(rowOf(view, y), rowOf(view, y) + w, value);
      return 4;
    }
    default:
      if (context != nullptr) kv5_AppendMessage(context, "Unknown pixel format, KV5 data not valid\n");
      return failUnpack(context);
  }
}

namespace {

// Sizes are worked out in 64 bits; one that no buffer here can hold fails.
int64_t fitting(uint64_t size) { return size <= SIZE_MAX ? static_cast<int64_t>(size) : -1; }

}  // namespace

int64_t kv5_PackedSize(const kv5_PixelView *view, int format, bool alpha, int entries) {
  const uint64_t count = pixelCount(view);
  switch (format) {
    case kv5_FormatPlanar:
    case kv5_FormatGreenDifference: return fitting((alpha ? 4 : 3) * count);
    case kv5_FormatGrey: return fitting((alpha ? 2 : 1) * count);
    case kv5_FormatPalette:
      if (entries > 256) return -1;
      return fitting(1024 + count);
    case kv5_FormatVariablePalette: {
      if (entries < 1 || entries > 256) return -1;
      uint64_t bits = static_cast<uint64_t>(kv5_VariablePaletteBits(entries));
      return fitting(4 + 4 * static_cast<uint64_t>(entries) + (bits * count + 7) / 8);
    }
    case kv5_FormatSolid: return 4;
    default: return -1;
  }
}

int64_t kv5_PackPixels(const kv5_PixelView *view, int format, bool alpha, uint8_t *out, const uint32_t *palette,
                       int entries) {
  int64_t size = kv5_PackedSize(view, format, alpha, entries);
  if (size < 0) return -1;
  const size_t count = pixelCount(view);
  const size_t w = static_cast<size_t>(std::max(view->width, 0));
  switch (format) {
    case kv5_FormatPlanar: splitPlanes<false>(view, out, alpha ? 4 : 3); break;
    case kv5_FormatGreenDifference: splitPlanes<true>(view, out, alpha ? 4 : 3); break;
    case kv5_FormatGrey:
      for (int32_t y = 0; y < view->height; ++y) {
        uint8_t *grey = out + static_cast<size_t>(y) * w;
        splitRow<false>(rowOf(view, y), nullptr, grey, nullptr, alpha ? grey + count : nullptr, w);
      }
      break;
    case kv5_FormatPalette: {
      std::memset(out, 0, 1024);
      int stored = std::max(entries, 0);
      if (stored > 0) std::memcpy(out, palette, 4 * static_cast<size_t>(stored));
      PaletteIndex index(palette, stored, 255);
      uint8_t *o = out + 1024;
      for (int32_t y = 0; y < view->height; ++y) {
        const uint32_t *row = rowOf(view, y);
        for (size_t x = 0; x < w; ++x) *o++ = static_cast<uint8_t>(index.find(row[x]));
      }
      break;
    }
    case kv5_FormatVariablePalette: {
      int bits = kv5_VariablePaletteBits(entries);
      uint32_t mask = (1u << bits) - 1;
      trvc_detail::store32(out, static_cast<uint32_t>(bits - 1) | (static_cast<uint32_t>(entries - 1) << 4));
      std::memcpy(out + 4, palette, 4 * static_cast<size_t>(entries));
      PaletteIndex index(palette, entries, mask);
      trvc_detail::BitWriter writer(out + 4 + 4 * static_cast<size_t>(entries));
      for (int32_t y = 0; y < view->height; ++y) {
        const uint32_t *row = rowOf(view, y);
        for (size_t x = 0; x < w; ++x) writer.put(index.find(row[x]), static_cast<unsigned>(bits));
      }
      writer.finish();
      break;
    }
    case kv5_FormatSolid: {
      uint32_t value = entries > 0 ? palette[0] : (count > 0 ? view->pixels[0] : 0);
      trvc_detail::store32(out, value);
      break;
    }
    default: return -1;
  }
  return size;
}

namespace {

#if defined(__x86_64__) || defined(__i386__)
KV5_BYTE_PERMUTES_BEGIN
// Processors with 64-byte permutes by byte gather a plane 64 pixels at a time.
KV5_BYTE_PERMUTES size_t planeRowVbmi(const uint32_t *src, uint8_t *out, size_t n, int shift, bool difference) {
  alignas(64) uint8_t pick[64], pickGreen[64];
  for (int j = 0; j < 64; ++j) {
    pick[j] = static_cast<uint8_t>((4 * j + shift / 8) & 127);
    pickGreen[j] = static_cast<uint8_t>((4 * j + 1) & 127);
  }
  const __m512i index = _mm512_load_si512(pick), green = _mm512_load_si512(pickGreen);
  const __m512i bias = _mm512_set1_epi8(static_cast<char>(0x80));
  const __mmask64 upper = 0xFFFFFFFF00000000ull;
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m512i a0 = _mm512_loadu_si512(src + i), a1 = _mm512_loadu_si512(src + i + 16);
    const __m512i a2 = _mm512_loadu_si512(src + i + 32), a3 = _mm512_loadu_si512(src + i + 48);
    __m512i v = _mm512_mask_blend_epi8(upper, _mm512_permutex2var_epi8(a0, index, a1),
                                       _mm512_permutex2var_epi8(a2, index, a3));
    if (difference) {
      __m512i g = _mm512_mask_blend_epi8(upper, _mm512_permutex2var_epi8(a0, green, a1),
                                         _mm512_permutex2var_epi8(a2, green, a3));
      v = _mm512_xor_si512(_mm512_sub_epi8(v, g), bias);
    }
    _mm512_storeu_si512(out + i, v);
  }
  return i;
}
KV5_BYTE_PERMUTES_END
#endif

// One plane of a row: byte `shift` / 8 of each pixel, less the green byte
// and plus 128 (mod 256) for the decorrelated planes.
void planeRow(const uint32_t *src, uint8_t *out, size_t n, int shift, bool difference) {
  size_t i = 0;
#if defined(__x86_64__) || defined(__i386__)
  if (kv5_SimdEnabled() && kv5_HasBytePermutes()) i = planeRowVbmi(src, out, n, shift, difference);
#endif
#if defined(__SSE2__)
  if (kv5_SimdEnabled()) {
    const __m128i low = _mm_set1_epi32(0xFF);
    const __m128i bias = _mm_set1_epi8(static_cast<char>(0x80));
    const __m128i count = _mm_cvtsi32_si128(shift);
    auto bytes = [&](const __m128i *in, __m128i by) {
      __m128i a0 = _mm_and_si128(_mm_srl_epi32(_mm_loadu_si128(in + 0), by), low);
      __m128i a1 = _mm_and_si128(_mm_srl_epi32(_mm_loadu_si128(in + 1), by), low);
      __m128i a2 = _mm_and_si128(_mm_srl_epi32(_mm_loadu_si128(in + 2), by), low);
      __m128i a3 = _mm_and_si128(_mm_srl_epi32(_mm_loadu_si128(in + 3), by), low);
      return _mm_packus_epi16(_mm_packs_epi32(a0, a1), _mm_packs_epi32(a2, a3));
    };
    const __m128i eight = _mm_cvtsi32_si128(8);
    for (; i + 16 <= n; i += 16) {
      const auto *in = reinterpret_cast<const __m128i *>(src + i);
      __m128i v = bytes(in, count);
      if (difference) v = _mm_xor_si128(_mm_sub_epi8(v, bytes(in, eight)), bias);
      _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), v);
    }
  }
#endif
  for (; i < n; ++i) {
    uint32_t v = src[i] >> shift;
    if (difference) v = v - (src[i] >> 8) + 128;
    out[i] = static_cast<uint8_t>(v);
  }
}

}  // namespace

bool kv5_PackPlanesRange(const kv5_PixelView *view, int format, bool alpha, size_t offset, uint8_t *out,
                         size_t size) {
  // Per plane of each format: the byte it takes and whether green is subtracted.
  static constexpr int kShift[3][4] = {{0, 8, 16, 24}, {8, 24, 0, 0}, {8, 0, 16, 24}};
  int kind = format == kv5_FormatPlanar                ? 0
             : format == kv5_FormatGrey                ? 1
             : format == kv5_FormatGreenDifference ? 2
                                                       : -1;
  if (kind < 0) return false;
  const size_t count = pixelCount(view);
  const size_t w = static_cast<size_t>(std::max(view->width, 0));
  const int64_t total = kv5_PackedSize(view, format, alpha, 0);
  if (total < 0 || offset > static_cast<size_t>(total) || size > static_cast<size_t>(total) - offset) return false;
  while (size > 0) {
    size_t plane = offset / count, pixel = offset % count;
    size_t y = pixel / w, x = pixel % w;
    size_t n = std::min(size, w - x);
    planeRow(rowOf(view, static_cast<int32_t>(y)) + x, out, n, kShift[kind][plane],
             kind == 2 && (plane == 1 || plane == 2));
    out += n, offset += n, size -= n;
  }
  return true;
}
