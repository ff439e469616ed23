// Version-3 documents: layered like version 4, with 4-byte chunk headers
// (tag, reserved, 16-bit length that counts the header), 96-byte layer
// records and 28-byte data block headers.
#include <algorithm>
#include <cstring>
#include <memory>

#include "kv5/kv5_read_common.h"
#include "kv5/kv5_reader.h"
#include "kv5/trvc_codecs.h"
#include "platform/os.h"

namespace {

constexpr size_t kRecordSize = 96;
constexpr size_t kBlockHeaderSize = 28;
// A block may state at most this many bytes beyond what the layer still
// needs, so that a damaged header cannot ask for gigabytes.
constexpr uint32_t kMaxStatedBlock = 1u << 24;

struct FreeDeleter {
  void operator()(uint8_t *p) const { std::free(p); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

uint32_t chunkLength(const uint8_t *chunk) { return std::max<uint32_t>(kv5_Load16(chunk + 2), 4); }

int32_t progressValue(int64_t position, int64_t size) {
  return static_cast<int32_t>(static_cast<double>(position) / static_cast<double>(size) * 99000.0 + 0.5);
}

// Reads the data blocks from `at` into `dest` (room for `capacity` bytes)
// until a chunk that is not a data block follows one, or the file ends.
// False when the layer fails: a codec result of 0, no memory, cancelled.
bool readStream(kv5_ReadCall *call, int64_t at, uint8_t *dest, size_t capacity) {
  kv5_Context *context = &call->context;
  Buffer work[2];
  size_t workCapacity = 0;
  size_t filled = 0;
  bool seenBlock = false;
  for (;;) {
    if (call->fileSize > 0 && !kv5_ReportProgress(context, progressValue(at, call->fileSize))) return false;
    uint8_t header[kBlockHeaderSize] = {};
    if (kv5_ReadAt(call, at, header, 4) < 4) return true;
    uint32_t length = chunkLength(header);
    int64_t chunkStart = at;
    at += length;
    if (header[0] != 2) {
      // A layer record never belongs to a stream: it starts the next layer.
      if (seenBlock || header[0] == 1) return true;
      continue;
    }
    seenBlock = true;
    size_t take = std::min<size_t>(length, kBlockHeaderSize);
    if (kv5_ReadAt(call, chunkStart, header, take) < take) return true;
    uint32_t packed = std::min<uint32_t>(kv5_Load32(header + 4), length > take ? length - take : 0);
    uint32_t unpacked = kv5_Load32(header + 8);
    size_t room = capacity - filled;
    if (unpacked > room && unpacked - room > kMaxStatedBlock) unpacked = static_cast<uint32_t>(room) + kMaxStatedBlock;
    if (workCapacity < size_t{unpacked} + 4096 || workCapacity < packed) {
      workCapacity = ((std::max<size_t>(unpacked, packed) + 3) & ~size_t{3}) + 65536;
      for (auto &buffer : work) {
        buffer.reset(os_FaultDue(os_FaultKind::allocation) ? nullptr
                                                           : static_cast<uint8_t *>(std::calloc(workCapacity + 4096, 1)));
        if (!buffer) {
          kv5_AppendMessage(context, "Out of memory for TRVC decompression\n");
          context->outOfMemory = true;
          kv5_SetFailed(context);
          return false;
        }
      }
    }
    if (kv5_ReadAt(call, chunkStart + static_cast<int64_t>(take), work[0].get(), packed) < packed) return true;

    const uint8_t *data = work[0].get();
    size_t dataLength = packed;
    int which = 0;
    bool endStream = false;
    for (int entry = 15; entry >= 0; --entry) {
      unsigned id = header[12 + entry];
      if (id == 0) continue;
      if (!trvc_IsKnownCodec(id)) {
        kv5_AppendMessage(context, "Invalid TRVC codec ID in block\n");
        endStream = true;
        break;
      }
      uint8_t *target = work[1 - which].get();
      size_t produced = dataLength == 0 ? 0 : trvc_Decode(id, target, workCapacity, data, dataLength, true);
      if (produced == 0) {
        kv5_AppendMessage(context, "Invalid/corrupt data in block (TRVC returned zero bytes)\n");
        kv5_SetFailed(context);
        return false;
      }
      data = target;
      dataLength = std::min(produced, workCapacity);
      which = 1 - which;
    }
    size_t copy = std::min({dataLength, size_t{unpacked}, room});
    std::memcpy(dest + filled, data, copy);
    filled += std::min<size_t>(unpacked, room);
    if (endStream || filled >= capacity) return true;
  }
}

}  // namespace

int32_t kv5_ReadV3(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path) {
  if (options == nullptr) return 0;
  kv5_ReadCall call;
  kv5_CallBegin(&call, options);
  if (layers == nullptr) {
    kv5_AppendMessage(&call.context, "The layer buffer is invalid\n");
    kv5_CallPublish(&call);
    return 0;
  }
  if (!kv5_CallOpen(&call, path)) {
    kv5_CallPublish(&call);
    return 0;
  }
  auto finish = [&](int32_t result) {
    kv5_CallClose(&call);
    kv5_CallPublish(&call);
    return result;
  };
  uint8_t header[16] = {};
  if (kv5_ReadAt(&call, 0, header, 12) < 12) {
    kv5_AppendMessage(&call.context, kv5_TextHeaderSize);
    return finish(0);
  }
  if (kv5_Load32(header) != kv5_Magic) {
    kv5_AppendMessage(&call.context, kv5_TextMagic);
    if (kv5_ExtensionKind(path) == 1) kv5_AppendMessage(&call.context, kv5_TextExtension);
    return finish(0);
  }
  uint32_t versionWord = kv5_Load32(header + 8);
  if (versionWord >> 16 != 3) {
    kv5_AppendMessage(&call.context, kv5_TextVersion);
    return finish(0);
  }
  uint32_t headerSize = kv5_Load32(header + 4);
  size_t want = std::min<size_t>(headerSize, sizeof header);
  std::memset(header + 12, 0, 4);
  if (kv5_ReadAt(&call, 0, header, want) < want) {
    kv5_AppendMessage(&call.context, kv5_TextHeaderSize);
    return finish(0);
  }
  uint8_t typeCode = header[12];
  uint32_t revision = versionWord & 0xFFFF;
  kv5_SetDocumentKind(options, typeCode, header[13]);
  kv5_SetFormatDescription(options, 3, static_cast<int>(revision), versionWord <= 0x0003000A ? " (ANSI)" : "");

  int32_t filled = 0;
  uint32_t records = 0, firstWidth = 0, firstHeight = 0, maxWidth = 0, maxHeight = 0;
  for (int64_t at = headerSize; !call.context.cancelled;) {
    uint8_t record[kRecordSize] = {};
    if (kv5_ReadAt(&call, at, record, 4) < 4) break;
    uint32_t length = chunkLength(record);
    int64_t start = at;
    at += length;
    if (record[0] != 1) continue;
    size_t take = std::min<size_t>(length, kRecordSize);
    if (kv5_ReadAt(&call, start, record, take) < take) break;
    uint16_t width = kv5_Load16(record + 8), height = kv5_Load16(record + 10);
    if (records++ == 0) firstWidth = width, firstHeight = height;
    maxWidth = std::max<uint32_t>(maxWidth, width);
    maxHeight = std::max<uint32_t>(maxHeight, height);
    if (filled >= kv5_MaxEntries) {
      call.flags |= kDocTooManyLayers;
      continue;
    }

    rx_LayerEntry *entry = &layers[filled];
    rx_LayerEntryRelease(entry);
    entry->x = static_cast<int16_t>(kv5_Load16(record + 4));
    entry->y = static_cast<int16_t>(kv5_Load16(record + 6));
    entry->flags = kv5_Load16(record + 16);
    entry->frame = typeCode == 2 ? kv5_Load16(record + 18) : 0;
    entry->attributeA = record[92];
    entry->attributeB = record[93];
    if (revision >= 11) {
      char16_t name[32];
      for (size_t i = 0; i < 32; ++i) name[i] = kv5_Load16(record + 20 + 2 * i);
      kv5_SetName(entry, name, 32);
    } else {
      std::u16string name = os_AnsiToUtf16(reinterpret_cast<const char *>(record + 20), 62);
      kv5_SetName(entry, name.c_str(), name.size());
    }
    int32_t number = filled + 1;
    if (!kv5_CreateSurface(&call, entry, width, height)) {
      kv5_SetFailed(&call.context);
      kv5_AppendMessageF(&call.context, "Error creating target bitmap (%ix%i) for layer #%i\n", width, height,
                         number);
      rx_LayerEntryRelease(entry);
      continue;
    }
    filled = number;

    int format = record[12], channels = record[13];
    uint32_t propertiesLength = kv5_Load32(record + 84);
    uint32_t pixelLength = kv5_Load32(record + 88);
    // The planes a format can use bound the buffer, whatever the channel
    // byte claims; the stated pixel length must fit it.
    uint64_t geometry = uint64_t{std::min(channels, 4) * 1u} * width * height + (format == 2 ? 1024 : 0);
    uint64_t bytes = geometry + propertiesLength + 4096;
    if (pixelLength > geometry + 4096 || propertiesLength > (1u << 26)) {
      kv5_AppendMessage(&call.context, "Datastream ended prematurely\n");
      kv5_SetFailed(&call.context);
      call.context.layerError = true;
      continue;
    }
    // Zeroed: a stream that ends early leaves the rest of the layer empty.
    auto *buffer = static_cast<uint8_t *>(kv5_AllocateRetry(static_cast<size_t>(bytes), true));
    if (buffer == nullptr) {
      kv5_AppendMessage(&call.context, "Out of memory for pixel data buffer\n");
      kv5_SetFailed(&call.context);
      call.context.outOfMemory = true;
      continue;
    }
    if (!readStream(&call, at, buffer, static_cast<size_t>(bytes - 4096))) {
      call.context.layerError = true;
    } else if (kv5_UnpackInto(&call, entry, format, channels, buffer, pixelLength, "layer", number) >= 0 &&
               propertiesLength != 0) {
      kv5_AttachProperties(&call, entry, buffer + pixelLength, propertiesLength, versionWord);
    }
    GlobalFree(buffer);
  }
  options->layerCount = records;
  options->sourceWidth = typeCode == 3 ? maxWidth : firstWidth;
  options->sourceHeight = typeCode == 3 ? maxHeight : firstHeight;
  if (options->progress != nullptr) options->progress(0, 0, options->progressUser);
  return finish(filled);
}
