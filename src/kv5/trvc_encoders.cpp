// TRVC encoders of the codecs the writer produces. Each runs in a measuring
// mode (no output) and a writing mode that share every decision, so the
// measured size is the written size.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

#include "kv5/kv5_simd.h"
#include "kv5/trvc_bits.h"
#include "kv5/trvc_codecs.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
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
  // `cap` lowers the limit further (a measurement that need not go on).
  Sink(uint8_t *out, size_t inputLength, size_t cap = SIZE_MAX)
      : out_(out), limit_(std::min({inputLength + 16, trvc_HalfSize, cap})) {}
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

// First s in [from, stop) with s + 6 < length where the six neighbour pairs
// starting at s are all close; SIZE_MAX when there is none.
size_t findCloseSix(const uint8_t *in, size_t length, size_t from, size_t stop) {
  size_t q = from;
#if defined(__SSE2__)
  if (gSimd.load(std::memory_order_relaxed)) {
    const __m128i seven = _mm_set1_epi8(7);
    const __m128i fourteen = _mm_set1_epi8(14);
    auto closeMask = [&](size_t at) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + at));
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + at + 1));
      __m128i d = _mm_add_epi8(_mm_sub_epi8(b, a), seven);
      return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(d, fourteen), d)));
    };
    // Pairs q..q+31 give every start q..q+15 its six pairs.
    while (q < stop && q + 33 <= length) {
      uint32_t m = closeMask(q) | (closeMask(q + 16) << 16);
      uint32_t six = m & (m >> 1) & (m >> 2) & (m >> 3) & (m >> 4) & (m >> 5) & 0xFFFFu;
      if (six != 0) {
        size_t s = q + static_cast<size_t>(std::countr_zero(six));
        return s < stop ? s : SIZE_MAX;  // q + 33 <= length keeps s + 6 < length
      }
      q += 16;
    }
  }
#endif
  size_t streak = 0;
  for (; q + 1 < length && q < stop + 5; ++q) {
    streak = close(in[q], in[q + 1]) ? streak + 1 : 0;
    if (streak == 6) return q - 5;
  }
  return SIZE_MAX;
}

// A literal as codecs 1 and 2 write it: 3..128 bytes with one control
// byte, other lengths with control byte 1 and a 32-bit count.
[[gnu::always_inline]] inline bool emitLiteral(Sink &sink, const uint8_t *in, size_t count) {
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
[[gnu::always_inline]] inline bool emitRunControl(Sink &sink, size_t count, size_t payload) {
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
  // Eight tables, one per byte position modulo 8, break the store-to-load
  // chains of repeated bytes; 16 bits hold a table's count for inputs of up
  // to 8 x 65535 bytes, longer ones go in slices.
  constexpr size_t kSlice = size_t{8} * 65535 & ~size_t{7};
  std::fill_n(counts, 256, 0u);
  for (size_t start = 0; start < length; start += kSlice) {
    const size_t end = std::min(length, start + kSlice);
    uint16_t part[8][256] = {};
    size_t i = start;
    for (; i + 8 <= end; i += 8) {
      uint64_t v = load64(in + i);
      ++part[0][v & 0xFF];
      ++part[1][(v >> 8) & 0xFF];
      ++part[2][(v >> 16) & 0xFF];
      ++part[3][(v >> 24) & 0xFF];
      ++part[4][(v >> 32) & 0xFF];
      ++part[5][(v >> 40) & 0xFF];
      ++part[6][(v >> 48) & 0xFF];
      ++part[7][v >> 56];
    }
    for (; i < end; ++i) ++part[i & 7][in[i]];
    for (int v = 0; v < 256; ++v) {
      uint32_t sum = 0;
      for (int t = 0; t < 8; ++t) sum += part[t][v];
      counts[v] += sum;
    }
  }
  size_t best = 0;
  for (int v = 1; v < 256; ++v)
    if (counts[v] > counts[best]) best = static_cast<size_t>(v);
  return best;
}

// Size of codec 6 with group size kGroup; `widthOf` gives the index width
// of each byte value. Unrolled: the group size is a constant.
template <size_t kGroup>
size_t groupTableSizeOf(const uint8_t *in, size_t length, const uint8_t *widthOf) {
  size_t sum = 0;  // sum of the group widths
  size_t i = 0;
  for (; i + kGroup <= length; i += kGroup) {
    unsigned w = [&]<size_t... K>(std::index_sequence<K...>) {
      unsigned m = 0;
      ((m = std::max<unsigned>(m, widthOf[in[i + K]])), ...);
      return m;
    }(std::make_index_sequence<kGroup>{});
    sum += w;
  }
  size_t groups = i / kGroup;
  if (i < length) {  // the last group is filled up with the last byte, which it holds already
    unsigned w = widthOf[in[i]];
    for (size_t k = i + 1; k < length; ++k) w = std::max<unsigned>(w, widthOf[in[k]]);
    sum += w;
    ++groups;
  }
  return 261 + (3 * groups + kGroup * sum + 7) / 8;
}

#if defined(__x86_64__) || defined(__i386__)
// Processors with 64-byte permutes by byte look a width up for 64 bytes at
// a time, a table of 256 being two lookups in 128 entries.

KV5_BYTE_PERMUTES_BEGIN
// Sums the codec-6 group widths (groups of 4) of whole 256-byte blocks into
// *sum; `lost(done, sum)` is asked after each block and ends the walk
// (result SIZE_MAX) when true. Returns the bytes walked.
template <typename Lost>
KV5_BYTE_PERMUTES size_t groupWidths4Vbmi(const uint8_t *in, size_t length, const uint8_t *widthOf, size_t *sum, Lost lost) {
  const __m512i t0 = _mm512_loadu_si512(widthOf), t1 = _mm512_loadu_si512(widthOf + 64);
  const __m512i t2 = _mm512_loadu_si512(widthOf + 128), t3 = _mm512_loadu_si512(widthOf + 192);
  const __m512i lowByte = _mm512_set1_epi32(0xFF), zero = _mm512_setzero_si512();
  size_t i = 0;
  for (; i + 256 <= length; i += 256) {
    __m512i acc = zero;
    for (size_t k = 0; k < 256; k += 64) {
      __m512i v = _mm512_loadu_si512(in + i + k);
      __m512i w = _mm512_mask_blend_epi8(_mm512_movepi8_mask(v), _mm512_permutex2var_epi8(t0, v, t1),
                                         _mm512_permutex2var_epi8(t2, v, t3));
      __m512i m = _mm512_max_epu8(w, _mm512_srli_epi32(w, 8));
      m = _mm512_max_epu8(m, _mm512_srli_epi32(m, 16));
      acc = _mm512_add_epi64(acc, _mm512_sad_epu8(_mm512_and_si512(m, lowByte), zero));
    }
    *sum += static_cast<size_t>(_mm512_reduce_add_epi64(acc));
    if (lost(i + 256, *sum)) return SIZE_MAX;
  }
  return i;
}
KV5_BYTE_PERMUTES_END
#endif

// Group size 4, the one every level from 1 on tries, or 0 once the size
// would reach `cap`: every group not yet seen takes at least one bit a
// symbol, so the size can be bounded from below long before the end.
size_t groupTableSize4(const uint8_t *in, size_t length, const uint8_t *widthOf, size_t cap) {
  const size_t groups = (length + 3) / 4;
  auto sizeFor = [groups](size_t sum) { return 261 + (3 * groups + 4 * sum + 7) / 8; };
  constexpr size_t kBlock = 256;
  size_t sum = 0;  // of the widths of the groups seen
  size_t i = 0;
#if defined(__x86_64__) || defined(__i386__)
  if (gSimd.load(std::memory_order_relaxed) && kv5_HasBytePermutes()) {
    i = groupWidths4Vbmi(in, length, widthOf, &sum, [&](size_t at, size_t part) {
      return sizeFor(part + groups - at / 4) >= cap;
    });
    if (i == SIZE_MAX) return 0;
  }
#endif
#if defined(__SSE2__)
  if (gSimd.load(std::memory_order_relaxed)) {
    // Widths looked up a block at a time, then each group's maximum and
    // their sum in SSE2.
    alignas(16) uint8_t w[kBlock];
    const __m128i lowByte = _mm_set1_epi32(0xFF);
    for (; i + kBlock <= length; i += kBlock) {
      for (size_t k = 0; k < kBlock; ++k) w[k] = widthOf[in[i + k]];
      __m128i acc = _mm_setzero_si128();
      for (size_t k = 0; k < kBlock; k += 16) {
        __m128i v = _mm_load_si128(reinterpret_cast<const __m128i *>(w + k));
        __m128i m = _mm_max_epu8(v, _mm_srli_epi32(v, 8));
        m = _mm_max_epu8(m, _mm_srli_epi32(m, 16));
        acc = _mm_add_epi64(acc, _mm_sad_epu8(_mm_and_si128(m, lowByte), _mm_setzero_si128()));
      }
      // Through memory: the direct 64-bit lane move exists only on x86_64.
      uint64_t lanes[2];
      _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), acc);
      sum += static_cast<size_t>(lanes[0] + lanes[1]);
      if (sizeFor(sum + groups - (i + kBlock) / 4) >= cap) return 0;
    }
  }
#endif
  // The rest group by group; a last short group takes the maximum of what it has.
  for (; i < length; i += 4) {
    unsigned m = 0;
    for (size_t k = i; k < std::min(length, i + 4); ++k) m = std::max<unsigned>(m, widthOf[in[k]]);
    sum += m;
    if (i % kBlock == kBlock - 4 && sizeFor(sum + groups - (i + 4) / 4) >= cap) return 0;
  }
  size_t size = sizeFor(sum);
  return size < cap ? size : 0;
}

size_t groupTableSize(const uint8_t *in, size_t length, const uint8_t *widthOf, size_t group) {
  if (group == 4) return groupTableSize4(in, length, widthOf, SIZE_MAX);
  switch (group) {
    case 1: return groupTableSizeOf<1>(in, length, widthOf);
    case 2: return groupTableSizeOf<2>(in, length, widthOf);
    case 3: return groupTableSizeOf<3>(in, length, widthOf);
    case 5: return groupTableSizeOf<5>(in, length, widthOf);
    case 6: return groupTableSizeOf<6>(in, length, widthOf);
    case 7: return groupTableSizeOf<7>(in, length, widthOf);
    case 8: return groupTableSizeOf<8>(in, length, widthOf);
    case 9: return groupTableSizeOf<9>(in, length, widthOf);
    case 10: return groupTableSizeOf<10>(in, length, widthOf);
    case 11: return groupTableSizeOf<11>(in, length, widthOf);
    case 12: return groupTableSizeOf<12>(in, length, widthOf);
    case 13: return groupTableSizeOf<13>(in, length, widthOf);
    case 14: return groupTableSizeOf<14>(in, length, widthOf);
    case 15: return groupTableSizeOf<15>(in, length, widthOf);
    default: return groupTableSizeOf<16>(in, length, widthOf);
  }
}

// Per-byte index widths of a piece and their maxima over 2, 4 and 8
// neighbours, for measuring every codec-6 group size at once.
struct WidthRows {
  static constexpr size_t kPad = 64;
  uint8_t row[4][trvc_PieceSize + kPad];
};

WidthRows *widthRows() {
  thread_local std::unique_ptr<WidthRows> rows;
  if (!rows) rows.reset(new (std::nothrow) WidthRows);
  return rows.get();
}

// Appends bits least significant first into a buffer whose final size is
// known: whole 64-bit stores while 8 bytes of it are left, bytes after.
class FastBitWriter {
 public:
  FastBitWriter(uint8_t *out, size_t size) : out_(out), size_(size) {}
  // Appends the low `bits` bits of `value` (bits <= 56, higher bits zero);
  // with at most 7 bits pending the sum stays below 64.
  void put(uint64_t value, unsigned bits) {
    acc_ |= value << fill_;
    fill_ += bits;
    if (pos_ + 8 <= size_) {
      trvc_detail::store64(out_ + pos_, acc_);
    } else {
      for (size_t k = 0; k < 8 && pos_ + k < size_; ++k) out_[pos_ + k] = static_cast<uint8_t>(acc_ >> (8 * k));
    }
    pos_ += fill_ >> 3;
    acc_ >>= fill_ & ~7u;
    fill_ &= 7;
  }
  // Bytes written including a last partial byte.
  size_t finish() const { return pos_ + (fill_ > 0 ? 1 : 0); }

 private:
  uint8_t *out_;
  size_t size_;
  size_t pos_ = 0;
  uint64_t acc_ = 0;
  unsigned fill_ = 0;
};

// Writes the groups of codec 6 (everything after the 261-byte head).
template <size_t kGroup>
size_t writeGroups(uint8_t *out, size_t bytes, const uint8_t *in, size_t length, const trvc_ByteStats &stats) {
  FastBitWriter bits(out, bytes);
  auto group = [&](const uint8_t *values) {
    unsigned w = 0;
    for (size_t k = 0; k < kGroup; ++k) w = std::max<unsigned>(w, stats.width[values[k]]);
    // Width code and indices in pieces of at most 56 bits.
    uint64_t acc = w - 1;
    unsigned fill = 3;
    for (size_t k = 0; k < kGroup; ++k) {
      if (fill + w > 56) {
        bits.put(acc, fill);
        acc = 0;
        fill = 0;
      }
      acc |= static_cast<uint64_t>(stats.rank[values[k]]) << fill;
      fill += w;
    }
    bits.put(acc, fill);
  };
  size_t i = 0;
  for (; i + kGroup <= length; i += kGroup) group(in + i);
  if (i < length) {  // filled up with the last byte of the input
    uint8_t last[kGroup];
    for (size_t k = 0; k < kGroup; ++k) last[k] = i + k < length ? in[i + k] : in[length - 1];
    group(last);
  }
  return bits.finish();
}

// Groups of 4, the size every level tries: a group's width is that of its
// largest rank, which the OR of its ranks has as well, and the whole group
// (at most 35 bits) goes out in one piece.
size_t writeGroups4(uint8_t *out, size_t bytes, const uint8_t *in, size_t length, const trvc_ByteStats &stats) {
  FastBitWriter bits(out, bytes);
  auto group = [&](uint64_t r0, uint64_t r1, uint64_t r2, uint64_t r3) {
    unsigned w = std::max(1u, static_cast<unsigned>(std::bit_width(r0 | r1 | r2 | r3)));
    bits.put((w - 1) | r0 << 3 | r1 << (3 + w) | r2 << (3 + 2 * w) | r3 << (3 + 3 * w), 3 + 4 * w);
  };
  const uint8_t *rank = stats.rank;
  size_t i = 0;
  for (; i + 4 <= length; i += 4) group(rank[in[i]], rank[in[i + 1]], rank[in[i + 2]], rank[in[i + 3]]);
  if (i < length) {  // filled up with the last byte of the input
    auto at = [&](size_t k) { return rank[in[std::min(i + k, length - 1)]]; };
    group(at(0), at(1), at(2), at(3));
  }
  return bits.finish();
}

size_t writeGroupsOf(size_t group, uint8_t *out, size_t bytes, const uint8_t *in, size_t length,
                     const trvc_ByteStats &stats) {
  switch (group) {
    case 1: return writeGroups<1>(out, bytes, in, length, stats);
    case 2: return writeGroups<2>(out, bytes, in, length, stats);
    case 3: return writeGroups<3>(out, bytes, in, length, stats);
    case 4: return writeGroups4(out, bytes, in, length, stats);
    case 5: return writeGroups<5>(out, bytes, in, length, stats);
    case 6: return writeGroups<6>(out, bytes, in, length, stats);
    case 7: return writeGroups<7>(out, bytes, in, length, stats);
    case 8: return writeGroups<8>(out, bytes, in, length, stats);
    case 9: return writeGroups<9>(out, bytes, in, length, stats);
    case 10: return writeGroups<10>(out, bytes, in, length, stats);
    case 11: return writeGroups<11>(out, bytes, in, length, stats);
    case 12: return writeGroups<12>(out, bytes, in, length, stats);
    case 13: return writeGroups<13>(out, bytes, in, length, stats);
    case 14: return writeGroups<14>(out, bytes, in, length, stats);
    case 15: return writeGroups<15>(out, bytes, in, length, stats);
    default: return writeGroups<16>(out, bytes, in, length, stats);
  }
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

#if defined(__x86_64__) || defined(__i386__)
bool kv5_HasBytePermutes() {
  static const bool has = __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw");
  return has;
}
#endif
void kv5_SetSimdEnabled(bool enabled) { gSimd.store(enabled, std::memory_order_relaxed); }

// ---------------------------------------------------------------------------
// Codec 1.

namespace {

size_t encode1(uint8_t *out, const uint8_t *in, size_t length, size_t cap) {
  if (length == 0) return 0;
  Sink sink(out, length, cap);
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

}  // namespace

size_t trvc_Encode1(uint8_t *out, const uint8_t *in, size_t length, int) { return encode1(out, in, length, SIZE_MAX); }
size_t trvc_Encode1Capped(uint8_t *out, const uint8_t *in, size_t length, size_t cap) {
  return encode1(out, in, length, cap);
}

// ---------------------------------------------------------------------------
// Codec 2.

namespace {


size_t encode2(uint8_t *out, const uint8_t *in, size_t length, size_t cap) {
  if (length == 0) return 0;
  Sink sink(out, length, cap);
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
      size_t found = findCloseSix(in, length, pos, stop);
      size_t end = found != SIZE_MAX ? found : stop;
      count = std::min(std::max<size_t>(end - pos, 3), stop - pos);
    }
    if (!emitLiteral(sink, in + pos, count)) return 0;
    pos += count;
  }
  if (!sink.fits(1)) return 0;
  sink.byte(0);
  return sink.size();
}

}  // namespace

size_t trvc_Encode2(uint8_t *out, const uint8_t *in, size_t length, int) { return encode2(out, in, length, SIZE_MAX); }
size_t trvc_Measure2(const uint8_t *in, size_t length, size_t cap) { return encode2(nullptr, in, length, cap); }

// ---------------------------------------------------------------------------
// Codec 6.

void trvc_CountBytes(const uint8_t *in, size_t length, trvc_ByteStats *stats) {
  stats->fill = static_cast<uint8_t>(histogramMax(in, length, stats->counts));
  // Ranks: count falling, value rising. A stable two-pass radix sort on the
  // falling 16-bit count keeps the values rising among equal counts. Only
  // a piece of one value reaches a count of 65536, and then it is the only
  // value counted: clamping it to 65535 keeps it first.
  uint8_t order[256], sorted[256];
  uint16_t key[256];
  for (uint32_t v = 0; v < 256; ++v) {
    order[v] = static_cast<uint8_t>(v);
    key[v] = static_cast<uint16_t>(65535 - std::min<uint32_t>(stats->counts[v], 65535));
  }
  for (int shift = 0; shift < 16; shift += 8) {
    uint32_t start[257] = {};
    for (uint32_t v = 0; v < 256; ++v) ++start[((key[v] >> shift) & 0xFF) + 1];
    for (int b = 0; b < 256; ++b) start[b + 1] += start[b];
    for (uint32_t i = 0; i < 256; ++i) sorted[start[(key[order[i]] >> shift) & 0xFF]++] = order[i];
    std::memcpy(order, sorted, sizeof order);
  }
  for (uint32_t r = 0; r < 256; ++r) {
    const uint8_t value = order[r];
    stats->table[r] = value;
    stats->rank[value] = static_cast<uint8_t>(r);
    stats->width[value] = static_cast<uint8_t>(r == 0 ? 1 : std::bit_width(r));
  }
}

void trvc_Measure6All(const uint8_t *in, size_t length, size_t sizes[17], const trvc_ByteStats *stats) {
  sizes[0] = 0;
  if (length == 0) {
    std::fill(sizes + 1, sizes + 17, size_t{0});
    return;
  }
  trvc_ByteStats own;
  if (stats == nullptr) {
    trvc_CountBytes(in, length, &own);
    stats = &own;
  }
  size_t limit = std::min(length + 16, trvc_HalfSize);
  WidthRows *rows = length <= trvc_PieceSize ? widthRows() : nullptr;
  if (rows != nullptr) {
    // Widths once, then maxima over 2, 4 and 8 neighbours: the maximum of
    // any group of up to 16 is that of two overlapping power-of-two spans.
    // Zeros past the end leave a last short group its own maximum.
    uint8_t *w = rows->row[0];
    for (size_t i = 0; i < length; ++i) w[i] = stats->width[in[i]];
    std::memset(w + length, 0, WidthRows::kPad);
    for (int r = 1; r < 4; ++r) {
      const uint8_t *from = rows->row[r - 1];
      uint8_t *to = rows->row[r];
      const size_t step = size_t{1} << (r - 1);
      const size_t end = length + WidthRows::kPad - 2 * step;
      for (size_t i = 0; i < end; ++i) to[i] = std::max(from[i], from[i + step]);
    }
    for (size_t g = 1; g <= 16; ++g) {
      int r = g >= 8 ? 3 : g >= 4 ? 2 : g >= 2 ? 1 : 0;
      const uint8_t *m = rows->row[r];
      const size_t second = g - (size_t{1} << r);
      size_t sum = 0;
      for (size_t i = 0; i < length; i += g) sum += std::max(m[i], m[i + second]);
      size_t groups = (length + g - 1) / g;
      size_t size = 261 + (3 * groups + g * sum + 7) / 8;
      sizes[g] = size < limit ? size : 0;
    }
    return;
  }
  for (size_t g = 1; g <= 16; ++g) {
    size_t size = groupTableSize(in, length, stats->width, g);
    sizes[g] = size < limit ? size : 0;
  }
}

size_t trvc_Encode6(uint8_t *out, const uint8_t *in, size_t length, int groupSize, const trvc_ByteStats *stats) {
  if (length == 0 || groupSize < 1 || groupSize > 16) return 0;
  const size_t group = static_cast<size_t>(groupSize);
  trvc_ByteStats own;
  if (stats == nullptr) {
    trvc_CountBytes(in, length, &own);
    stats = &own;
  }
  Sink sink(out, length);
  // Measure first: the size follows from the widths alone.
  size_t size = groupTableSize(in, length, stats->width, group);
  if (!sink.fits(size)) return 0;
  if (out == nullptr) return size;
  return trvc_Write6(out, in, length, groupSize, stats, size);
}

size_t trvc_Measure6Capped(const uint8_t *in, size_t length, const trvc_ByteStats *stats, size_t cap) {
  if (length == 0) return 0;
  return groupTableSize4(in, length, stats->width, std::min({cap, length + 16, trvc_HalfSize}));
}

size_t trvc_Write6(uint8_t *out, const uint8_t *in, size_t length, int groupSize, const trvc_ByteStats *stats,
                   size_t size) {
  const size_t group = static_cast<size_t>(groupSize);
  std::memcpy(out, stats->table, 256);
  trvc_detail::store32(out + 256, static_cast<uint32_t>(length));
  out[260] = static_cast<uint8_t>(group - 1);
  return 261 + writeGroupsOf(group, out + 261, size - 261, in, length, *stats);
}

size_t trvc_Encode7(uint8_t *out, const uint8_t *in, size_t length, int, const trvc_ByteStats *stats) {
  if (length == 0) return 0;
  trvc_ByteStats own;
  if (stats == nullptr) {
    trvc_CountBytes(in, length, &own);
    stats = &own;
  }
  const uint8_t fill = stats->fill;
  size_t size = 5 + (length + 7) / 8 + (length - stats->counts[fill]);
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
  // Small windows scan their few candidates directly (16 at a time) and
  // need no chains; the candidates and their order are the same.
  bool scan = false;
#if defined(__SSE2__)
  scan = reach <= 64 && gSimd.load(std::memory_order_relaxed);
#endif
  int32_t *head = tables->head;
  int32_t *prev = tables->prev;
  if (!scan) std::fill(std::begin(tables->head), std::end(tables->head), -1);

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
      size_t lowest = pos > reach ? pos - reach : 0;
      size_t maxAhead = std::min<size_t>(4096, length - pos);
      size_t bestLength = 0;
      size_t bestGap = 0;
      long bestGain = 0;
      size_t checks = 0;
      // Weighs one candidate (newest first); false ends the search.
      auto weigh = [&](size_t start) {
        if (checks >= maxChecks) return false;
        ++checks;
        size_t max = std::min(maxAhead, pos - start);  // the copy ends before this position
        size_t count = matchLength(in + start, in + pos, 2, max);
        size_t gap = pos - start - count;
        long gain = static_cast<long>(count) - 1 - continuationBytes(count - 2, gap);
        if (gain >= bestGain && gain >= 1) {  // ties go to the earlier candidate
          bestGain = gain;
          bestLength = count;
          bestGap = gap;
        }
        return count != maxAhead;  // an earlier candidate could at best tie
      };
      // Candidates start at least 5 bytes before this position.
      if (scan) {
#if defined(__SSE2__)
        // Broadcast from a register: a byte stored and reloaded wider stalls.
        const __m128i k0 = _mm_shuffle_epi32(_mm_cvtsi32_si128(static_cast<int>(in[pos] * 0x01010101u)), 0);
        const __m128i k1 = _mm_shuffle_epi32(_mm_cvtsi32_si128(static_cast<int>(in[pos + 1] * 0x01010101u)), 0);
        bool going = true;
        for (size_t end = pos >= 5 ? pos - 4 : 0; going && end > lowest;) {  // candidates below `end`
          size_t base = end >= 16 ? end - 16 : 0;
          uint32_t hits;
          if (base + 17 <= length) {
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + base));
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + base + 1));
            hits = static_cast<uint32_t>(
                _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, k0), _mm_cmpeq_epi8(b, k1))));
          } else {
            hits = 0;
            for (size_t i = 0; i < end - base; ++i) {  // near the end of the input: no wide loads
              if (in[base + i] == in[pos] && in[base + i + 1] == in[pos + 1]) hits |= 1u << i;
            }
          }
          hits &= (1u << (end - base)) - 1;
          if (lowest > base) hits &= ~((1u << (lowest - base)) - 1);
          while (hits != 0 && going) {
            unsigned i = 31 - static_cast<unsigned>(std::countl_zero(hits));
            hits &= ~(1u << i);
            going = weigh(base + i);
          }
          end = base;
        }
#endif
      } else {
        for (; inserted + 5 <= pos; ++inserted) {
          uint32_t key = in[inserted] | (static_cast<uint32_t>(in[inserted + 1]) << 8);
          prev[inserted & (kRing - 1)] = head[key];
          head[key] = static_cast<int32_t>(inserted);
        }
        uint32_t key = in[pos] | (static_cast<uint32_t>(in[pos + 1]) << 8);
        for (int32_t s = head[key]; s >= 0 && static_cast<size_t>(s) >= lowest; s = prev[static_cast<size_t>(s) & (kRing - 1)]) {
          if (!weigh(static_cast<size_t>(s))) break;
        }
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
