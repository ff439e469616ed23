// What the document readers of every version share: the per-call state
// that turns into the request's messages and flags, file access, and the
// steps of putting one decoded layer into an entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "imageio/load_save_options.h"
#include "kv5/kv5_context.h"
#include "kv5/kv5_io.h"
#include "kv5/kv5_reader.h"
#include "raster/layers/layers.h"

struct os_File;

inline constexpr uint32_t kv5_Magic = 0x35564B5F;  // "_KV5"
inline constexpr int32_t kv5_MaxEntries = 1024;

inline constexpr const char *kv5_TextOpen = "Error: Cannot open the file for reading, please check access\n";
inline constexpr const char *kv5_TextRead = "Error: Cannot read data from the file, file may be incomplete\n";
inline constexpr const char *kv5_TextHeaderSize = "Invalid KV5 header size\n";
inline constexpr const char *kv5_TextMagic = "Invalid magic number in KV5 header\n";
inline constexpr const char *kv5_TextExtension =
    "Although this file has a .KV5 extension, the data in it seems to be something different\n";
inline constexpr const char *kv5_TextVersion = "Unsupported KV5 version\n";
inline constexpr const char *kv5_TextPreCodec = "Unknown Pre-processing Codec\n";

// One reader's call: its messages (and the stream layer's flags) in
// `context`, the request flags it found in `flags`. Publishing copies both
// into the request.
struct kv5_ReadCall {
  LoadSaveOptions *options;
  kv5_Context context;
  uint32_t flags;
  os_File *file;
  int64_t fileSize;
  uint64_t pixelsTaken;  // by the surfaces created so far, against the load's budget
};

// Clears the request's message buffer and readies the call (progress goes
// to the request's callback). The file is opened by kv5_CallOpen.
void kv5_CallBegin(kv5_ReadCall *call, LoadSaveOptions *options);
// Opens `path` for shared reading; appends the open text on failure. The
// size is taken at once unless `sized` is false (then by kv5_CallTakeSize,
// once the file looks worth it).
bool kv5_CallOpen(kv5_ReadCall *call, const char16_t *path, bool sized = true);
void kv5_CallTakeSize(kv5_ReadCall *call);
void kv5_CallClose(kv5_ReadCall *call);
// Messages into the request; flags added to it (kDoc bits, out of memory,
// cancelled) and mapped onto the load warnings.
void kv5_CallPublish(kv5_ReadCall *call);

// Reads up to `size` bytes at `offset`; the count read.
size_t kv5_ReadAt(kv5_ReadCall *call, int64_t offset, void *buffer, size_t size);

// 0 no extension, 1 ".kv5" (any case), 2 another one.
int kv5_ExtensionKind(const char16_t *path);

// Document type code of the file → request kind and option byte.
void kv5_SetDocumentKind(LoadSaveOptions *options, uint8_t typeCode, uint8_t option);
// "KV5 v%i rev %02i" plus `suffix` into the request.
void kv5_SetFormatDescription(LoadSaveOptions *options, int version, int revision, const char *suffix);

inline uint16_t kv5_Load16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t kv5_Load32(const uint8_t *p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Surface of an entry: created without shrinking, memory storage. False
// (entry left without a surface) when the engine refuses the size or the
// call's pixel budget would be exceeded; nothing is allocated then.
bool kv5_CreateSurface(kv5_ReadCall *call, rx_LayerEntry *entry, int64_t width, int64_t height);

// Unpacks `pixelLength` bytes of `stream` into the entry's surface. The
// locking text names the entry ("layer" or "thumbnail" and n). Failures set
// the error and layer-error flags. 1 unpacked, 0 the data did not unpack,
// -1 the surface could not be locked.
int kv5_UnpackInto(kv5_ReadCall *call, rx_LayerEntry *entry, int format, int channels, const uint8_t *stream,
                    size_t pixelLength, const char *what, int32_t number);

// A zero-initialised copy of the properties bytes into the entry (an
// earlier block released first), then brought up to date for the file's
// version word. Sets the properties flags.
void kv5_AttachProperties(kv5_ReadCall *call, rx_LayerEntry *entry, const uint8_t *bytes, uint32_t length,
                          uint32_t versionWord);

// A global-memory block (zeroed on request), tried a second time after
// 100 ms.
void *kv5_AllocateRetry(size_t bytes, bool zeroed = false);

// Copies a name of at most 31 units and a NUL.
void kv5_SetName(rx_LayerEntry *entry, const char16_t *name, size_t length);
