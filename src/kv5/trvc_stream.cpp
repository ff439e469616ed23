#include "kv5/trvc_stream.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "kv5/trvc_bits.h"
#include "kv5/trvc_codecs.h"
#include "platform/os.h"

using trvc_detail::load32;
using trvc_detail::store32;

namespace {

std::atomic<int> gLevel{4};
constexpr size_t trvc_MaxStatedBlock = size_t{1} << 24;

constexpr const char *kReadError = "Error: Cannot read data from the file, file may be incomplete\n";
constexpr const char *kWriteError = "Error: Cannot write data to the file, check disk space\n";

// Allocation that honours the platform's fault injection, so tests can
// exercise the out-of-memory paths.
struct FreeDeleter {
  void operator()(uint8_t *p) const { std::free(p); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

Buffer allocate(size_t bytes, bool zeroed) {
  if (os_FaultDue(os_FaultKind::allocation)) return nullptr;
  void *p = zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
  return Buffer(static_cast<uint8_t *>(p));
}

int32_t progressValue(double fraction) {
  double value = std::floor(fraction * 99000.0 + 0.5);
  if (!(value >= 0)) return 0;  // also catches NaN
  return value > 2147483647.0 ? 2147483647 : static_cast<int32_t>(value);
}

// The two work buffers of the reader. Decoders get `capacity`; each buffer
// holds 4096 bytes more.
struct WorkBuffers {
  Buffer buffer[2];
  size_t capacity = 0;

  bool ensure(size_t needed) {
    // A stated length near 2^32 would wrap the sizes below where size_t is 32 bits.
    if (needed > SIZE_MAX - 65536 - 8192) return false;
    if (buffer[0] && capacity >= needed + 4096) return true;
    buffer[0].reset();
    buffer[1].reset();
    capacity = ((needed + 3) & ~static_cast<size_t>(3)) + 65536;
    buffer[0] = allocate(capacity + 4096, true);
    if (buffer[0]) buffer[1] = allocate(capacity + 4096, true);
    if (!buffer[1]) {
      buffer[0].reset();
      capacity = 0;
      return false;
    }
    return true;
  }
};

struct Trial {
  uint8_t codec;
  int parameter;
  size_t size;
};

size_t encodeWith(uint8_t codec, uint8_t *out, const uint8_t *in, size_t length, int parameter,
                  const trvc_ByteStats *stats) {
  switch (codec) {
    case trvc_CodecRle: return trvc_Encode1(out, in, length, parameter);
    case trvc_CodecDeltaRle: return trvc_Encode2(out, in, length, parameter);
    case trvc_CodecGroupTable: return trvc_Encode6(out, in, length, parameter, stats);
    case trvc_CodecSparseFill: return trvc_Encode7(out, in, length, parameter, stats);
    case trvc_CodecDictionary: return trvc_Encode8(out, in, length, parameter);
    default: return 0;
  }
}

// One stage of the search at levels 0 and 1, where the trials are codecs
// 1, 2 and 7, and at level 1 codec 6 with groups of 4. Instead of measuring
// each in full, every trial is capped by the best so far (a trial earlier
// in that order wins ties), and one whose least possible size cannot get
// under its cap is not run: the choice is that of measuring them all.
// Image planes mostly go to codec 1 at the first stage and to the table
// codecs at the second, so those go first there. The winner is left
// encoded in `other`; returns its codec (0: none shrinks) and size.
Trial searchStageLow(const uint8_t *current, size_t length, int level, int stage, uint8_t *other) {
  Trial best{0, 0, length};  // a trial must get below the current length
  int bestOrder = 4;
  auto capFor = [&](int order) { return std::min(length, best.size + (order < bestOrder ? 1 : 0)); };
  auto offer = [&](int order, uint8_t codec, size_t size) {
    if (size != 0) best = {codec, codec == trvc_CodecGroupTable ? 4 : 0, size}, bestOrder = order;
  };
  trvc_ByteStats stats;
  auto tables = [&] {
    // The least codec 7 can take is its masks; codec 6 its head and one bit
    // a symbol with a 3-bit width code per group.
    const size_t least7 = 5 + (length + 7) / 8;
    const size_t least6 = level >= 1 ? 261 + (7 * ((length + 3) / 4) + 7) / 8 : SIZE_MAX;
    if (least7 >= capFor(2) && least6 >= capFor(3)) return;
    trvc_CountBytes(current, length, &stats);
    const size_t size7 = trvc_Encode7(nullptr, current, length, 0, &stats);
    if (size7 < capFor(2)) offer(2, trvc_CodecSparseFill, size7);
    if (least6 < capFor(3)) offer(3, trvc_CodecGroupTable, trvc_Measure6Capped(current, length, &stats, capFor(3)));
  };
  if (stage == 1) tables();
  // Codec 1 is written as it is measured: when it wins, its output is in place.
  offer(0, trvc_CodecRle, trvc_Encode1Capped(other, current, length, capFor(0)));
  offer(1, trvc_CodecDeltaRle, trvc_Measure2(current, length, capFor(1)));
  if (stage != 1) tables();

  switch (best.codec) {
    case trvc_CodecDeltaRle: best.size = trvc_Encode2(other, current, length); break;
    case trvc_CodecSparseFill: best.size = trvc_Encode7(other, current, length, 0, &stats); break;
    case trvc_CodecGroupTable: best.size = trvc_Write6(other, current, length, 4, &stats, best.size); break;
    default: break;  // nothing, or codec 1, which is in place already
  }
  return best;
}

}  // namespace

void trvc_SetCompressionLevel(int level) { gLevel.store(std::clamp(level, 0, 9), std::memory_order_relaxed); }
int trvc_CompressionLevel() { return gLevel.load(std::memory_order_relaxed); }

size_t trvc_CompressPiece(const uint8_t *source, size_t length, int level, uint8_t *workArea, uint8_t chain[16],
                          const uint8_t **data) {
  std::memset(chain, 0, 16);
  level = std::clamp(level, 0, 9);
  length = std::min(length, trvc_PieceSize);
  uint8_t *current = workArea;
  uint8_t *other = workArea + trvc_HalfSize;
  if (source != current) std::memcpy(current, source, length);  // a piece may be made in place
  size_t currentLength = length;

  if (level <= 1) {
    for (int stage = 0; stage < 14 && currentLength >= 8; ++stage) {
      Trial chosen = searchStageLow(current, currentLength, level, stage, other);
      if (chosen.codec == 0 || chosen.size == 0 || chosen.size >= currentLength) break;
      chain[stage] = chosen.codec;
      std::swap(current, other);
      currentLength = chosen.size;
    }
    *data = current;
    return currentLength;
  }
  for (int stage = 0; stage < 14; ++stage) {
    if (currentLength < 8 && level < 4) break;
    // One count of the bytes serves the codec-7 and codec-6 trials and the write.
    trvc_ByteStats stats;
    trvc_CountBytes(current, currentLength, &stats);
    const size_t size7 = trvc_Encode7(nullptr, current, currentLength, 0, &stats);
    const bool sevenShrinks = size7 > 0 && size7 < currentLength;

    // Codec 6 sizes. Whether the wider group sizes are tried depends on the
    // basic trials only at stage 0 from level 2 on, and not even there once
    // codec 7 shrinks the data; otherwise they are known before codecs 1
    // and 2 are measured, which then stop as soon as they have lost.
    size_t sizes[17] = {};
    bool wider = false;
    auto measure6 = [&] {
      if (wider) {
        trvc_Measure6All(current, currentLength, sizes, &stats);
      } else {
        sizes[4] = trvc_Encode6(nullptr, current, currentLength, 4, &stats);
      }
    };
    const bool sixFirst = level >= 1 && (level < 2 || stage >= 1 || sevenShrinks);
    size_t bound = SIZE_MAX;  // the smallest size of a later trial
    auto lower = [&](size_t size) {
      if (size > 0) bound = std::min(bound, size);
    };
    lower(size7);
    if (sixFirst) {
      wider = level >= 2 && stage >= 1;
      measure6();
      lower(sizes[4]);
      if (wider) {
        for (int g = 1; g <= 3; ++g) lower(sizes[g]);
        if (level >= 3)
          for (int g = 5; g <= 16; ++g) lower(sizes[g]);
      }
    }
    // Codec 1 wins ties, codec 2 must beat codec 1.
    const size_t cap1 = std::min(currentLength, bound == SIZE_MAX ? SIZE_MAX : bound + 1);
    // Measured by writing into the other half, as codec 8 below: when codec
    // 1 wins (as it often does on flat images) its encoding is done.
    size_t size1 = trvc_Encode1Capped(other, current, currentLength, cap1);
    bool rleWritten = true;
    const size_t size2 = trvc_Measure2(current, currentLength, size1 > 0 ? std::min(cap1, size1) : cap1);
    if (!sixFirst && level >= 1) {
      bool basicShrinks = (size1 > 0 && size1 < currentLength) || (size2 > 0 && size2 < currentLength) || sevenShrinks;
      wider = level >= 2 && (!basicShrinks || stage >= 1);
      measure6();
    }

    Trial trials[20];
    int count = 0;
    trials[count++] = {trvc_CodecRle, 0, size1};
    trials[count++] = {trvc_CodecDeltaRle, 0, size2};
    trials[count++] = {trvc_CodecSparseFill, 0, size7};
    bool dictionaryWritten = false;
    if (level >= 1) {
      trials[count++] = {trvc_CodecGroupTable, 4, sizes[4]};
      if (wider) {
        for (int g = 1; g <= 3; ++g) trials[count++] = {trvc_CodecGroupTable, g, sizes[g]};
        if (level >= 3) {
          for (int g = 5; g <= 16; ++g) trials[count++] = {trvc_CodecGroupTable, g, sizes[g]};
          if (level >= 4 && stage >= 1) {
            // Measured by writing straight into the other half: if it wins,
            // the encoding is already where it belongs.
            int window = trvc_WindowForLevel(level);
            trials[count++] = {trvc_CodecDictionary, window, trvc_Encode8(other, current, currentLength, window)};
            dictionaryWritten = true;
            rleWritten = false;
          }
        }
      }
    }

    int best = -1;
    for (int i = 0; i < count; ++i) {
      if (trials[i].size == 0) continue;
      if (best < 0 || trials[i].size < trials[best].size) best = i;  // ties keep the earlier trial
    }
    if (best < 0 || trials[best].size >= currentLength) break;

    const Trial &chosen = trials[best];
    size_t written = (chosen.codec == trvc_CodecDictionary && dictionaryWritten) ||
                             (chosen.codec == trvc_CodecRle && rleWritten)
                         ? chosen.size
                         : chosen.codec == trvc_CodecGroupTable
                             ? trvc_Write6(other, current, currentLength, chosen.parameter, &stats, chosen.size)
                             : encodeWith(chosen.codec, other, current, currentLength, chosen.parameter, &stats);
    if (written == 0 || written >= currentLength) {
      chain[stage] = 0;
      break;
    }
    chain[stage] = chosen.codec;
    std::swap(current, other);
    currentLength = written;
  }
  *data = current;
  return currentLength;
}

namespace {

// The writer's loop; `piece(workArea, done, size)` gives the stream bytes
// [done, done + size), or null when they cannot be had.
template <typename Piece>
int writePieces(size_t length, kv5_Stream *file, kv5_Context *context, const trvc_ProgressShare *progress,
                Piece piece) {
  Buffer work = allocate(trvc_WorkAreaSize, false);
  if (!work) {
    kv5_AppendMessage(context, "Out of memory for TRVC compression\n");
    context->outOfMemory = true;
    kv5_SetFailed(context);
    return 0;
  }
  if (length == 0) return 1;
  const int level = trvc_CompressionLevel();

  for (size_t done = 0; done < length;) {
    size_t size = std::min(trvc_PieceSize, length - done);
    if (progress != nullptr && progress->total != 0) {
      double fraction =
          (static_cast<double>(done) / static_cast<double>(length) * progress->share + progress->done) / progress->total;
      if (!kv5_ReportProgress(context, progressValue(fraction))) return 0;
    }
    const uint8_t *source = piece(work.get(), done, size);
    if (source == nullptr) {
      kv5_SetFailed(context);
      return 0;
    }

    uint8_t chain[16];
    const uint8_t *data = nullptr;
    size_t packed = trvc_CompressPiece(source, size, level, work.get(), chain, &data);

    uint8_t header[trvc_ChunkHeaderSize + trvc_BlockHeaderSize] = {};
    header[0] = trvc_ChunkTagDataBlock;
    store32(header + 4, static_cast<uint32_t>(packed + trvc_BlockHeaderSize));
    uint8_t *block = header + trvc_ChunkHeaderSize;
    store32(block + 4, static_cast<uint32_t>(packed));
    store32(block + 8, static_cast<uint32_t>(size));
    store32(block + 12, done + size == length ? trvc_BlockFlagLast : 0);
    std::memcpy(block + 16, chain, 16);
    if (!file->write(header, sizeof(header)) || !file->write(data, packed)) {
      kv5_AppendMessage(context, kWriteError);
      kv5_SetFailed(context);
      return 0;
    }
    done += size;
  }
  return 1;
}

}  // namespace

int trvc_WriteStream(const uint8_t *source, size_t length, kv5_Stream *file, kv5_Context *context,
                     const trvc_ProgressShare *progress) {
  return writePieces(length, file, context, progress,
                     [source](uint8_t *, size_t done, size_t) { return source + done; });
}

int trvc_WriteStreamFrom(trvc_FillPiece fill, void *fillContext, size_t length, kv5_Stream *file,
                         kv5_Context *context, const trvc_ProgressShare *progress) {
  // Each piece is made where the chain search starts: the first half of the work area.
  return writePieces(length, file, context, progress, [&](uint8_t *work, size_t done, size_t size) -> const uint8_t * {
    return fill(fillContext, done, work, size) ? work : nullptr;
  });
}

namespace {

// Decodes a block's chain (entry 15 down to 0) from work buffer 0 and copies
// at most `wanted` bytes of the result to `out`. False only for an empty
// input to a stage; an unknown codec ends the chain with what it has, a
// codec that fails leaves `out` untouched (both with their message).
bool decodeChain(WorkBuffers &work, const uint8_t *chain, size_t packed, uint8_t *out, size_t wanted,
                 kv5_Context *context) {
  const uint8_t *data = work.buffer[0].get();
  size_t dataLength = packed;
  int which = 0;
  for (int entry = 15; entry >= 0; --entry) {
    if (dataLength == 0) return false;
    unsigned id = chain[entry];
    if (id == 0) continue;
    if (!trvc_IsKnownCodec(id)) {
      kv5_AppendMessage(context, "Invalid TRVC codec ID in block\n");
      break;
    }
    uint8_t *target = work.buffer[1 - which].get();
    size_t produced = trvc_Decode(id, target, work.capacity, data, dataLength, true);
    if (produced == 0) {
      kv5_AppendMessage(context, "Invalid/corrupt data in block (TRVC returned zero bytes)\n");
      return true;
    }
    data = target;
    dataLength = std::min(produced, work.capacity);
    which = 1 - which;
  }
  std::memcpy(out, data, std::min(dataLength, wanted));
  return true;
}

}  // namespace

int trvc_ReadStream(uint8_t *dest, size_t length, kv5_Stream *file, kv5_Context *context, int64_t fileSize) {
  if (length < 1) return 1;
  WorkBuffers work;  // released on every way out
  auto fail = [&](const char *text) {
    if (text != nullptr) kv5_AppendMessage(context, text);
    kv5_SetFailed(context);
    return 0;
  };

  size_t remaining = length;
  size_t at = 0;
  for (;;) {
    if (context->progress != nullptr && fileSize > 0) {
      int64_t position = std::max<int64_t>(file->position(), 0);
      if (!kv5_ReportProgress(context,
                              progressValue(static_cast<double>(position) / static_cast<double>(fileSize)))) {
        return 0;
      }
    }

    uint8_t chunk[trvc_ChunkHeaderSize];
    if (file->read(chunk, sizeof(chunk)) != sizeof(chunk)) return fail(kReadError);
    uint8_t tag = chunk[0];
    uint32_t chunkLength = load32(chunk + 4);
    if (tag == 0 || tag == 1 || tag == 3 || tag == 255) {
      // A record or the end: leave it for the container reader.
      file->seek(-static_cast<int64_t>(sizeof(chunk)), kv5_SeekFrom::current);
      return fail("Datastream ended prematurely\n");
    }
    if (tag != trvc_ChunkTagDataBlock) {
      if (chunkLength == 0) return fail("Zero size while skipping unexpected tag\n");
      if (!file->seek(chunkLength, kv5_SeekFrom::current)) return fail(kReadError);
      continue;
    }

    uint8_t header[trvc_BlockHeaderSize] = {};
    size_t headerBytes = std::min<size_t>(chunkLength, sizeof(header));
    if (file->read(header, headerBytes) != headerBytes) return fail(kReadError);
    uint32_t packed = load32(header + 4);
    uint32_t unpacked = load32(header + 8);
    uint32_t flags = load32(header + 12);
    const uint8_t *chain = header + 16;
    // Whatever the header holds beyond its 32 bytes is skipped; the data
    // then ends where the chunk ends.
    int64_t skip = static_cast<int64_t>(chunkLength) - packed - static_cast<int64_t>(headerBytes);
    if (skip != 0 && !file->seek(skip, kv5_SeekFrom::current)) return fail(kReadError);

    // Sized by what the block states, so that a block decoding to more than
    // the stream still needs decodes whole (the copy below takes what fits).
    // A damaged header must not ask for gigabytes: beyond what the stream
    // needs, a block may state at most 16 MiB.
    if (unpacked > remaining && unpacked > trvc_MaxStatedBlock) return fail(kReadError);
    if (!work.ensure(unpacked)) {
      kv5_AppendMessage(context, "Out of memory for TRVC decompression\n");
      context->outOfMemory = true;
      return fail(nullptr);
    }
    if (packed > work.capacity + 4096) return fail(kReadError);
    static constexpr uint8_t kNoCodec[16] = {};
    if (packed != 0 && std::memcmp(chain, kNoCodec, 16) == 0) {
      // Stored as it is: straight into place, no trip through a work buffer.
      size_t direct = std::min({static_cast<size_t>(packed), static_cast<size_t>(unpacked), remaining});
      if (file->read(dest + at, direct) != direct) return fail(kReadError);
      size_t rest = packed - direct;
      if (rest != 0 && file->read(work.buffer[0].get(), rest) != rest) return fail(kReadError);
    } else {
      if (file->read(work.buffer[0].get(), packed) != packed) return fail(kReadError);
      if (!decodeChain(work, chain, packed, dest + at, std::min<size_t>(unpacked, remaining), context))
        return fail("Invalid TRVC input data for block\n");
    }

    if (unpacked >= remaining) return 1;
    at += unpacked;
    remaining -= unpacked;
    if (flags & trvc_BlockFlagLast) {
      kv5_AppendMessage(context, "Unexpected end of data marker in block\n");
      return 1;
    }
  }
}
