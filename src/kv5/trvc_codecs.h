// The TRVC block codecs: one decoder per codec identifier and the encoders
// of the codecs the writer produces (1, 2, 6, 7 and 8).
//
// Decoders take (output, capacity, input, input length) and return the
// number of bytes produced; 0 is a failure. Codecs 1, 2 and 8 fail when a
// run, literal or copy would reach or pass the capacity; the others stop
// producing output at the capacity. Codecs 6 and 7 return the length stored
// in their data even when the capacity (or the input) ended the output
// earlier; callers must clamp. Decoders read no byte outside
// [input, input + length) and write none outside [output, output + capacity).
//
// Encoders take (output or null, input, input length, parameter) and return
// the encoded size; 0 means the encoding does not fit. Every encoder fails as
// soon as its output would reach min(input length + 16, trvc_HalfSize), so an
// output buffer of that many bytes is always enough. Called with a null
// output an encoder only measures, and returns exactly the size the writing
// call produces. An empty input gives 0.
#pragma once

#include <cstddef>
#include <cstdint>

// Uncompressed bytes per data block.
inline constexpr size_t trvc_PieceSize = 65536;
// The writer's work area: two halves of this size.
inline constexpr size_t trvc_HalfSize = 0x11000;  // 69632
inline constexpr size_t trvc_WorkAreaSize = 0x23000;  // 143360

// Codec identifiers.
enum : uint8_t {
  trvc_CodecRle = 1,
  trvc_CodecDeltaRle = 2,
  trvc_CodecClassTable = 3,
  trvc_CodecFillBit = 4,
  trvc_CodecDeltaRun = 5,
  trvc_CodecGroupTable = 6,
  trvc_CodecSparseFill = 7,
  trvc_CodecDictionary = 8,
  trvc_CodecTable4 = 19,
  trvc_CodecTable2 = 35,
};

// Minimum input lengths below which a decoder fails.
inline constexpr size_t trvc_MinInputTable = 257;       // codecs 3, 19 and 35
inline constexpr size_t trvc_MinInputGroupTable = 261;  // codec 6
inline constexpr size_t trvc_MinInputFillBit = 2;       // codec 4

// ---------------------------------------------------------------------------
// Decoders.

// Codec 1, byte run-length. `extendedLiterals` switches the rule that a
// control byte 1 followed by a 32-bit value below 2^24 is a literal of that
// many bytes; without it, control byte 1 is always a literal of 2 bytes.
// Version-4 and version-3 streams use the rule; legacy flat files are read
// once with it and once without.
size_t trvc_Decode1(uint8_t *out, size_t capacity, const uint8_t *in, size_t length, bool extendedLiterals = true);
// Codec 2, run-length with 4-bit deltas (the same control bytes as codec 1).
size_t trvc_Decode2(uint8_t *out, size_t capacity, const uint8_t *in, size_t length, bool extendedLiterals = true);
// Codec 3, ranked table with 2-bit length classes.
size_t trvc_Decode3(uint8_t *out, size_t capacity, const uint8_t *in, size_t length);
// Codec 4, fill-bit code.
size_t trvc_Decode4(uint8_t *out, size_t capacity, const uint8_t *in, size_t length);
// Codec 5, delta runs with variable-width deltas.
size_t trvc_Decode5(uint8_t *out, size_t capacity, const uint8_t *in, size_t length);
// Codec 6, ranked table with per-group bit width. Returns the stored length.
size_t trvc_Decode6(uint8_t *out, size_t capacity, const uint8_t *in, size_t length);
// Codec 7, sparse fill. Returns the stored length.
size_t trvc_Decode7(uint8_t *out, size_t capacity, const uint8_t *in, size_t length);
// Codec 8, dictionary code.
size_t trvc_Decode8(uint8_t *out, size_t capacity, const uint8_t *in, size_t length);
// Codecs 19 and 35, ranked table with groups of 4 and of 2 symbols.
size_t trvc_Decode19(uint8_t *out, size_t capacity, const uint8_t *in, size_t length);
size_t trvc_Decode35(uint8_t *out, size_t capacity, const uint8_t *in, size_t length);

// True for the identifiers that have a decoder (0 is the empty slot, not a codec).
bool trvc_IsKnownCodec(unsigned id);
// Runs the decoder of `id` (codecs 1 and 2 with the extended-literal rule as
// given); 0 for an unknown identifier.
size_t trvc_Decode(unsigned id, uint8_t *out, size_t capacity, const uint8_t *in, size_t length,
                   bool extendedLiterals = true);

// ---------------------------------------------------------------------------
// Encoders. `parameter` is the group size (1..16) for codec 6 and the
// dictionary window for codec 8; the others ignore it.

// Byte statistics of one input. The codec-6 and codec-7 trials of a stage
// share them instead of each counting the bytes again.
struct trvc_ByteStats {
  uint32_t counts[256];  // occurrences of each byte value
  uint8_t fill;          // most frequent value, the lowest among equals
  uint8_t table[256];    // value of each rank (falling count, rising value)
  uint8_t rank[256];     // rank of each value
  uint8_t width[256];    // bits an index of that rank needs (1..8)
};
void trvc_CountBytes(const uint8_t *in, size_t length, trvc_ByteStats *stats);

// The codec-6 and codec-7 encoders take the statistics of exactly this
// input, or null to count them themselves.
size_t trvc_Encode1(uint8_t *out, const uint8_t *in, size_t length, int parameter = 0);
size_t trvc_Encode2(uint8_t *out, const uint8_t *in, size_t length, int parameter = 0);
size_t trvc_Encode6(uint8_t *out, const uint8_t *in, size_t length, int groupSize,
                    const trvc_ByteStats *stats = nullptr);
// Codec 6 with groups of 4 measured, or 0 once the size would reach `cap`
// (or the encoder's own limit); `stats` are those of exactly this input.
size_t trvc_Measure6Capped(const uint8_t *in, size_t length, const trvc_ByteStats *stats, size_t cap);
// Codec 6 written when its size (a trvc_Encode6 measurement with the same
// statistics) is known already.
size_t trvc_Write6(uint8_t *out, const uint8_t *in, size_t length, int groupSize, const trvc_ByteStats *stats,
                   size_t size);
size_t trvc_Encode7(uint8_t *out, const uint8_t *in, size_t length, int parameter = 0,
                    const trvc_ByteStats *stats = nullptr);
size_t trvc_Encode8(uint8_t *out, const uint8_t *in, size_t length, int window);
// Codecs 1 and 2 as their encoders write or measure them, or 0 once the
// size would reach `cap` as well (the output is then incomplete): the chain
// search need not finish a trial that has already lost.
size_t trvc_Encode1Capped(uint8_t *out, const uint8_t *in, size_t length, size_t cap);
size_t trvc_Measure2(const uint8_t *in, size_t length, size_t cap);

// Codec 6 measured for every group size at once: sizes[g] for g = 1..16
// (sizes[0] is set to 0). Each value equals trvc_Encode6(nullptr, ..., g).
void trvc_Measure6All(const uint8_t *in, size_t length, size_t sizes[17], const trvc_ByteStats *stats = nullptr);

// The codec-8 dictionary window the writer uses at a compression level:
// 16 up to level 4, then 64, 256, 1024, 4096 and 16384 for levels 5 to 9.
int trvc_WindowForLevel(int level);
