#include "kv5/kv5_read_common.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kv5/kv5_properties.h"
#include "kv5/pixel_formats.h"
#include "platform/os.h"
#include "platform/os_memory_probe.h"

namespace {

int32_t forwardProgress(int32_t value, int32_t total, void *context) {
  auto *options = static_cast<LoadSaveOptions *>(context);
  return options->progress(value, total, options->progressUser);
}

}  // namespace

void kv5_CallBegin(kv5_ReadCall *call, LoadSaveOptions *options) {
  std::memset(static_cast<void *>(call), 0, sizeof *call);
  call->options = options;
  kv5_ContextInit(&call->context);
  if (options->progress != nullptr) {
    call->context.progress = forwardProgress;
    call->context.progressContext = options;
  }
  options->message[0] = 0;
}

bool kv5_CallOpen(kv5_ReadCall *call, const char16_t *path, bool sized) {
  call->file = path == nullptr ? nullptr : os_FileOpen(path, os_AccessRead, os_ShareRead, os_Disposition::openExisting);
  if (call->file == nullptr) {
    kv5_AppendMessage(&call->context, kv5_TextOpen);
    return false;
  }
  if (sized) kv5_CallTakeSize(call);
  return true;
}

void kv5_CallTakeSize(kv5_ReadCall *call) { call->fileSize = std::max<int64_t>(os_FileSize(call->file), 0); }

void kv5_CallClose(kv5_ReadCall *call) {
  if (call->file != nullptr) os_FileClose(call->file);
  call->file = nullptr;
}

void kv5_CallPublish(kv5_ReadCall *call) {
  LoadSaveOptions *options = call->options;
  size_t length = kv5_MessageLength(&call->context);
  std::copy_n(call->context.messages, length, options->message);
  options->message[std::min(length, std::size(options->message) - 1)] = 0;
  uint32_t flags = call->flags;
  if (call->context.errorFlags & kv5_ErrorFailed) flags |= kDocError;
  if (call->context.layerError) flags |= kDocLayerError;
  if (call->context.outOfMemory) options->outOfMemory = 1;
  if (call->context.cancelled) options->cancelled = 1;
  options->documentFlags |= flags;
  if (flags & kDocFileIsKv5) options->handled = 1;
  if (flags & kDocTooManyLayers) options->warnings[kWarnLayersDropped] = 1;
  if (flags & kDocLayerError) options->warnings[kWarnDataNotTransferred] = 1;
  if (flags & kDocThumbnailLoaded) options->warnings[kWarnThumbnailOnly] = 1;
  if (flags & kDocExtensionMismatch) options->warnings[kWarnExtensionMismatch] = 1;
  if (flags & kDocNoExtension) options->warnings[kWarnExtensionMissing] = 1;
}

size_t kv5_ReadAt(kv5_ReadCall *call, int64_t offset, void *buffer, size_t size) {
  size_t done = 0;
  if (offset >= 0) os_FileReadAt(call->file, offset, buffer, size, &done);
  return done;
}

int kv5_ExtensionKind(const char16_t *path) {
  size_t length = os_Utf16Length(path);
  size_t dot = length;
  for (size_t i = length; i > 0; --i) {
    if (os_IsPathSeparator(path[i - 1])) break;
    if (path[i - 1] == u'.') {
      dot = i - 1;
      break;
    }
  }
  if (dot == length) return 0;
  std::u16string extension(path + dot, length - dot);
  for (auto &c : extension)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
  return extension == u".kv5" ? 1 : 2;
}

void kv5_SetDocumentKind(LoadSaveOptions *options, uint8_t typeCode, uint8_t option) {
  static constexpr uint8_t kKinds[5] = {0, rx_DocComposite, rx_DocFrames, rx_DocImageList, rx_DocObjects};
  bool known = typeCode >= 1 && typeCode <= 4;
  options->documentKind = known ? kKinds[typeCode] : uint8_t{rx_DocComposite};
  options->documentSubKind = known ? option : 0;
}

void kv5_SetFormatDescription(LoadSaveOptions *options, int version, int revision, const char *suffix) {
  char text[96];
  std::snprintf(text, sizeof text, "KV5 v%i rev %02i%s", version, revision, suffix);
  size_t i = 0;
  for (; text[i] != 0 && i + 1 < std::size(options->formatDescription); ++i)
    options->formatDescription[i] = static_cast<unsigned char>(text[i]);
  options->formatDescription[i] = 0;
}

bool kv5_CreateSurface(kv5_ReadCall *call, rx_LayerEntry *entry, int64_t width, int64_t height) {
  if (width < 1 || height < 1 || width > INT32_MAX || height > INT32_MAX) return false;
  uint64_t pixels = static_cast<uint64_t>(width) * static_cast<uint64_t>(height);
  if (pixels > kv5_PixelBudget - std::min(call->pixelsTaken, kv5_PixelBudget)) return false;
  if (rx_SurfaceCreate(&entry->surface, static_cast<int32_t>(width), static_cast<int32_t>(height),
                       rx_CreateMemory | rx_CreateNoShrink) == 1) {
    call->pixelsTaken += pixels;
    return true;
  }
  std::memset(static_cast<void *>(&entry->surface), 0, sizeof entry->surface);
  return false;
}

int kv5_UnpackInto(kv5_ReadCall *call, rx_LayerEntry *entry, int format, int channels, const uint8_t *stream,
                    size_t pixelLength, const char *what, int32_t number) {
  kv5_Context *context = &call->context;
  if (rx_SurfaceLock(&entry->surface, rx_LockExclusive) == 0) {
    kv5_SetFailed(context);
    context->layerError = true;
    kv5_AppendMessageF(context, "Error locking target bitmap (%ix%i) for %s #%i\n",
                       static_cast<int32_t>(entry->surface.width), static_cast<int32_t>(entry->surface.height), what,
                       number);
    return -1;
  }
  os_AdviseBulkFill(entry->surface.bits, size_t{entry->surface.stride} * entry->surface.height * 4);
  kv5_PixelView view{static_cast<int32_t>(entry->surface.width), static_cast<int32_t>(entry->surface.height),
                     static_cast<int32_t>(entry->surface.stride), entry->surface.bits};
  uint32_t palette[256];
  int64_t used = kv5_UnpackPixels(&view, format, channels, stream, pixelLength, palette, context);
  rx_SurfaceUnlock(&entry->surface, rx_LockExclusive);
  if (used < 0) {
    kv5_SetFailed(context);
    context->layerError = true;
    return 0;
  }
  return 1;
}

void kv5_AttachProperties(kv5_ReadCall *call, rx_LayerEntry *entry, const uint8_t *bytes, uint32_t length,
                          uint32_t versionWord) {
  os_GlobalRelease(entry->properties);
  entry->properties = nullptr;
  entry->propertiesLength = 0;
  void *block = GlobalAlloc(GPTR, length);
  if (block == nullptr) {
    call->flags |= kDocPropertiesOutOfMemory;
    return;
  }
  std::memcpy(block, bytes, length);
  entry->properties = block;
  entry->propertiesLength = length;
  if (kv5_UpgradeProperties(entry, versionWord) > 0) call->flags |= kDocPropertiesApplied;
}

void *kv5_AllocateRetry(size_t bytes, bool zeroed) {
  void *block = GlobalAlloc(zeroed ? GPTR : GMEM_FIXED, bytes);
  if (block != nullptr) return block;
  os_Sleep(100);
  return GlobalAlloc(zeroed ? GPTR : GMEM_FIXED, bytes);
}

void kv5_SetName(rx_LayerEntry *entry, const char16_t *name, size_t length) {
  size_t n = 0;
  while (n < length && n < std::size(entry->name) - 1 && name[n] != 0) {
    entry->name[n] = name[n];
    ++n;
  }
  entry->name[n] = 0;
}
