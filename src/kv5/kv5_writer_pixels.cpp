#include "kv5/kv5_writer_pixels.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

inline const uint32_t *rowOf(const kv5_PixelView *view, int32_t y) {
  return view->pixels + static_cast<size_t>(y) * static_cast<size_t>(view->stride);
}

// The colour and alpha bits of a stretch of pixels, OR-ed in: bits 0..15 of
// `colour` are non-zero once blue != green or green != red somewhere.
inline void orBits(const uint32_t *row, size_t from, size_t to, uint32_t *colour, uint32_t *alpha) {
  uint32_t c = 0, a = 0;
  size_t x = from;
#if defined(__SSE2__)
  __m128i cv = _mm_setzero_si128(), av = _mm_setzero_si128();
  for (; x + 4 <= to; x += 4) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + x));
    cv = _mm_or_si128(cv, _mm_xor_si128(v, _mm_srli_epi32(v, 8)));
    av = _mm_or_si128(av, v);
  }
  alignas(16) uint32_t lanes[8];
  _mm_store_si128(reinterpret_cast<__m128i *>(lanes), cv);
  _mm_store_si128(reinterpret_cast<__m128i *>(lanes + 4), av);
  c = lanes[0] | lanes[1] | lanes[2] | lanes[3];
  a = lanes[4] | lanes[5] | lanes[6] | lanes[7];
#endif
  for (; x < to; ++x) {
    c |= row[x] ^ (row[x] >> 8);
    a |= row[x];
  }
  *colour |= c & 0xFFFF;
  *alpha |= a & 0xFF000000u;
}

inline uint32_t paletteKey(uint32_t p) {
  uint32_t b = p & 0xFF, g = (p >> 8) & 0xFF, r = (p >> 16) & 0xFF;
  return (p & 0xFF000000u) | ((r * 19595 + g * 38470 + b * 7471 + 127) >> 8);
}

// Up to 256 distinct values in a table of twice that many slots, so probes
// stay short.
class DistinctValues {
 public:
  // False once a 257th value turns up.
  bool add(uint32_t value, kv5_PixelSummary *summary) {
    uint32_t slot = (value * 0x9E3779B1u) >> 23;
    while (used_[slot]) {
      if (keys_[slot] == value) return true;
      slot = (slot + 1) & (kSlots - 1);
    }
    if (summary->entries == 256) return false;
    used_[slot] = true;
    keys_[slot] = value;
    summary->palette[summary->entries++] = value;
    return true;
  }

 private:
  static constexpr uint32_t kSlots = 512;
  uint32_t keys_[kSlots];
  bool used_[kSlots] = {};
};

}  // namespace

void kv5_SortPalette(uint32_t *palette, int entries) {
  if (entries < 3) return;
  // Neighbour passes, stopping after a pass without swaps: equal keys keep
  // their first-appearance order.
  for (int pass = 0; pass < entries - 1; ++pass) {
    bool swapped = false;
    for (int i = 0; i + 1 < entries; ++i) {
      if (paletteKey(palette[i]) > paletteKey(palette[i + 1])) {
        std::swap(palette[i], palette[i + 1]);
        swapped = true;
      }
    }
    if (!swapped) break;
  }
}

void kv5_SummarisePixels(const kv5_PixelView *view, kv5_PixelSummary *summary) {
  summary->colour = summary->alpha = false;
  summary->entries = 0;
  const size_t width = static_cast<size_t>(std::max(view->width, 0));
  uint32_t colour = 0, alpha = 0;
  bool tracking = true;
  DistinctValues distinct;
  uint32_t last = 0;
  bool haveLast = false;
  for (int32_t y = 0; y < view->height; ++y) {
    const uint32_t *row = rowOf(view, y);
    if (!tracking) {
      orBits(row, 0, width, &colour, &alpha);
      if (colour != 0 && alpha != 0) break;  // nothing more to learn
      continue;
    }
    for (size_t x = 0; x < width; ++x) {
      uint32_t p = row[x];
      colour |= (p ^ (p >> 8)) & 0xFFFF;
      alpha |= p & 0xFF000000u;
      if (haveLast && p == last) continue;
      last = p, haveLast = true;
      if (!distinct.add(p, summary)) {
        tracking = false;
        summary->entries = 0;
        orBits(row, x + 1, width, &colour, &alpha);
        break;
      }
    }
  }
  summary->colour = colour != 0;
  summary->alpha = alpha != 0;
  kv5_SortPalette(summary->palette, summary->entries);
}

kv5_FormatChoice kv5_ChooseFormat(const kv5_PixelView *view, const kv5_PixelSummary *summary, int level,
                                  bool (*greenDifference)(const kv5_PixelView *view)) {
  kv5_FormatChoice choice{};
  const uint64_t count =
      static_cast<uint64_t>(std::max(view->width, 0)) * static_cast<uint64_t>(std::max(view->height, 0));
  choice.alphaPlane = summary->alpha;
  if (summary->colour) {
    choice.format = kv5_FormatPlanar;
    choice.channels = summary->alpha ? 4 : 3;
    if (summary->entries == 0 && level > 1 && greenDifference != nullptr && greenDifference(view))
      choice.format = kv5_FormatGreenDifference;
  } else {
    choice.format = kv5_FormatGrey;
    choice.channels = summary->alpha ? 2 : 1;
  }
  if (summary->entries == 0) return choice;
  // A palette of more than 16 entries costs its 1024 bytes: tiny images keep their planes.
  if (summary->entries > 16 && static_cast<uint64_t>(choice.channels) * count < count + 1024) return choice;
  choice.alphaPlane = false;
  choice.entries = summary->entries;
  if (level == 0) {
    choice.format = kv5_FormatPalette, choice.channels = 1;
  } else if (summary->entries == 1) {
    choice.format = kv5_FormatSolid, choice.channels = 0;
  } else if (summary->entries <= 16) {
    choice.format = kv5_FormatPalette, choice.channels = 1;
  } else {
    choice.format = kv5_FormatVariablePalette, choice.channels = 1;
  }
  return choice;
}

bool kv5_GreenDifferencePays(const kv5_PixelView *view) {
  const size_t width = static_cast<size_t>(std::max(view->width, 0));
  uint64_t sumB = 0, sumG = 0, sumR = 0;
  uint64_t varB = 0, varG = 0, varR = 0, varBG = 0, varRG = 0;
  for (int32_t y = 0; y < view->height; ++y) {
    const uint32_t *row = rowOf(view, y);
    if (width == 0) break;
    // 32-bit sums stay exact for 2^23 pixels; longer rows go in pieces.
    for (size_t start = 0; start < width; start += size_t{1} << 23) {
      size_t end = std::min(width, start + (size_t{1} << 23));
      uint32_t sb = 0, sg = 0, sr = 0, vb = 0, vg = 0, vr = 0, vbg = 0, vrg = 0;
      // The first pixel of a row is compared with itself: no difference.
      const uint32_t before = row[start == 0 ? 0 : start - 1];
      int pb = before & 0xFF, pg = (before >> 8) & 0xFF, pr = (before >> 16) & 0xFF;
      int pbg = (pb - pg + 128) & 0xFF, prg = (pr - pg + 128) & 0xFF;
      for (size_t x = start; x < end; ++x) {
        uint32_t p = row[x];
        int b = p & 0xFF, g = (p >> 8) & 0xFF, r = (p >> 16) & 0xFF;
        int bg = (b - g + 128) & 0xFF, rg = (r - g + 128) & 0xFF;
        sb += b, sg += g, sr += r;
        vb += std::abs(b - pb), vg += std::abs(g - pg), vr += std::abs(r - pr);
        vbg += std::abs(bg - pbg), vrg += std::abs(rg - prg);
        pb = b, pg = g, pr = r, pbg = bg, prg = rg;
      }
      sumB += sb, sumG += sg, sumR += sr;
      varB += vb, varG += vg, varR += vr, varBG += vbg, varRG += vrg;
    }
  }
  if (3 * sumG < std::max(sumB, sumR)) return false;
  if (varB == 0 || varG == 0 || varR == 0) return false;
  return varBG + varRG < varB + varR;
}
