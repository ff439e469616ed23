// Helpers of the raster engine tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "raster/surface.h"
#include "raster/thread_state.h"

namespace rxtest {

// Diagnostics the engine sent to the hook of any thread that installed it.
class Diagnostics {
 public:
  static void hook(int32_t code, uintptr_t user) {
    auto *self = reinterpret_cast<Diagnostics *>(user);
    std::lock_guard<std::mutex> guard(self->lock_);
    self->codes_.push_back(code);
  }
  // Installs the hook on the calling thread.
  void install() { rx_SetNotifyHook(&Diagnostics::hook, reinterpret_cast<uintptr_t>(this)); }
  int count(int32_t code) {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(std::count(codes_.begin(), codes_.end(), code));
  }
  void clear() {
    std::lock_guard<std::mutex> guard(lock_);
    codes_.clear();
  }

 private:
  std::mutex lock_;
  std::vector<int32_t> codes_;
};

// Every test starts from a freshly started engine.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rx_EngineStop();
    ASSERT_EQ(rx_EngineStart(), 1);
    ASSERT_NE(rx_GetThreadState(), nullptr);
    diagnostics.install();
  }
  void TearDown() override { rx_EngineStop(); }
  Diagnostics diagnostics;
};

// A surface freed when it goes out of scope.
struct Surface : rx_Surface {
  ~Surface() { rx_SurfaceFree(this); }
};

// A pixel whose value tells its position: for checking moved pixels.
inline uint32_t marker(uint32_t x, uint32_t y) { return 0x01000000u | (y << 12) | x; }

inline void fillMarkers(rx_Surface *s) {
  ASSERT_EQ(rx_SurfaceLock(s, 0), 1);
  for (uint32_t y = 0; y < s->height; ++y)
    for (uint32_t x = 0; x < s->width; ++x) s->bits[static_cast<size_t>(y) * s->stride + x] = marker(x, y);
  rx_SurfaceUnlock(s, 0);
}

inline void makeMarked(rx_Surface *s, int32_t width, int32_t height, uint32_t flags) {
  ASSERT_EQ(rx_SurfaceCreate(s, width, height, flags), 1);
  fillMarkers(s);
}

// Every pixel, row by row, read under a lock; empty when the lock fails.
inline std::vector<uint32_t> pixelsOf(rx_Surface *s) {
  std::vector<uint32_t> out;
  if (rx_SurfaceLock(s, 0) == 0) return out;
  for (uint32_t y = 0; y < s->height; ++y) out.insert(out.end(), s->bits + y * s->stride, s->bits + y * s->stride + s->width);
  rx_SurfaceUnlock(s, 0);
  return out;
}

// Markers of a width x height surface after the pixel at (x, y) came from map(x, y).
template <typename Map>
std::vector<uint32_t> markersBy(uint32_t width, uint32_t height, Map map) {
  std::vector<uint32_t> out;
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) out.push_back(map(x, y));
  return out;
}

inline uint32_t pixelAt(rx_Surface *s, uint32_t x, uint32_t y) { return s->bits[static_cast<size_t>(y) * s->stride + x]; }

inline void fillWith(rx_Surface *s, uint32_t value) {
  ASSERT_EQ(rx_SurfaceLock(s, 0), 1);
  for (uint32_t y = 0; y < s->height; ++y) std::fill_n(s->bits + static_cast<size_t>(y) * s->stride, s->width, value);
  rx_SurfaceUnlock(s, 0);
}

// A call's result with the thread's last error right after it.
inline std::pair<int64_t, int32_t> withError(int64_t result) { return {result, rx_GetLastError()}; }

}  // namespace rxtest
