// Whole-surface transforms: quarter turns, mirroring and resizing.
#include <algorithm>
#include <cstring>

#include "platform/os.h"
#include "raster/kernels/kernels.h"
#include "raster/surface_internal.h"

using namespace rx_detail;

int32_t rx_SurfaceRotate(rx_Surface *surface, int32_t quarter_turns) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (!recordUsable(surface)) return fail(state, rx_ErrNotSurface);
  int32_t turns = ((quarter_turns % 4) + 4) % 4;
  if (turns == 0) return 1;
  uint8_t kind = surface->kind;
  if (hasSignature(surface) && (kind == rx_KindWrapped || kind == rx_KindView)) rx_Notify(rx_DiagRotateRefused);
  if (rx_SurfaceLock(surface, 0) == 0) return 0;
  const uint32_t width = surface->width, height = surface->height, stride = surface->stride;
  const uint32_t *src = surface->bits;
  bool sideways = turns != 2;
  uint32_t newWidth = sideways ? height : width, newHeight = sideways ? width : height;
  rx_Surface turned{};
  uint32_t flags = (kind == rx_KindDib ? rx_CreateDib : rx_CreateMemory) | rx_CreateNoShrink;
  if (rx_SurfaceCreate(&turned, static_cast<int32_t>(newWidth), static_cast<int32_t>(newHeight), flags) == 0 ||
      rx_SurfaceLock(&turned, rx_LockExclusive) == 0) {
    int32_t code = state->lastError;
    rx_SurfaceFree(&turned);
    rx_SurfaceUnlock(surface, 0);
    return fail(state, code);
  }
  auto at = [&](uint32_t x, uint32_t y) { return src[static_cast<size_t>(y) * stride + x]; };
  for (uint32_t y = 0; y < newHeight; ++y) {
    if (isClosingOrAborting(surface)) {
      rx_SurfaceUnlock(&turned, rx_LockExclusive);
      rx_SurfaceFree(&turned);
      rx_SurfaceUnlock(surface, 0);
      return fail(state, rx_ErrAborted);
    }
    uint32_t *row = turned.bits + static_cast<size_t>(y) * turned.stride;
    for (uint32_t x = 0; x < newWidth; ++x) {
      switch (turns) {
        case 1:  // clockwise
          row[x] = at(y, height - 1 - x);
          break;
        case 2:
          row[x] = at(width - 1 - x, height - 1 - y);
          break;
        default:  // anticlockwise
          row[x] = at(width - 1 - y, x);
          break;
      }
    }
  }
  rx_SurfaceUnlock(&turned, rx_LockExclusive);
  rx_SurfaceUnlock(surface, 0);
  rx_SurfaceSwap(surface, &turned);
  rx_SurfaceFree(&turned);  // the old storage; a wrapped buffer or parent is left as it was
  state->lastError = rx_ErrNone;
  return 1;
}

int32_t rx_SurfaceFlip(rx_Surface *surface, uint32_t flags) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (rx_SurfaceLock(surface, rx_LockExclusive) == 0) return 0;
  const uint32_t width = surface->width, height = surface->height;
  auto row = [&](uint32_t y) { return surface->bits + static_cast<size_t>(y) * surface->stride; };
  if (flags & 2) {
    for (uint32_t y = 0; y < height / 2; ++y) std::swap_ranges(row(y), row(y) + width, row(height - 1 - y));
  }
  if (flags & 1) {
    for (uint32_t y = 0; y < height; ++y) std::reverse(row(y), row(y) + width);
  }
  rx_SurfaceUnlock(surface, rx_LockExclusive);
  return 1;
}

int32_t rx_SurfaceResize(rx_Surface *surface, int32_t width, int32_t height, uint32_t flags) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (!recordUsable(surface)) return fail(state, rx_ErrNotSurface);
  if (width < 1 || height < 1) return fail(state, rx_ErrArgument);
  bool empty = !hasSignature(surface);
  uint8_t kind = surface->kind;
  if (!empty) {
    if (kind == rx_KindWrapped || kind == rx_KindView) {
      rx_Notify(rx_DiagResizeRefused);
      return fail(state, rx_ErrNotSurface);
    }
    if (rx_SurfaceRefresh(surface) == 0) return 0;
    if (surface->width == static_cast<uint32_t>(width) && surface->height == static_cast<uint32_t>(height)) return 1;
  }
  uint32_t storage = 0;  // automatic for a new surface
  if (flags & 2) {
    storage = rx_CreateMemory;
  } else if (!empty) {
    storage = kind == rx_KindDib ? rx_CreateDib : rx_CreateMemory;
  }
  uint32_t createFlags = storage;
  if (!(flags & 4)) createFlags |= rx_CreateNoShrink;
  rx_Surface resized{};
  if (rx_SurfaceCreate(&resized, width, height, createFlags) == 0) return 0;
  if (!empty && !(flags & 1) &&
      rx_KernelResizeCarryOver(&resized, surface, (flags & 0xF0) == 0x20, (flags & 0x10) != 0) == 0) {
    int32_t code = state->lastError;
    rx_SurfaceFree(&resized);
    return fail(state, code);
  }
  rx_SurfaceSwap(surface, &resized);
  rx_SurfaceFree(&resized);
  bool asked = surface->width == static_cast<uint32_t>(width) && surface->height == static_cast<uint32_t>(height);
  state->lastError = rx_ErrNone;
  return asked ? 1 : 99;
}
