// pi_BasicImage LoadImage and SaveImage: a plug-in has the library itself
// read or write an image, through a temporary file in the session folder
// when it holds the encoded data in memory.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "hostenv/folders.h"
#include "imageio/host_services.h"
#include "platform/os.h"
#include "platform/os_memory_probe.h"
#include "raster/surface.h"
#include "raster/thread_state.h"
#include "vgm/vgm_common.h"

namespace {

constexpr int kNameTries = 100;
constexpr size_t kExtensionMax = 15;
constexpr size_t kRequestBytes = 560;

std::atomic<bool> gPinned{false};
std::atomic<uint32_t> gPinnedTick{0}, gPinnedRandom{0};

uint32_t nextRandom() {
  static std::atomic<uint32_t> state{static_cast<uint32_t>(os_HighResCounter())};
  uint32_t x = state.fetch_add(0x9E3779B9u) + 0x9E3779B9u;
  x ^= x >> 16, x *= 0x7FEB352Du, x ^= x >> 15;
  return x & 0x7FFF;
}

// A path in the session folder that does not exist yet; empty when none of
// the tries gives one (or there is no session folder).
std::u16string temporaryPath(const std::u16string &extension) {
  char16_t folder[os_MaxPath];
  if (!env_GetSessionFolder(folder, os_MaxPath)) return {};
  for (int attempt = 0; attempt < kNameTries; ++attempt) {
    bool pinned = gPinned.load();
    uint32_t tick = pinned ? gPinnedTick.load() : os_TickCount();
    uint32_t random = pinned ? gPinnedRandom.load() : nextRandom();
    char name[64];
    std::snprintf(name, sizeof name, "_vgm_plgtmp_pibi_%08x_%04x.", tick, random & 0x7FFF);
    std::u16string path = std::u16string(folder) + os_PathSeparator + os_Utf8ToUtf16(name) + extension;
    if (path.size() >= os_MaxPath) return {};
    if (!os_FileExists(path.c_str()) && !os_FolderExists(path.c_str())) return path;
  }
  return {};
}

// Writes the data to a new temporary file; empty on any failure, leaving
// no file behind. (The temporary attribute has no POSIX counterpart.)
std::u16string writeTemporary(const std::u16string &extension, const void *data, uint32_t size) {
  for (int attempt = 0; attempt < kNameTries; ++attempt) {
    std::u16string path = temporaryPath(extension);
    if (path.empty()) return {};
    os_File *file = os_FileOpen(path.c_str(), os_AccessWrite, os_ShareNone, os_Disposition::createNew);
    if (file == nullptr) {
      if (os_LastError() == os_Error::alreadyExists) continue;  // taken meanwhile
      return {};
    }
    bool written = os_FileWrite(file, data, size) != 0;
    os_FileClose(file);
    if (written) return path;
    os_FileDelete(path.c_str());
    return {};
  }
  return {};
}

// The extension of the name hint: 1 to 15 characters after its last '.'.
std::u16string hintExtension(const WCHAR *hint) {
  std::u16string name;
  io_ReadText16(hint, os_MaxPath, &name);
  size_t dot = name.find_last_of(u'.');
  if (dot == std::u16string::npos) return {};
  std::u16string extension = name.substr(dot + 1);
  if (extension.empty() || extension.size() > kExtensionMax) return {};
  for (char16_t c : extension)
    if (os_IsPathSeparator(c)) return {};
  return extension;
}

// The format of encoded data by its first bytes, "tmp" when unknown.
std::u16string extensionFromData(const uint8_t *d, uint32_t size) {
  auto starts = [&](const char *magic, size_t n, size_t at = 0) {
    return size >= at + n && std::memcmp(d + at, magic, n) == 0;
  };
  if (starts("\x89PNG", 4)) return u"png";
  if (starts("\xFF\xD8\xFF", 3)) return u"jpg";
  if (starts("GIF8", 4)) return u"gif";
  if (starts("_KV5", 4)) return u"kv5";
  if (starts("II*\0", 4) || starts("MM\0*", 4)) return u"tif";
  if (starts("RIFF", 4) && starts("WEBP", 4, 8)) return u"webp";
  if (starts("BM", 2)) return u"bmp";
  return u"tmp";
}

// Passes the pipeline's progress on to the plug-in's callback; going on
// when the record or its callback cannot be reached.
int VGM_API forwardProgress(int32_t a, int32_t b, uintptr_t user) {
  auto *request = reinterpret_cast<const FltImageIoRequest *>(user);
  if (request == nullptr || rx_ProbeMemory(request, kRequestBytes, false) != 0) return 1;
  FltCallerProgressFn callback = request->progress;
  if (callback == nullptr || !os_IsExecutable(reinterpret_cast<const void *>(callback))) return 1;
  return callback(a, b, request->progress_context);
}

void prepareRequest(const FltImageIoRequest *in, CmioRequest *out) {
  std::memset(out, 0, sizeof *out);
  out->owner_window = in->owner_window;
  out->options_text = in->options_text;
  if (in->progress != nullptr) {
    out->progress = forwardProgress;
    out->progress_user = reinterpret_cast<uintptr_t>(in);
  }
}

void copyErrorText(const CmioRequest &from, FltImageIoRequest *to) {
  std::memcpy(to->error_text, from.error_text, sizeof to->error_text);
  to->error_text[255] = 0;
}

// A request the plug-in filled: writable, its outputs cleared.
bool requestUsable(FltImageIoRequest *request) {
  if (request == nullptr || rx_ProbeMemory(request, kRequestBytes, true) != 0) return false;
  request->handled = request->entry_missing = request->cleared = 0;
  request->error_text[0] = 0;
  return true;
}

struct ExportCall {
  CmioImage *image;
  const char16_t *path;
  CmioRequest *request;
  int32_t result;
};

// Runs the own export; 1 reached (result in `call`), 0 unreachable, -1 fault.
int32_t callExport(const char *name, ExportCall *call, bool save) {
  return io_CallOwnExport(
      name,
      save ? +[](void *entry, void *context) {
        auto *c = static_cast<ExportCall *>(context);
        c->result = reinterpret_cast<decltype(&cmio_SaveImage)>(entry)(c->image, os_W(c->path), c->request);
      }
           : +[](void *entry, void *context) {
               auto *c = static_cast<ExportCall *>(context);
               c->result = reinterpret_cast<decltype(&cmio_LoadImage)>(entry)(c->image, os_W(c->path), c->request);
             },
      call);
}

// Copies the loaded pixels into the plug-in's image.
bool takePixels(FltImage *img, const CmioImage &loaded) {
  if (loaded.pixels == nullptr || io_ImageCreate(img, static_cast<int32_t>(loaded.width),
                                                 static_cast<int32_t>(loaded.height)) == 0)
    return false;
  rx_Surface *surface = io_ImageSurface(img);
  if (rx_SurfaceLock(surface, 0) == 0) return false;
  const auto *from = static_cast<const uint32_t *>(loaded.pixels);
  size_t fromStride = loaded.stride != 0 ? loaded.stride : loaded.width;
  for (uint32_t y = 0; y < loaded.height; ++y)
    std::memcpy(surface->bits + static_cast<size_t>(y) * surface->stride, from + y * fromStride,
                static_cast<size_t>(loaded.width) * 4);
  rx_SurfaceUnlock(surface, 0);
  return true;
}

}  // namespace

int32_t VGM_API io_BasicImageLoad(FltImage *img, FltImageIoRequest *request) {
  if (!requestUsable(request) || img == nullptr || rx_ProbeMemory(img, sizeof *img, true) != 0) return 0;
  std::u16string path, temporary;
  io_ReadText16(request->file_name, os_MaxPath, &path);
  if (path.size() >= os_MaxPath) return 0;
  if (path.empty()) {
    const auto *data = static_cast<const uint8_t *>(request->data);
    uint32_t size = request->data_size;
    if (data == nullptr || size < 4 || rx_ProbeMemory(data, size, false) != 0) return 0;
    std::u16string extension = hintExtension(request->name_hint);
    if (extension.empty()) extension = extensionFromData(data, size);
    temporary = writeTemporary(extension, data, size);
    if (temporary.empty()) return 0;
    path = temporary;
  }
  CmioRequest pipeline;
  prepareRequest(request, &pipeline);
  pipeline.want_markup = request->want_markup;
  CmioImage loaded{};
  ExportCall call{&loaded, path.c_str(), &pipeline, 0};
  int32_t reached = callExport("cmio_LoadImage", &call, false);
  if (!temporary.empty()) os_FileDelete(temporary.c_str());
  if (reached == 0) request->entry_missing = 1;
  if (reached != 1) return 0;
  request->handled = pipeline.handled;
  copyErrorText(pipeline, request);
  if (call.result < 1) return call.result;
  bool taken = takePixels(img, loaded);
  os_GlobalRelease(reinterpret_cast<HGLOBAL>(loaded.pixels));
  if (!taken) {
    os_GlobalRelease(pipeline.markup);
    return 0;
  }
  request->markup = pipeline.markup;
  request->markup_size = pipeline.markup_size;
  return 1;
}

int32_t VGM_API io_BasicImageSave(FltImage *img, FltImageIoRequest *request) {
  if (!requestUsable(request)) return 0;
  rx_Surface *surface = io_ImageSurface(img);
  if (surface == nullptr) return 0;
  std::u16string path, temporary;
  io_ReadText16(request->file_name, os_MaxPath, &path);
  if (path.size() >= os_MaxPath) return 0;
  if (path.empty()) {
    std::u16string extension = hintExtension(request->name_hint);
    if (extension.empty()) return 0;  // without a file the hint must name the format
    temporary = temporaryPath(extension);
    if (temporary.empty()) return 0;
    path = temporary;
  }
  if (rx_SurfaceLock(surface, 0) == 0) return 0;
  CmioImage image{surface->width, surface->height, surface->stride, surface->bits};
  CmioRequest pipeline;
  prepareRequest(request, &pipeline);
  pipeline.markup = request->markup;
  pipeline.markup_size = request->markup_size;
  ExportCall call{&image, path.c_str(), &pipeline, 0};
  int32_t reached = callExport("cmio_SaveImage", &call, true);
  rx_SurfaceUnlock(surface, 0);
  if (reached == 0) request->entry_missing = 1;
  if (reached == 1) {
    request->handled = pipeline.apply_scale;
    copyErrorText(pipeline, request);
  }
  int32_t result = reached == 1 ? (call.result >= 1 ? 1 : call.result) : 0;
  if (temporary.empty()) return result;
  if (result == 1) {
    // Handed to the plug-in as a global block of the file's size plus 16.
    os_File *file = os_FileOpen(temporary.c_str(), os_AccessRead, os_ShareRead, os_Disposition::openExisting);
    int64_t size = file != nullptr ? os_FileSize(file) : -1;
    void *block = size >= 0 && size <= 0x7FFFFFEF ? GlobalAlloc(GPTR, static_cast<size_t>(size) + 16) : nullptr;
    size_t done = 0, total = 0;
    while (block != nullptr && total < static_cast<size_t>(size) &&
           os_FileRead(file, static_cast<char *>(block) + total, static_cast<size_t>(size) - total, &done) && done > 0)
      total += done;
    if (file != nullptr) os_FileClose(file);
    if (block != nullptr && total == static_cast<size_t>(size)) {
      request->data = block;
      request->data_size = static_cast<uint32_t>(size);
    } else {
      os_GlobalRelease(reinterpret_cast<HGLOBAL>(block));
      result = 0;
    }
  }
  os_FileDelete(temporary.c_str());
  return result;
}

void io_PinTemporaryNameForTests(bool pinned, uint32_t tick, uint32_t random) {
  gPinnedTick.store(tick);
  gPinnedRandom.store(random);
  gPinned.store(pinned);
}
