// Surfaces and GDI: device contexts for DIB surfaces, conversion to and from
// bitmaps and packed DIBs, and painting into any device context.
#include <algorithm>
#include <cstring>

#include "platform/os.h"
#include "raster/surface_internal.h"

using namespace rx_detail;

namespace rx_detail {

void fillDibHeader(BITMAPV5HEADER *header, int32_t width, int32_t height) {
  std::memset(header, 0, sizeof *header);
  header->bV5Size = sizeof *header;
  header->bV5Width = width;
  header->bV5Height = -height;  // top-down
  header->bV5Planes = 1;
  header->bV5BitCount = 32;
  header->bV5Compression = BI_BITFIELDS;
  uint64_t bytes = static_cast<uint64_t>(width < 0 ? -int64_t{width} : width) * 4 *
                   static_cast<uint64_t>(height < 0 ? -int64_t{height} : height);
  header->bV5SizeImage = static_cast<DWORD>(std::min<uint64_t>(bytes, UINT32_MAX));
  header->bV5XPelsPerMeter = 3780;
  header->bV5YPelsPerMeter = 3780;
  header->bV5RedMask = 0x00FF0000u;
  header->bV5GreenMask = 0x0000FF00u;
  header->bV5BlueMask = 0x000000FFu;
  header->bV5AlphaMask = 0xFF000000u;
  header->bV5CSType = LCS_sRGB;
}

bool readDibInfo(rx_Surface *s) {
  DIBSECTION section;
  if (GetObjectW(dibBitmap(s), sizeof section, &section) != static_cast<int>(sizeof section)) {
    GdiFlush();
    os_Sleep(0);
    if (GetObjectW(dibBitmap(s), sizeof section, &section) != static_cast<int>(sizeof section)) return false;
  }
  if (section.dsBm.bmBitsPixel != 32 || section.dsBm.bmBits == nullptr) return false;
  storeIfChanged(&s->width, static_cast<uint32_t>(section.dsBm.bmWidth));
  storeIfChanged(&s->height, static_cast<uint32_t>(section.dsBm.bmHeight < 0 ? -section.dsBm.bmHeight
                                                                             : section.dsBm.bmHeight));
  storeIfChanged(&s->stride, static_cast<uint32_t>(section.dsBm.bmWidthBytes / 4));
  storeIfChanged(&s->bits, static_cast<uint32_t *>(section.dsBm.bmBits));
  return true;
}

}  // namespace rx_detail

namespace {

// Takes exclusive use as a lock does; false when the surface started closing.
bool takeExclusiveUse(rx_Surface *s, uint32_t self, bool *took) {
  *took = false;
  for (;;) {
    WaitEnd end = waitForOwner(s, self, true);
    if (end == WaitEnd::closing) return false;
    uint32_t expected = 0;
    if (end == WaitEnd::timedOut) {
      __atomic_store_n(&s->owner, self, __ATOMIC_RELEASE);
      *took = true;
      return true;
    }
    if (__atomic_compare_exchange_n(&s->owner, &expected, self, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) {
      *took = true;
      return true;
    }
    if (expected == self) return true;
  }
}

uint32_t readLe32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint16_t readLe16(const unsigned char *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

}  // namespace

namespace rx_detail {

// Reads and checks the header of a packed DIB; false for anything not
// drawable or not inside `size` (when known).
bool readDibLayout(const unsigned char *dib, size_t size, DibLayout *layout) {
  if (size != 0 && size < 4) return false;
  if (size == 0 && rx_ProbeMemory(dib, 4, false) != 0) return false;
  uint32_t headerSize = readLe32(dib);
  if (headerSize < 12 || (size != 0 && size < headerSize)) return false;
  bool core = headerSize < 40;
  // Fields past the version-5 header are not read; the table follows the declared header.
  uint32_t readable = core ? 12 : std::min<uint32_t>(headerSize, 124);
  if (size == 0 && rx_ProbeMemory(dib, readable, false) != 0) return false;
  uint32_t clrUsed = 0;
  layout->masks[0] = layout->masks[1] = layout->masks[2] = 0;
  uint32_t maskBytes = 0;
  if (core) {
    layout->width = readLe16(dib + 4);
    layout->height = readLe16(dib + 6);
    layout->bitCount = readLe16(dib + 10);
    layout->compression = BI_RGB;
    layout->entryBytes = 3;
    if (layout->bitCount != 1 && layout->bitCount != 4 && layout->bitCount != 8 && layout->bitCount != 24) return false;
  } else {
    layout->width = static_cast<int32_t>(readLe32(dib + 4));
    layout->height = static_cast<int32_t>(readLe32(dib + 8));
    layout->bitCount = readLe16(dib + 14);
    layout->compression = readLe32(dib + 16);
    clrUsed = readLe32(dib + 32);
    layout->entryBytes = 4;
    uint16_t b = layout->bitCount;
    if (b != 1 && b != 4 && b != 8 && b != 16 && b != 24 && b != 32) return false;
    bool fields = layout->compression == BI_BITFIELDS || layout->compression == BI_ALPHABITFIELDS;
    if (fields && b != 16 && b != 32) return false;
    if (!fields && layout->compression != BI_RGB) return false;  // run-length and embedded images are not drawn
    if (fields) {
      uint32_t count = layout->compression == BI_ALPHABITFIELDS ? 4 : 3;
      if (headerSize >= 40 + count * 4) {
        for (int i = 0; i < 3; ++i) layout->masks[i] = readLe32(dib + 40 + i * 4);  // inside the longer headers
      } else {
        maskBytes = count * 4;
        if (size != 0 && size < uint64_t{headerSize} + maskBytes) return false;
        if (size == 0 && rx_ProbeMemory(dib + headerSize, maskBytes, false) != 0) return false;
        for (uint32_t i = 0; i < 3; ++i) layout->masks[i] = readLe32(dib + headerSize + i * 4);
      }
    } else if (b == 16) {
      layout->masks[0] = 0x7C00, layout->masks[1] = 0x03E0, layout->masks[2] = 0x001F;
    }
  }
  // The width is taken by its absolute value, as the height is.
  if (layout->width == INT32_MIN || layout->height == 0 || layout->height == INT32_MIN) return false;
  layout->width = layout->width < 0 ? -layout->width : layout->width;
  if (layout->width < 1) return false;
  uint32_t power = std::min<uint32_t>(layout->bitCount, 24);
  if (clrUsed != 0 && clrUsed < (1u << power)) {
    layout->colours = clrUsed;
  } else {
    layout->colours = layout->bitCount <= 8 ? (1u << layout->bitCount) : 0;
  }
  layout->tableOffset = uint64_t{headerSize} + maskBytes;
  layout->pixelOffset = layout->tableOffset + uint64_t{layout->colours} * layout->entryBytes;
  layout->rowBytes = (uint64_t{static_cast<uint32_t>(layout->width)} * layout->bitCount + 31) / 32 * 4;
  uint64_t rows = layout->height < 0 ? -int64_t{layout->height} : layout->height;
  uint64_t needed = layout->pixelOffset + layout->rowBytes * rows;
  if (size != 0) return needed <= size;
  return needed <= SIZE_MAX && rx_ProbeMemory(dib, static_cast<size_t>(needed), false) == 0;
}

bool openDibRows(const void *packed_dib, size_t size, DibRowDecoder *decoder) {
  const auto *dib = static_cast<const unsigned char *>(packed_dib);
  if (dib == nullptr || !readDibLayout(dib, size, &decoder->layout)) return false;
  prepareDibRows(dib, decoder->layout, decoder);
  return true;
}

void prepareDibRows(const unsigned char *dib, const DibLayout &layout, DibRowDecoder *d) {
  d->layout = layout;
  d->rows = layout.height < 0 ? -layout.height : layout.height;
  d->pixels = dib + layout.pixelOffset;
  std::fill(std::begin(d->palette), std::end(d->palette), 0u);
  const unsigned char *table = dib + layout.tableOffset;
  for (uint32_t i = 0; i < std::min<uint32_t>(layout.colours, 256); ++i) {
    const unsigned char *e = table + static_cast<size_t>(i) * layout.entryBytes;
    d->palette[i] = static_cast<uint32_t>(e[0]) | static_cast<uint32_t>(e[1]) << 8 | static_cast<uint32_t>(e[2]) << 16;
  }
  d->paletteSize = layout.bitCount <= 8 ? std::min<uint32_t>(layout.colours, 256) : 0;
  d->red = Channel(layout.masks[0]);
  d->green = Channel(layout.masks[1]);
  d->blue = Channel(layout.masks[2]);
  d->fields = layout.compression != BI_RGB || layout.bitCount == 16;
}

void decodeDibRow(const DibRowDecoder &d, int32_t y, uint32_t *dst) {
  const DibLayout &layout = d.layout;
  int32_t memoryRow = layout.height < 0 ? y : d.rows - 1 - y;
  const unsigned char *src = d.pixels + static_cast<size_t>(memoryRow) * layout.rowBytes;
  for (int32_t x = 0; x < layout.width; ++x) {
    uint32_t value = 0;
    switch (layout.bitCount) {
      case 1:
      case 4:
      case 8: {
        uint32_t bitPos = static_cast<uint32_t>(x) * layout.bitCount;
        uint32_t byte = src[bitPos / 8];
        uint32_t index = (byte >> (8 - layout.bitCount - bitPos % 8)) & ((1u << layout.bitCount) - 1);
        value = index < d.paletteSize ? d.palette[index] : 0;  // indexes past the table draw black
        break;
      }
      case 16: {
        uint32_t v = readLe16(src + static_cast<size_t>(x) * 2);
        value = d.blue(v) | d.green(v) << 8 | d.red(v) << 16;
        break;
      }
      case 24: {
        const unsigned char *p = src + static_cast<size_t>(x) * 3;
        value = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16;
        break;
      }
      default: {
        uint32_t v = readLe32(src + static_cast<size_t>(x) * 4);
        // Plain 32-bit rows keep their fourth byte, as drawing them does.
        value = d.fields ? (d.blue(v) | d.green(v) << 8 | d.red(v) << 16) : v;
        break;
      }
    }
    dst[x] = value;
  }
}

}  // namespace rx_detail

namespace {

// Draws the rows of a checked packed DIB into a locked surface of its size.
void drawDib(const unsigned char *dib, const DibLayout &layout, rx_Surface *s) {
  DibRowDecoder decoder;
  prepareDibRows(dib, layout, &decoder);
  int32_t rows = layout.height < 0 ? -layout.height : layout.height;
  for (int32_t y = 0; y < rows; ++y) decodeDibRow(decoder, y, s->bits + static_cast<size_t>(y) * s->stride);
}

}  // namespace

HDC rx_SurfaceGetDC(rx_Surface *surface, HDC *out_dc, bool clip) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return nullptr;
  if (rx_ProbeMemory(out_dc, sizeof *out_dc, true) != 0) {
    fail(state, rx_ErrArgument);
    return nullptr;
  }
  if (!recordUsable(surface)) {
    fail(state, rx_ErrNotSurface);
    return nullptr;
  }
  if (hasSignature(surface) && (loadState(surface) & rx_StateClosing)) {
    fail(state, rx_ErrClosing);
    return nullptr;
  }
  if (rx_SurfaceIsValid(surface) == 0) {
    fail(state, rx_ErrNotSurface);
    return nullptr;
  }
  if (surface->kind != rx_KindDib) {
    rx_Notify(rx_DiagNotDib);
    if (surface->kind == rx_KindView || rx_SurfaceMakeDib(surface) == 0) {
      fail(state, rx_ErrNoDC);
      return nullptr;
    }
  }
  uint32_t self = os_ThreadId();
  bool took = false;
  if (!takeExclusiveUse(surface, self, &took)) {
    fail(state, rx_ErrClosing);
    return nullptr;
  }
  HDC dc = dibContext(surface);
  if (!readDibInfo(surface) || SelectObject(dc, dibBitmap(surface)) == nullptr) {
    if (took) releaseOwner(surface, self);
    fail(state, rx_ErrGdi);
    return nullptr;
  }
  SelectClipRgn(dc, nullptr);
  if (clip) {
    // The thread's clip is inclusive; regions exclude their right and bottom edges.
    HRGN region = CreateRectRgn(state->clipLeft, state->clipTop, state->clipRight + 1, state->clipBottom + 1);
    SelectClipRgn(dc, region);
    DeleteObject(region);
  }
  *out_dc = dc;
  return dc;
}

int32_t rx_SurfaceReleaseDC(rx_Surface *surface, HDC *inout_dc) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (!recordUsable(surface)) return fail(state, rx_ErrNotSurface);
  GdiFlush();
  releaseOwner(surface, os_ThreadId());
  if (hasSignature(surface) && surface->kind == rx_KindDib) {
    HDC dc = dibContext(surface);
    SelectObject(dc, dibInitialBitmap(surface));
    SelectClipRgn(dc, nullptr);
  }
  if (inout_dc != nullptr && rx_ProbeMemory(inout_dc, sizeof *inout_dc, true) == 0) *inout_dc = nullptr;
  return 1;
}

int32_t rx_SurfaceMakeDib(rx_Surface *surface) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (!recordUsable(surface)) return fail(state, rx_ErrNotSurface);
  if (rx_SurfaceIsValid(surface) == 0) return fail(state, rx_ErrNoDC);
  if (surface->kind == rx_KindDib) return 1;
  if (surface->kind != rx_KindMemory) {
    rx_Notify(rx_DiagMakeDibRefused);
    return fail(state, rx_ErrClosing);
  }
  if (rx_SurfaceLock(surface, rx_LockExclusive) == 0) return fail(state, rx_ErrNoDC);
  uint32_t width = surface->width, height = surface->height;
  rx_Surface dib{};
  if (rx_SurfaceCreate(&dib, static_cast<int32_t>(width), static_cast<int32_t>(height),
                       rx_CreateDib | rx_CreateNoShrink) == 0 ||
      rx_SurfaceLock(&dib, rx_LockExclusive) == 0) {
    rx_SurfaceFree(&dib);
    rx_SurfaceUnlock(surface, rx_LockExclusive);
    return fail(state, rx_ErrNoDC);
  }
  for (uint32_t y = 0; y < height; ++y)
    std::memcpy(dib.bits + static_cast<size_t>(y) * dib.stride, surface->bits + static_cast<size_t>(y) * surface->stride,
                static_cast<size_t>(width) * 4);
  rx_SurfaceUnlock(&dib, rx_LockExclusive);
  rx_SurfaceUnlock(surface, rx_LockExclusive);
  rx_SurfaceSwap(surface, &dib);
  rx_SurfaceFree(&dib);  // now holds the old heap block
  state->lastError = rx_ErrNone;
  return 1;
}

HBITMAP rx_SurfaceDetachBitmap(rx_Surface *surface) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return nullptr;
  if (!recordUsable(surface) || rx_SurfaceIsValidOwned(surface) == 0) {  // the record was just probed
    fail(state, rx_ErrNoDC);
    return nullptr;
  }
  if (surface->kind != rx_KindDib) {
    rx_Notify(rx_DiagNotDib);
    if (rx_SurfaceMakeDib(surface) == 0) {
      fail(state, rx_ErrNoDC);
      return nullptr;
    }
  }
  GdiFlush();
  SelectObject(dibContext(surface), dibInitialBitmap(surface));
  HBITMAP bitmap = dibBitmap(surface);
  surface->storage2 = 0;  // the caller owns it now: destroy must not delete it
  rx_SurfaceFree(surface);
  return bitmap;
}

namespace {

// The system's scaled copy loses columns once a source side passes 2^16
// (fixed-point steps overflow): larger sources go in tiles whose sides stay
// far below that, each scaled by the whole copy's ratio.
bool stretchInTiles(HDC target, int32_t width, int32_t height, HDC source, int32_t srcWidth, int32_t srcHeight) {
  constexpr int64_t maxSourceSide = 16384;
  const int64_t columns = (srcWidth + maxSourceSide - 1) / maxSourceSide, rows = (srcHeight + maxSourceSide - 1) / maxSourceSide;
  for (int64_t row = 0; row < rows; ++row) {
    const int64_t y0 = row * height / rows, y1 = (row + 1) * height / rows;
    const int64_t sy0 = row * srcHeight / rows, sy1 = (row + 1) * srcHeight / rows;
    for (int64_t column = 0; column < columns; ++column) {
      const int64_t x0 = column * width / columns, x1 = (column + 1) * width / columns;
      const int64_t sx0 = column * srcWidth / columns, sx1 = (column + 1) * srcWidth / columns;
      if (x1 == x0 || y1 == y0) continue;
      if (StretchBlt(target, static_cast<int>(x0), static_cast<int>(y0), static_cast<int>(x1 - x0), static_cast<int>(y1 - y0),
                     source, static_cast<int>(sx0), static_cast<int>(sy0), static_cast<int>(sx1 - sx0),
                     static_cast<int>(sy1 - sy0), SRCCOPY) == 0)
        return false;
    }
  }
  return true;
}

}  // namespace

int32_t rx_SurfaceFromBitmap(rx_Surface *surface, HBITMAP bitmap, uint32_t flags) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (!recordUsable(surface)) return fail(state, rx_ErrNotSurface);
  BITMAP info;
  if (GetObjectW(bitmap, sizeof info, &info) < static_cast<int>(sizeof info)) return fail(state, rx_ErrArgument);
  int32_t created = rx_SurfaceCreate(surface, info.bmWidth, info.bmHeight, (flags & 0xF0) | rx_CreateDib);
  if (created == 0) return 0;
  // A shrunk surface takes the bitmap scaled, drawn below.
  bool shrunk = created == 3;
  if (rx_SurfaceLock(surface, rx_LockExclusive) == 0) return discard(state, surface, state->lastError);
  int32_t width = static_cast<int32_t>(surface->width), height = static_cast<int32_t>(surface->height);
  // Plain 32-bit rows are the surface's byte order. Bit-field masks would be
  // an output of GetDIBits, taken from the bitmap's own format: a 24-bit
  // bitmap has none, and its pixels came back garbled.
  BITMAPINFO header{};
  header.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  int rows = shrunk ? 0
                    : GetDIBits(dibContext(surface), bitmap, 0, static_cast<UINT>(height), surface->bits, &header,
                                DIB_RGB_COLORS);
  if (rows != height) {
    // Draw it instead, from a context of its own.
    HDC source = CreateCompatibleDC(nullptr);
    HGDIOBJ previous = source != nullptr ? SelectObject(source, bitmap) : nullptr;
    HDC target = dibContext(surface);
    HGDIOBJ targetPrevious = SelectObject(target, dibBitmap(surface));
    bool drawn = false;
    for (int attempt = 0; attempt < 100 && previous != nullptr && targetPrevious != nullptr && !drawn; ++attempt) {
      SetStretchBltMode(target, HALFTONE);
      SetBrushOrgEx(target, 0, 0, nullptr);
      drawn = stretchInTiles(target, width, height, source, info.bmWidth, info.bmHeight);
      if (!drawn) os_Sleep(10);
    }
    if (targetPrevious != nullptr) SelectObject(target, dibInitialBitmap(surface));
    if (previous != nullptr) SelectObject(source, previous);
    if (source != nullptr) DeleteDC(source);
    if (!drawn) {
      rx_SurfaceUnlock(surface, rx_LockExclusive);
      return discard(state, surface, rx_ErrGdi);
    }
  }
  uint32_t mode = (info.bmBitsPixel == 16 || info.bmBitsPixel == 32) ? (flags & 0xF000) : rx_AlphaOpaque;
  for (int32_t y = 0; y < height; ++y)
    rx_ConvertAlphaRow(surface->bits + static_cast<size_t>(y) * surface->stride, static_cast<size_t>(width), mode);
  rx_SurfaceUnlock(surface, rx_LockExclusive);
  state->lastError = rx_ErrNone;
  return shrunk ? 3 : 1;
}

int32_t rx_SurfaceFromDib(rx_Surface *surface, const void *packed_dib, size_t size, uint32_t flags) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (!recordUsable(surface)) return fail(state, rx_ErrNotSurface);
  if (packed_dib == nullptr) return fail(state, rx_ErrArgument);
  const auto *dib = static_cast<const unsigned char *>(packed_dib);
  DibLayout layout;
  if (!readDibLayout(dib, size, &layout)) return fail(state, rx_ErrArgument);
  int32_t rows = layout.height < 0 ? -layout.height : layout.height;
  uint32_t createFlags = (flags & (rx_CreateNoTotalLimit | rx_CreateLowerLimit)) | rx_CreateDib | rx_CreateNoShrink;
  if (rx_SurfaceCreate(surface, layout.width, rows, createFlags) == 0) return 0;
  if (rx_SurfaceLock(surface, rx_LockExclusive) == 0) return discard(state, surface, state->lastError);
  drawDib(dib, layout, surface);
  rx_SurfaceUnlock(surface, rx_LockExclusive);
  state->lastError = rx_ErrNone;
  return 1;
}

int32_t rx_SurfacePaint(HDC dc, int32_t left, int32_t top, int32_t right, int32_t bottom, rx_Surface *surface,
                        int32_t src_left, int32_t src_top, int32_t src_right, int32_t src_bottom) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (!recordUsable(surface)) return fail(state, rx_ErrNotSurface);
  int64_t width = int64_t{right} - left + 1, height = int64_t{bottom} - top + 1;
  int64_t srcWidth = int64_t{src_right} - src_left + 1, srcHeight = int64_t{src_bottom} - src_top + 1;
  if (width < 1 || height < 1 || srcWidth < 1 || srcHeight < 1) return fail(state, rx_ErrArgument);
  if (rx_SurfaceLock(surface, 0) == 0) return 0;
  auto done = [&](int32_t result, int32_t code) {
    rx_SurfaceUnlock(surface, 0);
    if (result == 0) fail(state, code);
    return result;
  };
  if (src_left < 0 || src_top < 0 || src_right >= static_cast<int64_t>(surface->width) ||
      src_bottom >= static_cast<int64_t>(surface->height))
    return done(0, rx_ErrArgument);
  int w = static_cast<int>(width), h = static_cast<int>(height);
  if (surface->kind == rx_KindDib) {
    HDC own = dibContext(surface);
    DWORD type = GetObjectType(own);
    if (own == nullptr || (type != OBJ_MEMDC && type != OBJ_DC)) return done(0, rx_ErrNoDC);
    HGDIOBJ previous = SelectObject(own, dibBitmap(surface));
    if (previous == nullptr) return done(0, rx_ErrGdi);
    int32_t result = (width == srcWidth && height == srcHeight)
                         ? BitBlt(dc, left, top, w, h, own, src_left, src_top, SRCCOPY)
                         : StretchBlt(dc, left, top, w, h, own, src_left, src_top, static_cast<int>(srcWidth),
                                      static_cast<int>(srcHeight), SRCCOPY);
    if (previous != dibBitmap(surface)) SelectObject(own, previous);
    return done(result, rx_ErrGdi);
  }
  // Other kinds: the rectangle's rows as a packed image whose width is the stride.
  uint32_t *first = surface->bits + static_cast<size_t>(src_top) * surface->stride + static_cast<size_t>(src_left);
  BITMAPV5HEADER header;
  int sw = static_cast<int>(srcWidth), sh = static_cast<int>(srcHeight);
  fillDibHeader(&header, static_cast<int32_t>(surface->stride), sh);
  SetStretchBltMode(dc, HALFTONE);
  SetBrushOrgEx(dc, 0, 0, nullptr);
  int32_t result = StretchDIBits(dc, left, top, w, h, 0, 0, sw, sh, first,
                                 reinterpret_cast<const BITMAPINFO *>(&header), DIB_RGB_COLORS, SRCCOPY);
  return done(result, rx_ErrGdi);
}
