// Fast paths of the filtered resampler: whole-factor box shrinking and
// two-tap bilinear scaling on 8-bit opacity-weighted channels, each with an
// SSE2 row routine and a scalar twin that gives the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "raster/kernels/kernel_internal.h"

namespace rx_kernel {

enum FastResampleKind : int32_t { rx_FastNone = 0, rx_FastBox = 1, rx_FastBilinear = 2 };

// Which fast path fits two tap tables (rx_FastNone when only the general
// filter does). Box: every axis averages whole runs of f pixels (f x f <= 256
// in all); bilinear: at most two neighbouring taps per position.
int32_t ClassifyFastResample(const AxisTaps &columns, const AxisTaps &rows);

// Lays out the plan of the fast path in `block`. rx_FastNone when none
// fits, -1 when memory is lacking.
int32_t PlanFastResample(const AxisTaps &columns, const AxisTaps &rows, Buffer *block);
// Destination row `row` (index into the row taps) of a planned fast path.
void FastResampleRow(const Buffer &block, int32_t row, const uint32_t *src, size_t stride, uint32_t *out, bool simd);

// Tests set this to compare the fast paths against the general filter.
extern thread_local bool gResampleGeneralOnly;

// Row pieces, exposed so the tests can hold the twins against each other.
// Sums (b, g, r weighted by opacity; T) over `n` weight units per output
// pixel become pixels: colour = (c x 255 + A / 2) / A with A = 255 n - T.
void ResolveSumsScalar(const uint16_t *sums, int32_t count, int32_t n, uint32_t *out);
void ResolveSumsSse2(const uint16_t *sums, int32_t count, int32_t n, uint32_t *out);
// Box sums of `count` groups of fx pixels, over fy rows, into sums.
void BoxSumsScalar(const uint32_t *src, size_t stride, int32_t fx, int32_t fy, int32_t count, uint16_t *sums);
void BoxSumsSse2(const uint32_t *src, size_t stride, int32_t fx, int32_t fy, int32_t count, uint16_t *sums);
// Two lines of horizontal sums (1/128) weighted (128 - w1, w1) into sums
// of 1/256.
void VerticalScalar(const uint16_t *h0, const uint16_t *h1, int32_t w1, int32_t lanes, uint16_t *sums);
void VerticalSse2(const uint16_t *h0, const uint16_t *h1, int32_t w1, int32_t lanes, uint16_t *sums);

}  // namespace rx_kernel
