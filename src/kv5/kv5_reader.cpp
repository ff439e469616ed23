// The version-4 document reader and the hand-over to the older readers.
#include "kv5/kv5_reader.h"

#include <algorithm>
#include <cstring>

#include "kv5/kv5_read_common.h"
#include "kv5/trvc_codecs.h"
#include "kv5/trvc_stream.h"
#include "platform/os.h"
#include "platform/os_memory_probe.h"

namespace {

constexpr size_t kHeaderSize = 32;
constexpr size_t kRecordSize = 128;
constexpr size_t kThumbRecordSize = 32;
constexpr uint32_t kNewestRevision = 11;
// Each data block takes at least its chunk and block headers in the file
// and carries at most one piece of the stream.
constexpr uint64_t kBlockFileBytes = trvc_ChunkHeaderSize + trvc_BlockHeaderSize;

void showDecoderError(const LoadSaveOptions *options) {
  if (options->quiet || options->message[0] == 0 || !(options->documentFlags & kDocFileIsKv5)) return;
  os_ShowNotice(options->ownerWindow, options->message, u"KV5 Decoder Error", os_NoticeIconWarning);
}

// Byte-wise addition modulo 256 of four bytes at once.
inline uint32_t addBytes(uint32_t a, uint32_t b) {
  return ((a & 0x7F7F7F7Fu) + (b & 0x7F7F7F7Fu)) ^ ((a ^ b) & 0x80808080u);
}

void applyPreprocessing(rx_LayerEntry *entry, rx_LayerEntry *reference, int codec) {
  rx_Surface *dst = &entry->surface;
  rx_Surface *src = &reference->surface;
  if (rx_SurfaceLock(dst, rx_LockExclusive) == 0) return;
  if (rx_SurfaceLock(src, 0) == 0) {
    rx_SurfaceUnlock(dst, rx_LockExclusive);
    return;
  }
  if (dst->width == src->width && dst->height == src->height) {
    for (uint32_t y = 0; y < dst->height; ++y) {
      uint32_t *d = dst->bits + size_t{y} * dst->stride;
      const uint32_t *s = src->bits + size_t{y} * src->stride;
      if (codec == 1) {
        std::memcpy(d, s, size_t{dst->width} * 4);
      } else {
        for (uint32_t x = 0; x < dst->width; ++x) d[x] = addBytes(d[x], s[x]);
      }
    }
  }
  rx_SurfaceUnlock(src, 0);
  rx_SurfaceUnlock(dst, rx_LockExclusive);
}

struct Walk {
  kv5_ReadCall *call;
  rx_LayerEntry *layers;
  uint32_t versionWord;
  uint8_t typeCode;
  int32_t filled = 0;
};

// Reads and unpacks one stream that follows a record at `streamStart` into
// entry `index`, whose surface exists. `pixelLength` + `propertiesLength`
// bytes; the properties only for layers. False when the walk should skip
// the rest of this layer (no buffer, stream unreadable, surface unlockable).
bool decodeStream(Walk *walk, rx_LayerEntry *entry, int64_t streamStart, int format, int channels,
                  uint64_t pixelLength, uint64_t propertiesLength, const char *what) {
  kv5_ReadCall *call = walk->call;
  kv5_Context *context = &call->context;
  uint64_t length = pixelLength + propertiesLength;
  // A stream needs a data block of at least 40 file bytes per 64 KiB: a
  // record that states more than the rest of the file can hold is damaged,
  // and nothing is allocated for it.
  uint64_t blocks = (length + trvc_PieceSize - 1) / trvc_PieceSize;
  uint64_t rest = call->fileSize > streamStart ? static_cast<uint64_t>(call->fileSize - streamStart) : 0;
  if (blocks > rest / kBlockFileBytes || length > SIZE_MAX - 4096) {
    kv5_AppendMessage(context, "Datastream ended prematurely\n");
    kv5_SetFailed(context);
    context->layerError = true;
    return false;
  }
  auto *buffer = static_cast<uint8_t *>(kv5_AllocateRetry(static_cast<size_t>(length) + 4096));
  if (buffer == nullptr) {
    kv5_AppendMessage(context, "Out of memory for pixel data buffer\n");
    kv5_SetFailed(context);
    context->outOfMemory = true;
    return false;
  }
  os_AdviseBulkFill(buffer, static_cast<size_t>(length));
  kv5_FileStream stream(call->file);
  bool read = stream.seek(streamStart, kv5_SeekFrom::begin) &&
              trvc_ReadStream(buffer, static_cast<size_t>(length), &stream, context, call->fileSize) != 0;
  bool locked = false;
  if (!read) {
    context->layerError = true;
  } else {
    locked = kv5_UnpackInto(call, entry, format, channels, buffer, static_cast<size_t>(pixelLength), what,
                            walk->filled) >= 0;
    if (locked && propertiesLength != 0)
      kv5_AttachProperties(call, entry, buffer + pixelLength, static_cast<uint32_t>(propertiesLength),
                           walk->versionWord);
  }
  GlobalFree(buffer);
  return locked;
}

void decodeLayer(Walk *walk, const uint8_t *record, int64_t streamStart) {
  kv5_ReadCall *call = walk->call;
  rx_LayerEntry *entry = &walk->layers[walk->filled];
  rx_LayerEntryRelease(entry);
  entry->x = static_cast<int32_t>(kv5_Load32(record + 8));
  entry->y = static_cast<int32_t>(kv5_Load32(record + 12));
  entry->flags = kv5_Load16(record + 40);
  entry->frame = walk->typeCode == 2 ? kv5_Load16(record + 42) : 0;
  entry->attributeA = record[44];
  entry->attributeB = record[45];
  char16_t name[32];
  for (size_t i = 0; i < 32; ++i) name[i] = kv5_Load16(record + 64 + 2 * i);
  kv5_SetName(entry, name, 32);

  uint32_t width = kv5_Load32(record + 16), height = kv5_Load32(record + 20);
  int32_t number = walk->filled + 1;
  if (!kv5_CreateSurface(call, entry, width, height)) {
    kv5_SetFailed(&call->context);
    kv5_AppendMessageF(&call->context, "Error creating target bitmap (%ix%i) for layer #%i\n",
                       static_cast<int32_t>(width), static_cast<int32_t>(height), number);
    rx_LayerEntryRelease(entry);
    return;
  }
  walk->filled = number;
  if (!decodeStream(walk, entry, streamStart, record[24], record[25], kv5_Load32(record + 32),
                    kv5_Load32(record + 36), "layer"))
    return;

  int codec = record[26];
  if (codec == 1 || codec == 2) {
    int32_t reference = walk->filled - 1 - record[27] - 1;
    if (reference >= 0) applyPreprocessing(entry, &walk->layers[reference], codec);
  } else if (codec != 0) {
    kv5_SetFailed(&call->context);
    call->context.layerError = true;
    kv5_AppendMessage(&call->context, kv5_TextPreCodec);
  }
}

bool decodeThumbnail(Walk *walk, const uint8_t *record, int64_t streamStart) {
  kv5_ReadCall *call = walk->call;
  rx_LayerEntry *entry = &walk->layers[walk->filled];
  rx_LayerEntryRelease(entry);
  entry->flags = rx_LayerPreview;
  kv5_SetName(entry, u"Thumbnail", 9);
  uint16_t width = kv5_Load16(record + 8), height = kv5_Load16(record + 10);
  int32_t number = walk->filled + 1;
  if (!kv5_CreateSurface(call, entry, width, height)) {
    kv5_SetFailed(&call->context);
    kv5_AppendMessageF(&call->context, "Error creating target bitmap (%ix%i) for thumbnail #%i\n", width, height,
                       number);
    rx_LayerEntryRelease(entry);
    return false;
  }
  walk->filled = number;
  call->flags |= kDocThumbnailLoaded;
  decodeStream(walk, entry, streamStart, record[12], record[13], kv5_Load32(record + 16), 0, "thumbnail");
  return true;
}

// The older readers, in order; the first that fills entries wins.
int32_t readLegacy(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path) {
  int32_t result = kv5_ReadV3(layers, options, path);
  if (result == 0) result = kv5_ReadFlatV2(layers, options, path);
  if (result == 0) result = kv5_ReadFlatV1(layers, options, path);
  if (result != 0) {
    options->handled = 1;
    int extension = kv5_ExtensionKind(path);
    if (extension == 0) options->documentFlags |= kDocNoExtension, options->warnings[kWarnExtensionMissing] = 1;
    if (extension == 2) options->documentFlags |= kDocExtensionMismatch, options->warnings[kWarnExtensionMismatch] = 1;
  } else {
    showDecoderError(options);
  }
  return result;
}

}  // namespace

int32_t kv5_Read(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path) {
  if (options == nullptr) return 0;
  kv5_ReadCall call;
  kv5_CallBegin(&call, options);
  options->documentFlags = 0;
  options->passwordProtected = 0;
  options->outOfMemory = 0;
  if (layers == nullptr) {
    kv5_AppendMessage(&call.context, "The layer buffer is invalid\n");
    kv5_CallPublish(&call);
    return 0;
  }
  // Most files the loads hand over are not documents: the size is taken
  // only once the magic is there.
  if (!kv5_CallOpen(&call, path, false)) {
    kv5_CallPublish(&call);
    return 0;
  }

  uint8_t header[kHeaderSize] = {};
  Walk walk{&call, layers, 0, 0};
  uint32_t records = 0, firstWidth = 0, firstHeight = 0, maxWidth = 0, maxHeight = 0;
  bool legacy = false;
  do {  // one pass; `break` finishes with what was read
    // One read serves both header reads: the stated size decides how much
    // of it counts, and bytes beyond that are taken as 0.
    size_t got = kv5_ReadAt(&call, 0, header, kHeaderSize);
    if (got < 8) {
      kv5_AppendMessage(&call.context, kv5_TextRead);
      break;
    }
    uint32_t headerSize = kv5_Load32(header + 4);
    size_t want = std::min<size_t>(headerSize, kHeaderSize);
    std::memset(header + want, 0, kHeaderSize - want);
    if (got < want) {
      kv5_AppendMessage(&call.context, kv5_TextHeaderSize);
      legacy = true;
      break;
    }
    if (kv5_Load32(header) != kv5_Magic) {
      kv5_AppendMessage(&call.context, kv5_TextMagic);
      if (kv5_ExtensionKind(path) == 1) kv5_AppendMessage(&call.context, kv5_TextExtension);
      break;
    }
    kv5_CallTakeSize(&call);
    call.flags |= kDocFileIsKv5;
    walk.versionWord = kv5_Load32(header + 8);
    uint32_t version = walk.versionWord >> 16, revision = walk.versionWord & 0xFFFF;
    if (version < 4) {
      kv5_AppendMessage(&call.context, kv5_TextVersion);
      legacy = true;
      break;
    }
    if (version > 4) {
      kv5_SetFailed(&call.context);
      kv5_AppendMessage(&call.context, "Unsupported KV5 version (newer than version 4)\n");
      break;
    }
    if (revision > kNewestRevision && !options->quiet)
      os_ShowNotice(options->ownerWindow, u"This file was created by a newer version of the KV5 encoder.",
                    u"Version Warning", os_NoticeIconInformation);
    walk.typeCode = header[12];
    kv5_SetDocumentKind(options, header[12], header[13]);
    kv5_SetFormatDescription(options, static_cast<int>(version), static_cast<int>(revision), "");
    bool thumbnailMode =
        options->preview != 0 && ((walk.typeCode != 2 && walk.typeCode != 4) || options->thumbnailCount != 0);

    bool layerDecoded = false, thumbnailDecoded = false;
    for (int64_t at = headerSize; !call.context.cancelled;) {
      uint8_t chunk[8];
      if (kv5_ReadAt(&call, at, chunk, sizeof chunk) < sizeof chunk) break;
      uint32_t length = kv5_Load32(chunk + 4);
      int64_t next = at + 8 + length;
      int64_t payload = at + 8;
      at = next;
      if (chunk[0] == 0xFF) break;
      if (chunk[0] == 1) {
        uint8_t record[kRecordSize] = {};
        size_t take = std::min<size_t>(length, kRecordSize);
        if (kv5_ReadAt(&call, payload, record, take) < take) break;
        uint32_t width = kv5_Load32(record + 16), height = kv5_Load32(record + 20);
        if (records++ == 0) firstWidth = width, firstHeight = height;
        maxWidth = std::max(maxWidth, width);
        maxHeight = std::max(maxHeight, height);
        if (walk.filled >= kv5_MaxEntries) {
          call.flags |= kDocTooManyLayers;
          continue;
        }
        if (thumbnailMode && thumbnailDecoded) continue;
        int32_t before = walk.filled;
        decodeLayer(&walk, record, next);
        layerDecoded |= walk.filled > before;
      } else if (chunk[0] == 3) {
        uint8_t record[kThumbRecordSize] = {};
        size_t take = std::min<size_t>(length, kThumbRecordSize);
        if (kv5_ReadAt(&call, payload, record, take) < take) break;
        if (walk.filled >= kv5_MaxEntries) {
          call.flags |= kDocTooManyLayers;
          break;
        }
        if (!thumbnailMode || layerDecoded) continue;
        thumbnailDecoded |= decodeThumbnail(&walk, record, next);
      }
    }
  } while (false);

  if (legacy) {
    kv5_CallClose(&call);
    call.context.messages[0] = 0;
    kv5_CallPublish(&call);
    return readLegacy(layers, options, path);
  }
  options->layerCount = records;
  options->sourceWidth = walk.typeCode == 3 ? maxWidth : firstWidth;
  options->sourceHeight = walk.typeCode == 3 ? maxHeight : firstHeight;
  if (options->progress != nullptr) options->progress(0, 0, options->progressUser);
  kv5_CallClose(&call);
  kv5_CallPublish(&call);
  showDecoderError(options);
  return walk.filled;
}
