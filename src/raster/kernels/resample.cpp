// Filtered resampling: per-call tap tables for each axis (tent for
// enlarging and mild shrinking, area average for shrinking by 2 or more, a
// Catmull-Rom cubic stretched over the footprint for the sharp path), and a
// two-pass row resampler that averages colours weighted by opacity, so that
// transparent pixels never darken their neighbours.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "raster/kernels/kernel_internal.h"
#include "raster/kernels/resample_fast.h"
#include "raster/kernels/resample_simd.h"

namespace rx_kernel {

namespace {

double Cubic(double t) {
  t = std::fabs(t);
  if (t < 1) return 1.5 * t * t * t - 2.5 * t * t + 1;
  if (t < 2) return -0.5 * t * t * t + 2.5 * t * t - 4 * t + 2;
  return 0;
}

}  // namespace

Filter FilterForAxis(int32_t scale_case, int32_t n_src, int32_t n_dst) {
  if (n_src <= n_dst) return Filter::tent;  // enlarging (or equal) is bilinear on every path
  // The sharp path averages exact pixel footprints once the factor reaches 2
  // (a cubic lets the finest detail through as aliasing there).
  if ((scale_case == rx_CaseShrinkBox || scale_case == rx_CaseShrinkSharp) && n_src >= 2 * n_dst) return Filter::box;
  return Filter::tent;
}

bool BuildTaps(AxisTaps *t, Filter filter, int32_t first, int32_t last, int32_t dl, int32_t dr, int32_t sl,
               int32_t sr, int32_t src_size, int32_t offset) {
  const int32_t lo = std::max(sl, 0), hi = std::min(sr, src_size - 1);
  const double scale = static_cast<double>(sr - sl + 1) / (dr - dl + 1);
  const double widen = std::max(1.0, scale);
  const double radius = filter == Filter::cubic ? 2 * widen : filter == Filter::box ? scale / 2 : widen;
  t->taps = std::min(static_cast<int32_t>(std::ceil(2 * radius)) + 3, hi - lo + 1);
  t->count = last - first + 1;
  Buffer localBlock;
  if (!t->startBlock.reset(static_cast<size_t>(t->count) * 4) ||
      !t->weightBlock.reset(static_cast<size_t>(t->count) * t->taps * 2) ||
      !localBlock.reset(static_cast<size_t>(t->taps) * sizeof(double)))
    return false;
  t->start = t->startBlock.as<int32_t>();
  t->weight = t->weightBlock.as<int16_t>();
  double *local = localBlock.as<double>();
  for (int32_t j = 0; j < t->count; ++j) {
    const int32_t x = first + j;
    const double u = (x + 0.5 - dl - offset / 256.0) * scale + sl;  // centre, in source pixel edges
    const int32_t f = static_cast<int32_t>(std::floor(u - radius - 0.5));
    const int32_t start = std::clamp(f, lo, hi - t->taps + 1);
    std::fill(local, local + t->taps, 0.0);
    double sum = 0;
    const int32_t reach = static_cast<int32_t>(std::ceil(2 * radius)) + 2;
    for (int32_t i = f; i <= f + reach; ++i) {
      double w;
      double centre = i + 0.5 - u;
      if (filter == Filter::box) {
        w = std::max(0.0, std::min(i + 1.0, u + radius) - std::max(static_cast<double>(i), u - radius));
      } else if (filter == Filter::cubic) {
        w = Cubic(centre / widen);
      } else {
        w = std::max(0.0, 1.0 - std::fabs(centre) / widen);
      }
      if (w == 0) continue;
      int32_t slot = std::clamp(i, lo, hi) - start;
      if (slot < 0 || slot >= t->taps) continue;
      local[slot] += w;
      sum += w;
    }
    if (sum <= 0) {  // no coverage at all: the nearest source pixel
      local[std::clamp(static_cast<int32_t>(std::floor(u)), lo, hi) - start] = 1;
      sum = 1;
    }
    int16_t *weights = t->weight + static_cast<size_t>(j) * t->taps;
    int32_t total = 0, biggest = 0;
    for (int32_t k = 0; k < t->taps; ++k) {
      weights[k] = static_cast<int16_t>(std::lround(local[k] / sum * 16384));
      total += weights[k];
      if (weights[k] > weights[biggest]) biggest = k;
    }
    weights[biggest] = static_cast<int16_t>(weights[biggest] + (16384 - total));
    t->start[j] = start;
  }
  return true;
}

uint32_t Unpremultiply(int32_t c0, int32_t c1, int32_t c2, int32_t a) {
  if (a <= 0) return 0xFF000000u;
  if (a >= 65025) {  // opaque: no division needed
    auto c = [](int32_t v) { return std::min<uint32_t>(255, Div255(static_cast<uint32_t>(std::clamp(v, 0, 65025)))); };
    return c(c0) | c(c1) << 8 | c(c2) << 16;
  }
  auto colour = [a](int32_t c) {
    return static_cast<uint32_t>(std::min<int64_t>(255, (static_cast<int64_t>(std::max(c, 0)) * 255 + a / 2) / a));
  };
  uint32_t t = 255 - Div255(static_cast<uint32_t>(std::min(a, 65025)));
  return colour(c0) | colour(c1) << 8 | colour(c2) << 16 | t << 24;
}

bool CopySourceRows(rx_Surface *src, int32_t first, int32_t last, rx_Surface *copy) {
  const int32_t w = static_cast<int32_t>(src->width), h = static_cast<int32_t>(src->height);
  // Nearest reads of a strong enlargement reach one row past the rectangle.
  const int64_t top = std::clamp<int64_t>(int64_t{first} - 1, 0, h - 1);
  const int64_t bottom = std::clamp<int64_t>(int64_t{last} + 1, 0, h - 1);
  if (rx_SurfaceCreate(copy, w, h, rx_CreateMemory | rx_CreateNoShrink | rx_CreateNoTotalLimit) == 0) return false;
  if (rx_SurfaceLock(src, 0) == 0) {
    rx_SurfaceFree(copy);
    return false;
  }
  for (int64_t y = top; y <= bottom; ++y)
    std::memcpy(copy->bits + static_cast<size_t>(y) * copy->stride, src->bits + static_cast<size_t>(y) * src->stride,
                static_cast<size_t>(w) * 4);
  rx_SurfaceUnlock(src, 0);
  return true;
}

uint32_t SampleBilinear(uint32_t p00, uint32_t p10, uint32_t p01, uint32_t p11, uint32_t fx, uint32_t fy) {
  if (fx == 0 && fy == 0) return p00;
  const uint32_t w[4] = {(256 - fx) * (256 - fy), fx * (256 - fy), (256 - fx) * fy, fx * fy};
  const uint32_t px[4] = {p00, p10, p01, p11};
  uint32_t acc[4] = {0, 0, 0, 0};
  for (int k = 0; k < 4; ++k) {
    if (w[k] == 0) continue;
    uint32_t pm[4];
    Premultiply(px[k], pm);
    for (int c = 0; c < 4; ++c) acc[c] += pm[c] * w[k];
  }
  for (uint32_t &a : acc) a = (a + 32768) >> 16;
  return Unpremultiply(static_cast<int32_t>(acc[0]), static_cast<int32_t>(acc[1]), static_cast<int32_t>(acc[2]),
                       static_cast<int32_t>(acc[3]));
}

bool Resampler::Init(const AxisTaps *columns, const AxisTaps *rows) {
  columns_ = columns;
  rows_ = rows;
  // Whole-factor box and two-tap bilinear tables take the fast paths.
  const int32_t fast = PlanFastResample(*columns, *rows, &fastPlan_);
  if (fast < 0) return false;
  fast_ = fast != rx_FastNone;
  if (fast_) return true;
  bool lacking = false;
  planned_ = PlanGeneralColumns(*columns, &columnPlan_, &lacking) && GeneralTapsFit(*rows);
  if (lacking) return false;
  ring_ = rows->taps;
  ringLevel_ = 0;
  // One more pick than the ring: the vectorised pass takes the lines in pairs.
  if (!tagBlock_.reset(static_cast<size_t>(ring_) * 4) ||
      !lineBlock_.reset(static_cast<size_t>(ring_) * GeneralLinePixels(columns->count) * 8) ||
      !pickBlock_.reset(static_cast<size_t>(ring_ + 1) * (sizeof(int16_t *) + sizeof(int16_t))))
    return false;
  tags_ = tagBlock_.as<int32_t>();
  lines_ = lineBlock_.as<int16_t>();
  std::fill(tags_, tags_ + ring_, -1);
  return true;
}

namespace {

// One source row through the column taps into premultiplied channels.
void FilterRow(const AxisTaps &cols, const uint32_t *row, int16_t *out) {
  const int32_t taps = cols.taps;
  for (int32_t j = 0; j < cols.count; ++j) {
    const uint32_t *p = row + cols.start[j];
    const int16_t *w = cols.weight + static_cast<size_t>(j) * taps;
    int32_t a0 = 0, a1 = 0, a2 = 0, a3 = 0;
    for (int32_t k = 0; k < taps; ++k) {
      int32_t wk = w[k];
      if (wk == 0) continue;
      uint32_t px = p[k];
      int32_t a = static_cast<int32_t>(255 - T(px));
      a0 += wk * (B(px, 0) * a);
      a1 += wk * (B(px, 8) * a);
      a2 += wk * (B(px, 16) * a);
      a3 += wk * (a * 255);
    }
    out[0] = static_cast<int16_t>(std::clamp((a0 + 8192) >> 14, 0, 65025) - 32768);
    out[1] = static_cast<int16_t>(std::clamp((a1 + 8192) >> 14, 0, 65025) - 32768);
    out[2] = static_cast<int16_t>(std::clamp((a2 + 8192) >> 14, 0, 65025) - 32768);
    out[3] = static_cast<int16_t>(std::clamp((a3 + 8192) >> 14, 0, 65025) - 32768);
    out += 4;
  }
}

}  // namespace

void Resampler::Row(int32_t row, const uint32_t *src, size_t stride, uint32_t *out, bool simd) {
  if (fast_) {
    FastResampleRow(fastPlan_, row, src, stride, out, simd);
    return;
  }
  const int32_t level = planned_ ? GeneralResampleLevel(simd) : 0;
  if (level != ringLevel_) {  // lines of another routine set: the same values, but start afresh
    std::fill(tags_, tags_ + ring_, -1);
    ringLevel_ = level;
  }
  const int32_t taps = rows_->taps, first = rows_->start[row];
  const int16_t *w = rows_->weight + static_cast<size_t>(row) * taps;
  const size_t lineLength = static_cast<size_t>(GeneralLinePixels(columns_->count)) * 4;
  auto **lines = pickBlock_.as<const int16_t *>();
  auto *weights = reinterpret_cast<int16_t *>(lines + ring_ + 1);
  int32_t used = 0;
  for (int32_t k = 0; k < taps; ++k) {
    if (w[k] == 0) continue;
    int32_t r = first + k, slot = r % ring_;
    int16_t *line = lines_ + static_cast<size_t>(slot) * lineLength;
    if (tags_[slot] != r) {
      if (level > 0)
        GeneralHorizontal(columnPlan_, level, src + static_cast<size_t>(r) * stride, line);
      else
        FilterRow(*columns_, src + static_cast<size_t>(r) * stride, line);
      tags_[slot] = r;
    }
    lines[used] = line;
    weights[used++] = w[k];
  }
  if (level > 0) {
    if (used & 1) lines[used] = lines[0], weights[used++] = 0;
    GeneralVertical(level, lines, weights, used, columns_->count, out);
    return;
  }
  if (used == 1 && weights[0] == 16384) {
    const int16_t *l = lines[0];
    for (int32_t j = 0; j < columns_->count; ++j, l += 4)
      out[j] = Unpremultiply(l[0] + 32768, l[1] + 32768, l[2] + 32768, l[3] + 32768);
    return;
  }
  for (int32_t j = 0; j < columns_->count; ++j) {
    int32_t acc[4] = {0, 0, 0, 0};
    const size_t at = static_cast<size_t>(j) * 4;
    for (int32_t k = 0; k < used; ++k) {
      const int16_t *l = lines[k] + at;
      for (int c = 0; c < 4; ++c) acc[c] += weights[k] * (l[c] + 32768);
    }
    for (int32_t &a : acc) a = std::clamp((a + 8192) >> 14, 0, 65025);
    out[j] = Unpremultiply(acc[0], acc[1], acc[2], acc[3]);
  }
}

}  // namespace rx_kernel
