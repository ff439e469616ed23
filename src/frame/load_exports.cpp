// The load and thumbnail exports: request record in, pixels or a bitmap out.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "frame/request_options.h"
#include "imageio/load/load_pipeline.h"
#include "markup/markup_text.h"
#include "platform/os.h"
#include "raster/kernels/kernels.h"
#include "raster/surface.h"
#include "raster/thread_state.h"
#include "vgm/vgm_common.h"

namespace {

// Releases what a load holds whatever way the export leaves. The record is
// the export's own: checked without a probe.
struct SurfaceHold {
  rx_Surface surface{};
  ~SurfaceHold() {
    // A record handed over (detached) or never filled is all zeros: nothing to free.
    if (surface.signature != 0 && rx_SurfaceIsValidOwned(&surface)) rx_SurfaceFree(&surface);
  }
};

// Runs the front end for an export and copies the flags back. The DLL search
// folder stays as it is: the plug-in loader finds dependencies itself.
bool runLoad(const WCHAR *path, CmioRequest *request, LoadSaveOptions *options, rx_Surface *surface, HGLOBAL *markup) {
  int32_t count = 0;
  try {
    count = io_LoadFrontEnd(os_U16(path), surface, options, markup);
  } catch (...) {
    count = 0;  // nothing thrown inside may reach the caller
  }
  request->handled = options->handled;
  request->data_not_transferred = options->warnings[kWarnDataNotTransferred];
  if (count > 0) return true;
  size_t n = std::min<size_t>(os_Utf16Length(options->message), 255);
  std::copy_n(options->message, n, request->error_text);
  request->error_text[n] = 0;
  return false;
}

// The caller's pixel block (stride = width): a packed heap surface hands its
// own block over, as decoded; any other is copied into a new block.
bool fillImage(CmioImage *image, rx_Surface *surface) {
  const uint32_t w = surface->width, h = surface->height;
  rx_ThreadState *state = surface->kind == rx_KindMemory ? rx_GetThreadState() : nullptr;
  if (HGLOBAL own = state != nullptr ? rx_OwnedDetachMemory(state, surface) : nullptr) {
    os_GlobalShrink(own, size_t{w} * h * 4);  // without the surface's spare tail
    *image = CmioImage{w, h, w, own};
    return true;
  }
  if (rx_SurfaceLock(surface, 0) == 0) return false;
  void *block = GlobalAlloc(GMEM_FIXED, size_t{w} * h * 4);
  if (block != nullptr) {
    for (uint32_t y = 0; y < h; ++y)
      std::memcpy(static_cast<uint32_t *>(block) + size_t{y} * w, surface->bits + size_t{y} * surface->stride, size_t{w} * 4);
  }
  rx_SurfaceUnlock(surface, 0);
  if (block == nullptr) return false;
  *image = CmioImage{w, h, w, block};
  return true;
}

HBITMAP detachBitmap(rx_Surface *surface) {
  if (surface->kind != rx_KindDib && rx_SurfaceMakeDib(surface) == 0) return nullptr;
  return rx_SurfaceDetachBitmap(surface);
}

void dropMarkup(CmioRequest *request) {
  os_GlobalRelease(request->markup);
  request->markup = nullptr;
  request->markup_size = 0;
}

// cmio_LoadImage and cmio_LoadImageGDI up to the scaled surface.
bool loadImage(const WCHAR *path, CmioRequest *request, rx_Surface *surface, bool heap) {
  LoadSaveOptions options;
  frame_LoadOptions(request, &options);
  options.heapLayers = heap;
  if (!runLoad(path, request, &options, surface, options.markupOut)) return false;
  if (request->apply_scale) {
    double w = std::trunc(surface->width * request->scale + 0.5), h = std::trunc(surface->height * request->scale + 0.5);
    bool ok = w >= 1 && h >= 1 && w <= 0x7FFFFFFF && h <= 0x7FFFFFFF &&
              rx_SurfaceResize(surface, static_cast<int32_t>(w), static_cast<int32_t>(h), 16) != 0;
    if (!ok) {
      if (options.markupOut != nullptr) dropMarkup(request);
      return false;
    }
  }
  if (options.markupOut != nullptr && request->markup != nullptr)
    request->markup_size = static_cast<uint32_t>(GlobalSize(request->markup));
  return true;
}

int32_t orientationOf(HGLOBAL markup) {
  if (markup == nullptr) return 0;
  char value[64];
  if (markup_Get(static_cast<const char *>(markup), "exif.orientation", value, sizeof value, nullptr, nullptr) != 1)
    return 0;
  markup_Trim(value, "= \t'\"\r\n");
  return markup_ParseInt(value);
}

void orient(rx_Surface *surface, int32_t orientation) {
  // Quarter turns clockwise, then a left-right mirror: the upright image.
  static constexpr int8_t kTurns[9] = {0, 0, 0, 2, 2, 1, 1, 3, 3};
  static constexpr bool kMirror[9] = {false, false, true, false, true, true, false, true, false};
  if (orientation < 2 || orientation > 8) return;
  if (kTurns[orientation] != 0) rx_SurfaceRotate(surface, kTurns[orientation]);
  if (kMirror[orientation]) rx_SurfaceFlip(surface, 1);
}

void fitInside(rx_Surface *surface, uint32_t max_w, uint32_t max_h) {
  double w = surface->width, h = surface->height;
  if (max_w < 16 || max_h < 16 || h <= 4) return;
  double r = w / h;
  double nw, nh;
  if (r > static_cast<double>(max_w) / max_h) {
    nw = max_w, nh = std::trunc(max_w / r);
  } else {
    nw = std::trunc(max_h * r), nh = max_h;
  }
  nw = std::max(nw, 1.0), nh = std::max(nh, 1.0);
  if (nw >= w && nh >= h) return;  // thumbnails never enlarge
  if (rx_SurfaceResize(surface, static_cast<int32_t>(nw), static_cast<int32_t>(nh), 16) == 0)
    rx_SurfaceResize(surface, static_cast<int32_t>(nw), static_cast<int32_t>(nh), 4);
}

void setFourthByte(rx_Surface *surface, bool invert) {
  if (rx_SurfaceLock(surface, 0) == 0) return;
  for (uint32_t y = 0; y < surface->height; ++y) {
    uint32_t *row = surface->bits + size_t{y} * surface->stride;
    for (uint32_t x = 0; x < surface->width; ++x) row[x] = invert ? row[x] ^ 0xFF000000u : row[x] & 0x00FFFFFFu;
  }
  rx_SurfaceUnlock(surface, 0);
}

bool loadThumb(const WCHAR *path, CmioRequest *request, rx_Surface *surface, bool heap) {
  HGLOBAL markup = nullptr;
  LoadSaveOptions options;
  frame_ThumbOptions(request, &markup, &options);
  options.heapLayers = heap;
  // A long thumbnail load can be followed and cancelled like any other.
  options.progress = request->progress;
  options.progressUser = request->progress_user;
  // Plug-ins that can decode smaller learn how small is enough.
  std::u16string text;
  if (options.fitInside) {
    if (request->options_text != nullptr) text = std::u16string(os_U16(request->options_text)) + u"\r\n";
    std::string sizes = "preview.max_width=" + std::to_string(options.wantedWidth) +
                        "\r\npreview.max_height=" + std::to_string(options.wantedHeight);
    text += std::u16string(sizes.begin(), sizes.end());
    options.optionsText = text.c_str();
  }
  if (!runLoad(path, request, &options, surface, &markup)) {
    os_GlobalRelease(markup);
    return false;
  }
  int32_t orientation = orientationOf(markup);
  os_GlobalRelease(markup);
  orient(surface, orientation);
  fitInside(surface, request->thumb_max_width, request->thumb_max_height);
  if (!request->thumb_checkerboard) {
    setFourthByte(surface, true);
    return true;
  }
  SurfaceHold board;
  if (rx_SurfaceCreate(&board.surface, static_cast<int32_t>(surface->width), static_cast<int32_t>(surface->height),
                       rx_CreateNoShrink) == 0)
    return false;
  rx_SetThumbnailPattern();
  if (rx_DrawOverPattern(&board.surface, surface) == 0) return false;
  rx_SurfaceSwap(&board.surface, surface);
  setFourthByte(surface, false);
  return true;
}

}  // namespace

extern "C" {

VGM_EXPORT int32_t VGM_API cmio_LoadImage(CmioImage *image, const WCHAR *path, CmioRequest *request) {
  if (request == nullptr || image == nullptr) return 0;
  SurfaceHold hold;
  if (!loadImage(path, request, &hold.surface, true)) return 0;
  if (fillImage(image, &hold.surface)) return 1;
  if (request->want_markup) dropMarkup(request);
  return 0;
}

VGM_EXPORT HBITMAP VGM_API cmio_LoadImageGDI(const WCHAR *path, CmioRequest *request) {
  if (request == nullptr) return nullptr;
  SurfaceHold hold;
  if (!loadImage(path, request, &hold.surface, false)) return nullptr;
  HBITMAP bitmap = detachBitmap(&hold.surface);
  if (bitmap == nullptr && request->want_markup) dropMarkup(request);
  return bitmap;
}

VGM_EXPORT int32_t VGM_API cmio_LoadThumb(CmioImage *image, const WCHAR *path, CmioRequest *request) {
  if (request == nullptr || image == nullptr) return 0;
  SurfaceHold hold;
  return loadThumb(path, request, &hold.surface, true) && fillImage(image, &hold.surface) ? 1 : 0;
}

VGM_EXPORT HBITMAP VGM_API cmio_LoadThumbGDI(const WCHAR *path, CmioRequest *request) {
  if (request == nullptr) return nullptr;
  SurfaceHold hold;
  return loadThumb(path, request, &hold.surface, false) ? detachBitmap(&hold.surface) : nullptr;
}

}  // extern "C"
