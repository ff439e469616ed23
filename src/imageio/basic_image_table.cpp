// pi_BasicImage: surfaces for a plug-in's own use, described by its image
// record, and the raster operations on them.
#include <algorithm>
#include <cstring>

#include "imageio/host_services.h"
#include "platform/os.h"
#include "raster/kernels/kernels.h"
#include "raster/surface.h"
#include "raster/thread_state.h"

static_assert(sizeof(FltRect) == sizeof(rx_Rect), "plug-in rectangles are engine rectangles");

namespace {

// The host's bits in the record's reserved word: an iterator is open, and
// it mirrors the surface when it ends.
constexpr uint32_t kRowsOpen = 1;
constexpr uint32_t kRowsMirror = 2;

// Option bits of the drawing slots' mode word.
constexpr uint32_t kModeTransparency = 0xFF;
constexpr uint32_t kModeClip = 0x100;
constexpr uint32_t kModeMirrorX = 1;
constexpr uint32_t kModeMirrorY = 2;
constexpr uint32_t kRegionBits = 0x4003;

uint32_t clipOption(uint32_t mode) { return (mode & kModeClip) ? static_cast<uint32_t>(rx_OptClip) : 0u; }

bool recordUsable(const FltImage *img) {
  return img != nullptr && rx_ProbeMemory(img, sizeof *img, true) == 0;
}

rx_Surface *surfaceOf(const FltImage *img) {
  if (img == nullptr || rx_ProbeMemory(img, sizeof *img, false) != 0) return nullptr;
  auto *surface = static_cast<rx_Surface *>(img->surface);
  if (surface == nullptr || rx_ProbeMemory(surface, sizeof *surface, true) != 0) return nullptr;
  return surface;
}

// Releases the record's surface and its block, and zeroes the record.
void releaseRecord(FltImage *img) {
  if (rx_Surface *surface = surfaceOf(img)) {
    rx_SurfaceFree(surface);
    os_GlobalRelease(reinterpret_cast<HGLOBAL>(surface));
  }
  std::memset(img, 0, sizeof *img);
}

rx_Surface *newSurfaceBlock() { return static_cast<rx_Surface *>(GlobalAlloc(GPTR, sizeof(rx_Surface))); }

// Puts a freshly made surface block into the record in place of the old one.
int32_t adopt(FltImage *img, rx_Surface *surface, int32_t made) {
  if (made == 0) {
    os_GlobalRelease(reinterpret_cast<HGLOBAL>(surface));
    return 0;
  }
  releaseRecord(img);
  img->surface = surface;
  io_ImageRefresh(img);
  return made;
}

bool sizeOf(rx_Surface *surface, int32_t *width, int32_t *height) {
  if (rx_SurfaceLock(surface, 0) == 0) return false;
  *width = static_cast<int32_t>(surface->width);
  *height = static_cast<int32_t>(surface->height);
  rx_SurfaceUnlock(surface, 0);
  return true;
}

// A rectangle argument: null means the whole surface; false for an
// unreadable or empty one.
bool rectOf(const FltRect *rect, rx_Surface *surface, rx_Rect *out) {
  if (rect == nullptr) {
    int32_t w = 0, h = 0;
    if (!sizeOf(surface, &w, &h)) return false;
    *out = rx_Rect{0, 0, w - 1, h - 1, 1};
    return true;
  }
  if (rx_ProbeMemory(rect, sizeof *rect, false) != 0 || rect->valid == 0) return false;
  std::memcpy(out, rect, sizeof *out);
  return true;
}

int32_t VGM_API create(FltImage *img, int32_t width, int32_t height) {
  return recordUsable(img) ? io_ImageCreate(img, width, height) : 0;
}

int32_t VGM_API wrap(FltImage *img, int32_t width, int32_t height, int32_t stride, void *pixels) {
  if (!recordUsable(img)) return 0;
  rx_Surface *surface = newSurfaceBlock();
  if (surface == nullptr) return 0;
  return adopt(img, surface, rx_SurfaceWrap(surface, width, height, stride, pixels));
}

int32_t VGM_API freeImage(FltImage *img) {
  rx_Surface *surface = surfaceOf(img);
  if (surface == nullptr || !recordUsable(img) || rx_SurfaceIsValid(surface) == 0) return 0;
  releaseRecord(img);
  return 1;
}

int32_t VGM_API isValid(FltImage *img) {
  rx_Surface *surface = surfaceOf(img);
  return surface != nullptr ? rx_SurfaceIsValid(surface) : 0;
}

int32_t VGM_API lock(FltImage *img) {
  rx_Surface *surface = surfaceOf(img);
  if (surface == nullptr || rx_SurfaceLock(surface, 0) == 0) return 0;
  io_ImageRefresh(img);
  return 1;
}

int32_t VGM_API unlock(FltImage *img) {
  rx_Surface *surface = surfaceOf(img);
  return surface != nullptr ? rx_SurfaceUnlock(surface, 0) : 0;
}

HDC VGM_API getDC(FltImage *img) {
  rx_Surface *surface = surfaceOf(img);
  if (surface == nullptr) return nullptr;
  HDC dc = nullptr;
  HDC result = rx_SurfaceGetDC(surface, &dc, false);
  io_ImageRefresh(img);  // the pixels may have moved into a bitmap
  return result;
}

int32_t VGM_API releaseDC(FltImage *img, HDC dc) {
  rx_Surface *surface = surfaceOf(img);
  return surface != nullptr ? rx_SurfaceReleaseDC(surface, &dc) : 0;
}

int32_t VGM_API refresh(FltImage *img) {
  rx_Surface *surface = surfaceOf(img);
  if (surface == nullptr || rx_SurfaceRefresh(surface) == 0) return 0;
  io_ImageRefresh(img);
  return 1;
}

int32_t VGM_API setClip(const FltRect *rect) {
  static constexpr rx_Rect kFullRange{0, 0, 65535, 65535, 1};
  return rx_SetClipRect(rect != nullptr ? reinterpret_cast<const rx_Rect *>(rect) : &kFullRange);
}

int32_t VGM_API getClip(FltRect *rect) { return rx_GetClipRect(reinterpret_cast<rx_Rect *>(rect)); }

int32_t VGM_API copy(FltImage *img, const FltImage *source) {
  rx_Surface *from = surfaceOf(source);
  if (from == nullptr || !recordUsable(img)) return 0;
  rx_Surface *surface = newSurfaceBlock();
  if (surface == nullptr) return 0;
  return adopt(img, surface, rx_SurfaceCopy(surface, from));
}

// Runs a surface operation and refreshes the record afterwards.
template <typename Operation>
int32_t changed(FltImage *img, Operation operation) {
  rx_Surface *surface = surfaceOf(img);
  if (surface == nullptr) return 0;
  int32_t result = operation(surface);
  io_ImageRefresh(img);
  return result;
}

int32_t VGM_API resize(FltImage *img, int32_t width, int32_t height) {
  return changed(img, [&](rx_Surface *s) { return rx_SurfaceResize(s, width, height, 0) != 0 ? 1 : 0; });
}

int32_t VGM_API flip(FltImage *img, uint32_t flags) {
  return changed(img, [&](rx_Surface *s) { return rx_SurfaceFlip(s, flags & 3); });
}

int32_t VGM_API rotate(FltImage *img, int32_t quarter_turns) {
  return changed(img, [&](rx_Surface *s) { return rx_SurfaceRotate(s, quarter_turns); });
}

int32_t VGM_API fixAlpha(FltImage *img, uint32_t mode) {
  uint32_t m = mode & 15;
  if (m < 1 || m > 5) return 0;
  return changed(img, [&](rx_Surface *s) { return rx_SurfaceFixAlpha(s, m << 12); });
}

int32_t VGM_API compare(const FltImage *a, const FltImage *b, FltRect *difference) {
  rx_Surface *sa = surfaceOf(a), *sb = surfaceOf(b);
  if (sa == nullptr || sb == nullptr) return 0;
  return rx_SurfaceCompare(sa, sb, 0, reinterpret_cast<rx_Rect *>(difference));
}

// The drawing slots: both surfaces and both rectangles resolved, or false.
struct Draw {
  rx_Surface *dst;
  rx_Surface *src;
  rx_Rect d;
  rx_Rect s;
};
bool resolve(FltImage *dest, const FltRect *dest_rect, const FltImage *source, const FltRect *source_rect, Draw *o) {
  o->dst = surfaceOf(dest);
  o->src = surfaceOf(source);
  return o->dst != nullptr && o->src != nullptr && rectOf(dest_rect, o->dst, &o->d) && rectOf(source_rect, o->src, &o->s);
}

// The dispatcher leaves its own clip on the thread: the plug-in's is put back.
int32_t drawQuad(const Draw &w, const rx_PointF corners[4], uint32_t mode) {
  rx_Rect clip{};
  rx_GetClipRect(&clip);
  int32_t result = rx_DrawQuad(w.dst, w.src, corners, &w.s, static_cast<int32_t>(mode & kModeTransparency),
                               static_cast<int32_t>((mode >> 16) & 0xFF), 0, nullptr, nullptr);
  rx_SetClipRect(&clip);
  return result;
}

void rectCorners(int32_t l, int32_t t, int32_t r, int32_t b, rx_PointF c[4]) {
  c[0] = {float(l), float(t)}, c[1] = {float(r), float(t)}, c[2] = {float(r), float(b)}, c[3] = {float(l), float(b)};
}

int32_t VGM_API blit(FltImage *dest, const FltRect *dest_rect, const FltImage *source, const FltRect *source_rect,
                     uint32_t mode) {
  Draw w;
  if (!resolve(dest, dest_rect, source, source_rect, &w)) return 0;
  return rx_CopyRect(w.dst, w.d.left, w.d.top, w.d.left + (w.s.right - w.s.left), w.d.top + (w.s.bottom - w.s.top),
                     w.src, w.s.left, w.s.top, w.s.right, w.s.bottom, clipOption(mode) | rx_OptNoScale);
}

int32_t VGM_API blitScaled(FltImage *dest, const FltRect *dest_rect, const FltImage *source,
                           const FltRect *source_rect, uint32_t mode) {
  Draw w;
  if (!resolve(dest, dest_rect, source, source_rect, &w)) return 0;
  return rx_ResampleRect(w.dst, w.d.left, w.d.top, w.d.right, w.d.bottom, w.src, w.s.left, w.s.top, w.s.right,
                         w.s.bottom, clipOption(mode));
}

int32_t VGM_API blend(FltImage *dest, const FltRect *dest_rect, const FltImage *source, const FltRect *source_rect,
                      uint32_t mode) {
  Draw w;
  if (!resolve(dest, dest_rect, source, source_rect, &w)) return 0;
  rx_PointF c[4];
  rectCorners(w.d.left, w.d.top, w.d.left + (w.s.right - w.s.left), w.d.top + (w.s.bottom - w.s.top), c);
  return drawQuad(w, c, mode);
}

int32_t VGM_API blendScaled(FltImage *dest, const FltRect *dest_rect, const FltImage *source,
                            const FltRect *source_rect, uint32_t mode) {
  Draw w;
  if (!resolve(dest, dest_rect, source, source_rect, &w)) return 0;
  rx_PointF c[4];
  rectCorners(w.d.left, w.d.top, w.d.right, w.d.bottom, c);
  return drawQuad(w, c, mode);
}

int32_t VGM_API transform(FltImage *dest, const FltRect *dest_rect, const FltImage *source,
                          const FltRect *source_rect, uint32_t mode) {
  Draw w;
  if (!resolve(dest, dest_rect, source, source_rect, &w)) return 0;
  rx_PointF c[4];
  rectCorners(w.d.left, w.d.top, w.d.right, w.d.bottom, c);
  if (mode & kModeMirrorX) std::swap(c[0], c[1]), std::swap(c[2], c[3]);
  if (mode & kModeMirrorY) std::swap(c[0], c[3]), std::swap(c[1], c[2]);
  rx_Rect clip{};
  rx_GetClipRect(&clip);
  int32_t result = rx_CopyQuad(w.dst, w.src, c, &w.s);
  rx_SetClipRect(&clip);
  return result;
}

int32_t VGM_API transformQuad(FltImage *dest, const float corners[8], const FltImage *source,
                              const FltRect *source_rect, uint32_t mode) {
  Draw w;
  if (corners == nullptr || rx_ProbeMemory(corners, 8 * sizeof(float), false) != 0 ||
      !resolve(dest, nullptr, source, source_rect, &w))
    return 0;
  rx_PointF c[4];
  for (int k = 0; k < 4; ++k) c[k] = {corners[2 * k], corners[2 * k + 1]};
  return drawQuad(w, c, mode);
}

int32_t VGM_API region(FltImage *dest, const FltImage *source, uint32_t mode) {
  Draw w;
  if (!resolve(dest, nullptr, source, nullptr, &w)) return 0;
  int32_t right = std::min(w.d.right, w.s.right), bottom = std::min(w.d.bottom, w.s.bottom);
  return rx_BlendRect(w.dst, 0, 0, right, bottom, w.src, 0, 0, right, bottom, mode & kRegionBits);
}

int32_t VGM_API rowsBegin(FltImage *img, uint32_t flags) {
  rx_Surface *surface = surfaceOf(img);
  if (surface == nullptr || (img->reserved & kRowsOpen) || rx_SurfaceLock(surface, 0) == 0) return 0;
  io_ImageRefresh(img);
  img->reserved = kRowsOpen | ((flags & 1) ? kRowsMirror : 0);
  return 1;
}

uint32_t *VGM_API rowsStep(FltImage *img, int32_t row) {
  if (surfaceOf(img) == nullptr || !(img->reserved & kRowsOpen) || row < 0 || static_cast<uint32_t>(row) >= img->height)
    return nullptr;
  return img->pixels + static_cast<size_t>(row) * img->stride;
}

int32_t VGM_API rowsEnd(FltImage *img) {
  rx_Surface *surface = surfaceOf(img);
  if (surface == nullptr || !(img->reserved & kRowsOpen)) return 0;
  bool mirror = (img->reserved & kRowsMirror) != 0;
  img->reserved = 0;
  int32_t result = rx_SurfaceUnlock(surface, 0);
  if (result != 0 && mirror) result = rx_SurfaceFlip(surface, 2);
  io_ImageRefresh(img);
  return result;
}

int32_t VGM_API fill(FltImage *img, const FltRect *rect, uint32_t pixel) {
  rx_Surface *surface = surfaceOf(img);
  rx_Rect r;
  if (surface == nullptr || !rectOf(rect, surface, &r)) return 0;
  return rx_FillRect(surface, r.left, r.top, r.right, r.bottom, pixel, 0);
}

}  // namespace

rx_Surface *io_ImageSurface(FltImage *img) { return surfaceOf(img); }

int32_t io_ImageCreate(FltImage *img, int32_t width, int32_t height) {
  rx_Surface *surface = newSurfaceBlock();
  if (surface == nullptr) return 0;
  // A plug-in gets the size it asked for or a failure, never a smaller one.
  return adopt(img, surface, rx_SurfaceCreate(surface, width, height, rx_CreateNoShrink));
}

void io_ImageRefresh(FltImage *img) {
  rx_Surface *surface = surfaceOf(img);
  if (surface == nullptr || !recordUsable(img)) return;
  if (rx_SurfaceLock(surface, 0) == 0) {
    img->width = img->height = img->stride = 0;
    img->pixels = nullptr;
    return;
  }
  img->width = surface->width;
  img->height = surface->height;
  img->stride = surface->stride;
  // The pixel address moves with resizing and rotating: it is refreshed too.
  img->pixels = surface->bits;
  rx_SurfaceUnlock(surface, 0);
}

static pi_BasicImage makeTable() {
  pi_BasicImage gTable{};
  gTable.version = PI_BASICIMAGE_VERSION;
  gTable.Create = create;
  gTable.Wrap = wrap;
  gTable.Free = freeImage;
  gTable.IsValid = isValid;
  gTable.Lock = lock;
  gTable.Unlock = unlock;
  gTable.GetDC = getDC;
  gTable.ReleaseDC = releaseDC;
  gTable.Refresh = refresh;
  gTable.SetClip = setClip;
  gTable.GetClip = getClip;
  gTable.LoadImage = io_BasicImageLoad;
  gTable.SaveImage = io_BasicImageSave;
  gTable.Copy = copy;
  gTable.Resize = resize;
  gTable.Flip = flip;
  gTable.Rotate = rotate;
  gTable.Blit = blit;
  gTable.BlitScaled = blitScaled;
  gTable.Blend = blend;
  gTable.BlendScaled = blendScaled;
  gTable.Transform = transform;
  gTable.TransformQuad = transformQuad;
  gTable.Compare = compare;
  gTable.Region = region;
  gTable.RowsBegin = rowsBegin;
  gTable.RowsStep = rowsStep;
  gTable.RowsEnd = rowsEnd;
  gTable.FixAlpha = fixAlpha;
  gTable.Fill = fill;
  return gTable;
}

const pi_BasicImage *io_BasicImageTable() {
  static const pi_BasicImage table = makeTable();
  return &table;
}
