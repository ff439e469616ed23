// Shared pieces of the kernel sources: the per-call operation context, the
// row combiners, scratch buffers and the sampling helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "raster/kernels/kernels.h"
#include "vgm/vgm_compat.h"

namespace rx_kernel {

inline uint8_t B(uint32_t p, int shift) { return static_cast<uint8_t>(p >> shift); }
inline uint32_t T(uint32_t p) { return p >> 24; }
inline uint32_t Pack(uint32_t b, uint32_t g, uint32_t r, uint32_t t) { return b | g << 8 | r << 16 | t << 24; }
// Rounded x / 255 for 0 <= x <= 65,535.
inline uint32_t Div255(uint32_t x) {
  x += 128;
  return (x + (x >> 8)) >> 8;
}
inline int Clamp255(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }

// A zero-filled block from the global heap, released on scope exit.
class Buffer {
 public:
  Buffer() = default;
  explicit Buffer(size_t bytes) { data_ = bytes ? GlobalAlloc(GPTR, bytes) : nullptr; }
  ~Buffer() {
    if (data_ != nullptr) GlobalFree(data_);
  }
  Buffer(const Buffer &) = delete;
  Buffer &operator=(const Buffer &) = delete;
  template <typename T>
  T *as() const { return static_cast<T *>(data_); }
  bool ok() const { return data_ != nullptr; }
  // Replaces the block by a new zero-filled one.
  bool reset(size_t bytes) {
    if (data_ != nullptr) GlobalFree(data_);
    data_ = bytes ? GlobalAlloc(GPTR, bytes) : nullptr;
    return data_ != nullptr;
  }

 private:
  void *data_ = nullptr;
};

// Everything the row combiner needs for one call.
struct OpContext {
  int32_t op = 0;
  int32_t opClass = rx_ClassNormal;
  int32_t transparency = 0;  // layer transparency 0..254
  bool keepT = false;        // leave the destination's T as it was
  bool simd = true;          // allow the SSE2 paths
  const uint8_t *tables[4] = {};
  rx_ThreadState *state = nullptr;
  // Pattern operations: the background, locked for the call.
  rx_Surface *pattern = nullptr;
  int32_t y = 0;
};

// Checks the operation and gathers what it needs (blend tables, adjustment,
// pattern). False with the error code left in the state.
bool PrepareOp(rx_ThreadState *state, int32_t op, int32_t op_class, int32_t transparency, OpContext *context);
void FinishOp(OpContext *context);
// Calls FinishOp when the operation's scope ends, on every return path.
struct OpFinisher {
  OpContext *context;
  ~OpFinisher() { FinishOp(context); }
};

// dst[i] = op(dst[i], src[i]) for i < n; x0 is the destination column of
// dst[0] (pattern operations need the position).
void CombineRow(uint32_t *dst, const uint32_t *src, int32_t n, int32_t x0, const OpContext &c);

// The normal blend of one pixel: source transparency already weighted by
// the layer.
uint32_t BlendNormal(uint32_t d, uint32_t s, bool keepT);
void BlendNormalRowScalar(uint32_t *dst, const uint32_t *src, int32_t n, int32_t layerT, bool keepT);
void BlendNormalRowSse2(uint32_t *dst, const uint32_t *src, int32_t n, int32_t layerT, bool keepT);
// Per-channel result of the colour operations for opaque input.
int ChannelOp(int32_t op, int d, int s, const uint8_t *const tables[4]);

// The replace (27) or masking (123-125) quadrilateral kernel followed by the
// outline fill with `edge_colour` and the same operation, over the pixels
// inside the outline that the kernel did not draw.
int32_t QuadWithEdge(rx_Surface *dst, rx_Surface *src, const rx_PointF corners[4], const rx_Rect *src_rect, int32_t op,
                     uint32_t edge_colour);

// Opacity-weighted bilinear sample between four pixels, fractions in 1/256.
uint32_t SampleBilinear(uint32_t p00, uint32_t p10, uint32_t p01, uint32_t p11, uint32_t fx, uint32_t fy);

// Separable filter taps for one axis: for each destination position, the
// first source index and its weights (1/16384) over `taps` entries.
struct AxisTaps {
  int32_t taps = 0;
  int32_t count = 0;  // destination positions
  Buffer startBlock;
  Buffer weightBlock;
  int32_t *start = nullptr;
  int16_t *weight = nullptr;
};
enum class Filter { tent, box, cubic };
// Positions d0..d1 (the processed span of [dl, dr]) of a destination
// [dl, dr] from source [sl, sr] of a surface `src_size` wide, offset in
// 1/256 destination pixel. False when memory is lacking.
bool BuildTaps(AxisTaps *taps, Filter filter, int32_t first, int32_t last, int32_t dl, int32_t dr, int32_t sl,
               int32_t sr, int32_t src_size, int32_t offset);
Filter FilterForAxis(int32_t scale_case, int32_t n_src, int32_t n_dst);

// Resamples a source area into rows through two tap tables; keeps a ring of
// horizontally filtered rows so that each source row is filtered once.
class Resampler {
 public:
  bool Init(const AxisTaps *columns, const AxisTaps *rows);
  // Fills `out` (columns->count pixels) for destination row `row` (index
  // into the row taps). `src` is the first pixel of the source, stride in
  // pixels. `simd` picks the SSE2 path.
  void Row(int32_t row, const uint32_t *src, size_t stride, uint32_t *out, bool simd);

 private:
  const AxisTaps *columns_ = nullptr;
  const AxisTaps *rows_ = nullptr;
  bool fast_ = false;  // whole-factor box or two-tap bilinear: planned in fastPlan_
  Buffer fastPlan_;
  int32_t ring_ = 0;
  Buffer columnPlan_;      // vectorised horizontal pass (see resample_simd.h)
  bool planned_ = false;   // the tables suit the vectorised rows
  int32_t ringLevel_ = 0;  // routine set that filled the ring
  Buffer tagBlock_;
  Buffer lineBlock_;
  Buffer pickBlock_;  // per-row list of the lines and weights in use
  int32_t *tags_ = nullptr;
  int16_t *lines_ = nullptr;  // ring_ rows of count x 4 premultiplied channels, biased by -32768
};

// A private heap copy of `src` for scaled reads inside one surface: the
// rows first..last (clamped, one more each side) hold the source's pixels,
// the others stay blank and are never read. False when memory is lacking.
bool CopySourceRows(rx_Surface *src, int32_t first, int32_t last, rx_Surface *copy);

// Opacity weighting of one pixel into four channels of at most 65,025.
inline void Premultiply(uint32_t p, uint32_t out[4]) {
  uint32_t a = 255 - T(p);
  out[0] = B(p, 0) * a;
  out[1] = B(p, 8) * a;
  out[2] = B(p, 16) * a;
  out[3] = a * 255;
}
// Back from the weighted channels (alpha in 1/65,025).
uint32_t Unpremultiply(int32_t c0, int32_t c1, int32_t c2, int32_t a);

}  // namespace rx_kernel
