// Helpers of the layer tests: tables whose entries get filled surfaces and properties records, and pixel access.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "raster/kernels/kernels.h"
#include "raster/layers/layer_records.h"
#include "raster/layers/layers.h"

namespace lt {

inline uint32_t Px(int b, int g, int r, int t) {
  return static_cast<uint32_t>(b) | static_cast<uint32_t>(g) << 8 | static_cast<uint32_t>(r) << 16 |
         static_cast<uint32_t>(t) << 24;
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

template <class F>
void Fill(rx_Surface *s, F f) {
  ASSERT_NE(rx_SurfaceLock(s, 0), 0);
  for (uint32_t y = 0; y < s->height; ++y)
    for (uint32_t x = 0; x < s->width; ++x) s->bits[y * s->stride + x] = f(static_cast<int>(x), static_cast<int>(y));
  rx_SurfaceUnlock(s, 0);
}

// A surface that frees itself.
struct Surface {
  rx_Surface s{};
  Surface() = default;
  Surface(int w, int h, uint32_t colour) {
    EXPECT_EQ(rx_SurfaceCreate(&s, w, h, rx_CreateMemory | rx_CreateNoShrink), 1);
    Fill(&s, [colour](int, int) { return colour; });
  }
  ~Surface() { if (s.signature != 0) rx_SurfaceFree(&s); }
  Surface(const Surface &) = delete;
  rx_Surface *operator&() { return &s; }
};

// A full table that releases itself.
struct Table {
  rx_LayerEntry *e = rx_LayerTableCreate();
  Table() { EXPECT_NE(e, nullptr); }
  ~Table() { rx_LayerTableFree(e); }
  Table(const Table &) = delete;
  rx_LayerEntry &operator[](int i) { return e[i]; }

  // Entry i gets a w x h surface of one colour.
  rx_LayerEntry &Set(int i, int w, int h, uint32_t colour, int x = 0, int y = 0, uint16_t flags = 0) {
    rx_LayerEntry &entry = e[i];
    EXPECT_EQ(rx_SurfaceCreate(&entry.surface, w, h, rx_CreateMemory | rx_CreateNoShrink), 1);
    Fill(&entry.surface, [colour](int, int) { return colour; });
    entry.x = x, entry.y = y, entry.flags = flags;
    return entry;
  }
  void Record(int i, uint32_t tag, const std::vector<uint8_t> &data) {
    EXPECT_EQ(prop_SetRecord(&e[i].properties, &e[i].propertiesLength, tag, data.data(), uint32_t(data.size())), 1);
  }
  void Markup(int i, const char *text) { EXPECT_EQ(prop_SetMarkup(&e[i].properties, &e[i].propertiesLength, text), 1); }
  // Entry i gets a properties block that claims more bytes than it has.
  void Damage(int i) {
    e[i].properties = GlobalAlloc(GPTR, 8);
    std::memcpy(e[i].properties, kDamaged, 8);
    e[i].propertiesLength = 8;
  }
  static constexpr char kDamaged[9] = "META\x30\0\0\0";
};

inline std::vector<uint8_t> SpriteRecord(uint32_t columns, uint32_t rows, uint32_t frames, uint32_t time) {
  prop_Sprite s{columns, rows, frames, time, 0, 0};
  std::vector<uint8_t> out(prop_SpriteBytes);
  prop_WriteSprite(&s, out.data());
  return out;
}
// The bytes a writer that reports its size when given no output produces.
template <class Write>
std::vector<uint8_t> Written(Write write) {
  std::vector<uint8_t> out(write(nullptr));
  write(out.data());
  return out;
}
inline std::vector<uint8_t> AnimRecord(const prop_AnimKey *keys, uint32_t count, uint32_t flags = 0) {
  return Written([&](uint8_t *out) { return prop_WriteAnim(keys, count, flags, out); });
}
inline std::vector<uint8_t> AdjustRecord(const rx_Adjustment &a) {
  return Written([&](uint8_t *out) { return prop_WriteAdjust(&a, out); });
}

inline LoadSaveOptions Options(uint8_t kind, uint8_t option = 0) {
  LoadSaveOptions o{};
  o.documentKind = kind;
  o.documentSubKind = option;
  return o;
}

}  // namespace lt
