// Helpers of the kernel and layer tests: pixels, and heap surfaces filled by a function.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <tuple>
#include <utility>
#include <vector>

#include "raster/kernels/kernels.h"

namespace kt {

inline int Ch(uint32_t p, int c) { return static_cast<int>((p >> (8 * c)) & 255); }
inline uint32_t Px(int b, int g, int r, int t) {
  return static_cast<uint32_t>(b) | static_cast<uint32_t>(g) << 8 | static_cast<uint32_t>(r) << 16 |
         static_cast<uint32_t>(t) << 24;
}
inline uint32_t Grey(int v, int t = 0) { return Px(v, v, v, t); }
// The thread's error after a call that must fail (-1 when it did not fail).
inline int32_t FailureOf(int64_t result) { return result == 0 ? rx_GetLastError() : -1; }

inline void Fill(rx_Surface *s, const std::function<uint32_t(int, int)> &f) {
  ASSERT_NE(rx_SurfaceLock(s, 0), 0);
  for (uint32_t y = 0; y < s->height; ++y)
    for (uint32_t x = 0; x < s->width; ++x) s->bits[y * s->stride + x] = f(static_cast<int>(x), static_cast<int>(y));
  rx_SurfaceUnlock(s, 0);
}
inline uint32_t At(rx_Surface *s, int x, int y) {
  EXPECT_NE(rx_SurfaceLock(s, 0), 0);
  uint32_t v = s->bits[static_cast<size_t>(y) * s->stride + static_cast<size_t>(x)];
  rx_SurfaceUnlock(s, 0);
  return v;
}
inline std::pair<uint32_t, uint32_t> Size(const rx_Surface &s) { return {s.width, s.height}; }
// Pixels (x, y) of `s` hold the colours given.
inline void ExpectAt(rx_Surface *s, std::initializer_list<std::tuple<int, int, uint32_t>> points) {
  for (auto [x, y, colour] : points) EXPECT_EQ(At(s, x, y), colour) << x << "," << y;
}

// A surface that frees itself; default-constructed for a result to land in.
struct Surface {
  rx_Surface s{};
  Surface() = default;
  Surface(int w, int h, uint32_t fill = 0) {
    EXPECT_EQ(rx_SurfaceCreate(&s, w, h, rx_CreateMemory | rx_CreateNoShrink), 1);
    Fill([fill](int, int) { return fill; });
  }
  ~Surface() { if (s.signature != 0) rx_SurfaceFree(&s); }
  Surface(const Surface &) = delete;
  void Fill(const std::function<uint32_t(int, int)> &f) { kt::Fill(&s, f); }
  uint32_t At(int x, int y) { return kt::At(&s, x, y); }
  std::vector<uint32_t> Pixels() {
    std::vector<uint32_t> out;
    rx_SurfaceLock(&s, 0);
    for (uint32_t y = 0; y < s.height; ++y) out.insert(out.end(), s.bits + y * s.stride, s.bits + y * s.stride + s.width);
    rx_SurfaceUnlock(&s, 0);
    return out;
  }
  rx_Surface *operator&() { return &s; }
};

}  // namespace kt
