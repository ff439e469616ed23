// TRVC decoders. Each one trusts nothing in its input: every read is checked
// against the input length and every write against the capacity.
#include <algorithm>
#include <cstring>
#include <utility>

#include "kv5/kv5_simd.h"
#include "kv5/trvc_bits.h"
#include "kv5/trvc_codecs.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using trvc_detail::BitReader;
using trvc_detail::load32;

namespace {

// Copies `count` bytes from an earlier part of the output that ends at or
// before `dst` (the ranges never overlap). When `room` allows it the copy
// runs in whole 16-byte steps and may write up to 15 bytes past the end,
// which later output overwrites.
inline void copyBack(uint8_t *dst, const uint8_t *src, size_t count, size_t room) {
#if defined(__SSE2__)
  if (count + 16 <= room) {
    // Loads never see bytes this copy stored: src + count <= dst.
    for (size_t i = 0; i < count; i += 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), v);
    }
    return;
  }
#else
  (void)room;
#endif
  std::memcpy(dst, src, count);
}

// Copies `count` input bytes to the output. With 16 bytes of room after
// both ends it copies whole 16-byte steps (reading and writing at most 15
// bytes past them) instead of calling memcpy for a short literal.
inline void copyLiteral(uint8_t *dst, size_t dstRoom, const uint8_t *src, size_t srcRoom, size_t count) {
#if defined(__SSE2__)
  if (count + 16 <= dstRoom && count + 16 <= srcRoom) {
    for (size_t i = 0; i < count; i += 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), v);
    }
    return;
  }
#else
  (void)dstRoom;
  (void)srcRoom;
#endif
  std::memcpy(dst, src, count);
}

// Writes `count` copies of `value`, in whole 16-byte steps when `room`
// allows it (up to 15 bytes past the end, which later output overwrites).
inline void fillRun(uint8_t *dst, size_t room, uint8_t value, size_t count) {
#if defined(__SSE2__)
  if (count <= 64 && count + 16 <= room) {
    const __m128i v = _mm_set1_epi8(static_cast<char>(value));
    for (size_t i = 0; i < count; i += 16) _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), v);
    return;
  }
#else
  (void)room;
#endif
  std::memset(dst, value, count);
}

// The deltas of a codec-2 run: `deltas` nibbles from `d` (two per byte, low
// first), each added (minus 7) to the previous output byte, starting from
// `value`. Returns the last byte written (or `value` without deltas).
uint8_t applyDeltasScalar(uint8_t *out, const uint8_t *d, size_t deltas, uint8_t value) {
  size_t k = 0;
  for (; k + 2 <= deltas; k += 2) {
    uint32_t b = d[k >> 1];
    value = static_cast<uint8_t>(value + (b & 15) - 7);
    out[k] = value;
    value = static_cast<uint8_t>(value + (b >> 4) - 7);
    out[k + 1] = value;
  }
  if (k < deltas) {
    value = static_cast<uint8_t>(value + (d[k >> 1] & 15) - 7);
    out[k] = value;
  }
  return value;
}

#if defined(__SSE2__)
// Sixteen deltas at a time: nibbles to bytes, a running sum in four
// shift-and-add steps, the carry broadcast from the last byte. A last part
// group goes the same way when 16 bytes of output room and 8 bytes of input
// are there (the extra bytes written lie past the run and are overwritten
// later); otherwise the scalar loop takes it, so the bytes are the same.
void applyDeltasSse2(uint8_t *out, size_t outRoom, const uint8_t *d, size_t inRoom, size_t deltas, uint8_t value) {
  const __m128i low4 = _mm_set1_epi8(0x0F);
  const __m128i seven = _mm_set1_epi8(7);
  __m128i carry = _mm_set1_epi8(static_cast<char>(value));
  size_t k = 0;
  for (;;) {
    bool whole = k + 16 <= deltas;
    if (!whole && (k >= deltas || k + 16 > outRoom || (k >> 1) + 8 > inRoom)) break;
    __m128i packed = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(d + (k >> 1)));
    __m128i lo = _mm_and_si128(packed, low4);
    __m128i hi = _mm_and_si128(_mm_srli_epi16(packed, 4), low4);
    __m128i x = _mm_sub_epi8(_mm_unpacklo_epi8(lo, hi), seven);
    x = _mm_add_epi8(x, _mm_slli_si128(x, 1));
    x = _mm_add_epi8(x, _mm_slli_si128(x, 2));
    x = _mm_add_epi8(x, _mm_slli_si128(x, 4));
    x = _mm_add_epi8(x, _mm_slli_si128(x, 8));
    x = _mm_add_epi8(x, carry);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out + k), x);
    if (!whole) return;
    __m128i top = _mm_unpackhi_epi8(x, x);
    top = _mm_shufflehi_epi16(top, 0xFF);
    carry = _mm_unpackhi_epi64(top, top);
    k += 16;
  }
  if (k < deltas) applyDeltasScalar(out + k, d + (k >> 1), deltas - k, k == 0 ? value : out[k - 1]);
}
#endif

// Codecs 1 and 2 share their control bytes; they differ only in runs.
template <bool kDeltas>
size_t decodeRunLength(uint8_t *out, size_t capacity, const uint8_t *in, size_t length, bool extendedLiterals) {
#if defined(__SSE2__)
  const bool simd = kv5_SimdEnabled();
#endif
  size_t ip = 0;
  size_t op = 0;
  while (ip < length && op < capacity) {
    uint32_t c = in[ip++];
    if (c == 0) break;
    if (c >= 0x80) {
      size_t count = (c & 0x7F) + 1;
      if (c == 0x80) {
        if (length - ip < 4) break;
        count = load32(in + ip);
        ip += 4;
      }
      if (ip >= length) break;
      if (count >= capacity - op) return 0;
      uint8_t value = in[ip++];
      if (count == 0) continue;
      if constexpr (!kDeltas) {
        fillRun(out + op, capacity - op, value, count);
        op += count;
      } else {
        out[op++] = value;
        // count - 1 deltas, two per byte, low nibble first, in count / 2 bytes.
        size_t deltas = count - 1;
        size_t bytes = count / 2;
        bool truncated = bytes > length - ip;
        if (truncated) {
          bytes = length - ip;
          deltas = std::min(deltas, bytes * 2);
        }
#if defined(__SSE2__)
        if (simd) {
          applyDeltasSse2(out + op, capacity - op, in + ip, length - ip, deltas, value);
        } else {
          applyDeltasScalar(out + op, in + ip, deltas, value);
        }
#else
        applyDeltasScalar(out + op, in + ip, deltas, value);
#endif
        op += deltas;
        ip += bytes;
        if (truncated) break;
      }
    } else {
      size_t count = c + 1;
      if (c == 1 && extendedLiterals && length - ip >= 4) {
        uint32_t stated = load32(in + ip);
        if (stated < 0x1000000u) {
          count = stated;
          ip += 4;
        }
      }
      if (count >= capacity - op) return 0;
      size_t available = std::min(count, length - ip);
      copyLiteral(out + op, capacity - op, in + ip, length - ip, available);
      op += available;
      ip += available;
      if (available < count) break;
    }
  }
  return op;
}

// The ranked-table codecs with fixed groups (19: 4 symbols, 35: 2).
template <unsigned kGroup>
size_t decodeFixedGroups(uint8_t *out, size_t capacity, const uint8_t *in, size_t length) {
  if (length < trvc_MinInputTable) return 0;
  const uint8_t *table = in;
  BitReader bits(in, length, 2048);
  size_t op = 0;
  while (op + kGroup <= capacity) {
    if (bits.left() < 3) break;
    uint64_t v = bits.peek();
    unsigned width = static_cast<unsigned>(v & 7) + 1;
    size_t need = 3 + kGroup * width;  // at most 35 bits: one peek holds the group
    if (bits.left() < need) break;
    v >>= 3;
    uint32_t mask = (1u << width) - 1;
    for (unsigned i = 0; i < kGroup; ++i) {
      out[op + i] = table[v & mask];
      v >>= width;
    }
    op += kGroup;
    bits.skip(need);
  }
  return op;
}

}  // namespace

size_t trvc_Decode1(uint8_t *out, size_t capacity, const uint8_t *in, size_t length, bool extendedLiterals) {
  return decodeRunLength<false>(out, capacity, in, length, extendedLiterals);
}

size_t trvc_Decode2(uint8_t *out, size_t capacity, const uint8_t *in, size_t length, bool extendedLiterals) {
  return decodeRunLength<true>(out, capacity, in, length, extendedLiterals);
}

size_t trvc_Decode3(uint8_t *out, size_t capacity, const uint8_t *in, size_t length) {
  if (length < trvc_MinInputTable) return 0;
  const uint8_t *table = in;
  BitReader bits(in, length, 2048);
  size_t op = 0;
  // Whole 64-bit windows first: five symbols of at most 10 bits each.
  while (bits.roomy() && op + 5 <= capacity) {
    uint64_t v = bits.peek();
    unsigned used = 0;
    for (int i = 0; i < 5; ++i) {
      unsigned s = static_cast<unsigned>(v >> used) & 3;
      unsigned n = 2 * s + 2;
      out[op++] = table[(v >> (used + 2)) & ((1u << n) - 1)];
      used += 2 + n;
    }
    bits.skip(used);
  }
  while (op < capacity && bits.left() >= 2) {
    uint64_t v = bits.peek();
    unsigned n = 2 * static_cast<unsigned>(v & 3) + 2;
    if (bits.left() < 2 + n) break;
    out[op++] = table[(v >> 2) & ((1u << n) - 1)];
    bits.skip(2 + n);
  }
  return op;
}

size_t trvc_Decode4(uint8_t *out, size_t capacity, const uint8_t *in, size_t length) {
  if (length < trvc_MinInputFillBit) return 0;
  uint8_t fill = in[0];
  BitReader bits(in, length, 8);
  size_t op = 0;
  while (bits.roomy() && op + 6 <= capacity) {
    uint64_t v = bits.peek();
    unsigned used = 0;
    for (int i = 0; i < 6; ++i) {  // six symbols of at most 9 bits
      if ((v >> used) & 1) {
        out[op++] = fill;
        used += 1;
      } else {
        out[op++] = static_cast<uint8_t>(v >> (used + 1));
        used += 9;
      }
    }
    bits.skip(used);
  }
  while (op < capacity && bits.left() >= 1) {
    uint64_t v = bits.peek();
    if (v & 1) {
      out[op++] = fill;
      bits.skip(1);
    } else {
      if (bits.left() < 9) break;
      out[op++] = static_cast<uint8_t>(v >> 1);
      bits.skip(9);
    }
  }
  return op;
}

size_t trvc_Decode5(uint8_t *out, size_t capacity, const uint8_t *in, size_t length) {
  size_t ip = 0;
  size_t op = 0;
  while (ip < length && op < capacity) {
    uint32_t c = in[ip++];
    if (c == 0) break;
    size_t n = c & 0x3F;
    switch (c >> 6) {
      case 0: {  // literal of n + 1 bytes
        size_t count = std::min({n + 1, length - ip, capacity - op});
        std::memcpy(out + op, in + ip, count);
        op += count;
        ip += count;
        if (count < n + 1) return op;
        break;
      }
      case 1: {  // start byte, then n packed deltas
        if (ip >= length) return op;
        uint8_t value = in[ip++];
        out[op++] = value;
        BitReader bits(in + ip, length - ip, 0);
        for (size_t i = 0; i < n; ++i) {
          if (op >= capacity || bits.left() < 3) return op;
          uint64_t v = bits.peek();
          unsigned width = static_cast<unsigned>(v & 3) + 1;
          if (bits.left() < 3 + width) return op;
          uint32_t magnitude = static_cast<uint32_t>(v >> 3) & ((1u << width) - 1);
          value = static_cast<uint8_t>((v & 4) ? value - magnitude : value + magnitude);
          out[op++] = value;
          bits.skip(3 + width);
        }
        ip += bits.bytePosition();
        break;
      }
      default:  // 10 and 11: ignored
        break;
    }
  }
  return op;
}

namespace {

// Codec-6 groups of a size known at compile time (1..6), two groups per
// step while both lie well inside the input: one 64-bit window holds the
// first group and the width code of the second, so the chain from group to
// group is a single load; the second group's indices come from a load off
// that chain. Returns the bit position reached; `op` advances.
template <unsigned kGroup>
size_t decodeGroupsSmall(uint8_t *out, size_t &op, size_t limit, const uint8_t *in, size_t length, size_t bit) {
  static_assert(kGroup >= 1 && kGroup <= 6, "a group and the next width code must fit one window");
  const uint8_t *table = in;
  const size_t totalBits = length * 8;
  constexpr size_t kPairBits = 2 * (3 + 8 * kGroup);
  auto window = [in](size_t at) { return trvc_detail::load64(in + (at >> 3)) >> (at & 7); };
  // Unrolled: the group size is a constant.
  auto emit = [table](uint8_t *o, uint64_t v, unsigned width) {
    const uint64_t mask = (uint64_t{1} << width) - 1;
    [&]<size_t... I>(std::index_sequence<I...>) {
      ((o[I] = table[(v >> (I * width)) & mask]), ...);
    }(std::make_index_sequence<kGroup>{});
  };
  while (bit + kPairBits + 64 <= totalBits && op + 2 * kGroup <= limit) {
    uint64_t v = window(bit);
    unsigned w1 = static_cast<unsigned>(v & 7) + 1;
    size_t second = 3 + kGroup * w1;
    unsigned w2 = static_cast<unsigned>((v >> second) & 7) + 1;
    emit(out + op, v >> 3, w1);
    size_t at = bit + second + 3;
    emit(out + op + kGroup, window(at), w2);
    bit = at + kGroup * w2;
    op += 2 * kGroup;
  }
  return bit;
}

// Any group size, one group per step while it lies well inside the input.
size_t decodeGroupsAny(uint8_t *out, size_t &op, size_t limit, const uint8_t *in, size_t length, size_t bit,
                       size_t group) {
  const uint8_t *table = in;
  const size_t totalBits = length * 8;
  while (bit + 3 + 8 * group + 64 <= totalBits && op + group <= limit) {
    unsigned width = static_cast<unsigned>((trvc_detail::load64(in + (bit >> 3)) >> (bit & 7)) & 7) + 1;
    const uint64_t mask = (uint64_t{1} << width) - 1;
    const size_t perWindow = 56 / width;
    bit += 3;
    for (size_t left = group; left > 0;) {
      uint64_t v = trvc_detail::load64(in + (bit >> 3)) >> (bit & 7);
      size_t take = std::min(left, perWindow);
      for (size_t i = 0; i < take; ++i) {
        out[op + i] = table[v & mask];
        v >>= width;
      }
      op += take;
      bit += take * width;
      left -= take;
    }
  }
  return bit;
}

}  // namespace

size_t trvc_Decode6(uint8_t *out, size_t capacity, const uint8_t *in, size_t length) {
  if (length < trvc_MinInputGroupTable) return 0;
  const uint8_t *table = in;
  size_t stated = load32(in + 256);
  size_t group = static_cast<size_t>(in[260]) + 1;
  size_t limit = std::min(stated, capacity);
  size_t op = 0;
  size_t bit = 2088;
  // The fast loops stop at a group boundary well before the end of the
  // input or the output; the checked loop below finishes.
  if (kv5_SimdEnabled()) {
    switch (group) {
      case 1: bit = decodeGroupsSmall<1>(out, op, limit, in, length, bit); break;
      case 2: bit = decodeGroupsSmall<2>(out, op, limit, in, length, bit); break;
      case 3: bit = decodeGroupsSmall<3>(out, op, limit, in, length, bit); break;
      case 4: bit = decodeGroupsSmall<4>(out, op, limit, in, length, bit); break;
      case 5: bit = decodeGroupsSmall<5>(out, op, limit, in, length, bit); break;
      case 6: bit = decodeGroupsSmall<6>(out, op, limit, in, length, bit); break;
      default: bit = decodeGroupsAny(out, op, limit, in, length, bit, group); break;
    }
  }
  BitReader bits(in, length, bit);
  while (op < limit && bits.left() >= 3) {
    uint64_t v = bits.peek();
    unsigned width = static_cast<unsigned>(v & 7) + 1;
    uint32_t mask = (1u << width) - 1;
    bits.skip(3);
    size_t count = std::min(group, limit - op);
    for (; count > 0; --count) {
      if (bits.left() < width) return stated;
      out[op++] = table[bits.peek() & mask];
      bits.skip(width);
    }
  }
  return stated;
}

size_t trvc_Decode7(uint8_t *out, size_t capacity, const uint8_t *in, size_t length) {
  if (length == 0) return 0;
  uint8_t fill = in[0];
  // Bytes of the length field that lie past the input read as 0.
  uint8_t field[4] = {0, 0, 0, 0};
  std::memcpy(field, in + 1, std::min<size_t>(4, length - 1));
  size_t stated = load32(field);
  if (length < 6) return stated;
  size_t limit = std::min(stated, capacity);
  size_t ip = 5;
  size_t op = 0;
  const uint64_t fill8 = 0x0101010101010101ull * fill;
  while (op < limit && ip < length) {
    uint32_t mask = in[ip++];
    if (op + 8 <= limit) {
      if (mask == 0) {
        trvc_detail::store64(out + op, fill8);
        op += 8;
        continue;
      }
      if (mask == 0xFF && length - ip >= 8) {
        std::memcpy(out + op, in + ip, 8);
        op += 8;
        ip += 8;
        continue;
      }
    }
    for (int bit = 0; bit < 8 && op < limit; ++bit, mask >>= 1) {
      if (mask & 1) {
        if (ip >= length) return stated;
        out[op++] = in[ip++];
      } else {
        out[op++] = fill;
      }
    }
  }
  return stated;
}

size_t trvc_Decode8(uint8_t *out, size_t capacity, const uint8_t *in, size_t length) {
  size_t ip = 0;
  size_t op = 0;
  while (ip < length && op < capacity) {
    uint32_t c = in[ip++];
    if (c == 0) break;
    if (c < 0x80) {
      if (c >= capacity - op) return 0;
      size_t available = std::min<size_t>(c, length - ip);
      copyLiteral(out + op, capacity - op, in + ip, length - ip, available);
      op += available;
      ip += available;
      if (available < c) break;
      continue;
    }
    uint64_t lengthBits = (c >> 3) & 7;
    uint64_t gap = c & 7;
    if (c & 0x40) {
      unsigned lengthShift = 3;
      unsigned gapShift = 3;
      for (;;) {
        if (ip >= length) return op;
        uint32_t b = in[ip++];
        // Eight continuation bytes already describe more than any output.
        if (gapShift > 3 + 4 * 8) return 0;
        lengthBits |= static_cast<uint64_t>((b >> 4) & 7) << lengthShift;
        gap |= static_cast<uint64_t>(b & 15) << gapShift;
        lengthShift += 3;
        gapShift += 4;
        if (!(b & 0x80)) break;
      }
    }
    uint64_t count = lengthBits + 2;
    if (count >= capacity - op) return 0;
    if (count + gap > op) return 0;  // would start before the output
    copyBack(out + op, out + op - count - gap, static_cast<size_t>(count), capacity - op);
    op += static_cast<size_t>(count);
  }
  return op;
}

size_t trvc_Decode19(uint8_t *out, size_t capacity, const uint8_t *in, size_t length) {
  return decodeFixedGroups<4>(out, capacity, in, length);
}

size_t trvc_Decode35(uint8_t *out, size_t capacity, const uint8_t *in, size_t length) {
  return decodeFixedGroups<2>(out, capacity, in, length);
}

bool trvc_IsKnownCodec(unsigned id) { return (id >= 1 && id <= 8) || id == 19 || id == 35; }

size_t trvc_Decode(unsigned id, uint8_t *out, size_t capacity, const uint8_t *in, size_t length,
                   bool extendedLiterals) {
  switch (id) {
    case 1: return trvc_Decode1(out, capacity, in, length, extendedLiterals);
    case 2: return trvc_Decode2(out, capacity, in, length, extendedLiterals);
    case 3: return trvc_Decode3(out, capacity, in, length);
    case 4: return trvc_Decode4(out, capacity, in, length);
    case 5: return trvc_Decode5(out, capacity, in, length);
    case 6: return trvc_Decode6(out, capacity, in, length);
    case 7: return trvc_Decode7(out, capacity, in, length);
    case 8: return trvc_Decode8(out, capacity, in, length);
    case 19: return trvc_Decode19(out, capacity, in, length);
    case 35: return trvc_Decode35(out, capacity, in, length);
    default: return 0;
  }
}
