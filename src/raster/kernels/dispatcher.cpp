// The layer dispatcher, the background patterns and the pixel work behind
// the surface operations (resize carry-over, strided copy, stretching).
#include <algorithm>
#include <cmath>

#include "raster/kernels/adjustment.h"
#include "raster/kernels/kernel_driver.h"

using namespace rx_kernel;

int32_t rx_LayerModeToOp(int32_t mode) {
  static constexpr int16_t kOps[27] = {0,  6,   7,  8,  10, 23, 22, 21, 17, 125, 9,  13, 11, 12,
                                       24, 18, 19, 20, 25, 26, 2,  1,  3,  124, 27, 0,  123};
  if (mode >= 0 && mode <= 26) return kOps[mode];
  if (mode == 254) return rx_OpAdjust;
  if (mode == 255) return rx_OpReplace;
  return rx_OpNormal;
}

namespace {

// Which rectangle kernel serves a non-masking operation.
int32_t DrawRectOrQuad(rx_Surface *dst, rx_Surface *src, const rx_PointF c[4], const rx_Rect &s, bool quad,
                       bool wholePixel, bool centre, int32_t dl, int32_t dt, int32_t dr, int32_t db,
                       int32_t transparency, int32_t op, int32_t op_class) {
  if (quad) return rx_OpQuad(dst, src, c, &s, transparency, op, op_class);
  if (wholePixel && !centre) return rx_OpRect(dst, dl, dt, dr, db, src, s.left, s.top, s.right, s.bottom, transparency, op, op_class);
  return rx_OpRectSubpixel(dst, dl, dt, dr, db, src, s.left, s.top, s.right, s.bottom, transparency, op, op_class);
}

}  // namespace

int32_t rx_DrawQuad(rx_Surface *dst, rx_Surface *src, const rx_PointF corners[4], const rx_Rect *src_rect,
                    int32_t transparency, int32_t blend_mode, int32_t centre, const uint8_t *blend_table,
                    const rx_Adjustment *adjustment) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (corners == nullptr || rx_ProbeMemory(corners, sizeof(rx_PointF) * 4, false) != 0 || src_rect == nullptr ||
      rx_ProbeMemory(src_rect, sizeof *src_rect, false) != 0) {
    state->lastError = rx_ErrArgument;
    return 0;
  }
  rx_PointF c[4];
  for (int k = 0; k < 4; ++k) {
    c[k] = corners[k];
    if (!std::isfinite(c[k].x) || !std::isfinite(c[k].y) || std::fabs(c[k].x) > 65535 || std::fabs(c[k].y) > 65535) {
      state->lastError = rx_ErrArgument;
      return 0;
    }
  }
  transparency = std::clamp(transparency, 0, 255);
  // 1. The clip becomes the corners' bounding box, and stays so.
  float minX = c[0].x, maxX = c[0].x, minY = c[0].y, maxY = c[0].y;
  for (int k = 1; k < 4; ++k) {
    minX = std::min(minX, c[k].x), maxX = std::max(maxX, c[k].x);
    minY = std::min(minY, c[k].y), maxY = std::max(maxY, c[k].y);
  }
  state->clipLeft = static_cast<int32_t>(std::floor(minX));
  state->clipTop = static_cast<int32_t>(std::floor(minY));
  state->clipRight = static_cast<int32_t>(std::ceil(maxX));
  state->clipBottom = static_cast<int32_t>(std::ceil(maxY));
  // 2. Fixed-point corners: whole parts give the rectangle, the top-left fraction the source offset.
  auto fixed = [](float v) { return static_cast<int32_t>(std::floor(static_cast<double>(v) * 256.0)); };
  int32_t tlx = fixed(c[0].x), tly = fixed(c[0].y), brx = fixed(c[2].x), bry = fixed(c[2].y);
  int32_t dl = tlx >> 8, dt = tly >> 8, dr = brx >> 8, db = bry >> 8;
  int32_t offX = tlx & 255, offY = tly & 255;
  // 3. An axis-aligned, upright rectangle?
  auto same = [](float a, float b) { return std::floor((static_cast<double>(a) - b) * 256.0 + 0.5) == 0; };
  bool rect = same(c[0].y, c[1].y) && same(c[3].y, c[2].y) && same(c[0].x, c[3].x) && same(c[1].x, c[2].x) &&
              c[1].x > c[0].x - 0.5f && c[3].y > c[0].y - 0.5f && dr >= dl && db >= dt;
  bool quad = !rect;
  if (quad) offX = offY = 0;
  state->sourceOffsetX = offX;
  state->sourceOffsetY = offY;
  bool wholePixel = offX == 0 && offY == 0;
  gCentre = centre != 0;
  const rx_Rect s = *src_rect;
  int32_t result;

  if (adjustment != nullptr && rx_SetAdjustment(adjustment) != 0) {
    // 4. Adjustment layer.
    result = DrawRectOrQuad(dst, src, c, s, quad, wholePixel, gCentre, dl, dt, dr, db, transparency, rx_OpAdjust,
                            rx_ClassClipped);
    int32_t code = state->lastError;
    rx_SetAdjustment(nullptr);
    state->lastError = code;
  } else if (blend_mode == 9 || blend_mode == 23 || blend_mode == 26) {
    // 5. Masking modes.
    int32_t op = rx_LayerModeToOp(blend_mode);
    if (quad) {
      result = QuadWithEdge(dst, src, c, &s, op, static_cast<uint32_t>(transparency) << 24);
    } else if (wholePixel && !gCentre) {
      result = rx_MaskRect(dst, dl, dt, dr, db, src, s.left, s.top, s.right, s.bottom, op, rx_ClassNormal);
    } else {
      result = rx_MaskRectScaled(dst, dl, dt, dr, db, src, s.left, s.top, s.right, s.bottom, op, rx_ClassNormal);
    }
  } else if (blend_mode == 25) {
    // 6. Normal, clipped to what lies below.
    result = DrawRectOrQuad(dst, src, c, s, quad, wholePixel, gCentre, dl, dt, dr, db, transparency, rx_OpNormal,
                            rx_ClassClipped);
  } else if (blend_mode == 255) {
    // 7. Replace.
    if (quad) {
      result = QuadWithEdge(dst, src, c, &s, rx_OpReplace, static_cast<uint32_t>(transparency) << 24);
    } else if (wholePixel && !gCentre) {
      result = rx_CopyRect(dst, dl, dt, dr, db, src, s.left, s.top, s.right, s.bottom, 0);
    } else {
      result = rx_ResampleRect(dst, dl, dt, dr, db, src, s.left, s.top, s.right, s.bottom, 0);
    }
  } else {
    // 8. Everything else through the mode table; 254 through its blend table.
    int32_t op = rx_LayerModeToOp(blend_mode);
    bool ready = true;
    if (op == rx_OpAdjust) ready = rx_SetBlendTableAdjustment(blend_table) != 0;
    result = ready ? DrawRectOrQuad(dst, src, c, s, quad, wholePixel, gCentre, dl, dt, dr, db, transparency, op,
                                    rx_ClassNormal)
                   : 0;
    if (op == rx_OpAdjust) {
      int32_t code = state->lastError;
      rx_SetAdjustment(nullptr);
      state->lastError = code;
    }
  }
  gCentre = false;
  state->sourceOffsetX = state->sourceOffsetY = 0;
  return result;
}

// ---------------------------------------------------------------------------

int32_t rx_SetCheckerPattern(uint32_t colour1, uint32_t colour2, int32_t scale, int32_t shift) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  state->patternSurface = nullptr;
  state->checkerColor1 = colour1 & 0x00FFFFFF;
  state->checkerColor2 = colour2 & 0x00FFFFFF;
  state->checkerScale = scale;
  state->checkerShift = shift;
  state->patternOriginX = state->patternOriginY = 0;
  rx_ApplyCheckerDefaults(state);
  return 1;
}

int32_t rx_SetThumbnailPattern() { return rx_SetCheckerPattern(0xFFFFFF, 0xF0F0FF, 1, 2); }

int32_t rx_DrawOverPattern(rx_Surface *dst, rx_Surface *src) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (rx_SurfaceRefresh(src) == 0) {
    state->lastError = rx_ErrNotSurface;
    return 0;
  }
  int32_t w = static_cast<int32_t>(src->width), h = static_cast<int32_t>(src->height);
  return rx_OpRect(dst, 0, 0, w - 1, h - 1, src, 0, 0, w - 1, h - 1, 0, rx_OpPattern, rx_ClassNormal);
}

// ---------------------------------------------------------------------------

int32_t rx_KernelResizeCarryOver(rx_Surface *to, rx_Surface *from, bool region_copy, bool scale_case) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (rx_SurfaceRefresh(to) == 0 || rx_SurfaceRefresh(from) == 0) {
    state->lastError = rx_ErrNotSurface;
    return 0;
  }
  int32_t tw = static_cast<int32_t>(to->width), th = static_cast<int32_t>(to->height);
  int32_t fw = static_cast<int32_t>(from->width), fh = static_cast<int32_t>(from->height);
  int32_t ox = state->sourceOffsetX, oy = state->sourceOffsetY;
  state->sourceOffsetX = state->sourceOffsetY = 0;
  int32_t result;
  if (region_copy) {
    // The overlapping top-left region keeps its pixels; the rest stays as created.
    int32_t w = std::min(tw, fw), h = std::min(th, fh);
    result = rx_CopyRect(to, 0, 0, w - 1, h - 1, from, 0, 0, w - 1, h - 1, 0);
  } else {
    result = rx_ResampleRect(to, 0, 0, tw - 1, th - 1, from, 0, 0, fw - 1, fh - 1, scale_case ? uint32_t{rx_OptScaleCase} : 0u);
  }
  state->sourceOffsetX = ox, state->sourceOffsetY = oy;
  return result;
}

int32_t rx_KernelCopyStrided(rx_Surface *dst, rx_Surface *src) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (rx_SurfaceRefresh(dst) == 0 || rx_SurfaceRefresh(src) == 0) {
    state->lastError = rx_ErrNotSurface;
    return 0;
  }
  if (dst->width != src->width || dst->height != src->height) {
    state->lastError = rx_ErrArgument;
    return 0;
  }
  int32_t w = static_cast<int32_t>(src->width), h = static_cast<int32_t>(src->height);
  int32_t ox = state->sourceOffsetX, oy = state->sourceOffsetY;
  state->sourceOffsetX = state->sourceOffsetY = 0;
  int32_t result = rx_CopyRect(dst, 0, 0, w - 1, h - 1, src, 0, 0, w - 1, h - 1, 0);
  state->sourceOffsetX = ox, state->sourceOffsetY = oy;
  return result;
}

int32_t rx_KernelStretchToSurface(rx_Surface *dst, int32_t left, int32_t top, int32_t right, int32_t bottom,
                                  rx_Surface *surface, int32_t src_left, int32_t src_top, int32_t src_right,
                                  int32_t src_bottom) {
  // Painting is a straight stretch: the area-average and bilinear paths.
  return rx_ResampleRect(dst, left, top, right, bottom, surface, src_left, src_top, src_right, src_bottom,
                         rx_OptScaleCase);
}

int32_t rx_KernelStretchPixels(uint32_t *dst, int32_t dst_w, int32_t dst_h, int32_t dst_stride, int32_t x, int32_t y,
                               int32_t w, int32_t h, const uint32_t *src, int32_t src_w, int32_t src_h,
                               int32_t src_stride, int32_t sx, int32_t sy, int32_t sw, int32_t sh,
                               const int32_t *clip) {
  if (dst == nullptr || src == nullptr || dst_w < 1 || dst_h < 1 || dst_stride < dst_w || src_w < 1 || src_h < 1 ||
      src_stride < src_w || w < 1 || h < 1 || sw < 1 || sh < 1)
    return 0;
  if (sx < 0 || sy < 0 || sx > src_w - sw || sy > src_h - sh) return 0;
  if (x > 65535 || y > 65535 || w > 65536 || h > 65536) return 0;
  // Plain records over the caller's memory: the bitmap layer holds no surfaces.
  rx_Surface d{}, s{};
  if (rx_SurfaceWrap(&d, dst_w, dst_h, dst_stride, dst) == 0 ||
      rx_SurfaceWrap(&s, src_w, src_h, src_stride, const_cast<uint32_t *>(src)) == 0)
    return 0;
  rx_ThreadState *state = rx_GetThreadState();
  rx_Rect oldClip{state->clipLeft, state->clipTop, state->clipRight, state->clipBottom, 1};
  int32_t ox = state->sourceOffsetX, oy = state->sourceOffsetY;
  state->sourceOffsetX = state->sourceOffsetY = 0;
  uint32_t options = rx_OptScaleCase;
  if (clip != nullptr) {
    state->clipLeft = clip[0], state->clipTop = clip[1], state->clipRight = clip[2] - 1, state->clipBottom = clip[3] - 1;
    options |= rx_OptClip;
  }
  int32_t result = rx_ResampleRect(&d, x, y, x + w - 1, y + h - 1, &s, sx, sy, sx + sw - 1, sy + sh - 1, options);
  state->clipLeft = oldClip.left, state->clipTop = oldClip.top, state->clipRight = oldClip.right,
  state->clipBottom = oldClip.bottom;
  state->sourceOffsetX = ox, state->sourceOffsetY = oy;
  rx_SurfaceFree(&s);
  rx_SurfaceFree(&d);
  return result;
}
