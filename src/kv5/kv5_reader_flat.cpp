// Flat documents of versions 2, 1 and 0: one image in one compressed stream
// whose codec chain stands in the header. Version 2 stores planes (or
// palette indices), versions 1 and 0 a sequence of 16 x 16 tiles.
#include <algorithm>
#include <cstring>
#include <memory>

#include "kv5/kv5_password.h"
#include "kv5/kv5_read_common.h"
#include "kv5/kv5_reader.h"
#include "kv5/trvc_codecs.h"
#include "platform/os.h"

namespace {

constexpr uint32_t kMaxData = 0x10000000;
// The most pixels the engine gives one surface.
constexpr uint64_t kMaxPixels = 250000000;
constexpr uint8_t kPasswordStage = 255;
constexpr const char *kProcessingFailed = "Processing failed\n";

struct FreeDeleter {
  void operator()(uint8_t *p) const { std::free(p); }
};
using Buffer = std::unique_ptr<uint8_t, FreeDeleter>;

Buffer allocate(size_t bytes) {
  if (os_FaultDue(os_FaultKind::allocation)) return nullptr;
  return Buffer(static_cast<uint8_t *>(std::calloc(bytes, 1)));
}

struct Flat {
  kv5_ReadCall call;
  uint8_t header[52] = {};
  uint32_t headerSize = 0;
  int version = 0;
  uint16_t width = 0, height = 0;
  Buffer input, work[2];
  size_t capacity = 0;
  const uint8_t *data = nullptr;  // the decoded stream
  size_t dataLength = 0;
};

int32_t fail(Flat *flat, const char *text, const char *then = nullptr) {
  if (text != nullptr) kv5_AppendMessage(&flat->call.context, text);
  if (then != nullptr) kv5_AppendMessage(&flat->call.context, then);
  kv5_SetFailed(&flat->call.context);
  return 0;
}

// Reads the header; false (messages appended) when it is not one of
// `version` (2) or versions 1 and 0 (`version` 1).
bool readHeader(Flat *flat, const char16_t *path, int version, size_t maxHeader) {
  kv5_ReadCall *call = &flat->call;
  const char *then = version == 2 ? "File reading failed\n" : nullptr;
  if (!kv5_CallOpen(call, path)) return false;
  size_t got = kv5_ReadAt(call, 0, flat->header, maxHeader);
  if (got < 12) return fail(flat, kv5_TextRead, then);
  flat->headerSize = kv5_Load32(flat->header + 4);
  if (flat->headerSize < 24 || got < std::min<size_t>(flat->headerSize, maxHeader))
    return fail(flat, kv5_TextHeaderSize, then);
  std::fill(flat->header + std::min<size_t>(flat->headerSize, maxHeader), flat->header + sizeof flat->header, 0);
  if (kv5_Load32(flat->header) != kv5_Magic) return fail(flat, kv5_TextMagic, then);
  uint32_t v = kv5_Load32(flat->header + 8) >> 16;
  if (version == 2 ? v != 2 : v > 1) return fail(flat, kv5_TextVersion, then);
  flat->version = static_cast<int>(v);
  flat->width = kv5_Load16(flat->header + 12);
  flat->height = kv5_Load16(flat->header + 14);
  return true;
}

// Reads the compressed stream and runs the chain over it. 1 decoded, 0
// failed, -1 no password was given for a password stage (the caller
// reports it).
int decodeChain(Flat *flat, int64_t offset, uint32_t length, const uint8_t *chain, size_t capacity) {
  kv5_ReadCall *call = &flat->call;
  uint64_t pixels = uint64_t{flat->width} * flat->height;
  if (pixels < 1 || pixels > kMaxPixels) return fail(flat, "Image too big for graphics engine\n", kProcessingFailed);
  if (length == 0) length = static_cast<uint32_t>(std::clamp<int64_t>(call->fileSize - offset, 0, kMaxData + 1LL));
  if (length > kMaxData) return fail(flat, "Requested data buffer size is too large\n");
  Buffer &input = flat->input;
  input = allocate(size_t{length} + 16);
  flat->work[0] = allocate(capacity + 16);
  flat->work[1] = allocate(capacity + 16);
  if (!input || !flat->work[0] || !flat->work[1]) {
    call->context.outOfMemory = true;
    return fail(flat, "Out of memory for pixel data buffer\n", kProcessingFailed);
  }
  size_t got = kv5_ReadAt(call, offset, input.get(), length);
  if (got == 0) return fail(flat, kv5_TextOpen);
  flat->capacity = capacity;

  const uint8_t *data = input.get();
  size_t dataLength = got;
  int which = 0;
  for (int entry = 15; entry >= 0; --entry) {
    unsigned id = chain[entry];
    if (id == 0) continue;
    if (id == kPasswordStage) {
      // A damaged stage fails like a codec; a quiet request cannot ask.
      if (kv5_StageIsDamaged(data, dataLength)) return fail(flat, kProcessingFailed);
      if (call->options->quiet) return -1;
      uint8_t *target = flat->work[1 - which].get();
      int64_t plain = kv5_DecipherStage(target, capacity, data, dataLength, call->options->ownerWindow);
      if (plain == 0) return -1;
      if (plain < 0) return fail(flat, kProcessingFailed);
      data = target;
      dataLength = static_cast<size_t>(plain);
      which = 1 - which;
      continue;
    }
    bool known = flat->version == 2 ? (id <= 3 || id == 19 || id == 35) : (id <= 3 || id == 5 || id == 19 || id == 35);
    if (!known) {
      if (flat->version != 2) continue;  // older files skip what they do not know
      return fail(flat, "Invalid TRVC codec ID in block\n", kProcessingFailed);
    }
    uint8_t *target = flat->work[1 - which].get();
    bool twoReadings = flat->version == 2 && id <= 2;
    size_t produced = trvc_Decode(id, target, capacity, data, dataLength, twoReadings);
    if (produced == 0 && twoReadings) produced = trvc_Decode(id, target, capacity, data, dataLength, false);
    if (produced == 0)
      return fail(flat, "Invalid/corrupt data in block (TRVC returned zero bytes)\n", kProcessingFailed);
    data = target;
    dataLength = std::min(produced, capacity);
    which = 1 - which;
  }
  flat->data = data;
  flat->dataLength = dataLength;
  return 1;
}

// No password: the placeholder frames in place of the image.
int32_t passwordProtected(Flat *flat, rx_LayerEntry *layers, const char *text) {
  flat->input.reset(), flat->work[0].reset(), flat->work[1].reset();
  flat->call.options->passwordProtected = 1;
  kv5_AppendMessage(&flat->call.context, text);
  return kv5_MakePasswordPlaceholder(layers, flat->call.options, flat->width, flat->height);
}

// The one entry of a flat file, locked for writing. Null (messages
// appended) when the surface cannot be made or locked.
rx_LayerEntry *beginImage(Flat *flat, rx_LayerEntry *layers) {
  rx_LayerEntry *entry = &layers[0];
  rx_LayerEntryRelease(entry);
  if (!kv5_CreateSurface(&flat->call, entry, flat->width, flat->height)) {
    fail(flat, "Image too big for graphics engine\n", kProcessingFailed);
    return nullptr;
  }
  if (rx_SurfaceLock(&entry->surface, rx_LockExclusive) == 0) {
    fail(flat, "Image locking failed\n", kProcessingFailed);
    rx_LayerEntryRelease(entry);
    return nullptr;
  }
  LoadSaveOptions *options = flat->call.options;
  kv5_SetDocumentKind(options, 1, 0);
  kv5_SetFormatDescription(options, flat->version, kv5_Load32(flat->header + 8) & 0xFFFF, "");
  options->layerCount = 1;
  options->sourceWidth = flat->width;
  options->sourceHeight = flat->height;
  return entry;
}

int32_t finish(Flat *flat, int32_t result) {
  kv5_CallClose(&flat->call);
  kv5_CallPublish(&flat->call);
  return result;
}

// Plane k gives byte k of each pixel (at most four planes); grey copies its
// byte to the three colour bytes; a palette image looks its bytes up.
void combineV2(Flat *flat, rx_Surface *surface, int format, int channels, const uint32_t *palette) {
  const size_t w = flat->width, plane = w * flat->height;
  const int planes = format == 2 ? 1 : std::min(channels, 4);
  // Past the data every plane is absent: the pixels are 0 (or palette
  // entry 0), so the zeroed surface needs no work there.
  const size_t covered = format == 2 && palette[0] != 0 ? plane : std::min(plane, flat->dataLength);
  for (size_t y = 0; y < flat->height && y * w < covered; ++y) {
    uint32_t *row = surface->bits + y * surface->stride;
    for (size_t x = 0; x < w; ++x) {
      size_t at = y * w + x;
      uint32_t pixel = 0;
      for (int k = 0; k < planes; ++k) {
        size_t offset = k * plane + at;
        if (offset < flat->dataLength) pixel |= uint32_t{flat->data[offset]} << (8 * k);
      }
      if (format == 1) pixel = (pixel & 0xFF000000u) | (pixel & 0xFF) * 0x010101u;
      if (format == 2) pixel = palette[pixel & 0xFF];
      row[x] = pixel;
    }
  }
}

// Version-1/0 tiles. The stored pixels carry red in byte 0 and blue in
// byte 2.
struct TileReader {
  const uint8_t *data;
  size_t length;
  size_t at = 0;
  uint32_t palette[256] = {};
  uint32_t previous[256] = {};

  bool take(size_t count, const uint8_t **out) {
    if (length - at < count) return false;
    *out = data + at;
    at += count;
    return true;
  }

  // One tile into `tile` (row-major 16 x 16); false when the data ends.
  bool next(uint32_t tile[256]) {
    const uint8_t *p;
    if (!take(1, &p)) return false;
    uint8_t c = *p;
    int channels = (c & 3) + 1;
    if ((c & 0x80) && !take(1, &p)) return false;
    uint32_t stored[256] = {};
    switch ((c >> 3) & 3) {
      case 0:  // grey: the first plane counts, the others are skipped
        if (!take(size_t{256} * channels, &p)) return false;
        for (int i = 0; i < 256; ++i) stored[i] = p[i] * 0x010101u;
        break;
      case 1:  // planar
        if (!take(size_t{256} * channels, &p)) return false;
        for (int k = 0; k < std::min(channels, 4); ++k)
          for (int i = 0; i < 256; ++i) stored[i] |= uint32_t{p[k * 256 + i]} << (8 * k);
        break;
      case 3: {  // palette: indices, then (part of) the palette
        const uint8_t *indices, *count, *start = nullptr;
        if (!take(256, &indices) || !take(1, &count) || ((c & 0x20) && !take(1, &start))) return false;
        size_t first = start != nullptr ? *start : 0;
        size_t entries = (c & 0x20) ? *count : *count + 1u;
        if (!take(entries * channels, &p)) return false;
        for (size_t e = 0; e < entries && first + e < 256; ++e) {
          uint32_t value = 0;
          for (int k = 0; k < std::min(channels, 4); ++k) value |= uint32_t{p[k * entries + e]} << (8 * k);
          palette[first + e] = value;
        }
        for (int i = 0; i < 256; ++i) stored[i] = palette[indices[i]];
        break;
      }
      default:  // repeat
        std::memcpy(tile, previous, sizeof previous);
        return true;
    }
    for (int i = 0; i < 256; ++i) {
      int target = i;
      if (c & 0x40) {  // two-row bands, alternately top-first and bottom-first
        int band = i / 32, col = (i % 32) / 2;
        int r = col % 2 == 0 ? i % 2 : 1 - i % 2;
        target = (2 * band + r) * 16 + col;
      }
      uint32_t v = stored[i];
      tile[target] = (v & 0xFF00FF00u) | (v & 0xFF) << 16 | (v >> 16 & 0xFF);
    }
    std::memcpy(previous, tile, sizeof previous);
    return true;
  }
};

}  // namespace

int32_t kv5_ReadFlatV2(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path) {
  if (options == nullptr || layers == nullptr) return 0;
  Flat flat;
  kv5_CallBegin(&flat.call, options);
  if (!readHeader(&flat, path, 2, 52)) return finish(&flat, 0);
  const uint8_t *h = flat.header;
  int format = h[16] & 15;
  int channels = h[18] == 0 ? 3 : h[18];
  if (h[17] != 0) return finish(&flat, fail(&flat, kv5_TextPreCodec, kProcessingFailed));
  if (format > 2) return finish(&flat, fail(&flat, "Unknown pixel format, KV5 data not valid\n", kProcessingFailed));
  int64_t offset = std::max(kv5_Load32(h + 20), flat.headerSize);
  size_t capacity = size_t(std::min(channels, 4) + 1) * flat.width * flat.height + 12;
  int chain = decodeChain(&flat, offset, kv5_Load32(h + 24), h + 28, capacity);
  if (chain < 0) return finish(&flat, passwordProtected(&flat, layers, "The file is password-protected\n"));
  if (chain == 0) return finish(&flat, 0);

  uint32_t palette[256] = {};
  if (format == 2) {
    uint8_t count[4];
    int64_t at = kv5_Load32(h + 44);
    if (at != 0 && kv5_ReadAt(&flat.call, at, count, 4) == 4) {
      size_t entries = std::min<size_t>(kv5_Load16(count), 256);
      uint8_t bytes[1024];
      size_t got = kv5_ReadAt(&flat.call, at + 4, bytes, entries * 4) / 4;  // cut at the file's end
      for (size_t i = 0; i < got; ++i) palette[i] = kv5_Load32(bytes + 4 * i);
    }
  }
  rx_LayerEntry *entry = beginImage(&flat, layers);
  if (entry == nullptr) return finish(&flat, 0);
  combineV2(&flat, &entry->surface, format, channels, palette);
  rx_SurfaceUnlock(&entry->surface, rx_LockExclusive);
  return finish(&flat, 1);
}

int32_t kv5_ReadFlatV1(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path) {
  if (options == nullptr || layers == nullptr) return 0;
  Flat flat;
  kv5_CallBegin(&flat.call, options);
  if (!readHeader(&flat, path, 1, 40)) return finish(&flat, 0);
  const uint8_t *h = flat.header;
  uint32_t offset = kv5_Load32(h + 16);
  if (offset > 1024 || offset < flat.headerSize) offset = flat.headerSize;
  int chain = decodeChain(&flat, offset, kv5_Load32(h + 20), h + 24, size_t{5} * flat.width * flat.height);
  if (chain < 0) return finish(&flat, passwordProtected(&flat, layers, "The file is password-protected"));
  if (chain == 0) return finish(&flat, 0);

  rx_LayerEntry *entry = beginImage(&flat, layers);
  if (entry == nullptr) return finish(&flat, 0);
  rx_Surface *surface = &entry->surface;
  auto reader = std::make_unique<TileReader>();
  reader->data = flat.data;
  reader->length = flat.dataLength;
  bool complete = true;
  for (uint32_t top = 0; top < flat.height && complete; top += 16) {
    for (uint32_t left = 0; left < flat.width; left += 16) {
      uint32_t tile[256];
      if (!reader->next(tile)) {
        complete = false;
        break;
      }
      uint32_t rows = std::min<uint32_t>(16, flat.height - top), cols = std::min<uint32_t>(16, flat.width - left);
      for (uint32_t r = 0; r < rows; ++r)
        std::memcpy(surface->bits + size_t{top + r} * surface->stride + left, tile + r * 16, cols * 4);
    }
  }
  rx_SurfaceUnlock(surface, rx_LockExclusive);
  if (!complete) {
    rx_LayerEntryRelease(entry);
    return finish(&flat, fail(&flat, "Rendering failed\n"));
  }
  return finish(&flat, 1);
}
