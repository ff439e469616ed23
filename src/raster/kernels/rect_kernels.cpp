// The rectangle kernels: one driver (prologue, coordinate maps, clipping,
// locking, the row loop) with three ways of reading the source (nearest
// through the index maps, bilinear through the maps' fractions, filtered
// through per-call tap tables) and the operation combiner on each row.
#include <algorithm>

#include "raster/kernels/kernel_internal.h"
#include "raster/kernels/kernel_driver.h"

namespace rx_kernel {

thread_local bool gCentre = false;

namespace {

bool Usable(rx_Surface *s) {
  return s != nullptr && rx_ProbeMemory(s, sizeof *s, true) == 0 && s->signature == rx_SurfaceSignature &&
         s->kind >= rx_KindDib && s->kind <= rx_KindView;
}
bool Closing(const rx_Surface *s) {
  return (__atomic_load_n(&s->state, __ATOMIC_SEQ_CST) & (rx_StateClosing | rx_StateAbort)) != 0;
}
int32_t Fail(rx_ThreadState *state, int32_t code) {
  state->lastError = code;
  return 0;
}
bool Overlaps(const rx_Surface *a, const rx_Surface *b) {
  const uint32_t *a0 = a->bits, *a1 = a->bits + static_cast<size_t>(a->height) * a->stride;
  const uint32_t *b0 = b->bits, *b1 = b->bits + static_cast<size_t>(b->height) * b->stride;
  return a0 < b1 && b0 < a1;
}

// Both surfaces locked shared for the life of the object.
struct LockPair {
  rx_Surface *dst = nullptr, *src = nullptr;
  ~LockPair() {
    if (src) rx_SurfaceUnlock(src, 0);
    if (dst) rx_SurfaceUnlock(dst, 0);
  }
};

}  // namespace

static bool CoordsOk(int32_t dl, int32_t dt, int32_t dr, int32_t db, int32_t sl, int32_t st, int32_t sr, int32_t sb) {
  for (int32_t v : {dl, dt, dr, db, sl, st, sr, sb})
    if (!rx_CoordOk(v)) return false;
  return true;
}

int32_t RunRect(const RectJob &jobIn) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  RectJob job = jobIn;
  if (!Usable(job.dst) || !Usable(job.src)) return Fail(state, rx_ErrNotSurface);
  if (!CoordsOk(job.dl, job.dt, job.dr, job.db, job.sl, job.st, job.sr, job.sb) || job.dr < job.dl ||
      job.db < job.dt || job.sr < job.sl || job.sb < job.st)
    return Fail(state, rx_ErrArgument);
  if (job.options & rx_OptSourceView) {
    job.options &= ~rx_OptSourceView;
    // A rectangle that starts outside the source cannot be a view; the maps clip it the same way.
    if (job.sl >= 0 && job.st >= 0 && job.sr <= 32767 && job.sb <= 32767) {
      rx_Surface view{};
      if (rx_SurfaceView(&view, job.src, job.sl, job.st, job.sr, job.sb) == 0) return 0;
      RectJob inner = job;
      inner.src = &view;
      inner.sr -= inner.sl;
      inner.sb -= inner.st;
      inner.sl = inner.st = 0;
      int32_t result = RunRect(inner);
      int32_t code = state->lastError;
      rx_SurfaceFree(&view);
      state->lastError = code;
      return result;
    }
  }
  if (rx_SurfaceRefresh(job.src) == 0 || rx_SurfaceRefresh(job.dst) == 0) return Fail(state, rx_ErrNotSurface);
  if (job.sr < 0 || job.sl > static_cast<int64_t>(job.src->width) - 1) return Fail(state, rx_ErrArgument);
  // A scaled read inside one surface would meet rows the walk has already written: it reads a copy.
  if (Overlaps(job.dst, job.src) && (int64_t{job.sr} - job.sl != int64_t{job.dr} - job.dl ||
                                     int64_t{job.sb} - job.st != int64_t{job.db} - job.dt ||
                                     (job.useOffset && (state->sourceOffsetX != 0 || state->sourceOffsetY != 0)))) {
    rx_Surface copy{};
    if (!CopySourceRows(job.src, job.st, job.sb, &copy)) return Fail(state, rx_ErrNoMemory);
    RectJob inner = job;
    inner.src = &copy;
    const int32_t result = RunRect(inner), code = state->lastError;
    rx_SurfaceFree(&copy);
    state->lastError = code;
    return result;
  }

  OpContext ctx;
  if (!PrepareOp(state, job.op, job.opClass, job.transparency, &ctx)) return 0;
  ctx.keepT = job.keepT;
  if (job.noSimd) ctx.simd = false;
  OpFinisher finish{&ctx};
  if (ctx.transparency >= 255) {
    state->lastError = rx_ErrNone;
    return 1;  // an invisible layer draws nothing
  }
  // Filtered rows wholly above or below the source have no taps: nothing to draw, as the rows are skipped.
  if (job.sampling == Sampling::filtered && (job.sb < 0 || job.st > static_cast<int64_t>(job.src->height) - 1)) {
    state->lastError = rx_ErrNone;
    return 1;
  }

  LockPair locks;
  if (rx_SurfaceLock(job.dst, 0) == 0) return Fail(state, rx_ErrNotSurface);
  locks.dst = job.dst;
  if (rx_SurfaceLock(job.src, 0) == 0) return Fail(state, rx_ErrNotSurface);
  locks.src = job.src;
  if (!rx_GetCoordinateTables(state)) return Fail(state, rx_ErrNoMemory);

  const int32_t srcW = static_cast<int32_t>(job.src->width), srcH = static_cast<int32_t>(job.src->height);
  const int32_t dstW = static_cast<int32_t>(job.dst->width), dstH = static_cast<int32_t>(job.dst->height);
  const int32_t ox = job.useOffset ? state->sourceOffsetX : 0, oy = job.useOffset ? state->sourceOffsetY : 0;
  rx_AxisSpan cols, rows;
  if (rx_BuildAxisMap(job.dl, job.dr, job.sl, job.sr, srcW, dstW, ox, job.centre, state->columnIndex,
                      state->columnFraction, &cols) == 0 ||
      rx_BuildAxisMap(job.dt, job.db, job.st, job.sb, srcH, dstH, oy, job.centre, state->rowIndex,
                      state->rowFraction, &rows) == 0)
    return Fail(state, rx_ErrArgument);
  // Scaled reads clamp to the source edge, so with the whole source
  // rectangle inside the surface every destination position has a source:
  // keeping the maps' rounded span would leave the last column undrawn.
  if (job.fullSpan && job.sl >= 0 && job.st >= 0 && job.sr < srcW && job.sb < srcH) {
    if (!cols.identity && !cols.empty) cols.first = std::max(job.dl, 0), cols.last = std::min({job.dr, dstW - 1, 65535});
    if (!rows.identity && !rows.empty) rows.first = std::max(job.dt, 0), rows.last = std::min({job.db, dstH - 1, 65535});
  }
  if (job.options & rx_OptClip) {
    cols.first = std::max(cols.first, state->clipLeft);
    cols.last = std::min(cols.last, state->clipRight);
    rows.first = std::max(rows.first, state->clipTop);
    rows.last = std::min(rows.last, state->clipBottom);
  }
  state->lastError = rx_ErrNone;
  if (cols.empty || rows.empty || cols.last < cols.first || rows.last < rows.first) return 1;

  const int32_t n = cols.last - cols.first + 1;
  Sampling sampling = job.sampling;
  if (sampling == Sampling::mapBilinear && cols.identity && rows.identity) sampling = Sampling::nearest;
  // A source rectangle larger than any surface is mostly without pixels; a
  // filter as wide as it would only cost time, so the maps sample it.
  if (sampling == Sampling::filtered && (int64_t{job.sr} - job.sl >= 65536 || int64_t{job.sb} - job.st >= 65536))
    sampling = Sampling::mapBilinear;
  const bool overlap = Overlaps(job.dst, job.src);
  Buffer rowBlock(static_cast<size_t>(n) * 4);
  if (!rowBlock.ok()) return Fail(state, rx_ErrNoMemory);
  uint32_t *temp = rowBlock.as<uint32_t>();

  AxisTaps colTaps, rowTaps;
  Resampler resampler;
  if (sampling == Sampling::filtered) {
    if (!BuildTaps(&colTaps, job.columnFilter, cols.first, cols.last, job.dl, job.dr, job.sl, job.sr, srcW, ox) ||
        !BuildTaps(&rowTaps, job.rowFilter, rows.first, rows.last, job.dt, job.db, job.st, job.sb, srcH, oy) ||
        !resampler.Init(&colTaps, &rowTaps))
      return Fail(state, rx_ErrNoMemory);
  }

  const uint32_t *colIndex = state->columnIndex;
  const uint8_t *colFrac = state->columnFraction;
  // Neighbours of the bilinear reads stay inside the source whatever the rectangle.
  const int32_t srcLast = std::clamp(job.sr, 0, srcW - 1), srcBottom = std::clamp(job.sb, 0, srcH - 1);
  // Copying downwards inside one surface walks upwards so no row is read after it was written.
  const bool upwards = overlap && sampling == Sampling::nearest && rows.identity &&
                       job.dst->bits + static_cast<size_t>(rows.first) * job.dst->stride >
                           job.src->bits + static_cast<size_t>(state->rowIndex[rows.first]) * job.src->stride;
  const size_t srcStride = job.src->stride;
  for (int32_t k = 0; k <= rows.last - rows.first; ++k) {
    const int32_t y = upwards ? rows.last - k : rows.first + k;
    if (Closing(job.dst) || Closing(job.src)) return Fail(state, rx_ErrAborted);
    uint32_t *dstRow = job.dst->bits + static_cast<size_t>(y) * job.dst->stride + cols.first;
    const uint32_t sy = state->rowIndex[y];
    const uint32_t *srcRow = job.src->bits + static_cast<size_t>(sy) * srcStride;
    const uint32_t *span;
    if (sampling == Sampling::filtered) {
      resampler.Row(y - rows.first, job.src->bits, srcStride, temp, !job.noSimd);
      span = temp;
    } else if (sampling == Sampling::nearest) {
      if (cols.identity && !overlap) {
        span = srcRow + colIndex[cols.first];
      } else {
        for (int32_t i = 0; i < n; ++i) temp[i] = srcRow[colIndex[cols.first + i]];
        span = temp;
      }
    } else {
      const uint32_t fy = state->rowFraction[y];
      const uint32_t sy1 = std::min<uint32_t>(sy + 1, static_cast<uint32_t>(srcBottom));
      const uint32_t *nextRow = job.src->bits + static_cast<size_t>(sy1) * srcStride;
      for (int32_t i = 0; i < n; ++i) {
        const uint32_t sx = colIndex[cols.first + i];
        const uint32_t sx1 = std::min<uint32_t>(sx + 1, static_cast<uint32_t>(srcLast));
        temp[i] = SampleBilinear(srcRow[sx], srcRow[sx1], nextRow[sx], nextRow[sx1], colFrac[cols.first + i], fy);
      }
      span = temp;
    }
    ctx.y = y;
    CombineRow(dstRow, span, n, cols.first, ctx);
  }
  return 1;
}

}  // namespace rx_kernel

using namespace rx_kernel;

namespace {

RectJob MakeJob(rx_Surface *dst, int32_t dl, int32_t dt, int32_t dr, int32_t db, rx_Surface *src, int32_t sl,
                int32_t st, int32_t sr, int32_t sb, uint32_t options) {
  RectJob j;
  j.dst = dst;
  j.src = src;
  j.dl = dl, j.dt = dt, j.dr = dr, j.db = db;
  j.sl = sl, j.st = st, j.sr = sr, j.sb = sb;
  j.options = options;
  j.centre = gCentre;
  return j;
}

bool SameSize(int32_t dl, int32_t dt, int32_t dr, int32_t db, int32_t sl, int32_t st, int32_t sr, int32_t sb) {
  return int64_t{dr} - dl == int64_t{sr} - sl && int64_t{db} - dt == int64_t{sb} - st;
}
bool HasOffset() {
  rx_ThreadState *s = rx_GetThreadState();
  return s != nullptr && (s->sourceOffsetX != 0 || s->sourceOffsetY != 0);
}

// Picks the filters of a scaled job from its resampling case.
void ChooseSampling(RectJob *j) {
  // What the driver refuses needs no sampling (and its sizes may not fit).
  if (!CoordsOk(j->dl, j->dt, j->dr, j->db, j->sl, j->st, j->sr, j->sb) || j->dr < j->dl || j->db < j->dt ||
      j->sr < j->sl || j->sb < j->st)
    return;
  int32_t nsx = j->sr - j->sl + 1, nsy = j->sb - j->st + 1, ndx = j->dr - j->dl + 1, ndy = j->db - j->dt + 1;
  int32_t scaleCase = rx_ScalingCase(nsx, nsy, ndx, ndy, HasOffset(), j->options);
  j->useOffset = true;
  j->fullSpan = true;
  if (scaleCase == rx_CaseNearest) {
    // Case 0 keeps the maps' positions: nearest, or bilinear when a sub-pixel offset asks for it.
    j->sampling = HasOffset() ? Sampling::mapBilinear : Sampling::nearest;
    return;
  }
  j->sampling = Sampling::filtered;
  j->columnFilter = FilterForAxis(scaleCase, nsx, ndx);
  j->rowFilter = FilterForAxis(scaleCase, nsy, ndy);
}

}  // namespace

int32_t rx_CopyRect(rx_Surface *dst, int32_t dl, int32_t dt, int32_t dr, int32_t db, rx_Surface *src, int32_t sl,
                    int32_t st, int32_t sr, int32_t sb, uint32_t options) {
  RectJob j = MakeJob(dst, dl, dt, dr, db, src, sl, st, sr, sb, options);
  j.op = rx_OpReplace;
  return RunRect(j);
}

int32_t rx_BlendRect(rx_Surface *dst, int32_t dl, int32_t dt, int32_t dr, int32_t db, rx_Surface *src, int32_t sl,
                     int32_t st, int32_t sr, int32_t sb, uint32_t options) {
  uint32_t kind = options & rx_OptBlendKindMask;
  // Kinds other than 1 and 2 are no blend at all: a copy.
  if (kind != 1 && kind != 2) return rx_CopyRect(dst, dl, dt, dr, db, src, sl, st, sr, sb, options);
  RectJob j = MakeJob(dst, dl, dt, dr, db, src, sl, st, sr, sb, options);
  j.op = rx_OpNormal;
  j.keepT = kind == 1;
  return RunRect(j);
}

int32_t rx_ResampleRect(rx_Surface *dst, int32_t dl, int32_t dt, int32_t dr, int32_t db, rx_Surface *src, int32_t sl,
                        int32_t st, int32_t sr, int32_t sb, uint32_t options) {
  if (!HasOffset() && (SameSize(dl, dt, dr, db, sl, st, sr, sb) || (options & rx_OptNoScale)))
    return rx_CopyRect(dst, dl, dt, dr, db, src, sl, st, sr, sb, options);
  RectJob j = MakeJob(dst, dl, dt, dr, db, src, sl, st, sr, sb, options);
  j.op = rx_OpReplace;
  ChooseSampling(&j);
  return RunRect(j);
}

int32_t rx_ResampleBlendRect(rx_Surface *dst, int32_t dl, int32_t dt, int32_t dr, int32_t db, rx_Surface *src,
                             int32_t sl, int32_t st, int32_t sr, int32_t sb, uint32_t options) {
  uint32_t kind = options & rx_OptBlendKindMask;
  if (!HasOffset() && (SameSize(dl, dt, dr, db, sl, st, sr, sb) || (options & rx_OptNoScale)))
    return rx_BlendRect(dst, dl, dt, dr, db, src, sl, st, sr, sb, kind == 1 ? options : (options & ~15u) | 2);
  RectJob j = MakeJob(dst, dl, dt, dr, db, src, sl, st, sr, sb, options);
  j.op = rx_OpNormal;
  j.keepT = kind == 1;
  ChooseSampling(&j);
  return RunRect(j);
}

int32_t rx_OpRect(rx_Surface *dst, int32_t dl, int32_t dt, int32_t dr, int32_t db, rx_Surface *src, int32_t sl,
                  int32_t st, int32_t sr, int32_t sb, int32_t transparency, int32_t op, int32_t op_class) {
  if (op == rx_OpReplace && transparency <= 0 && op_class != rx_ClassClipped)
    return rx_CopyRect(dst, dl, dt, dr, db, src, sl, st, sr, sb, 0);
  RectJob j = MakeJob(dst, dl, dt, dr, db, src, sl, st, sr, sb, 0);
  j.op = op;
  j.opClass = op_class;
  j.transparency = transparency;
  return RunRect(j);
}

int32_t rx_OpRectSubpixel(rx_Surface *dst, int32_t dl, int32_t dt, int32_t dr, int32_t db, rx_Surface *src,
                          int32_t sl, int32_t st, int32_t sr, int32_t sb, int32_t transparency, int32_t op,
                          int32_t op_class) {
  if (!HasOffset() && !gCentre && SameSize(dl, dt, dr, db, sl, st, sr, sb))
    return rx_OpRect(dst, dl, dt, dr, db, src, sl, st, sr, sb, transparency, op, op_class);
  RectJob j = MakeJob(dst, dl, dt, dr, db, src, sl, st, sr, sb, 0);
  j.op = op;
  j.opClass = op_class;
  j.transparency = transparency;
  j.useOffset = true;
  j.sampling = Sampling::mapBilinear;
  return RunRect(j);
}

int32_t rx_MaskRect(rx_Surface *dst, int32_t dl, int32_t dt, int32_t dr, int32_t db, rx_Surface *src, int32_t sl,
                    int32_t st, int32_t sr, int32_t sb, int32_t op, int32_t op_class) {
  if (op == rx_OpReplace) return rx_CopyRect(dst, dl, dt, dr, db, src, sl, st, sr, sb, 0);
  if (op < rx_OpMaskUnion || op > rx_OpMaskIntersect) {
    rx_SetLastError(rx_ErrArgument);
    return 0;
  }
  RectJob j = MakeJob(dst, dl, dt, dr, db, src, sl, st, sr, sb, 0);
  j.op = op;
  j.opClass = op_class;
  return RunRect(j);
}

int32_t rx_MaskRectScaled(rx_Surface *dst, int32_t dl, int32_t dt, int32_t dr, int32_t db, rx_Surface *src,
                          int32_t sl, int32_t st, int32_t sr, int32_t sb, int32_t op, int32_t op_class) {
  if (op == rx_OpReplace) return rx_ResampleRect(dst, dl, dt, dr, db, src, sl, st, sr, sb, 0);
  if (op < rx_OpMaskUnion || op > rx_OpAdjust) {
    rx_SetLastError(rx_ErrArgument);
    return 0;
  }
  if (op != rx_OpAdjust && !HasOffset() && !gCentre && SameSize(dl, dt, dr, db, sl, st, sr, sb))
    return rx_MaskRect(dst, dl, dt, dr, db, src, sl, st, sr, sb, op, op_class);
  RectJob j = MakeJob(dst, dl, dt, dr, db, src, sl, st, sr, sb, 0);
  j.op = op;
  j.opClass = op_class;
  j.useOffset = true;
  j.sampling = Sampling::mapBilinear;
  return RunRect(j);
}
