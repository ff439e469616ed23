// TRVC encoders of the codecs the writer produces. Each runs in a measuring
// mode (no output) and a writing mode that share every decision, so the
// measured size is the written size.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <iterator>
#include <memory>

#include "kv5/kv5_simd.h"
#include "kv5/trvc_bits.h"
#include "kv5/trvc_codecs.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using trvc_detail::load64;

namespace {

std::atomic<bool> gSimd{true};

// The longest run or literal one control word describes.
constexpr size_t kMaxSpan = 131072;

// Output with the failure limit of every encoder: the encoding fails once it
// would reach min(input length + 16, half of the work area).
class Sink {
 public:
  Sink(uint8_t *out, size_t inputLength) : out_(out), limit_(std::min(inputLength + 16, trvc_HalfSize)) {}
  // True when `n` more bytes keep the output below the limit.
  bool fits(size_t n) const { return size_ + n < limit_; }
  void byte(uint32_t b) {
    if (out_ != nullptr) out_[size_] = static_cast<uint8_t>(b);
    ++size_;
  }
  void u32(uint32_t v) {
    if (out_ != nullptr) trvc_detail::store32(out_ + size_, v);
    size_ += 4;
  }
  void bytes(const uint8_t *p, size_t n) {
    if (out_ != nullptr) std::memcpy(out_ + size_, p, n);
    size_ += n;
  }
  uint8_t *cursor() { return out_ != nullptr ? out_ + size_ : nullptr; }
  void advance(size_t n) { size_ += n; }
  size_t size() const { return size_; }
  size_t limit() const { return limit_; }

 private:
  uint8_t *out_;
  size_t limit_;
  size_t size_ = 0;
};

// Length of the run of bytes equal to in[0], at most `max` (>= 1).
size_t runLength(const uint8_t *in, size_t max) {
  const uint64_t pattern = 0x0101010101010101ull * in[0];
  size_t k = 1;
  while (k + 8 <= max) {
    uint64_t diff = load64(in + k) ^ pattern;
    if (diff != 0) return k + static_cast<size_t>(std::countr_zero(diff) >> 3);
    k += 8;
  }
  while (k < max && in[k] == in[0]) ++k;
  return k;
}

// First q in [from, to) where in[q] == in[q + 1] == in[q + 2]; `to` when
// there is none. Requires to + 2 <= n.
size_t findTriple(const uint8_t *in, size_t from, size_t to) {
  size_t q = from;
#if defined(__SSE2__)
  if (gSimd.load(std::memory_order_relaxed)) {
    while (q + 16 <= to) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + q));
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + q + 1));
      __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + q + 2));
      int hits = _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, b), _mm_cmpeq_epi8(b, c)));
      if (hits != 0) return q + static_cast<size_t>(std::countr_zero(static_cast<unsigned>(hits)));
      q += 16;
    }
  }
#endif
  for (; q < to; ++q) {
    if (in[q] == in[q + 1] && in[q + 1] == in[q + 2]) return q;
  }
  return to;
}

// Codec 2 treats neighbours as close when their difference (mod 256) lies
// in -7..+7, so that every delta fits a nibble as delta + 7.
inline bool close(uint8_t a, uint8_t b) { return static_cast<uint8_t>(b - a + 7) < 15; }

// Number of close neighbour pairs in a row from in[0], at most `max`.
size_t closeRun(const uint8_t *in, size_t max) {
  size_t k = 0;
#if defined(__SSE2__)
  if (gSimd.load(std::memory_order_relaxed)) {
    const __m128i seven = _mm_set1_epi8(7);
    const __m128i fourteen = _mm_set1_epi8(14);
    while (k + 16 <= max) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + k));
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + k + 1));
      __m128i d = _mm_add_epi8(_mm_sub_epi8(b, a), seven);
      __m128i ok = _mm_cmpeq_epi8(_mm_min_epu8(d, fourteen), d);
      unsigned bad = ~static_cast<unsigned>(_mm_movemask_epi8(ok)) & 0xFFFFu;
      if (bad != 0) return k + static_cast<size_t>(std::countr_zero(bad));
      k += 16;
    }
  }
#endif
  while (k < max && close(in[k], in[k + 1])) ++k;
  return k;
}

// A literal as codecs 1 and 2 write it: 3..128 bytes with one control
// byte, other lengths with control byte 1 and a 32-bit count.
bool emitLiteral(Sink &sink, const uint8_t *in, size_t count) {
  if (count >= 3 && count <= 128) {
    if (!sink.fits(1 + count)) return false;
    sink.byte(static_cast<uint32_t>(count - 1));
  } else {
    if (!sink.fits(5 + count)) return false;
    sink.byte(1);
    sink.u32(static_cast<uint32_t>(count));
  }
  sink.bytes(in, count);
  return true;
}

// The control byte of a run of `count` bytes (3..128 in one byte, longer
// counts with 0x80 and a 32-bit count); returns false when it does not fit
// together with `payload` more bytes.
bool emitRunControl(Sink &sink, size_t count, size_t payload) {
  if (count <= 128) {
    if (!sink.fits(1 + payload)) return false;
    sink.byte(static_cast<uint32_t>(count - 1) | 0x80);
  } else {
    if (!sink.fits(5 + payload)) return false;
    sink.byte(0x80);
    sink.u32(static_cast<uint32_t>(count));
  }
  return true;
}

size_t histogramMax(const uint8_t *in, size_t length, uint32_t counts[256]) {
  // Four tables break the store-to-load chains of repeated bytes.
  uint32_t part[4][256] = {};
  size_t i = 0;
  for (; i + 4 <= length; i += 4) {
    ++part[0][in[i]];
    ++part[1][in[i + 1]];
    ++part[2][in[i + 2]];
    ++part[3][in[i + 3]];
  }
  for (; i < length; ++i) ++part[0][in[i]];
  size_t best = 0;
  for (int v = 0; v < 256; ++v) {
    counts[v] = part[0][v] + part[1][v] + part[2][v] + part[3][v];
    if (counts[v] > counts[best]) best = static_cast<size_t>(v);
  }
  return best;
}

// Byte values by falling frequency, ties to the lower value.
struct Ranking {
  uint8_t table[256];  // value of each rank
  uint8_t rank[256];   // rank of each value
  uint8_t width[256];  // bits needed for the rank of each value (1..8)
};

void rankValues(const uint8_t *in, size_t length, Ranking *ranking) {
  uint32_t counts[256];
  histogramMax(in, length, counts);
  // Sort keys: count high, value low; descending count, ascending value.
  uint64_t keys[256];
  for (uint32_t v = 0; v < 256; ++v) keys[v] = (static_cast<uint64_t>(~counts[v]) << 8) | v;
  std::sort(keys, keys + 256);
  for (uint32_t r = 0; r < 256; ++r) {
    auto value = static_cast<uint8_t>(keys[r] & 0xFF);
    ranking->table[r] = value;
    ranking->rank[value] = static_cast<uint8_t>(r);
    ranking->width[value] = static_cast<uint8_t>(r == 0 ? 1 : std::bit_width(r));
  }
}

// Size of codec 6 with group size `group`; `widthOf` gives the index width
// of each byte value.
size_t groupTableSize(const uint8_t *in, size_t length, const uint8_t *widthOf, size_t group) {
  size_t bits = 0;
  size_t i = 0;
  for (; i + group <= length; i += group) {
    unsigned w = widthOf[in[i]];
    for (size_t k = 1; k < group; ++k) w = std::max<unsigned>(w, widthOf[in[i + k]]);
    bits += 3 + group * w;
  }
  if (i < length) {  // the last group is filled up with the last byte, which it holds already
    unsigned w = widthOf[in[i]];
    for (size_t k = i + 1; k < length; ++k) w = std::max<unsigned>(w, widthOf[in[k]]);
    bits += 3 + group * w;
  }
  return 261 + (bits + 7) / 8;
}

// Codec 8 search tables: the newest position of each 2-byte key and, per
// position (in a ring larger than the widest window), the previous one.
constexpr size_t kRing = 32768;
struct MatchTables {
  int32_t head[65536];
  int32_t prev[kRing];
};

MatchTables *matchTables() {
  thread_local std::unique_ptr<MatchTables> tables;
  if (!tables) tables.reset(new (std::nothrow) MatchTables);
  return tables.get();
}

// Continuation bytes a back-reference needs.
inline unsigned continuationBytes(size_t lengthMinus2, size_t gap) {
  unsigned lengthBits = static_cast<unsigned>(std::bit_width(lengthMinus2));
  unsigned gapBits = static_cast<unsigned>(std::bit_width(gap));
  unsigned forLength = lengthBits > 3 ? (lengthBits - 3 + 2) / 3 : 0;
  unsigned forGap = gapBits > 3 ? (gapBits - 3 + 3) / 4 : 0;
  return std::max(forLength, forGap);
}

size_t matchLength(const uint8_t *a, const uint8_t *b, size_t start, size_t max) {
  size_t k = start;
  while (k + 8 <= max) {
    uint64_t diff = load64(a + k) ^ load64(b + k);
    if (diff != 0) return k + static_cast<size_t>(std::countr_zero(diff) >> 3);
    k += 8;
  }
  while (k < max && a[k] == b[k]) ++k;
  return k;
}

}  // namespace

bool kv5_SimdEnabled() { return gSimd.load(std::memory_order_relaxed); }
void kv5_SetSimdEnabled(bool enabled) { gSimd.store(enabled, std::memory_order_relaxed); }

// ---------------------------------------------------------------------------
// Codec 1.

size_t trvc_Encode1(uint8_t *out, const uint8_t *in, size_t length, int) {
  if (length == 0) return 0;
  Sink sink(out, length);
  size_t pos = 0;
  while (pos < length) {
    size_t left = length - pos;
    size_t run = runLength(in + pos, std::min(left, kMaxSpan));
    if (run >= 3) {
      if (run > 128 && run <= 256) run = 128;  // one 0xFF run; the rest comes next
      if (!emitRunControl(sink, run, 1)) return 0;
      sink.byte(in[pos]);
      pos += run;
      continue;
    }
    size_t count;
    if (left < 6) {
      count = left;
    } else {
      size_t stop = pos + std::min(left, kMaxSpan);
      // Within its first four positions only a run of four ends the
      // literal; after that three equal bytes do.
      size_t q = pos + 1;
      bool found = false;
      for (; q < pos + 4; ++q) {
        if (q + 3 < length && in[q] == in[q + 1] && in[q] == in[q + 2] && in[q] == in[q + 3]) {
          found = true;
          break;
        }
      }
      if (!found) {
        size_t scanEnd = std::min(stop, length - 2);
        q = findTriple(in, q, scanEnd);
        found = q < scanEnd;
      }
      count = found ? q - pos : stop - pos;
      count = std::max<size_t>(count, 3);  // control byte 1 stays reserved
    }
    if (!emitLiteral(sink, in + pos, count)) return 0;
    pos += count;
  }
  if (!sink.fits(1)) return 0;
  sink.byte(0);
  return sink.size();
}

// ---------------------------------------------------------------------------
// Codec 2.

size_t trvc_Encode2(uint8_t *out, const uint8_t *in, size_t length, int) {
  if (length == 0) return 0;
  Sink sink(out, length);
  size_t pos = 0;
  while (pos < length) {
    size_t left = length - pos;
    size_t stretch = 1 + closeRun(in + pos, std::min(left, kMaxSpan) - 1);
    stretch &= ~static_cast<size_t>(1);
    if (stretch >= 6) {
      if (stretch > 128 && stretch <= 256) stretch = 128;
      size_t deltaBytes = stretch / 2;
      if (!emitRunControl(sink, stretch, 1 + deltaBytes)) return 0;
      sink.byte(in[pos]);
      uint8_t *d = sink.cursor();
      if (d != nullptr) {
        const uint8_t *s = in + pos;
        size_t k = 1;
        for (size_t j = 0; j < deltaBytes; ++j, k += 2) {
          uint32_t low = static_cast<uint8_t>(s[k] - s[k - 1] + 7);
          uint32_t high = k + 1 < stretch ? static_cast<uint8_t>(s[k + 1] - s[k] + 7) : 7;
          d[j] = static_cast<uint8_t>(low | (high << 4));
        }
      }
      sink.advance(deltaBytes);
      pos += stretch;
      continue;
    }
    size_t count;
    if (left < 16) {
      count = left;
    } else {
      // The literal ends where six close pairs in a row begin.
      size_t stop = pos + std::min(left, kMaxSpan);
      size_t streak = 0;
      size_t q = pos;
      bool found = false;
      for (; q + 1 < length && q < stop + 5; ++q) {
        streak = close(in[q], in[q + 1]) ? streak + 1 : 0;
        if (streak == 6) {
          found = true;
          break;
        }
      }
      size_t end = found ? q - 5 : stop;
      count = std::min(std::max<size_t>(end - pos, 3), stop - pos);
    }
    if (!emitLiteral(sink, in + pos, count)) return 0;
    pos += count;
  }
  if (!sink.fits(1)) return 0;
  sink.byte(0);
  return sink.size();
}

// ---------------------------------------------------------------------------
// Codec 6.

void trvc_Measure6All(const uint8_t *in, size_t length, size_t sizes[17]) {
  sizes[0] = 0;
  if (length == 0) {
    std::fill(sizes + 1, sizes + 17, size_t{0});
    return;
  }
  Ranking ranking;
  rankValues(in, length, &ranking);
  size_t limit = std::min(length + 16, trvc_HalfSize);
  for (size_t g = 1; g <= 16; ++g) {
    size_t size = groupTableSize(in, length, ranking.width, g);
    sizes[g] = size < limit ? size : 0;
  }
}

size_t trvc_Encode6(uint8_t *out, const uint8_t *in, size_t length, int groupSize) {
  if (length == 0 || groupSize < 1 || groupSize > 16) return 0;
  const size_t group = static_cast<size_t>(groupSize);
  Ranking ranking;
  rankValues(in, length, &ranking);
  Sink sink(out, length);
  // Measure first: the size follows from the widths alone.
  size_t size = groupTableSize(in, length, ranking.width, group);
  if (!sink.fits(size)) return 0;
  if (out == nullptr) return size;
  std::memcpy(out, ranking.table, 256);
  trvc_detail::store32(out + 256, static_cast<uint32_t>(length));
  out[260] = static_cast<uint8_t>(group - 1);
  trvc_detail::BitWriter bits(out + 261);
  uint8_t ranks[16];
  for (size_t i = 0; i < length; i += group) {
    unsigned w = 1;
    for (size_t k = 0; k < group; ++k) {
      uint8_t value = i + k < length ? in[i + k] : in[length - 1];
      ranks[k] = ranking.rank[value];
      w = std::max<unsigned>(w, ranking.width[value]);
    }
    bits.put(w - 1, 3);
    for (size_t k = 0; k < group; ++k) bits.put(ranks[k], w);
  }
  return 261 + bits.finish();
}

// ---------------------------------------------------------------------------
// Codec 7.

size_t trvc_Encode7(uint8_t *out, const uint8_t *in, size_t length, int) {
  if (length == 0) return 0;
  uint32_t counts[256];
  auto fill = static_cast<uint8_t>(histogramMax(in, length, counts));
  size_t size = 5 + (length + 7) / 8 + (length - counts[fill]);
  Sink sink(out, length);
  if (!sink.fits(size)) return 0;
  if (out == nullptr) return size;
  out[0] = fill;
  trvc_detail::store32(out + 1, static_cast<uint32_t>(length));
  uint8_t *o = out + 5;
  for (size_t i = 0; i < length; i += 8) {
    size_t n = std::min<size_t>(8, length - i);
    uint8_t *maskAt = o++;
    uint32_t mask = 0;
    for (size_t k = 0; k < n; ++k) {
      uint8_t b = in[i + k];
      if (b != fill) {
        mask |= 1u << k;
        *o++ = b;
      }
    }
    *maskAt = static_cast<uint8_t>(mask);
  }
  return static_cast<size_t>(o - out);
}

// ---------------------------------------------------------------------------
// Codec 8.

int trvc_WindowForLevel(int level) {
  switch (level) {
    case 5: return 64;
    case 6: return 256;
    case 7: return 1024;
    case 8: return 4096;
    default: return level >= 9 ? 16384 : 16;
  }
}

size_t trvc_Encode8(uint8_t *out, const uint8_t *in, size_t length, int window) {
  if (length == 0) return 0;
  MatchTables *tables = matchTables();
  if (tables == nullptr) return 0;
  size_t reach = std::max<size_t>(9, std::min<size_t>({static_cast<size_t>(std::max(window, 0)), length, 16385}));
  // Candidates checked per position: all of them in the small windows, a
  // bounded newest-first share of the wide ones, so that level 9 stays
  // usable on repetitive data.
  size_t maxChecks = std::min<size_t>(reach, 32 + reach / 8);
  std::fill(std::begin(tables->head), std::end(tables->head), -1);
  int32_t *head = tables->head;
  int32_t *prev = tables->prev;

  Sink sink(out, length);
  size_t literalStart = 0;
  size_t literalCount = 0;
  auto flushLiteral = [&]() {
    if (literalCount == 0) return true;
    if (!sink.fits(1 + literalCount)) return false;
    sink.byte(static_cast<uint32_t>(literalCount));
    sink.bytes(in + literalStart, literalCount);
    literalCount = 0;
    return true;
  };

  size_t inserted = 0;  // positions below this are in the chains
  size_t pos = 0;
  while (pos < length) {
    if (pos >= 4 && pos + 7 < length) {
      // Candidates start at least 5 bytes before this position.
      for (; inserted + 5 <= pos; ++inserted) {
        uint32_t key = in[inserted] | (static_cast<uint32_t>(in[inserted + 1]) << 8);
        prev[inserted & (kRing - 1)] = head[key];
        head[key] = static_cast<int32_t>(inserted);
      }
      uint32_t key = in[pos] | (static_cast<uint32_t>(in[pos + 1]) << 8);
      size_t lowest = pos > reach ? pos - reach : 0;
      size_t maxAhead = std::min<size_t>(4096, length - pos);
      size_t bestLength = 0;
      size_t bestGap = 0;
      long bestGain = 0;
      size_t checks = 0;
      for (int32_t s = head[key]; s >= 0 && static_cast<size_t>(s) >= lowest && checks < maxChecks;
           s = prev[static_cast<size_t>(s) & (kRing - 1)], ++checks) {
        auto start = static_cast<size_t>(s);
        size_t max = std::min(maxAhead, pos - start);  // the copy ends before this position
        size_t count = matchLength(in + start, in + pos, 2, max);
        size_t gap = pos - start - count;
        long gain = static_cast<long>(count) - 1 - continuationBytes(count - 2, gap);
        if (gain >= bestGain && gain >= 1) {  // ties go to the earlier candidate
          bestGain = gain;
          bestLength = count;
          bestGap = gap;
        }
        if (count == maxAhead) break;  // an earlier candidate could at best tie
      }
      if (bestLength >= 2) {
        if (!flushLiteral()) return 0;
        size_t lengthCode = bestLength - 2;
        unsigned extra = continuationBytes(lengthCode, bestGap);
        if (!sink.fits(1 + extra)) return 0;
        sink.byte(0x80 | (extra > 0 ? 0x40 : 0) | ((lengthCode & 7) << 3) | (bestGap & 7));
        for (unsigned i = 0; i < extra; ++i) {
          uint32_t b = (((lengthCode >> (3 + 3 * i)) & 7) << 4) | ((bestGap >> (3 + 4 * i)) & 15);
          if (i + 1 < extra) b |= 0x80;
          sink.byte(b);
        }
        pos += bestLength;
        continue;
      }
    }
    if (literalCount == 127 && !flushLiteral()) return 0;
    if (literalCount == 0) literalStart = pos;
    ++literalCount;
    ++pos;
  }
  if (!flushLiteral()) return 0;
  if (!sink.fits(1)) return 0;
  sink.byte(0);
  return sink.size();
}
