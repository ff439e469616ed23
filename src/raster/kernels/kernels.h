// The pixel kernels of the raster engine: copying, blending and resampling a
// rectangle of one surface into another, drawing onto quadrilaterals, fills,
// the polygon point list, the adjustment tables of operation 126 and the
// layer dispatcher. Every kernel gets the calling thread's state, leaves its
// error code there and returns 1 on success (also when nothing was drawn).
#pragma once

#include <cstddef>
#include <cstdint>

#include "raster/surface.h"
#include "raster/thread_state.h"

// Option bits of the rectangle kernels.
enum : uint32_t {
  rx_OptBlendKindMask = 0x0000000F,  // region blend: 1 keeps the destination's T, 2 full result
  rx_OptClip = 0x00000100,           // clip the destination to the thread clip rectangle
  rx_OptSourceView = 0x00000200,     // read the source through a temporary view
  rx_OptScaleCase = 0x01000000,      // pick the resampling path by the factor-2 threshold
  rx_OptNoScale = 0x02000000,        // unscaled copy or blend when no source offset is set
};

// Engine operations.
enum : int32_t {
  rx_OpNormal = 0,
  rx_OpOr = 1,
  rx_OpAnd = 2,
  rx_OpXor = 3,
  rx_OpAddAll = 4,
  rx_OpSubtractAll = 5,
  rx_OpAdd = 6,
  rx_OpLinearBurn = 7,
  rx_OpMultiply = 8,
  rx_OpDivide = 9,
  rx_OpScreen = 10,
  rx_OpDarken = 11,
  rx_OpLighten = 12,
  rx_OpDifference = 13,
  rx_OpExclusion = 14,
  rx_OpPattern = 15,
  rx_OpChecker = 16,
  rx_OpSoftLight = 17,
  rx_OpOverlay = 18,
  rx_OpDodge = 19,
  rx_OpBurn = 20,
  rx_OpLuminosity = 21,
  rx_OpColor = 22,
  rx_OpHardLight = 23,
  rx_OpLinearLight = 24,
  rx_OpPinLight = 25,
  rx_OpLightness = 26,
  rx_OpReplace = 27,
  rx_OpMaskUnion = 123,
  rx_OpMaskErase = 124,
  rx_OpMaskIntersect = 125,
  rx_OpAdjust = 126,
};

// Operation classes.
enum : int32_t { rx_ClassNormal = 256, rx_ClassClipped = 257 };

// Resampling cases.
enum : int32_t { rx_CaseNearest = 0, rx_CaseEnlarge = 1, rx_CaseShrinkMild = 2, rx_CaseShrinkSharp = 3, rx_CaseShrinkBox = 4 };

// Coordinates a kernel takes: beyond this magnitude they are refused with
// code 5 before any arithmetic, so that the size of any span still fits in
// 32 bits.
inline constexpr int32_t rx_CoordLimit = (1 << 30) - 1;
inline constexpr bool rx_CoordOk(int64_t v) { return v >= -rx_CoordLimit && v <= rx_CoordLimit; }

// ---------------------------------------------------------------------------
// Coordinate maps.
struct rx_AxisSpan {
  int32_t first;
  int32_t last;
  bool empty;
  bool identity;
};
// Fills `index` and `fraction` (indexed by destination position, 65,536
// entries) for destination [d0, d1] and source [s0, s1] and returns the span
// that is to be processed. `offset` is in 1/256 pixel. 0 (code 5, empty
// span) for coordinates beyond rx_CoordLimit.
int32_t rx_BuildAxisMap(int32_t d0, int32_t d1, int32_t s0, int32_t s1, int32_t src_size, int32_t dst_size,
                     int32_t offset, bool centre, uint32_t *index, uint8_t *fraction, rx_AxisSpan *span);
// The resampling case for the given sizes (see rx_Case*).
int32_t rx_ScalingCase(int32_t src_w, int32_t src_h, int32_t dst_w, int32_t dst_h, bool has_offset, uint32_t options);

// ---------------------------------------------------------------------------
// Rectangle kernels. Rectangles are inclusive.
int32_t rx_CopyRect(rx_Surface *dst, int32_t dl, int32_t dt, int32_t dr, int32_t db, rx_Surface *src, int32_t sl,
                    int32_t st, int32_t sr, int32_t sb, uint32_t options);
int32_t rx_BlendRect(rx_Surface *dst, int32_t dl, int32_t dt, int32_t dr, int32_t db, rx_Surface *src, int32_t sl,
                     int32_t st, int32_t sr, int32_t sb, uint32_t options);
int32_t rx_ResampleRect(rx_Surface *dst, int32_t dl, int32_t dt, int32_t dr, int32_t db, rx_Surface *src, int32_t sl,
                        int32_t st, int32_t sr, int32_t sb, uint32_t options);
int32_t rx_ResampleBlendRect(rx_Surface *dst, int32_t dl, int32_t dt, int32_t dr, int32_t db, rx_Surface *src,
                             int32_t sl, int32_t st, int32_t sr, int32_t sb, uint32_t options);
int32_t rx_OpRect(rx_Surface *dst, int32_t dl, int32_t dt, int32_t dr, int32_t db, rx_Surface *src, int32_t sl,
                  int32_t st, int32_t sr, int32_t sb, int32_t transparency, int32_t op, int32_t op_class);
int32_t rx_OpRectSubpixel(rx_Surface *dst, int32_t dl, int32_t dt, int32_t dr, int32_t db, rx_Surface *src,
                          int32_t sl, int32_t st, int32_t sr, int32_t sb, int32_t transparency, int32_t op,
                          int32_t op_class);
int32_t rx_MaskRect(rx_Surface *dst, int32_t dl, int32_t dt, int32_t dr, int32_t db, rx_Surface *src, int32_t sl,
                    int32_t st, int32_t sr, int32_t sb, int32_t op, int32_t op_class);
int32_t rx_MaskRectScaled(rx_Surface *dst, int32_t dl, int32_t dt, int32_t dr, int32_t db, rx_Surface *src,
                          int32_t sl, int32_t st, int32_t sr, int32_t sb, int32_t op, int32_t op_class);

// Quadrilateral kernels: corners (x, y) top-left, top-right, bottom-right,
// bottom-left in inclusive destination pixel coordinates; the source
// rectangle's corner pixels land on them.
struct rx_PointF {
  float x;
  float y;
};
int32_t rx_CopyQuad(rx_Surface *dst, rx_Surface *src, const rx_PointF corners[4], const rx_Rect *src_rect);
int32_t rx_MaskQuad(rx_Surface *dst, rx_Surface *src, const rx_PointF corners[4], const rx_Rect *src_rect, int32_t op,
                    int32_t op_class);
int32_t rx_OpQuad(rx_Surface *dst, rx_Surface *src, const rx_PointF corners[4], const rx_Rect *src_rect,
                  int32_t transparency, int32_t op, int32_t op_class);

// ---------------------------------------------------------------------------
// Fills and polygons.
enum : uint32_t { rx_FillExclusive = 1, rx_FillClip = 0x100 };
int32_t rx_FillRect(rx_Surface *surface, int32_t left, int32_t top, int32_t right, int32_t bottom, uint32_t colour,
                    uint32_t options);

// What a span operation needs besides the row: the thread state (pattern,
// adjustment), the row's position and the operation class.
struct rx_SpanContext {
  rx_ThreadState *state;
  int32_t y;
  int32_t opClass;
};
int32_t rx_SpanOp(uint32_t *row, int32_t first, int32_t last, uint32_t colour, int32_t op,
                  const rx_SpanContext *context);

inline constexpr uint32_t rx_PointListSignature = 0x3E4A2C1D;
struct rx_PointList {
  uint32_t signature;
  int32_t count;
  unsigned char *points;  // 12 bytes a point: x, y (i32), flag byte
  uint32_t capacity;      // bytes
};
int32_t rx_PointListInit(rx_PointList *list);
int32_t rx_PointListFree(rx_PointList *list);
// 1 stored, -1 the same as the last point, 0 failure (error code set).
int32_t rx_PointListAdd(rx_PointList *list, int32_t x, int32_t y, uint8_t flag);
int32_t rx_PointListGet(const rx_PointList *list, int32_t i, int32_t *x, int32_t *y, uint8_t *flag);
int32_t rx_FillPolygon(rx_Surface *dst, const rx_PointList *list, uint32_t colour, int32_t op, int32_t op_class);

// ---------------------------------------------------------------------------
// Adjustment tables of operation 126.
using rx_AdjustCallback = uint32_t (*)(uint32_t value, uintptr_t user);
struct rx_Adjustment {
  uint32_t mode;
  uint32_t parameter;
  uint32_t count;                 // n: entries per curve, or n x n for mode 3
  const uint8_t *tables[3];       // blue, green, red
  rx_AdjustCallback callbacks[3];
  uintptr_t user;
  uint8_t selectors[3];           // mode 4: blue, green, red
};
int32_t rx_SetAdjustment(const rx_Adjustment *record);

// ---------------------------------------------------------------------------
// The dispatcher for one layer: corners in the order of the quadrilateral
// kernels, the layer's blend mode, transparency 0..255, its custom blend
// table (mode 254) and adjustment (adjustment layers), both optional.
int32_t rx_DrawQuad(rx_Surface *dst, rx_Surface *src, const rx_PointF corners[4], const rx_Rect *src_rect,
                    int32_t transparency, int32_t blend_mode, int32_t centre, const uint8_t *blend_table,
                    const rx_Adjustment *adjustment);
// The engine operation of a layer blend mode.
int32_t rx_LayerModeToOp(int32_t blend_mode);

// ---------------------------------------------------------------------------
// Background patterns. Sets the thread's checkerboard (no tiled surface).
int32_t rx_SetCheckerPattern(uint32_t colour1, uint32_t colour2, int32_t scale, int32_t shift);
// The light checkerboard under thumbnails of transparent images.
int32_t rx_SetThumbnailPattern();
// Lays `src` over the thread's checkerboard into `dst` (same size): the
// result is opaque.
int32_t rx_DrawOverPattern(rx_Surface *dst, rx_Surface *src);

// ---------------------------------------------------------------------------
// The pixel work of surface operations.
// Carries the pixels of `from` over into `to` (both valid, any sizes): region
// copy when `region_copy`, otherwise resampled (with the factor-2 option
// when `scale_case`).
int32_t rx_KernelResizeCarryOver(rx_Surface *to, rx_Surface *from, bool region_copy, bool scale_case);
// Copies the whole area of `src` into `dst` of the same size, row by row.
int32_t rx_KernelCopyStrided(rx_Surface *dst, rx_Surface *src);
// Stretches a rectangle of packed 32-bit rows into a rectangle of another
// buffer, clipped to the destination and to `clip` (exclusive right and
// bottom; null: none). No thread state needed: usable from the bitmap layer.
int32_t rx_KernelStretchPixels(uint32_t *dst, int32_t dst_w, int32_t dst_h, int32_t dst_stride, int32_t x, int32_t y,
                               int32_t w, int32_t h, const uint32_t *src, int32_t src_w, int32_t src_h,
                               int32_t src_stride, int32_t sx, int32_t sy, int32_t sw, int32_t sh,
                               const int32_t *clip);
// Stretches an inclusive source rectangle of `surface` into an inclusive
// rectangle of `dst` (the pixel part of painting with stretching).
int32_t rx_KernelStretchToSurface(rx_Surface *dst, int32_t left, int32_t top, int32_t right, int32_t bottom,
                                  rx_Surface *surface, int32_t src_left, int32_t src_top, int32_t src_right,
                                  int32_t src_bottom);
