// TRVC data blocks: a layer stream cut into pieces of at most 64 KiB, each
// compressed by a chain of codecs and stored as one data block chunk (tag 2).
//
// Chunk header (8 bytes): tag, 3 reserved bytes, payload length.
// Block header (32 bytes): reserved, compressed length, uncompressed
// length, flags (bit 0 = last block of the stream), 16 codec identifiers
// (entry 0 applied first when encoding, decoded from entry 15 down; 0 is an
// empty slot). The compressed bytes follow.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kv5/kv5_context.h"
#include "kv5/kv5_io.h"

inline constexpr uint8_t trvc_ChunkTagDataBlock = 2;
inline constexpr size_t trvc_ChunkHeaderSize = 8;
inline constexpr size_t trvc_BlockHeaderSize = 32;
inline constexpr uint32_t trvc_BlockFlagLast = 1;

// The process-wide compression level (0..9; values outside are clamped).
// The writer of a document sets it before it encodes; concurrent saves
// share it.
void trvc_SetCompressionLevel(int level);
int trvc_CompressionLevel();

// How much of a larger job one stream is, for progress values:
// value = (stream fraction done x share + done) / total, scaled to 99000 of
// 100000. A total of 0 reports nothing.
struct trvc_ProgressShare {
  double total;
  double share;
  double done;
};

// Reads the data blocks of a stream of `length` bytes into `dest` (which
// has room for `length` bytes), starting at the current position of `file`
// (the first chunk after a layer or thumbnail record). `fileSize` scales the
// progress values (0: no progress). Returns 1 on success, 0 on failure.
//
// Messages go to `context`; failures set bit 0 of its error flags, a
// cancellation clears them and sets its cancelled flag. Tolerated without
// failing: an unknown codec identifier (the data decoded so far is used), a
// codec that returns 0 (the block's span of `dest` keeps its bytes), and a
// last-block flag before the stream is complete.
//
// Beyond the file format's own rules: a block never writes past `length`
// bytes of `dest`, work buffers are sized for at most the bytes the stream
// still needs (so a block that claims a huge uncompressed length cannot
// force a huge allocation), and a codec's result is clamped to the work
// buffer capacity before the next codec reads it.
int trvc_ReadStream(uint8_t *dest, size_t length, kv5_Stream *file, kv5_Context *context, int64_t fileSize);

// Writes `length` bytes of `source` as data blocks at the current position
// of `file`, compressed at the current compression level. Returns 1 on
// success, 0 on failure (messages, flags and cancellation as on reading).
int trvc_WriteStream(const uint8_t *source, size_t length, kv5_Stream *file, kv5_Context *context,
                     const trvc_ProgressShare *progress);

// The same for a stream that is made piece by piece: `fill(fillContext,
// offset, out, size)` puts the stream bytes [offset, offset + size) into
// `out` (at most one piece), returning false when it cannot, which fails
// the write. No more than one piece of the stream is held at a time.
using trvc_FillPiece = bool (*)(void *fillContext, size_t offset, uint8_t *out, size_t size);
int trvc_WriteStreamFrom(trvc_FillPiece fill, void *fillContext, size_t length, kv5_Stream *file,
                         kv5_Context *context, const trvc_ProgressShare *progress);

// The chain search for one piece (at most trvc_PieceSize bytes) at `level`,
// in `workArea` (trvc_WorkAreaSize bytes). Fills the 16 chain entries and
// returns the compressed length; *data points at the result inside the
// work area. A piece no codec shrinks comes back unchanged with an empty
// chain.
size_t trvc_CompressPiece(const uint8_t *source, size_t length, int level, uint8_t *workArea, uint8_t chain[16],
                          const uint8_t **data);
