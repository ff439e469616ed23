// Coordinate maps from destination columns (or rows) to source positions,
// with the span of destination positions that has a source to read.
#include <algorithm>
#include <cmath>

#include "raster/kernels/kernel_internal.h"

namespace {

struct MapTerms {
  int64_t d0, s0, nd, ns;
  int32_t offset;
  double c, h;
  bool identity;
};

// Source position of destination x before clamping, in 1/256 pixel.
int64_t RawPosition(const MapTerms &m, int32_t x) {
  if (m.identity) return (x - m.d0 + m.s0) * 256;
  double p = x - (m.offset / 256.0 + static_cast<double>(m.d0));
  p = std::max((p + m.h) * static_cast<double>(m.ns) / static_cast<double>(m.nd) + m.c - m.h, 0.0);
  // Capped far outside every surface, so that the cast stays defined.
  return static_cast<int64_t>(std::min(p * 256.0 + 0.000001 + static_cast<double>(m.s0) * 256.0, 0x1p62));
}
int64_t RawIndex(const MapTerms &m, int32_t x) {
  int64_t v = RawPosition(m, x);
  return ((v + 4096) >> 8) - 16;
}

}  // namespace

int32_t rx_BuildAxisMap(int32_t d0, int32_t d1, int32_t s0, int32_t s1, int32_t src_size, int32_t dst_size,
                        int32_t offset, bool centre, uint32_t *index, uint8_t *fraction, rx_AxisSpan *span) {
  *span = rx_AxisSpan{0, 0, true, false};
  if (!rx_CoordOk(d0) || !rx_CoordOk(d1) || !rx_CoordOk(s0) || !rx_CoordOk(s1) || d1 < d0 || s1 < s0 ||
      src_size < 1 || dst_size < 1 || offset < -65536 || offset > 65536) {
    rx_SetLastError(rx_ErrArgument);
    return 0;
  }
  MapTerms m{};
  m.d0 = d0;
  m.s0 = s0;
  m.nd = int64_t{d1} - d0 + 1;
  m.ns = int64_t{s1} - s0 + 1;
  m.offset = offset;
  m.identity = m.nd == m.ns && offset == 0;
  m.c = m.ns > 2 * m.nd ? static_cast<double>(m.nd) * 0.5 / static_cast<double>(m.ns) : 2 * m.ns < m.nd ? 0.5 : 0.0;
  m.h = centre && m.ns <= m.nd ? 0.5 : 0.0;

  int32_t from = std::max(d0 - 4, 0), to = std::min(d1 + 4, 65535);
  for (int32_t x = from; x <= to; ++x) {
    int64_t v = RawPosition(m, x);
    int64_t i = ((v + 4096) >> 8) - 16;
    index[x] = static_cast<uint32_t>(std::clamp<int64_t>(i, 0, src_size - 1));
    fraction[x] = m.identity ? 0 : static_cast<uint8_t>(v & 255);
  }

  int64_t first, last;
  if (m.identity) {
    first = std::max<int64_t>({d0, 0, static_cast<int64_t>(d0) - std::min(s0, 0)});
    last = std::min<int64_t>({static_cast<int64_t>(d0) + std::min(s1, src_size - 1) - s0, d1, dst_size - 1, 65535});
  } else {
    double ratio = static_cast<double>(m.nd) / static_cast<double>(m.ns);
    first = std::max<int64_t>({d0, 0, d0 - static_cast<int64_t>(std::min(s0, 0) * ratio + 0.999999)});
    last = std::min<int64_t>(
        {d0 + static_cast<int64_t>(static_cast<double>(int64_t{std::min(s1, src_size - 1)} - s0 + 1) * ratio + 0.999999),
         d1, dst_size - 1, 65535});
  }
  if (last > first) {
    while (first < last && RawIndex(m, static_cast<int32_t>(first)) < 0) ++first;
    while (last > first && RawIndex(m, static_cast<int32_t>(last)) > src_size - 1) --last;
  }
  // A position left whose source is still outside (a source rectangle wholly
  // beyond one edge) has nothing to read: its clamped index is not its pixel.
  bool outside = last >= first && first >= 0 && first <= 65535 &&
                 (RawIndex(m, static_cast<int32_t>(first)) < 0 || RawIndex(m, static_cast<int32_t>(last)) > src_size - 1);
  int64_t limit = std::min(d1, dst_size - 1);
  span->identity = m.identity;
  span->empty = outside || last < first || first > limit || last < 0 || limit < 0;
  first = std::clamp<int64_t>(first, 0, std::max<int64_t>(limit, 0));
  last = std::clamp<int64_t>(last, 0, std::max<int64_t>(limit, 0));
  span->first = static_cast<int32_t>(first);
  span->last = static_cast<int32_t>(last);
  return 1;
}

int32_t rx_ScalingCase(int32_t src_w, int32_t src_h, int32_t dst_w, int32_t dst_h, bool has_offset, uint32_t options) {
  bool option = (options & rx_OptScaleCase) != 0;
  if (src_w >= dst_w && src_h >= dst_h && !has_offset) {
    if (!option) return rx_CaseShrinkSharp;
    return (src_w >= 2 * int64_t{dst_w} || src_h >= 2 * int64_t{dst_h}) ? rx_CaseShrinkBox : rx_CaseShrinkMild;
  }
  if (option && (src_w < dst_w || src_h < dst_h)) return rx_CaseEnlarge;
  return rx_CaseNearest;
}
