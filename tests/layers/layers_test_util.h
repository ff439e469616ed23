// Helpers of the layer tests: tables whose entries get filled surfaces and properties records.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <tuple>
#include <utility>
#include <vector>

#include "../kernels/kernel_test_util.h"
#include "raster/layers/layer_records.h"
#include "raster/layers/layers.h"

namespace lt {

using namespace kt;

// A full table that releases itself.
struct Table {
  rx_LayerEntry *e = rx_LayerTableCreate();
  // One layer by surface size, colour, position and flags.
  struct Layer { int w, h; uint32_t colour; int x = 0, y = 0; uint16_t flags = 0; };
  Table() { EXPECT_NE(e, nullptr); }
  Table(std::initializer_list<Layer> layers) : Table() {
    int i = 0;
    for (const Layer &l : layers) Set(i++, l.w, l.h, l.colour, l.x, l.y, l.flags);
  }
  ~Table() { rx_LayerTableFree(e); }
  Table(const Table &) = delete;
  rx_LayerEntry &operator[](int i) { return e[i]; }

  // Entry i gets a w x h surface of one colour.
  rx_LayerEntry &Set(int i, int w, int h, uint32_t colour, int x = 0, int y = 0, uint16_t flags = 0) {
    rx_LayerEntry &entry = e[i];
    EXPECT_EQ(rx_SurfaceCreate(&entry.surface, w, h, rx_CreateMemory | rx_CreateNoShrink), 1);
    kt::Fill(&entry.surface, [colour](int, int) { return colour; });
    entry.x = x, entry.y = y, entry.flags = flags;
    return entry;
  }
  void Record(int i, uint32_t tag, const std::vector<uint8_t> &data) {
    EXPECT_EQ(prop_SetRecord(&e[i].properties, &e[i].propertiesLength, tag, data.data(), uint32_t(data.size())), 1);
  }
  void Markup(int i, const char *text) { EXPECT_EQ(prop_SetMarkup(&e[i].properties, &e[i].propertiesLength, text), 1); }
  // Entry i gets a properties block that claims more bytes than it has.
  void Damage(int i) {
    e[i].properties = GlobalAlloc(GPTR, 8), e[i].propertiesLength = 8;
    std::memcpy(e[i].properties, kDamaged, 8);
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
  return o.documentKind = kind, o.documentSubKind = option, o;
}

}  // namespace lt
