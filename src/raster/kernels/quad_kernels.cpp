// Quadrilateral kernels (a projective map from the destination quadrilateral
// back to the source rectangle, so corners land on corners), the rectangle
// fill, the span operation, the polygon point list and the polygon fill.
#include <algorithm>
#include <cmath>

#include "raster/kernels/kernel_internal.h"

using namespace rx_kernel;

namespace {

int32_t Fail(rx_ThreadState *state, int32_t code) {
  state->lastError = code;
  return 0;
}
bool Usable(rx_Surface *s) {
  return s != nullptr && rx_ProbeMemory(s, sizeof *s, true) == 0 && s->signature == rx_SurfaceSignature;
}
bool Closing(const rx_Surface *s) {
  return (__atomic_load_n(&s->state, __ATOMIC_SEQ_CST) & (rx_StateClosing | rx_StateAbort)) != 0;
}

// Homography taking the unit square's corners (0,0),(1,0),(1,1),(0,1) to q.
struct Homography {
  double m[9];
};
bool SquareToQuad(const rx_PointF q[4], Homography *h) {
  double x0 = q[0].x, y0 = q[0].y, x1 = q[1].x, y1 = q[1].y, x2 = q[2].x, y2 = q[2].y, x3 = q[3].x, y3 = q[3].y;
  double dx1 = x1 - x2, dx2 = x3 - x2, dy1 = y1 - y2, dy2 = y3 - y2;
  double sx = x0 - x1 + x2 - x3, sy = y0 - y1 + y2 - y3;
  double g = 0, hh = 0;
  if (std::fabs(sx) > 1e-9 || std::fabs(sy) > 1e-9) {
    double den = dx1 * dy2 - dx2 * dy1;
    if (std::fabs(den) < 1e-12) return false;
    g = (sx * dy2 - dx2 * sy) / den;
    hh = (dx1 * sy - sx * dy1) / den;
  }
  double *m = h->m;
  m[0] = x1 - x0 + g * x1, m[1] = x3 - x0 + hh * x3, m[2] = x0;
  m[3] = y1 - y0 + g * y1, m[4] = y3 - y0 + hh * y3, m[5] = y0;
  m[6] = g, m[7] = hh, m[8] = 1;
  return true;
}
bool Invert(const Homography &a, Homography *b) {
  const double *m = a.m;
  double c0 = m[4] * m[8] - m[5] * m[7], c1 = m[5] * m[6] - m[3] * m[8], c2 = m[3] * m[7] - m[4] * m[6];
  double det = m[0] * c0 + m[1] * c1 + m[2] * c2;
  if (std::fabs(det) < 1e-12) return false;
  double *r = b->m;
  r[0] = c0 / det, r[1] = (m[2] * m[7] - m[1] * m[8]) / det, r[2] = (m[1] * m[5] - m[2] * m[4]) / det;
  r[3] = c1 / det, r[4] = (m[0] * m[8] - m[2] * m[6]) / det, r[5] = (m[2] * m[3] - m[0] * m[5]) / det;
  r[6] = c2 / det, r[7] = (m[1] * m[6] - m[0] * m[7]) / det, r[8] = (m[0] * m[4] - m[1] * m[3]) / det;
  return true;
}

enum class QuadSampling { nearest, bilinear };

// The destination pixels a quadrilateral kernel drew, over the window it scanned.
struct Coverage {
  Buffer block;
  int32_t x0 = 0, y0 = 0, w = 0, h = 0;
  bool Covered(int32_t x, int32_t y) const {
    if (x < x0 || y < y0 || x >= x0 + w || y >= y0 + h) return false;
    return block.as<uint8_t>()[static_cast<size_t>(y - y0) * static_cast<size_t>(w) + static_cast<size_t>(x - x0)] != 0;
  }
};

int32_t RunQuad(rx_Surface *dst, rx_Surface *src, const rx_PointF corners[4], const rx_Rect *src_rect,
                int32_t transparency, int32_t op, int32_t op_class, QuadSampling sampling,
                Coverage *coverage = nullptr) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (!Usable(dst) || !Usable(src)) return Fail(state, rx_ErrNotSurface);
  if (corners == nullptr || rx_ProbeMemory(corners, sizeof(rx_PointF) * 4, false) != 0 || src_rect == nullptr ||
      rx_ProbeMemory(src_rect, sizeof *src_rect, false) != 0)
    return Fail(state, rx_ErrArgument);
  rx_Rect sr = *src_rect;
  if (!rx_CoordOk(sr.left) || !rx_CoordOk(sr.top) || !rx_CoordOk(sr.right) || !rx_CoordOk(sr.bottom) ||
      sr.right < sr.left || sr.bottom < sr.top)
    return Fail(state, rx_ErrArgument);
  for (int k = 0; k < 4; ++k)
    if (!std::isfinite(corners[k].x) || !std::isfinite(corners[k].y) || std::fabs(corners[k].x) > 65536 ||
        std::fabs(corners[k].y) > 65536)
      return Fail(state, rx_ErrArgument);
  Homography toQuad, toSquare;
  if (!SquareToQuad(corners, &toQuad) || !Invert(toQuad, &toSquare)) {
    state->lastError = rx_ErrNone;
    return 1;  // a quadrilateral without area draws nothing
  }
  OpContext ctx;
  if (!PrepareOp(state, op, op_class, transparency, &ctx)) return 0;
  OpFinisher finish{&ctx};
  if (ctx.transparency >= 255) {
    state->lastError = rx_ErrNone;
    return 1;
  }
  if (rx_SurfaceLock(dst, 0) == 0) return Fail(state, rx_ErrNotSurface);
  if (rx_SurfaceLock(src, 0) == 0) {
    rx_SurfaceUnlock(dst, 0);
    return Fail(state, rx_ErrNotSurface);
  }
  struct Unlock {
    rx_Surface *a, *b;
    ~Unlock() {
      rx_SurfaceUnlock(b, 0);
      rx_SurfaceUnlock(a, 0);
    }
  } unlock{dst, src};
  const int32_t srcW = static_cast<int32_t>(src->width), srcH = static_cast<int32_t>(src->height);
  if (sr.right < 0 || sr.bottom < 0 || sr.left >= srcW || sr.top >= srcH) return Fail(state, rx_ErrArgument);
  double minX = corners[0].x, maxX = minX, minY = corners[0].y, maxY = minY;
  for (int k = 1; k < 4; ++k) {
    minX = std::min<double>(minX, corners[k].x), maxX = std::max<double>(maxX, corners[k].x);
    minY = std::min<double>(minY, corners[k].y), maxY = std::max<double>(maxY, corners[k].y);
  }
  int32_t x0 = std::max({static_cast<int32_t>(std::floor(minX - 0.5)), 0, state->clipLeft});
  int32_t x1 = std::min({static_cast<int32_t>(std::ceil(maxX + 0.5)), static_cast<int32_t>(dst->width) - 1, state->clipRight});
  int32_t y0 = std::max({static_cast<int32_t>(std::floor(minY - 0.5)), 0, state->clipTop});
  int32_t y1 = std::min({static_cast<int32_t>(std::ceil(maxY + 0.5)), static_cast<int32_t>(dst->height) - 1, state->clipBottom});
  state->lastError = rx_ErrNone;
  if (x1 < x0 || y1 < y0) return 1;
  const int32_t n = x1 - x0 + 1;
  Buffer srcBlock(static_cast<size_t>(n) * 4), maskBlock(static_cast<size_t>(n));
  if (!srcBlock.ok() || !maskBlock.ok()) return Fail(state, rx_ErrNoMemory);
  uint32_t *samples = srcBlock.as<uint32_t>();
  uint8_t *inside = maskBlock.as<uint8_t>();
  if (coverage != nullptr) {
    if (!coverage->block.reset(static_cast<size_t>(n) * static_cast<size_t>(y1 - y0 + 1)))
      return Fail(state, rx_ErrNoMemory);
    coverage->x0 = x0, coverage->y0 = y0, coverage->w = n, coverage->h = y1 - y0 + 1;
  }
  // Source pixel centres span the corners; half a pixel around belongs to the picture.
  const double spanX = std::max(sr.right - sr.left, 0), spanY = std::max(sr.bottom - sr.top, 0);
  const double padU = spanX > 0 ? 0.5 / spanX : 0.5, padV = spanY > 0 ? 0.5 / spanY : 0.5;
  const int32_t loX = std::max(sr.left, 0), hiX = std::min(sr.right, srcW - 1);
  const int32_t loY = std::max(sr.top, 0), hiY = std::min(sr.bottom, srcH - 1);
  const double *m = toSquare.m;
  for (int32_t y = y0; y <= y1; ++y) {
    if (Closing(dst) || Closing(src)) return Fail(state, rx_ErrAborted);
    std::fill(inside, inside + n, 0);
    for (int32_t i = 0; i < n; ++i) {
      double x = x0 + i;
      double w = m[6] * x + m[7] * y + m[8];
      if (std::fabs(w) < 1e-12) continue;
      double u = (m[0] * x + m[1] * y + m[2]) / w, v = (m[3] * x + m[4] * y + m[5]) / w;
      if (u < -padU || u > 1 + padU || v < -padV || v > 1 + padV) continue;
      double fx = std::clamp(sr.left + u * spanX, static_cast<double>(loX), static_cast<double>(hiX));
      double fy = std::clamp(sr.top + v * spanY, static_cast<double>(loY), static_cast<double>(hiY));
      uint32_t pixel;
      if (sampling == QuadSampling::nearest) {
        int32_t ix = std::clamp(static_cast<int32_t>(std::floor(fx + 0.5)), loX, hiX);
        int32_t iy = std::clamp(static_cast<int32_t>(std::floor(fy + 0.5)), loY, hiY);
        pixel = src->bits[static_cast<size_t>(iy) * src->stride + static_cast<size_t>(ix)];
      } else {
        int32_t ix = static_cast<int32_t>(std::floor(fx)), iy = static_cast<int32_t>(std::floor(fy));
        uint32_t ffx = static_cast<uint32_t>(std::lround((fx - ix) * 256)), ffy = static_cast<uint32_t>(std::lround((fy - iy) * 256));
        if (ffx == 256) ++ix, ffx = 0;
        if (ffy == 256) ++iy, ffy = 0;
        ix = std::min(ix, hiX), iy = std::min(iy, hiY);
        int32_t ix1 = std::min(ix + 1, hiX), iy1 = std::min(iy + 1, hiY);
        const uint32_t *r0 = src->bits + static_cast<size_t>(iy) * src->stride;
        const uint32_t *r1 = src->bits + static_cast<size_t>(iy1) * src->stride;
        pixel = SampleBilinear(r0[ix], r0[ix1], r1[ix], r1[ix1], ffx, ffy);
      }
      samples[i] = pixel;
      inside[i] = 1;
    }
    if (coverage != nullptr) std::copy(inside, inside + n, coverage->block.as<uint8_t>() + static_cast<size_t>(y - y0) * n);
    uint32_t *row = dst->bits + static_cast<size_t>(y) * dst->stride;
    ctx.y = y;
    for (int32_t i = 0; i < n;) {
      if (!inside[i]) {
        ++i;
        continue;
      }
      int32_t j = i;
      while (j < n && inside[j]) ++j;
      CombineRow(row + x0 + i, samples + i, j - i, x0 + i, ctx);
      i = j;
    }
  }
  return 1;
}

}  // namespace

int32_t rx_CopyQuad(rx_Surface *dst, rx_Surface *src, const rx_PointF corners[4], const rx_Rect *src_rect) {
  return RunQuad(dst, src, corners, src_rect, 0, rx_OpReplace, rx_ClassNormal, QuadSampling::bilinear);
}

int32_t rx_MaskQuad(rx_Surface *dst, rx_Surface *src, const rx_PointF corners[4], const rx_Rect *src_rect, int32_t op,
                    int32_t op_class) {
  if (op == rx_OpReplace) return rx_CopyQuad(dst, src, corners, src_rect);
  if (op < rx_OpMaskUnion || op > rx_OpMaskIntersect) {
    rx_SetLastError(rx_ErrArgument);
    return 0;
  }
  return RunQuad(dst, src, corners, src_rect, 0, op, op_class, QuadSampling::nearest);
}

int32_t rx_OpQuad(rx_Surface *dst, rx_Surface *src, const rx_PointF corners[4], const rx_Rect *src_rect,
                  int32_t transparency, int32_t op, int32_t op_class) {
  if (op >= rx_OpMaskUnion && op <= rx_OpMaskIntersect) return rx_MaskQuad(dst, src, corners, src_rect, op, op_class);
  if (op == rx_OpReplace && transparency <= 0 && op_class != rx_ClassClipped)
    return rx_CopyQuad(dst, src, corners, src_rect);
  return RunQuad(dst, src, corners, src_rect, transparency, op, op_class, QuadSampling::bilinear);
}

// ---------------------------------------------------------------------------

int32_t rx_FillRect(rx_Surface *surface, int32_t left, int32_t top, int32_t right, int32_t bottom, uint32_t colour,
                    uint32_t options) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (!Usable(surface)) return Fail(state, rx_ErrNotSurface);
  int64_t l = std::min(left, right), r = std::max(left, right), t = std::min(top, bottom), b = std::max(top, bottom);
  if (options & rx_FillExclusive) {
    --r;
    --b;
    if (r < l || b < t) {
      state->lastError = rx_ErrNone;
      return 1;
    }
  }
  if (rx_SurfaceLock(surface, 0) == 0) return Fail(state, rx_ErrNotSurface);
  const int64_t w = surface->width, h = surface->height;
  if (r < 0 || b < 0 || l >= w || t >= h) {
    rx_SurfaceUnlock(surface, 0);
    return Fail(state, rx_ErrArgument);
  }
  l = std::max<int64_t>(l, 0), t = std::max<int64_t>(t, 0), r = std::min(r, w - 1), b = std::min(b, h - 1);
  if (options & rx_FillClip) {
    l = std::max<int64_t>(l, state->clipLeft), t = std::max<int64_t>(t, state->clipTop);
    r = std::min<int64_t>(r, state->clipRight), b = std::min<int64_t>(b, state->clipBottom);
  }
  int32_t result = 1;
  state->lastError = rx_ErrNone;
  for (int64_t y = t; y <= b && l <= r; ++y) {
    if (Closing(surface)) {
      result = Fail(state, rx_ErrAborted);
      break;
    }
    std::fill_n(surface->bits + static_cast<size_t>(y) * surface->stride + l, static_cast<size_t>(r - l + 1), colour);
  }
  rx_SurfaceUnlock(surface, 0);
  return result;
}

int32_t rx_SpanOp(uint32_t *row, int32_t first, int32_t last, uint32_t colour, int32_t op,
                  const rx_SpanContext *context) {
  rx_ThreadState *state = context && context->state ? context->state : rx_GetThreadState();
  if (state == nullptr) return 0;
  if (row == nullptr || first < 0 || last < first || !rx_CoordOk(last)) return Fail(state, rx_ErrArgument);
  OpContext ctx;
  if (!PrepareOp(state, op, context ? context->opClass : rx_ClassNormal, 0, &ctx)) return 0;
  ctx.y = context ? context->y : 0;
  uint32_t source[64];
  std::fill_n(source, 64, colour);
  for (int32_t x = first; x <= last; x += 64) {
    int32_t n = std::min(64, last - x + 1);
    CombineRow(row + x, source, n, x, ctx);
  }
  FinishOp(&ctx);
  return 1;
}

// ---------------------------------------------------------------------------

int32_t rx_PointListInit(rx_PointList *list) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (list == nullptr || rx_ProbeMemory(list, sizeof *list, true) != 0) return Fail(state, rx_ErrArgument);
  auto *points = static_cast<unsigned char *>(GlobalAlloc(GPTR, 1024));
  if (points == nullptr) return Fail(state, rx_ErrNoMemory);
  list->signature = rx_PointListSignature;
  list->count = 0;
  list->points = points;
  list->capacity = 1024;
  return 1;
}

int32_t rx_PointListFree(rx_PointList *list) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (list == nullptr || rx_ProbeMemory(list, sizeof *list, true) != 0) return Fail(state, rx_ErrArgument);
  if (list->signature != rx_PointListSignature) return Fail(state, 4);
  if (list->points != nullptr) GlobalFree(list->points);
  *list = rx_PointList{};
  return 1;
}

int32_t rx_PointListAdd(rx_PointList *list, int32_t x, int32_t y, uint8_t flag) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (list == nullptr || rx_ProbeMemory(list, sizeof *list, true) != 0) return Fail(state, rx_ErrArgument);
  if (list->signature != rx_PointListSignature || list->points == nullptr || list->count < 0) return Fail(state, 4);
  if (!rx_CoordOk(x) || !rx_CoordOk(y)) return Fail(state, rx_ErrArgument);
  unsigned char *p = list->points;
  if (list->count > 0) {
    unsigned char *last = p + static_cast<size_t>(list->count - 1) * 12;
    int32_t lx, ly;
    std::memcpy(&lx, last, 4);
    std::memcpy(&ly, last + 4, 4);
    if (lx == x && ly == y && last[8] == flag) return -1;
  }
  uint64_t count = static_cast<uint64_t>(list->count);
  if ((count + 8) * 12 > list->capacity) {
    uint64_t bytes = ((count + count / 8) * 12 + 1119) / 1024 * 1024;
    if (bytes > 0x40000000) return Fail(state, rx_ErrNoMemory);
    auto *grown = static_cast<unsigned char *>(GlobalAlloc(GPTR, static_cast<size_t>(bytes)));
    if (grown == nullptr) return Fail(state, rx_ErrNoMemory);
    std::memcpy(grown, p, static_cast<size_t>(count) * 12);
    GlobalFree(p);
    list->points = p = grown;
    list->capacity = static_cast<uint32_t>(bytes);
  }
  unsigned char *slot = p + count * 12;
  std::memcpy(slot, &x, 4);
  std::memcpy(slot + 4, &y, 4);
  slot[8] = flag;
  slot[12 + 8] = 1;  // the slot after the last point is marked
  ++list->count;
  return 1;
}

int32_t rx_PointListGet(const rx_PointList *list, int32_t i, int32_t *x, int32_t *y, uint8_t *flag) {
  if (list == nullptr || list->signature != rx_PointListSignature || i < 0 || i >= list->count) return 0;
  const unsigned char *slot = list->points + static_cast<size_t>(i) * 12;
  if (x) std::memcpy(x, slot, 4);
  if (y) std::memcpy(y, slot + 4, 4);
  if (flag) *flag = slot[8];
  return 1;
}

namespace {

// The polygon fill; pixels that `skip` holds as drawn are left alone.
int32_t FillPolygonSkipping(rx_Surface *dst, const rx_PointList *list, uint32_t colour, int32_t op, int32_t op_class,
                            const Coverage *skip) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (!Usable(dst)) return Fail(state, rx_ErrNotSurface);
  if (list == nullptr || rx_ProbeMemory(list, sizeof *list, false) != 0) return Fail(state, rx_ErrArgument);
  if (list->signature != rx_PointListSignature || list->count < 0 || list->points == nullptr ||
      static_cast<uint64_t>(list->count) * 12 > list->capacity)
    return Fail(state, 4);
  const int32_t count = list->count;
  int32_t minY = INT32_MAX, maxY = INT32_MIN;
  for (int32_t i = 0; i < count; ++i) {
    int32_t x = 0, y = 0;
    rx_PointListGet(list, i, &x, &y, nullptr);
    if (!rx_CoordOk(x) || !rx_CoordOk(y)) return Fail(state, rx_ErrArgument);
    minY = std::min(minY, y), maxY = std::max(maxY, y);
  }
  if (count < 3) {
    state->lastError = rx_ErrNone;
    return 1;
  }
  if (rx_SurfaceLock(dst, 0) == 0) return Fail(state, rx_ErrNotSurface);
  minY = std::max({minY, 0, state->clipTop});
  maxY = std::min({maxY, static_cast<int32_t>(dst->height) - 1, state->clipBottom});
  const int32_t clipL = std::max(0, state->clipLeft);
  const int32_t clipR = std::min(static_cast<int32_t>(dst->width) - 1, state->clipRight);
  Buffer crossBlock(static_cast<size_t>(count) * sizeof(double));
  if (!crossBlock.ok()) {
    rx_SurfaceUnlock(dst, 0);
    return Fail(state, rx_ErrNoMemory);
  }
  double *cross = crossBlock.as<double>();
  rx_SpanContext span{state, 0, op_class};
  int32_t result = 1;
  state->lastError = rx_ErrNone;
  // Even-odd scanline fill sampling pixel centres on each row.
  for (int32_t y = minY; y <= maxY && clipL <= clipR; ++y) {
    int32_t found = 0;
    for (int32_t i = 0; i < count; ++i) {
      int32_t ax = 0, ay = 0, bx = 0, by = 0;
      rx_PointListGet(list, i, &ax, &ay, nullptr);
      rx_PointListGet(list, (i + 1) % count, &bx, &by, nullptr);
      if ((ay <= y && by > y) || (by <= y && ay > y))
        cross[found++] = ax + (static_cast<double>(y) - ay) * (static_cast<double>(bx) - ax) / (static_cast<double>(by) - ay);
    }
    std::sort(cross, cross + found);
    uint32_t *row = dst->bits + static_cast<size_t>(y) * dst->stride;
    span.y = y;
    for (int32_t k = 0; k + 1 < found; k += 2) {
      int32_t a = static_cast<int32_t>(std::max<double>(clipL, std::ceil(cross[k])));
      int32_t b = static_cast<int32_t>(std::min<double>(clipR, std::floor(cross[k + 1])));
      for (int32_t x = a; x <= b; ++x) {
        if (skip != nullptr && skip->Covered(x, y)) continue;
        int32_t e = x;
        while (e < b && !(skip != nullptr && skip->Covered(e + 1, y))) ++e;
        if (rx_SpanOp(row, x, e, colour, op, &span) == 0) result = 0;
        x = e;
      }
    }
  }
  rx_SurfaceUnlock(dst, 0);
  return result;
}

}  // namespace

int32_t rx_FillPolygon(rx_Surface *dst, const rx_PointList *list, uint32_t colour, int32_t op, int32_t op_class) {
  return FillPolygonSkipping(dst, list, colour, op, op_class, nullptr);
}

int32_t rx_kernel::QuadWithEdge(rx_Surface *dst, rx_Surface *src, const rx_PointF corners[4], const rx_Rect *src_rect,
                                int32_t op, uint32_t edge_colour) {
  if (op != rx_OpReplace && (op < rx_OpMaskUnion || op > rx_OpMaskIntersect)) {
    rx_SetLastError(rx_ErrArgument);
    return 0;
  }
  Coverage coverage;
  QuadSampling sampling = op == rx_OpReplace ? QuadSampling::bilinear : QuadSampling::nearest;
  if (RunQuad(dst, src, corners, src_rect, 0, op, rx_ClassNormal, sampling, &coverage) == 0) return 0;
  // An edge treatment, not a repaint: the fill reaches only pixels of the outline the kernel left undrawn.
  rx_PointList list{};
  if (rx_PointListInit(&list) == 0) return 0;
  for (int k = 0; k <= 4; ++k)
    rx_PointListAdd(&list, static_cast<int32_t>(std::lround(corners[k % 4].x)),
                    static_cast<int32_t>(std::lround(corners[k % 4].y)), 0);
  int32_t result = FillPolygonSkipping(dst, &list, edge_colour, op, rx_ClassNormal, &coverage);
  int32_t code = rx_GetLastError();
  rx_PointListFree(&list);
  rx_SetLastError(code);
  return result;
}
