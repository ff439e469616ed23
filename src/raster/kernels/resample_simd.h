// Vectorised twin of the general filtered resampler: the same integer sums
// as the scalar rows of the resampler, so the bytes are the same.
//
// Filtered lines hold each channel as value - 32768 in 16 bits, so that
// both passes can multiply-add pairs of taps in signed 16-bit lanes; the
// weights of every position add up to exactly 16384, which gives the bias
// back as one constant (32768 x 16384) after the sum.
#pragma once

#include <cstddef>
#include <cstdint>

#include "raster/kernels/kernel_internal.h"

namespace rx_kernel {

// Highest routine set the general resampler may use: 2 AVX2, 1 SSE2, 0 the
// scalar rows. Tests lower it to hold each set against the scalar rows.
extern thread_local int32_t gResampleSimdLimit;

// The routine set for a call: 0 when `simd` is off, else the best one the
// processor offers (through the engine's feature mask) within the limit.
int32_t GeneralResampleLevel(bool simd);

// Lays out the column plan of the vectorised rows in `block`: per position
// the first source pixel read and the weights in groups of four. False when
// the tables do not suit it (a negative weight, sums other than 16384) or
// memory is lacking; `*lacking` tells which.
bool PlanGeneralColumns(const AxisTaps &columns, Buffer *block, bool *lacking);
// True when every position's weights suit the vectorised rows.
bool GeneralTapsFit(const AxisTaps &taps);
// Padded length of a filtered line in pixels (positions rounded up to 4).
int32_t GeneralLinePixels(int32_t count);

// One source row (its first pixel) through the column plan into a line.
void GeneralHorizontal(const Buffer &plan, int32_t level, const uint32_t *row, int16_t *line);
// `used` lines (an even count; padding entries weigh 0) weighted into
// `count` pixels.
void GeneralVertical(int32_t level, const int16_t *const *lines, const int16_t *weights, int32_t used, int32_t count,
                     uint32_t *out);

}  // namespace rx_kernel
