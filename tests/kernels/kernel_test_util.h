// Small helpers of the kernel tests: heap surfaces filled by a function.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <tuple>
#include <vector>

#include "raster/kernels/kernels.h"

namespace kt {

struct Surface {
  rx_Surface s{};
  Surface(int w, int h, uint32_t fill = 0) {
    EXPECT_EQ(rx_SurfaceCreate(&s, w, h, rx_CreateMemory | rx_CreateNoShrink), 1);
    Fill([fill](int, int) { return fill; });
  }
  ~Surface() { rx_SurfaceFree(&s); }
  Surface(const Surface &) = delete;
  void Fill(const std::function<uint32_t(int, int)> &f) {
    rx_SurfaceLock(&s, 0);
    for (uint32_t y = 0; y < s.height; ++y)
      for (uint32_t x = 0; x < s.width; ++x) s.bits[y * s.stride + x] = f(static_cast<int>(x), static_cast<int>(y));
    rx_SurfaceUnlock(&s, 0);
  }
  uint32_t At(int x, int y) {
    rx_SurfaceLock(&s, 0);
    uint32_t v = s.bits[static_cast<uint32_t>(y) * s.stride + static_cast<uint32_t>(x)];
    rx_SurfaceUnlock(&s, 0);
    return v;
  }
  std::vector<uint32_t> Pixels() {
    std::vector<uint32_t> out;
    rx_SurfaceLock(&s, 0);
    for (uint32_t y = 0; y < s.height; ++y)
      for (uint32_t x = 0; x < s.width; ++x) out.push_back(s.bits[y * s.stride + x]);
    rx_SurfaceUnlock(&s, 0);
    return out;
  }
  rx_Surface *operator&() { return &s; }
};

// Pixels (x, y) of `s` hold the colours given.
inline void ExpectAt(Surface &s, std::initializer_list<std::tuple<int, int, uint32_t>> points) {
  for (auto [x, y, colour] : points) EXPECT_EQ(s.At(x, y), colour) << x << "," << y;
}

inline int Ch(uint32_t p, int c) { return static_cast<int>((p >> (8 * c)) & 255); }
inline uint32_t Px(int b, int g, int r, int t) {
  return static_cast<uint32_t>(b) | static_cast<uint32_t>(g) << 8 | static_cast<uint32_t>(r) << 16 |
         static_cast<uint32_t>(t) << 24;
}
inline uint32_t Grey(int v, int t = 0) { return Px(v, v, v, t); }

}  // namespace kt
