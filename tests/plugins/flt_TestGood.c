/* A well-behaved test plug-in for the ".tst" format, written the way a
 * third-party author would: the contract header only, host services reached
 * through the request record, every optional slot checked before use.
 *
 * File layout (little-endian):
 *   0  "VGMTEST1"
 *   8  u8 document kind, u8 sub-kind, u16 layer count, u16 warning mask,
 *      u16 switches, i32 result code, u16 0,
 *      u8 probe strength (0 = 100), u8 probe flags, u32 markup length, u32 0
 *   32 per layer: u16 width, u16 height, i16 x, i16 y, u16 flags,
 *      u16 delay, u8 attribute, u8 transparency, u8 name length (units),
 *      u8 pixels follow (0: every pixel is `color`), u32 color, the name
 *      (UTF-16), width * height u32 pixels when they follow
 *   then the markup text, given to the first layer. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vgm/vgm_plugin.h"

enum {
  kHeaderSize = 32,
  kLayerRecordSize = 20,
  kMaxSide = 16384,
  kMaxFileSize = 256 << 20,
  kFailBefore = 0x01,
  kFailAfter = 0x02,
  kNoLayers = 0x04,
  kRestartClock = 0x08,
  kReportBit = 0x10,
  kReportChecks = 0x20,
};

/* flt_CheckLoad calls while this module stays loaded, reported on request. */
static int32_t gChecks;

static const char kMagic[8] = {'V', 'G', 'M', 'T', 'E', 'S', 'T', '1'};

static uint32_t get(const uint8_t *p, int size) {
  uint32_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

static void put(uint8_t *p, uint32_t value, int size) {
  for (int i = 0; i < size; ++i) p[i] = (uint8_t)(value >> (8 * i));
}

static const WCHAR *text16(const char *ascii, WCHAR *out, size_t capacity) {
  size_t i = 0;
  for (; ascii[i] != 0 && i + 1 < capacity; ++i) out[i] = (WCHAR)(uint8_t)ascii[i];
  out[i] = 0;
  return out;
}

#if defined(_WIN32)
typedef wchar_t NativeChar;
static int nativePath(const WCHAR *path, NativeChar *out, size_t capacity) {
  size_t i = 0;
  for (; path[i] != 0; ++i) {
    if (i + 1 >= capacity) return 0;
    out[i] = (wchar_t)path[i];
  }
  out[i] = 0;
  return 1;
}
static FILE *openNative(const NativeChar *name, int write) { return _wfopen(name, write ? L"wb" : L"rb"); }
static void removeNative(const NativeChar *name) { _wremove(name); }
#else
typedef char NativeChar;
/* UTF-16 to the UTF-8 of the file system; 0 when it does not fit. */
static int nativePath(const WCHAR *path, NativeChar *out, size_t capacity) {
  static const uint8_t kLead[5] = {0, 0, 0xC0, 0xE0, 0xF0};
  size_t n = 0;
  for (size_t i = 0; path[i] != 0; ++i) {
    uint32_t c = path[i];
    if (c >= 0xD800 && c < 0xDC00 && path[i + 1] >= 0xDC00 && path[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t)(path[++i] - 0xDC00);
    uint32_t bytes = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    if (n + bytes >= capacity) return 0;
    for (uint32_t k = bytes - 1; k > 0; --k, c >>= 6) out[n + k] = (char)(0x80 | (c & 0x3F));
    out[n] = (char)(kLead[bytes] | c);
    n += bytes;
  }
  out[n] = 0;
  return 1;
}
static FILE *openNative(const NativeChar *name, int write) { return fopen(name, write ? "wb" : "rb"); }
static void removeNative(const NativeChar *name) { remove(name); }
#endif

enum { kNativeCapacity = 1100 };

/* The file's bytes; *size gets their count. Null with *code set on failure. */
static uint8_t *readWhole(const WCHAR *path, size_t *size, int32_t *code) {
  NativeChar name[kNativeCapacity];
  FILE *file = nativePath(path, name, kNativeCapacity) ? openNative(name, 0) : NULL;
  if (file == NULL) {
    *code = FLT_ERR_OPEN_READ;
    return NULL;
  }
  long length = fseek(file, 0, SEEK_END) == 0 ? ftell(file) : -1;
  int fits = length >= 0 && length <= kMaxFileSize && fseek(file, 0, SEEK_SET) == 0;
  uint8_t *data = fits ? (uint8_t *)malloc((size_t)length + 1) : NULL;
  *size = data != NULL ? fread(data, 1, (size_t)length, file) : 0;
  int whole = data != NULL && !ferror(file) && *size == (size_t)length;
  fclose(file);
  if (!whole) {
    free(data);
    *code = fits && data == NULL ? FLT_ERR_OUT_OF_MEMORY : FLT_ERR_READ;
    return NULL;
  }
  return data;
}

FLT_EXPORT int32_t VGM_API flt_CheckLoad(FltProbe *probe) {
  uint32_t size = probe->header_size > FLT_PROBE_HEADER_MAX ? FLT_PROBE_HEADER_MAX : probe->header_size;
  __atomic_add_fetch(&gChecks, 1, __ATOMIC_RELAXED);
  if (size < sizeof kMagic || memcmp(probe->header, kMagic, sizeof kMagic) != 0) return 0;
  probe->strength_a = 100;
  if (size > 22 && probe->header[22] != 0) probe->strength_a = probe->header[22];
  if (size > 23) probe->reply_flags = probe->header[23];
  return 1;
}

FLT_EXPORT int32_t VGM_API flt_CheckSave(FltProbe *probe) {
  static const char kExtension[] = ".tst";
  for (size_t i = 0; i < sizeof kExtension; ++i)
    if (probe->extension[i] != (WCHAR)kExtension[i]) return 0;
  probe->strength_a = 100;
  return 1;
}

static void setText(FltLoadRequest *request, int32_t field, const char *text) {
  WCHAR buffer[128];
  if (request->set_text != NULL) request->set_text(request, field, text16(text, buffer, 128));
}

/* Gives the markup text to the current layer, through the host's markup
 * service when it offers one, else as it stands. */
static void giveMarkup(FltLoadRequest *request, const char *text) {
  if (request->set_metadata == NULL) return;
  if (request->flags & FLT_FLAG_NO_MARKUP) {
    /* Unwanted metadata is left out, except the orientation the image needs. */
    char pair[40];
    const char *at = strstr(text, "exif.orientation=");
    size_t n = at != NULL ? strcspn(at, ";\r\n") : 0;
    if (n == 0 || n >= sizeof pair) return;
    memcpy(pair, at, n);
    pair[n] = 0;
    request->set_metadata(request, FLT_TAG_MARK, pair);
    return;
  }
  const pi_MetaMarkup *mm = request->meta_markup;
  if (mm != NULL && mm->Init != NULL && mm->Merge != NULL && mm->Free != NULL) {
    FltMetaMarkup markup;
    memset(&markup, 0, sizeof markup);
    if (mm->Init(&markup)) {
      if (mm->Merge(&markup, text) && markup.text != NULL) request->set_metadata(request, FLT_TAG_MARK, markup.text);
      mm->Free(&markup);
      return;
    }
  }
  request->set_metadata(request, FLT_TAG_MARK, text);
}

/* Size of the layer record at `r` with its name and pixels, or 0 when the
 * record is damaged; `room` is what the file has left. */
static size_t recordSize(const uint8_t *r, size_t room) {
  if (room < kLayerRecordSize) return 0;
  uint32_t width = get(r, 2), height = get(r + 2, 2), nameLength = r[14];
  if (width > kMaxSide || height > kMaxSide || nameLength >= FLT_NAME_CAPACITY) return 0;
  size_t need = kLayerRecordSize + 2u * nameLength + (r[15] ? 4u * (size_t)width * height : 0);
  return need <= room ? need : 0;
}

static int32_t loadLayers(FltLoadRequest *request, const uint8_t *data, size_t size) {
  if (size < kHeaderSize) return FLT_ERR_UNEXPECTED_END;
  if (memcmp(data, kMagic, sizeof kMagic) != 0) return FLT_ERR_UNSUPPORTED;
  uint32_t count = get(data + 10, 2), switches = get(data + 14, 2);
  uint32_t markupLength = get(data + 24, 4);
  int32_t code = (int32_t)get(data + 16, 4);
  if (switches & kFailBefore) {
    setText(request, FLT_TEXT_MESSAGE, "TestGood: failure requested");
    return code;
  }
  /* Check the whole file before the first layer goes out: a damaged file
   * delivers nothing. */
  size_t markupAt = kHeaderSize;
  for (uint32_t i = 0; i < count; ++i) {
    size_t need = recordSize(data + markupAt, size - markupAt);
    if (need == 0) return FLT_ERR_UNEXPECTED_END;
    markupAt += need;
  }
  if (size - markupAt < markupLength) return FLT_ERR_UNEXPECTED_END;

  request->document_kind = data[8];
  request->document_sub_kind = data[9];
  request->warnings |= (uint16_t)get(data + 12, 2);
  if (switches & kNoLayers) count = 0;
  if (count > 0 && request->begin_layer == NULL) return FLT_ERR_HOST_SERVICES;

  size_t at = kHeaderSize;
  uint32_t delivered = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t *r = data + at;
    uint32_t width = get(r, 2), height = get(r + 2, 2), nameLength = r[14], color = get(r + 16, 4);
    const uint8_t *pixels = r[15] ? r + kLayerRecordSize + 2 * nameLength : NULL;
    at += recordSize(r, size - at);

    if (request->progress != NULL && request->progress(request, (int32_t)i, (int32_t)count) == 0)
      return FLT_ERR_CANCELLED;
    request->width = width;
    request->height = height;
    request->x = (int16_t)get(r + 4, 2);
    request->y = (int16_t)get(r + 6, 2);
    request->layer_flags = (uint16_t)get(r + 8, 2);
    request->frame_delay = (uint16_t)get(r + 10, 2);
    request->layer_attribute = r[12];
    request->layer_transparency = r[13];
    memset(request->name, 0, sizeof request->name);
    for (uint32_t c = 0; c < nameLength; ++c) request->name[c] = (WCHAR)get(r + kLayerRecordSize + 2 * c, 2);
    if (switches & kRestartClock) request->flags |= FLT_FLAG_RESTART_TIME_LIMIT;
    if (!request->begin_layer(request, 0)) {
      if (request->layers_begun > request->last_layer_index) {
        /* The host holds no more layers: keep what it has. */
        request->warnings |= FLT_WARN_LAYERS_DROPPED;
        break;
      }
      return request->status < 0 ? request->status : FLT_ERR_BITMAP;
    }
    if (request->pixels == NULL || request->width != width || request->height != height) return FLT_ERR_HOST_RESPONSE;
    for (uint32_t y = 0; y < height; ++y) {
      uint32_t *row = request->pixels + (size_t)y * request->stride;
      for (uint32_t x = 0; x < width; ++x) row[x] = pixels ? get(pixels + 4 * ((size_t)y * width + x), 4) : color;
    }
    /* Metadata goes to the current layer: the first one gets the markup. */
    if (delivered++ == 0 && (markupLength > 0 || (switches & kReportChecks))) {
      char *text = (char *)malloc(markupLength + 40);
      if (text == NULL) return FLT_ERR_OUT_OF_MEMORY;
      memcpy(text, data + markupAt, markupLength);
      text[markupLength] = 0;
      if (switches & kReportChecks)
        snprintf(text + markupLength, 40, "tst.checks=%d;", (int)__atomic_load_n(&gChecks, __ATOMIC_RELAXED));
      giveMarkup(request, text);
      free(text);
    }
  }
  if (switches & kReportBit) request->flags |= FLT_FLAG_REPORTED;
  if (switches & kFailAfter) {
    setText(request, FLT_TEXT_MESSAGE, "TestGood: failure requested");
    return code;
  }
  return FLT_OK;
}

FLT_EXPORT int32_t VGM_API flt_LoadImage(FltLoadRequest *request) {
  if (request == NULL || request->path == NULL) return FLT_ERR_BAD_REQUEST;
  size_t size = 0;
  int32_t code = FLT_ERROR;
  uint8_t *data = readWhole(request->path, &size, &code);
  if (data == NULL) return code;
  code = loadLayers(request, data, size);
  free(data);
  return code;
}

/* The value of option `key` as an integer; `fallback` when it is not set. */
static int32_t optionInt(FltSaveRequest *request, const char *key, int32_t fallback) {
  if (request->query_option == NULL) return fallback;
  FltOptionQuery query;
  WCHAR name[64];
  memset(&query, 0, sizeof query);
  query.key = text16(key, name, 64);
  if (request->query_option(request, &query) <= 0) return fallback;
  char digits[16];
  size_t i = 0;
  for (; i + 1 < sizeof digits && query.value[i] != 0; ++i) digits[i] = (char)query.value[i];
  digits[i] = 0;
  return (int32_t)strtol(digits, NULL, 10);
}

static void setSaveText(FltSaveRequest *request, const char *text) {
  WCHAR buffer[128];
  if (request->set_text != NULL) request->set_text(request, FLT_TEXT_MESSAGE, text16(text, buffer, 128));
}

/* Writes the layers as the host selects them. Options: "tst.save_result"
 * makes the save return that code; "tst.flat_only=1" asks for a flat image
 * (-15) when there is more than one layer; "tst.half_write=1" leaves half a
 * file and returns -43; "tst.crash=1" faults after starting the file. */
FLT_EXPORT int32_t VGM_API flt_SaveImage(FltSaveRequest *request) {
  if (request == NULL || request->path == NULL || request->select_layer == NULL) return FLT_ERR_BAD_REQUEST;
  int32_t forced = optionInt(request, "tst.save_result", 1);
  if (forced != 1) {
    setSaveText(request, "TestGood: failure requested");
    return forced;
  }
  int32_t count = (int32_t)request->layer_count;
  if (count > 1 && optionInt(request, "tst.flat_only", 0) == 1) return FLT_ERR_NEED_FLAT;
  int32_t half = optionInt(request, "tst.half_write", 0), crash = optionInt(request, "tst.crash", 0);
  if (half == 1 || crash == 1) {
    NativeChar target[kNativeCapacity];
    FILE *partial = nativePath(request->path, target, kNativeCapacity) ? openNative(target, 1) : NULL;
    if (partial == NULL) return FLT_ERR_OPEN_WRITE;
    fwrite(kMagic, sizeof kMagic / 2, 1, partial);
    fflush(partial);
    /* the file stays open and half written */
#if defined(_WIN32)
    if (crash == 1) RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, NULL);
#else
    if (crash == 1) raise(SIGSEGV);
#endif
    fclose(partial);
    return FLT_ERR_WRITE;
  }
  if (count < 1 || count > 0xFFFF) return FLT_ERR_IMAGE_REQUIREMENTS;

  NativeChar name[kNativeCapacity];
  if (!nativePath(request->path, name, kNativeCapacity)) return FLT_ERR_OPEN_WRITE;
  FILE *file = openNative(name, 1);
  if (file == NULL) return FLT_ERR_OPEN_WRITE;
  uint8_t header[kHeaderSize];
  memset(header, 0, sizeof header);
  memcpy(header, kMagic, sizeof kMagic);
  header[8] = request->document_kind;
  header[9] = request->document_sub_kind;
  put(header + 10, (uint32_t)count, 2);

  int ok = fwrite(header, sizeof header, 1, file) == 1;
  char *markup = NULL; /* a copy: the host's chunk lasts only while its layer is selected */
  uint32_t markupLength = 0;
  int32_t code = FLT_OK;
  for (int32_t i = 0; ok && i < count; ++i) {
    if (request->progress != NULL && request->progress(request, i, count) == 0) {
      code = FLT_ERR_CANCELLED;
      break;
    }
    if (!request->select_layer(request, i, 0) || request->pixels == NULL || request->width > kMaxSide ||
        request->height > kMaxSide) {
      code = FLT_ERR_HOST_RESPONSE;
      break;
    }
    if (i == 0 && request->get_metadata != NULL) {
      const char *chunk = (const char *)request->get_metadata(request, FLT_TAG_MARK);
      if (chunk != NULL) {
        markupLength = (uint32_t)request->metadata_result;
        while (markupLength > 0 && chunk[markupLength - 1] == 0) --markupLength;
        markup = (char *)malloc(markupLength + 1);
        if (markup == NULL) {
          code = FLT_ERR_OUT_OF_MEMORY;
          break;
        }
        memcpy(markup, chunk, markupLength);
      }
    }
    /* The record and the name; the pixels always follow. */
    uint8_t record[kLayerRecordSize + 2 * FLT_NAME_CAPACITY] = {0};
    uint32_t nameLength = 0;
    const uint32_t fields[6] = {request->width,       request->height,      (uint16_t)request->x,
                                (uint16_t)request->y, request->layer_flags, request->frame_delay};
    for (int f = 0; f < 6; ++f) put(record + 2 * f, fields[f], 2);
    for (; nameLength + 1 < FLT_NAME_CAPACITY && request->name[nameLength] != 0; ++nameLength)
      put(record + kLayerRecordSize + 2 * nameLength, request->name[nameLength], 2);
    record[12] = request->layer_attribute;
    record[13] = request->layer_transparency;
    record[14] = (uint8_t)nameLength;
    record[15] = 1;
    ok = fwrite(record, kLayerRecordSize + 2 * nameLength, 1, file) == 1;
    for (uint32_t y = 0; ok && y < request->height; ++y) {
      const uint32_t *row = request->pixels + (size_t)y * request->stride;
      for (uint32_t x = 0; ok && x < request->width; ++x) {
        uint8_t pixel[4];
        put(pixel, row[x], 4);
        ok = fwrite(pixel, 4, 1, file) == 1;
      }
    }
  }
  if (ok && code == FLT_OK && markupLength > 0) ok = fwrite(markup, markupLength, 1, file) == 1;
  if (ok && code == FLT_OK && markupLength > 0) {
    uint8_t length[4];
    put(length, markupLength, 4);
    ok = fseek(file, 24, SEEK_SET) == 0 && fwrite(length, 4, 1, file) == 1;
  }
  free(markup);
  if (fclose(file) != 0) ok = 0;
  if (code == FLT_OK && !ok) code = FLT_ERR_WRITE;
  if (code != FLT_OK) removeNative(name); /* never leave half a file */
  return code;
}
