// Bitmaps and memory device contexts in memory. Every object is a heap record
// whose first field names its type; a set of live handles makes the type
// queries exact for stale or foreign handles, as the engine relies on them to
// notice a device context that has gone away. One lock guards all objects.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_set>

#include "platform/os.h"
#include "platform/os_bitmap.h"

namespace {

struct GdiObject {
  DWORD type;
};

struct DcObject;

struct BitmapObject : GdiObject {
  int32_t width = 0;
  int32_t height = 0;  // as created: negative for top-down rows
  uint16_t bitCount = 0;
  DWORD compression = BI_RGB;
  uint32_t rowBytes = 0;
  unsigned char *memory = nullptr;  // null for the monochrome initial bitmap
  DcObject *selectedInto = nullptr;
  bool stock = false;
};

struct DcObject : GdiObject {
  BitmapObject *bitmap = nullptr;
  bool hasClip = false;
  RECT clip{};
  int stretchMode = BLACKONWHITE;
  POINT brushOrigin{};
};

struct RegionObject : GdiObject {
  RECT rect{};
};

std::mutex &gdiLock() {
  static std::mutex lock;
  return lock;
}
std::unordered_set<const void *> &liveObjects() {
  static auto *objects = new std::unordered_set<const void *>();  // outlives static destructors
  return *objects;
}

// The shared 1 x 1 monochrome bitmap every new memory device context holds.
BitmapObject *stockBitmap() {
  static BitmapObject *bitmap = [] {
    auto *b = new BitmapObject;
    b->type = OBJ_BITMAP;
    b->width = 1;
    b->height = 1;
    b->bitCount = 1;
    b->rowBytes = 2;
    b->stock = true;
    liveObjects().insert(b);
    return b;
  }();
  return bitmap;
}

// Callers hold gdiLock().
template <typename T>
T *lookup(const void *handle, DWORD type) {
  if (handle == nullptr || liveObjects().count(handle) == 0) return nullptr;
  auto *object = static_cast<GdiObject *>(const_cast<void *>(handle));
  return object->type == type ? static_cast<T *>(object) : nullptr;
}

bool insertLive(const void *object) {
  try {
    liveObjects().insert(object);
    return true;
  } catch (const std::bad_alloc &) {
    return false;
  }
}

uint32_t rowBytesFor(int32_t width, uint16_t bitCount) {
  return static_cast<uint32_t>((static_cast<uint64_t>(width) * bitCount + 31) / 32 * 4);
}

int32_t absHeight(const BitmapObject *b) { return b->height < 0 ? -b->height : b->height; }

// Row `y` counted from the top of the image.
unsigned char *rowAt(const BitmapObject *b, int32_t y) {
  int32_t memoryRow = b->height < 0 ? y : absHeight(b) - 1 - y;
  return b->memory + static_cast<size_t>(memoryRow) * b->rowBytes;
}

// The pixel formats these bitmaps hold: 24 or 32 bits, and bit fields only
// with the byte-aligned masks of the 32-bit surfaces.
struct PixelFormat {
  int32_t width;
  int32_t height;
  uint16_t bitCount;
  DWORD compression;
};

bool readFormat(const BITMAPINFO *info, PixelFormat *format) {
  if (info == nullptr) return false;
  const BITMAPINFOHEADER &h = info->bmiHeader;
  if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biSize > sizeof(BITMAPV5HEADER)) return false;
  if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN) return false;
  if (h.biBitCount != 24 && h.biBitCount != 32) return false;
  if (h.biCompression == BI_BITFIELDS) {
    if (h.biBitCount != 32) return false;
    // Masks sit in the header from the 52-byte version on, else right after it.
    const auto *masks = h.biSize >= 52
                            ? reinterpret_cast<const DWORD *>(reinterpret_cast<const unsigned char *>(info) + 40)
                            : reinterpret_cast<const DWORD *>(info->bmiColors);
    if (masks[0] != 0x00FF0000u || masks[1] != 0x0000FF00u || masks[2] != 0x000000FFu) return false;
  } else if (h.biCompression != BI_RGB) {
    return false;
  }
  format->width = h.biWidth;
  format->height = h.biHeight;
  format->bitCount = h.biBitCount;
  format->compression = h.biCompression;
  return true;
}

uint32_t loadPixel(const unsigned char *row, int32_t x, uint16_t bitCount) {
  if (bitCount == 32) {
    uint32_t value;
    std::memcpy(&value, row + static_cast<size_t>(x) * 4, 4);
    return value;
  }
  const unsigned char *p = row + static_cast<size_t>(x) * 3;
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16;
}

void storePixel(unsigned char *row, int32_t x, uint16_t bitCount, uint32_t value) {
  if (bitCount == 32) {
    std::memcpy(row + static_cast<size_t>(x) * 4, &value, 4);
    return;
  }
  unsigned char *p = row + static_cast<size_t>(x) * 3;
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
  p[2] = static_cast<unsigned char>(value >> 16);
}

// Copies a run of pixels between rows of either format; equal formats move
// bytes (overlap allowed), 24 to 32 bits gives a fourth byte of 0.
void copyRun(unsigned char *dst, uint16_t dstBits, int32_t dstX, const unsigned char *src, uint16_t srcBits,
             int32_t srcX, int32_t count) {
  if (dstBits == srcBits) {
    size_t bytes = dstBits / 8;
    std::memmove(dst + dstX * bytes, src + srcX * bytes, static_cast<size_t>(count) * bytes);
    return;
  }
  for (int32_t i = 0; i < count; ++i) storePixel(dst, dstX + i, dstBits, loadPixel(src, srcX + i, srcBits));
}

bool intersect(RECT *r, const RECT &with) {
  r->left = std::max(r->left, with.left);
  r->top = std::max(r->top, with.top);
  r->right = std::min(r->right, with.right);
  r->bottom = std::min(r->bottom, with.bottom);
  return r->left < r->right && r->top < r->bottom;
}

// The destination area of a copy to (x, y, width, height) in `dc`, clipped
// to its bitmap and clip region; false when nothing remains.
bool clipDestination(const DcObject *dc, int x, int y, int width, int height, RECT *area) {
  const BitmapObject *b = dc->bitmap;
  *area = RECT{x, y, x + width, y + height};
  if (!intersect(area, RECT{0, 0, b->width, absHeight(b)})) return false;
  return !dc->hasClip || intersect(area, dc->clip);
}

bool drawable(const BitmapObject *b) {
  return b != nullptr && !b->stock && b->memory != nullptr;
}

std::atomic<os_StretchPixels> gStretcher{nullptr};

// Scales 32-bit rows (top row first, `src_stride` pixels apart) into a 32-bit
// top-down bitmap selected into `dc`, honouring its clip region.
bool stretchInto(const DcObject *dc, int x, int y, int width, int height, const uint32_t *src, int32_t src_w,
                 int32_t src_h, int32_t src_stride, int src_x, int src_y, int src_width, int src_height) {
  const BitmapObject *d = dc->bitmap;
  os_StretchPixels stretcher = gStretcher.load();
  if (stretcher == nullptr || d->bitCount != 32 || d->height > 0 || width <= 0 || height <= 0 || src_width <= 0 ||
      src_height <= 0)
    return false;
  int32_t clip[4] = {dc->clip.left, dc->clip.top, dc->clip.right, dc->clip.bottom};
  return stretcher(reinterpret_cast<uint32_t *>(d->memory), d->width, absHeight(d),
                   static_cast<int32_t>(d->rowBytes / 4), x, y, width, height, src, src_w, src_h, src_stride, src_x,
                   src_y, src_width, src_height, dc->hasClip ? clip : nullptr) != 0;
}

// Image rows [first, first + count) (counted from the top) of 24- or 32-bit
// rows in either order, as 32-bit top-down pixels: what the stretcher reads.
std::unique_ptr<uint32_t[]> topDownRows(const unsigned char *memory, int32_t width, int32_t height,
                                        uint16_t bitCount, int32_t first, int32_t count) {
  std::unique_ptr<uint32_t[]> rows(new (std::nothrow) uint32_t[static_cast<size_t>(width) * count]);
  if (!rows) return rows;
  int32_t total = height < 0 ? -height : height;
  uint32_t rowBytes = rowBytesFor(width, bitCount);
  for (int32_t i = 0; i < count; ++i) {
    int32_t y = first + i, memoryRow = height < 0 ? y : total - 1 - y;
    copyRun(reinterpret_cast<unsigned char *>(&rows[static_cast<size_t>(i) * width]), 32, 0,
            memory + static_cast<size_t>(memoryRow) * rowBytes, bitCount, 0, width);
  }
  return rows;
}

}  // namespace

extern "C" {

HDC CreateCompatibleDC(HDC reference) {
  (void)reference;  // no screen: every context is a memory context
  auto *dc = new (std::nothrow) DcObject;
  if (dc == nullptr) {
    os_SetLastError(os_Error::outOfMemory);
    return nullptr;
  }
  dc->type = OBJ_MEMDC;
  std::lock_guard<std::mutex> guard(gdiLock());
  dc->bitmap = stockBitmap();
  if (!insertLive(dc)) {
    delete dc;
    os_SetLastError(os_Error::outOfMemory);
    return nullptr;
  }
  return dc;
}

BOOL DeleteDC(HDC handle) {
  std::lock_guard<std::mutex> guard(gdiLock());
  auto *dc = lookup<DcObject>(handle, OBJ_MEMDC);
  if (dc == nullptr) return FALSE;
  if (!dc->bitmap->stock) dc->bitmap->selectedInto = nullptr;
  liveObjects().erase(dc);
  delete dc;
  return TRUE;
}

DWORD GetObjectType(HGDIOBJ handle) {
  std::lock_guard<std::mutex> guard(gdiLock());
  if (handle == nullptr || liveObjects().count(handle) == 0) return 0;
  return static_cast<GdiObject *>(handle)->type;
}

BOOL GdiFlush(void) { return TRUE; }  // nothing is batched here

HGDIOBJ SelectObject(HDC handle, HGDIOBJ object) {
  std::lock_guard<std::mutex> guard(gdiLock());
  auto *dc = lookup<DcObject>(handle, OBJ_MEMDC);
  if (dc == nullptr) return nullptr;
  if (auto *region = lookup<RegionObject>(object, OBJ_REGION)) {
    dc->hasClip = true;
    dc->clip = region->rect;
    return reinterpret_cast<HGDIOBJ>(static_cast<intptr_t>(SIMPLEREGION));
  }
  auto *bitmap = lookup<BitmapObject>(object, OBJ_BITMAP);
  if (bitmap == nullptr) return nullptr;
  if (!bitmap->stock && bitmap->selectedInto != nullptr && bitmap->selectedInto != dc) return nullptr;
  BitmapObject *previous = dc->bitmap;
  if (previous != bitmap) {
    if (!previous->stock) previous->selectedInto = nullptr;
    dc->bitmap = bitmap;
    if (!bitmap->stock) bitmap->selectedInto = dc;
  }
  return previous;
}

HGDIOBJ GetCurrentObject(HDC handle, UINT type) {
  std::lock_guard<std::mutex> guard(gdiLock());
  auto *dc = lookup<DcObject>(handle, OBJ_MEMDC);
  if (dc == nullptr || type != OBJ_BITMAP) return nullptr;
  return dc->bitmap;
}

HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO *info, UINT usage, void **bits, HANDLE section, DWORD offset) {
  (void)dc;
  if (bits != nullptr) *bits = nullptr;
  PixelFormat format;
  if (!readFormat(info, &format) || usage != DIB_RGB_COLORS || section != nullptr || offset != 0) {
    os_SetLastError(os_Error::invalidArgument);
    return nullptr;
  }
  // In 64 bits: a row of 2^32 bytes, or a section past a 32-bit address
  // space, must fail instead of wrapping into a small block.
  const uint64_t rowBytes = (static_cast<uint64_t>(format.width) * format.bitCount + 31) / 32 * 4;
  uint64_t rows = format.height < 0 ? -static_cast<int64_t>(format.height) : format.height;
  uint64_t bytes = rowBytes * rows;
  if (os_FaultDue(os_FaultKind::allocation) || rowBytes > UINT32_MAX ||
      bytes > std::min<uint64_t>(uint64_t{1} << 34, SIZE_MAX)) {
    os_SetLastError(os_Error::outOfMemory);
    return nullptr;
  }
  auto *bitmap = new (std::nothrow) BitmapObject;
  // Zero-filled like the system's sections; large blocks come as untouched pages.
  void *memory = bitmap != nullptr ? std::calloc(1, static_cast<size_t>(bytes)) : nullptr;
  if (memory == nullptr) {
    delete bitmap;
    os_SetLastError(os_Error::outOfMemory);
    return nullptr;
  }
  bitmap->type = OBJ_BITMAP;
  bitmap->width = format.width;
  bitmap->height = format.height;
  bitmap->bitCount = format.bitCount;
  bitmap->compression = format.compression;
  bitmap->rowBytes = static_cast<uint32_t>(rowBytes);
  bitmap->memory = static_cast<unsigned char *>(memory);
  {
    std::lock_guard<std::mutex> guard(gdiLock());
    if (!insertLive(bitmap)) {
      std::free(memory);
      delete bitmap;
      os_SetLastError(os_Error::outOfMemory);
      return nullptr;
    }
  }
  if (bits != nullptr) *bits = memory;
  return bitmap;
}

BOOL DeleteObject(HGDIOBJ object) {
  std::lock_guard<std::mutex> guard(gdiLock());
  if (auto *region = lookup<RegionObject>(object, OBJ_REGION)) {
    liveObjects().erase(region);
    delete region;
    return TRUE;
  }
  auto *bitmap = lookup<BitmapObject>(object, OBJ_BITMAP);
  if (bitmap == nullptr) return FALSE;
  if (bitmap->stock) return TRUE;  // the shared initial bitmap is never freed
  if (bitmap->selectedInto != nullptr) return FALSE;
  liveObjects().erase(bitmap);
  std::free(bitmap->memory);
  delete bitmap;
  return TRUE;
}

int GetObjectW(HGDIOBJ object, int size, void *buffer) {
  std::lock_guard<std::mutex> guard(gdiLock());
  auto *bitmap = lookup<BitmapObject>(object, OBJ_BITMAP);
  if (bitmap == nullptr || size < 0) return 0;
  bool section = !bitmap->stock;
  if (buffer == nullptr) return section ? static_cast<int>(sizeof(DIBSECTION)) : static_cast<int>(sizeof(BITMAP));
  BITMAP bm{};
  bm.bmType = 0;
  bm.bmWidth = bitmap->width;
  bm.bmHeight = absHeight(bitmap);
  bm.bmWidthBytes = static_cast<LONG>(bitmap->rowBytes);
  bm.bmPlanes = 1;
  bm.bmBitsPixel = bitmap->bitCount;
  bm.bmBits = bitmap->memory;
  if (section && static_cast<size_t>(size) >= sizeof(DIBSECTION)) {
    DIBSECTION ds{};
    ds.dsBm = bm;
    ds.dsBmih.biSize = sizeof(BITMAPINFOHEADER);
    ds.dsBmih.biWidth = bitmap->width;
    ds.dsBmih.biHeight = bitmap->height;
    ds.dsBmih.biPlanes = 1;
    ds.dsBmih.biBitCount = bitmap->bitCount;
    ds.dsBmih.biCompression = bitmap->compression;
    ds.dsBmih.biSizeImage = static_cast<DWORD>(bitmap->rowBytes * static_cast<uint64_t>(absHeight(bitmap)));
    if (bitmap->compression == BI_BITFIELDS) {
      ds.dsBitfields[0] = 0x00FF0000u;
      ds.dsBitfields[1] = 0x0000FF00u;
      ds.dsBitfields[2] = 0x000000FFu;
    }
    std::memcpy(buffer, &ds, sizeof ds);
    return static_cast<int>(sizeof ds);
  }
  if (static_cast<size_t>(size) < sizeof(BITMAP)) return 0;
  std::memcpy(buffer, &bm, sizeof bm);
  return static_cast<int>(sizeof bm);
}

int GetDIBits(HDC dc, HBITMAP handle, UINT start, UINT lines, void *bits, BITMAPINFO *info, UINT usage) {
  (void)dc;
  if (info == nullptr || usage != DIB_RGB_COLORS) return 0;
  std::lock_guard<std::mutex> guard(gdiLock());
  auto *bitmap = lookup<BitmapObject>(handle, OBJ_BITMAP);
  if (!drawable(bitmap)) return 0;
  int32_t height = absHeight(bitmap);
  if (bits == nullptr) {
    // Describe the bitmap in the caller's header, bottom-up as the system does.
    BITMAPINFOHEADER &h = info->bmiHeader;
    if (h.biSize < sizeof(BITMAPINFOHEADER)) return 0;
    h.biWidth = bitmap->width;
    h.biHeight = height;
    h.biPlanes = 1;
    h.biBitCount = bitmap->bitCount;
    h.biCompression = bitmap->compression;
    h.biSizeImage = static_cast<DWORD>(bitmap->rowBytes * static_cast<uint64_t>(height));
    return height;
  }
  PixelFormat format;
  if (!readFormat(info, &format) || format.width != bitmap->width) return 0;
  int32_t formatRows = format.height < 0 ? -format.height : format.height;
  if (formatRows != height || start >= static_cast<UINT>(height)) return 0;
  UINT count = std::min<UINT>(lines, static_cast<UINT>(height) - start);
  uint32_t dstRowBytes = rowBytesFor(format.width, format.bitCount);
  for (UINT i = 0; i < count; ++i) {
    // Scan lines count from the top for a top-down header, else from the bottom.
    UINT scan = start + i;
    int32_t y = format.height < 0 ? static_cast<int32_t>(scan) : height - 1 - static_cast<int32_t>(scan);
    auto *dst = static_cast<unsigned char *>(bits) + static_cast<size_t>(i) * dstRowBytes;
    copyRun(dst, format.bitCount, 0, rowAt(bitmap, y), bitmap->bitCount, 0, bitmap->width);
  }
  return static_cast<int>(count);
}

HRGN CreateRectRgn(int left, int top, int right, int bottom) {
  auto *region = new (std::nothrow) RegionObject;
  if (region == nullptr) return nullptr;
  region->type = OBJ_REGION;
  region->rect = RECT{std::min(left, right), std::min(top, bottom), std::max(left, right), std::max(top, bottom)};
  std::lock_guard<std::mutex> guard(gdiLock());
  if (!insertLive(region)) {
    delete region;
    return nullptr;
  }
  return region;
}

int SelectClipRgn(HDC handle, HRGN region_handle) {
  std::lock_guard<std::mutex> guard(gdiLock());
  auto *dc = lookup<DcObject>(handle, OBJ_MEMDC);
  if (dc == nullptr) return RGN_ERROR;
  if (region_handle == nullptr) {
    dc->hasClip = false;
    return SIMPLEREGION;
  }
  auto *region = lookup<RegionObject>(region_handle, OBJ_REGION);
  if (region == nullptr) return RGN_ERROR;
  dc->hasClip = true;
  dc->clip = region->rect;
  bool empty = region->rect.left >= region->rect.right || region->rect.top >= region->rect.bottom;
  return empty ? NULLREGION : SIMPLEREGION;
}

int GetClipBox(HDC handle, RECT *rect) {
  if (rect == nullptr) return RGN_ERROR;
  std::lock_guard<std::mutex> guard(gdiLock());
  auto *dc = lookup<DcObject>(handle, OBJ_MEMDC);
  if (dc == nullptr) return RGN_ERROR;
  RECT box{0, 0, dc->bitmap->width, absHeight(dc->bitmap)};
  if (dc->hasClip && !intersect(&box, dc->clip)) {
    *rect = RECT{0, 0, 0, 0};
    return NULLREGION;
  }
  *rect = box;
  return SIMPLEREGION;
}

int SetStretchBltMode(HDC handle, int mode) {
  std::lock_guard<std::mutex> guard(gdiLock());
  auto *dc = lookup<DcObject>(handle, OBJ_MEMDC);
  if (dc == nullptr || mode < BLACKONWHITE || mode > HALFTONE) return 0;
  int previous = dc->stretchMode;
  dc->stretchMode = mode;
  return previous;
}

BOOL SetBrushOrgEx(HDC handle, int x, int y, POINT *previous) {
  std::lock_guard<std::mutex> guard(gdiLock());
  auto *dc = lookup<DcObject>(handle, OBJ_MEMDC);
  if (dc == nullptr) return FALSE;
  if (previous != nullptr) *previous = dc->brushOrigin;
  dc->brushOrigin = POINT{x, y};
  return TRUE;
}

BOOL BitBlt(HDC dst_handle, int x, int y, int width, int height, HDC src_handle, int src_x, int src_y, DWORD rop) {
  if (rop != SRCCOPY) return FALSE;
  std::lock_guard<std::mutex> guard(gdiLock());
  auto *dst = lookup<DcObject>(dst_handle, OBJ_MEMDC);
  auto *src = lookup<DcObject>(src_handle, OBJ_MEMDC);
  if (dst == nullptr || src == nullptr || !drawable(dst->bitmap) || !drawable(src->bitmap)) return FALSE;
  if (width <= 0 || height <= 0) return TRUE;
  RECT area;
  if (!clipDestination(dst, x, y, width, height, &area)) return TRUE;
  // Keep only what the source can supply.
  const BitmapObject *s = src->bitmap;
  int dx = src_x - x, dy = src_y - y;
  if (!intersect(&area, RECT{-dx, -dy, s->width - dx, absHeight(s) - dy})) return TRUE;
  const BitmapObject *d = dst->bitmap;
  int32_t run = area.right - area.left;
  // Walk upwards when copying downwards inside one bitmap, so no row is read after it was overwritten.
  bool upwards = s == d && dy < 0;
  for (int32_t i = 0; i < area.bottom - area.top; ++i) {
    int32_t row = upwards ? area.bottom - 1 - i : area.top + i;
    copyRun(rowAt(d, row), d->bitCount, area.left, rowAt(s, row + dy), s->bitCount, area.left + dx, run);
  }
  return TRUE;
}

BOOL StretchBlt(HDC dst_handle, int x, int y, int width, int height, HDC src_handle, int src_x, int src_y,
                int src_width, int src_height, DWORD rop) {
  if (width == src_width && height == src_height) return BitBlt(dst_handle, x, y, width, height, src_handle, src_x, src_y, rop);
  if (rop != SRCCOPY) return FALSE;
  std::lock_guard<std::mutex> guard(gdiLock());
  auto *dst = lookup<DcObject>(dst_handle, OBJ_MEMDC);
  auto *src = lookup<DcObject>(src_handle, OBJ_MEMDC);
  if (dst == nullptr || src == nullptr || !drawable(dst->bitmap) || !drawable(src->bitmap)) return FALSE;
  const BitmapObject *s = src->bitmap;
  if (s->bitCount == 32 && s->height < 0 && s->memory != dst->bitmap->memory)
    return stretchInto(dst, x, y, width, height, reinterpret_cast<const uint32_t *>(s->memory), s->width,
                       absHeight(s), static_cast<int32_t>(s->rowBytes / 4), src_x, src_y, src_width, src_height)
               ? TRUE
               : FALSE;
  // Other sources (24 bits, bottom-up, or the destination itself) go through
  // a top-down copy of the rows the rectangle covers, with two rows either
  // side for the filter to reach.
  int64_t first = std::clamp<int64_t>(int64_t{src_y} - 2, 0, absHeight(s));
  int64_t last = std::clamp<int64_t>(int64_t{src_y} + src_height + 2, 0, absHeight(s));
  if (last <= first) return FALSE;
  auto rows = topDownRows(s->memory, s->width, s->height, s->bitCount, static_cast<int32_t>(first),
                          static_cast<int32_t>(last - first));
  if (!rows) return FALSE;
  return stretchInto(dst, x, y, width, height, rows.get(), s->width, static_cast<int32_t>(last - first), s->width,
                     src_x, static_cast<int32_t>(src_y - first), src_width, src_height)
             ? TRUE
             : FALSE;
}

int StretchDIBits(HDC dst_handle, int x, int y, int width, int height, int src_x, int src_y, int src_width,
                  int src_height, const void *bits, const BITMAPINFO *info, UINT usage, DWORD rop) {
  if (rop != SRCCOPY || usage != DIB_RGB_COLORS || bits == nullptr) return 0;
  if (width <= 0 || height <= 0 || src_width <= 0 || src_height <= 0) return 0;
  PixelFormat format;
  if (!readFormat(info, &format)) return 0;
  int32_t rows = format.height < 0 ? -format.height : format.height;
  if (width != src_width || height != src_height) {
    // Scaled: 32-bit top-down rows as they are, any other rows through a
    // top-down 32-bit copy of the rectangle's rows.
    if (src_x < 0 || src_y < 0 || src_x > format.width - src_width || src_y > rows - src_height) return 0;
    const auto *pixels = static_cast<const uint32_t *>(bits);
    std::unique_ptr<uint32_t[]> copy;
    int32_t sourceRows = rows;
    if (format.bitCount != 32 || format.height > 0) {
      copy = topDownRows(static_cast<const unsigned char *>(bits), format.width, format.height, format.bitCount,
                         src_y, src_height);
      if (!copy) return 0;
      pixels = copy.get(), sourceRows = src_height, src_y = 0;
    }
    std::lock_guard<std::mutex> guard(gdiLock());
    auto *dst = lookup<DcObject>(dst_handle, OBJ_MEMDC);
    if (dst == nullptr || !drawable(dst->bitmap)) return 0;
    return stretchInto(dst, x, y, width, height, pixels, format.width, sourceRows, format.width, src_x, src_y,
                       src_width, src_height)
               ? height
               : 0;
  }
  if (src_x < 0 || src_y < 0 || src_x > format.width - width || src_y > rows - height) return 0;
  std::lock_guard<std::mutex> guard(gdiLock());
  auto *dst = lookup<DcObject>(dst_handle, OBJ_MEMDC);
  if (dst == nullptr || !drawable(dst->bitmap)) return 0;
  RECT area;
  if (!clipDestination(dst, x, y, width, height, &area)) return height;
  uint32_t srcRowBytes = rowBytesFor(format.width, format.bitCount);
  const BitmapObject *d = dst->bitmap;
  for (int32_t row = area.top; row < area.bottom; ++row) {
    // The source rectangle counts rows from the top of the image either way.
    int32_t imageRow = src_y + (row - y);
    int32_t memoryRow = format.height < 0 ? imageRow : rows - 1 - imageRow;
    auto *src = static_cast<const unsigned char *>(bits) + static_cast<size_t>(memoryRow) * srcRowBytes;
    copyRun(rowAt(d, row), d->bitCount, area.left, src, format.bitCount, src_x + (area.left - x),
            area.right - area.left);
  }
  return height;
}

}  // extern "C"

void os_SetBitmapStretcher(os_StretchPixels stretcher) { gStretcher.store(stretcher); }

bool os_BitmapFailedForMemory() { return os_LastError() == os_Error::outOfMemory; }
