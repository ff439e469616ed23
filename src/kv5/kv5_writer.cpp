// The version-4 document writer: header, banner, thumbnail and layer records
// with their data blocks, end chunk.
#include "kv5/kv5_writer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "hostenv/config_record.h"
#include "kv5/kv5_read_common.h"
#include "kv5/kv5_writer_pixels.h"
#include "kv5/trvc_bits.h"
#include "kv5/trvc_stream.h"
#include "platform/os.h"
#include "raster/kernels/kernels.h"
#include "raster/layers/layers.h"

namespace {

using trvc_detail::store32;

constexpr uint32_t kVersionWord = 0x0004000B;  // version 4, revision 11
constexpr size_t kHeaderSize = 32;
constexpr size_t kRecordSize = 128;
constexpr size_t kThumbRecordSize = 32;
constexpr int32_t kThumbnailSide = 256;
constexpr uint8_t kTagLayer = 0x01, kTagThumbnail = 0x03, kTagBanner = 0xFE, kTagEnd = 0xFF;

constexpr const char *kTextCreate = "Error: Cannot open the file for writing, please check access\n";
constexpr const char *kTextWrite = "Error: Cannot write data to the file, check disk space\n";
constexpr const char *kTextLock = "Error locking source image\n";
constexpr const char *kTextMemory = "Out of memory for pixel data buffer\n";
constexpr const char *kBannerFormat =
    "\r\n Veldran's Orvine Photo 5.43.01 \r\n %.04hu-%.02hu-%.02hu %.02hu:%.02hu:%.02hu UTC \r\n";

inline void store16(uint8_t *p, uint16_t v) { std::memcpy(p, &v, 2); }

// In-memory document kind → type code; unknown kinds are written as a
// composite without option byte.
void typeCodeOf(const LoadSaveOptions *options, uint8_t *code, uint8_t *option) {
  static constexpr uint8_t kCodes[4] = {1, 3, 2, 4};
  bool known = options->documentKind < 4;
  *code = known ? kCodes[options->documentKind] : 1;
  *option = known ? options->documentSubKind : 0;
}

struct Job {
  kv5_ReadCall call;  // messages, flags and the open file
  kv5_FileStream *stream;
  int level;
  uint8_t typeCode;
  trvc_ProgressShare progress;
};

bool writeBytes(Job *job, const void *data, size_t size) {
  if (job->stream->write(data, size)) return true;
  kv5_AppendMessage(&job->call.context, kTextWrite);
  kv5_SetFailed(&job->call.context);
  return false;
}

bool writeChunk(Job *job, uint8_t tag, const void *payload, size_t length) {
  uint8_t header[trvc_ChunkHeaderSize] = {tag};
  store32(header + 4, static_cast<uint32_t>(length));
  return writeBytes(job, header, sizeof header) && (length == 0 || writeBytes(job, payload, length));
}

bool fail(Job *job, const char *text) {
  kv5_AppendMessage(&job->call.context, text);
  kv5_SetFailed(&job->call.context);
  return false;
}

// One surface's stream: packed pixels, then the properties. The plane
// formats are packed a piece at a time while the stream is written, so a
// large layer needs no copy of its size; the surface stays locked for
// reading until then.
struct Packed {
  rx_Surface *surface = nullptr;  // locked while set
  kv5_PixelView view{};
  kv5_FormatChoice choice{};
  uint8_t *buffer = nullptr;  // palette and solid formats: the packed pixels
  const uint8_t *properties = nullptr;
  size_t propertiesLength = 0;
  size_t pixelLength = 0;
  size_t length = 0;
  ~Packed() {
    if (buffer != nullptr) GlobalFree(buffer);
    if (surface != nullptr) rx_SurfaceUnlock(surface, 0);
  }
};

bool fillPiece(void *context, size_t offset, uint8_t *out, size_t size) {
  const auto *packed = static_cast<const Packed *>(context);
  if (offset < packed->pixelLength) {
    size_t n = std::min(size, packed->pixelLength - offset);
    bool filled = packed->buffer != nullptr ? (std::memcpy(out, packed->buffer + offset, n), true)
                                            : kv5_PackPlanesRange(&packed->view, packed->choice.format,
                                                                  packed->choice.alphaPlane, offset, out, n);
    if (!filled) return false;
    out += n, offset += n, size -= n;
  }
  if (size != 0) std::memcpy(out, packed->properties + (offset - packed->pixelLength), size);
  return true;
}

bool pack(Job *job, rx_Surface *surface, const uint8_t *properties, size_t propertiesLength, Packed *out) {
  if (rx_SurfaceLock(surface, 0) == 0) return fail(job, kTextLock);
  out->surface = surface;
  out->view = {static_cast<int32_t>(surface->width), static_cast<int32_t>(surface->height),
               static_cast<int32_t>(surface->stride), surface->bits};
  kv5_PixelSummary summary;
  kv5_SummarisePixels(&out->view, &summary);
  out->choice = kv5_ChooseFormat(&out->view, &summary, job->level, kv5_GreenDifferencePays);
  int64_t size = kv5_PackedSize(&out->view, out->choice.format, out->choice.alphaPlane, out->choice.entries);
  // The buffer below adds 4096 bytes, the record its properties: neither may wrap.
  if (size < 0 || static_cast<uint64_t>(size) + propertiesLength + 4096 > SIZE_MAX) return fail(job, kTextMemory);
  out->pixelLength = static_cast<size_t>(size);
  out->properties = properties;
  out->propertiesLength = propertiesLength;
  out->length = out->pixelLength + propertiesLength;
  if (out->choice.format == kv5_FormatPlanar || out->choice.format == kv5_FormatGrey ||
      out->choice.format == kv5_FormatGreenDifference)
    return true;
  out->buffer = static_cast<uint8_t *>(GlobalAlloc(GPTR, out->pixelLength + 4096));
  if (out->buffer == nullptr) {
    job->call.context.outOfMemory = true;
    return fail(job, kTextMemory);
  }
  if (kv5_PackPixels(&out->view, out->choice.format, false, out->buffer, summary.palette, out->choice.entries) !=
      size) {
    kv5_SetFailed(&job->call.context);
    return false;
  }
  return true;
}

bool writeStream(Job *job, const Packed &packed) {
  const double pixels = static_cast<double>(packed.view.width) * packed.view.height;
  job->progress.share = pixels;
  bool written = packed.length == 0 || trvc_WriteStreamFrom(fillPiece, const_cast<Packed *>(&packed), packed.length,
                                                            job->stream, &job->call.context, &job->progress) != 0;
  job->progress.done += pixels;
  return written;
}

bool writeLayer(Job *job, rx_LayerEntry *entry) {
  Packed packed;
  auto *properties = static_cast<const uint8_t *>(entry->properties);
  size_t propertiesLength = rx_LayerPropertiesBytes(entry);
  if (!pack(job, &entry->surface, properties, propertiesLength, &packed)) return false;

  uint8_t record[kRecordSize] = {};
  record[4] = 1;
  store32(record + 8, static_cast<uint32_t>(entry->x));
  store32(record + 12, static_cast<uint32_t>(entry->y));
  store32(record + 16, static_cast<uint32_t>(packed.view.width));
  store32(record + 20, static_cast<uint32_t>(packed.view.height));
  record[24] = static_cast<uint8_t>(packed.choice.format);
  record[25] = static_cast<uint8_t>(packed.choice.channels);
  store32(record + 32, static_cast<uint32_t>(packed.pixelLength));
  store32(record + 36, static_cast<uint32_t>(propertiesLength));
  store16(record + 40, entry->flags);
  store16(record + 42, job->typeCode == 2 ? entry->frame : 0);
  record[44] = entry->attributeA;
  record[45] = entry->attributeB;
  for (size_t i = 0; i < 31 && entry->name[i] != 0; ++i) store16(record + 64 + 2 * i, entry->name[i]);

  return writeChunk(job, kTagLayer, record, sizeof record) && writeStream(job, packed);
}

// The flattened image, shrunk to fit 256 x 256 with its proportions. A
// thumbnail is an extra: when it cannot be drawn the document goes without.
bool drawThumbnail(const LoadSaveOptions *options, rx_LayerEntry *layers, int32_t count, rx_Surface *thumb) {
  rx_Surface flat{};
  LoadSaveOptions view = *options;
  view.fitInside = 0, view.exactSize = 0, view.sheet = 0;
  uint16_t firstFlags = layers[0].flags;  // flattening trims the bottom layer's flags
  bool drawn = rx_LayersFlatten(&flat, -1, layers, count, &view) != 0;
  layers[0].flags = firstFlags;
  drawn = drawn && rx_SurfaceLock(&flat, 0) != 0;
  if (drawn) {
    int32_t w = static_cast<int32_t>(flat.width), h = static_cast<int32_t>(flat.height);
    rx_SurfaceUnlock(&flat, 0);
    if (w <= kThumbnailSide && h <= kThumbnailSide) {
      std::swap(*thumb, flat);
      return true;
    }
    double scale = std::min(double{kThumbnailSide} / w, double{kThumbnailSide} / h);
    int32_t tw = std::clamp(static_cast<int32_t>(w * scale + 0.5), 1, kThumbnailSide);
    int32_t th = std::clamp(static_cast<int32_t>(h * scale + 0.5), 1, kThumbnailSide);
    drawn = rx_SurfaceCreate(thumb, tw, th, rx_CreateMemory | rx_CreateNoShrink) == 1 &&
            rx_ResampleRect(thumb, 0, 0, tw - 1, th - 1, &flat, 0, 0, w - 1, h - 1, 0) != 0;
  }
  if (flat.signature == rx_SurfaceSignature) rx_SurfaceFree(&flat);
  return drawn;
}

bool writeThumbnail(Job *job, rx_LayerEntry *layers, int32_t count) {
  rx_Surface thumb{};
  bool ok = true;
  if (drawThumbnail(job->call.options, layers, count, &thumb)) {
    Packed packed;
    ok = pack(job, &thumb, nullptr, 0, &packed);
    if (ok) {
      uint8_t record[kThumbRecordSize] = {};
      store16(record + 8, static_cast<uint16_t>(packed.view.width));
      store16(record + 10, static_cast<uint16_t>(packed.view.height));
      record[12] = static_cast<uint8_t>(packed.choice.format);
      record[13] = static_cast<uint8_t>(packed.choice.channels);
      store32(record + 16, static_cast<uint32_t>(packed.pixelLength));
      ok = writeChunk(job, kTagThumbnail, record, sizeof record) && writeStream(job, packed);
    }
  }
  if (thumb.signature == rx_SurfaceSignature) rx_SurfaceFree(&thumb);
  return ok;
}

void publish(Job *job) {
  LoadSaveOptions *options = job->call.options;
  size_t length = std::min(kv5_MessageLength(&job->call.context), std::size(options->message) - 1);
  std::copy_n(job->call.context.messages, length, options->message);
  options->message[length] = 0;
  if (job->call.context.outOfMemory) options->outOfMemory = 1;
  if (job->call.context.cancelled) options->cancelled = 1;
}

int32_t writeDocument(rx_LayerEntry *layers, int32_t count, LoadSaveOptions *options, const char16_t *path,
                      bool thumbnail) {
  if (options == nullptr) return 0;
  Job job{};
  kv5_CallBegin(&job.call, options);
  job.level = kv5_WriterLevel(options);
  trvc_SetCompressionLevel(job.level);
  if (layers == nullptr || count < 1 || count > kv5_MaxEntries) {
    fail(&job, "The layer buffer is invalid\n");
    publish(&job);
    return 0;
  }
  double pixels = 0;
  for (int32_t i = 0; i < count; ++i) {
    rx_SurfaceRefresh(&layers[i].surface);
    pixels += static_cast<double>(layers[i].surface.width) * layers[i].surface.height;
  }
  // With a thumbnail the progress total grows by at most its 256 x 256.
  job.progress = {pixels + (thumbnail ? double{kThumbnailSide} * kThumbnailSide : 0.0), 0, 0};

  job.call.file =
      path == nullptr ? nullptr : os_FileOpen(path, os_AccessWrite, os_ShareNone, os_Disposition::createAlways);
  if (job.call.file == nullptr) {
    fail(&job, kTextCreate);
    publish(&job);
    return 0;
  }
  kv5_FileStream stream(job.call.file);
  job.stream = &stream;

  uint8_t header[kHeaderSize] = {};
  store32(header, kv5_Magic);
  store32(header + 4, kHeaderSize);
  store32(header + 8, kVersionWord);
  typeCodeOf(options, &header[12], &header[13]);
  job.typeCode = header[12];
  store16(header + 16, static_cast<uint16_t>(count));
  kv5_SetFormatDescription(options, 4, 11, "");
  bool ok = writeBytes(&job, header, sizeof header);

  if (ok) {
    char banner[1024];
    size_t length = kv5_FormatBanner(os_UtcNow100ns(), banner, sizeof banner);
    if (length != 0) ok = writeChunk(&job, kTagBanner, banner, length + 1);
  }
  if (ok && thumbnail) ok = writeThumbnail(&job, layers, count);
  for (int32_t i = 0; ok && i < count; ++i) ok = writeLayer(&job, &layers[i]);
  if (ok) ok = writeChunk(&job, kTagEnd, nullptr, 0);

  kv5_CallClose(&job.call);
  publish(&job);
  return ok ? count : 0;
}

}  // namespace

int kv5_WriterLevel(const LoadSaveOptions *options) {
  if (options != nullptr && options->defaultSettings != 0) return 4;
  cfg_Record settings;
  cfg_Snapshot(&settings);
  return std::min(settings.kv5_level & 0x0F, 9);
}

size_t kv5_FormatBanner(uint64_t utc100ns, char *out, size_t capacity) {
  using namespace std::chrono;
  constexpr int64_t kUnixEpochIn1601Seconds = 11644473600;
  sys_seconds at{seconds{static_cast<int64_t>(utc100ns / 10000000) - kUnixEpochIn1601Seconds}};
  sys_days day = floor<days>(at);
  year_month_day date{day};
  hh_mm_ss<seconds> time{at - day};
  int length = std::snprintf(
      out, capacity, kBannerFormat, static_cast<unsigned short>(static_cast<int>(date.year())),
      static_cast<unsigned short>(static_cast<unsigned>(date.month())),
      static_cast<unsigned short>(static_cast<unsigned>(date.day())), static_cast<unsigned short>(time.hours().count()),
      static_cast<unsigned short>(time.minutes().count()), static_cast<unsigned short>(time.seconds().count()));
  return length < 0 || static_cast<size_t>(length) >= capacity ? 0 : static_cast<size_t>(length);
}

int32_t kv5_Write(rx_LayerEntry *layers, LoadSaveOptions *options, const char16_t *path) {
  return writeDocument(layers, 1, options, path, false);
}

int32_t kv5_WriteLayers(rx_LayerEntry *layers, int32_t count, LoadSaveOptions *options, const char16_t *path,
                        bool thumbnail) {
  return writeDocument(layers, count, options, path, thumbnail);
}
