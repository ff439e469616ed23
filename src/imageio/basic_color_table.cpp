// pi_BasicColor: the host's colour conversion and transforms for plug-ins.
#include <cstdint>

#include "imageio/host_tables.h"
#include "raster/colour.h"
#include "raster/surface.h"
#include "raster/thread_state.h"

namespace {

// The image record is the plug-in's: check it before trusting its surface.
rx_Surface *surfaceOf(FltImage *img) {
  if (rx_ProbeMemory(img, sizeof *img, false) != 0) return nullptr;
  return static_cast<rx_Surface *>(img->surface);
}

int32_t VGM_API convertImage(FltImage *img, uint32_t from_model, void *transform, uint32_t to_model) {
  rx_Surface *surface = surfaceOf(img);
  if (surface == nullptr || rx_SurfaceLock(surface, rx_LockExclusive) == 0) return 0;
  for (uint32_t y = 0; y < surface->height; ++y)
    clr_ConvertPixels(surface->bits + static_cast<size_t>(y) * surface->stride, static_cast<int32_t>(surface->width),
                      from_model, transform, to_model);
  rx_SurfaceUnlock(surface, rx_LockExclusive);
  return 1;
}

int32_t VGM_API convertPixels(uint32_t *pixels, int32_t count, uint32_t from_model, void *transform,
                              uint32_t to_model) {
  // Past 2^30 pixels a 32-bit byte count wraps and would probe a small range.
  if (count <= 0 || uint64_t{static_cast<uint32_t>(count)} * 4 > SIZE_MAX ||
      rx_ProbeMemory(pixels, static_cast<size_t>(count) * 4, true) != 0)
    return 0;
  return clr_ConvertPixels(pixels, count, from_model, transform, to_model);
}

int32_t VGM_API convertDib(FltImage *img, const void *packed_dib, uint32_t size, void *transform, uint32_t flags) {
  rx_Surface *surface = surfaceOf(img);
  return surface != nullptr ? clr_ConvertDibPixels(surface, packed_dib, size, transform, flags) : 0;
}

void *VGM_API createTransform(const void *profile, uint32_t profile_size, const WCHAR *profile_path) {
  return clr_CreateTransform(profile, profile_size, reinterpret_cast<const char16_t *>(profile_path));
}

int32_t VGM_API deleteTransform(void *transform) { return clr_DeleteTransform(transform); }

const pi_BasicColor kTable = {
    PI_BASICCOLOR_VERSION, 0, convertImage, convertPixels, convertDib, nullptr, createTransform, deleteTransform,
};

}  // namespace

const pi_BasicColor *io_BasicColorTable() { return &kTable; }
