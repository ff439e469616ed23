// Properties blocks of older revisions brought up to date.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "kv5/kv5_properties.h"
#include "raster/layers/layer_records.h"
#include "raster/layers/layers.h"

namespace {

using Data = std::vector<uint8_t>;

struct Layer {
  rx_LayerEntry entry{};
  explicit Layer(const char *markup) {
    rx_SurfaceCreate(&entry.surface, 102, 50, rx_CreateMemory);
    if (markup != nullptr) prop_SetMarkup(&entry.properties, &entry.propertiesLength, markup);
  }
  ~Layer() { rx_LayerEntryRelease(&entry); }
  int32_t upgrade(uint32_t version) { return kv5_UpgradeProperties(&entry, version); }
  std::string markup() const {
    char text[512] = {};
    prop_GetMarkup(entry.properties, rx_LayerPropertiesBytes(&entry), text, sizeof text);
    return text;
  }
  Data record(uint32_t tag) const {
    prop_Record r{};
    return rx_LayerFindRecord(&entry, tag, &r) == 1 ? Data(r.data, r.data + r.length) : Data();
  }
  void set(uint32_t tag, const Data &data) {
    prop_SetRecord(&entry.properties, &entry.propertiesLength, tag, data.data(), static_cast<uint32_t>(data.size()));
  }
  // x, y and unit of the resolution record.
  std::tuple<double, double, int> phys() const {
    Data data = record(prop_TagPhys);
    prop_Record r{prop_TagPhys, static_cast<uint32_t>(data.size()), data.data()};
    prop_Phys p{-1, -1, 99};
    prop_ReadPhys(&r, &p);
    return {p.x, p.y, p.unit};
  }
};

}  // namespace

TEST(kv5Upgrade, MarkupKeysOfTheFirstRevisionBecomeRecords) {
  Layer dpi("image.dpi=300;\r\nexif.make=X;"), ppcm("image.ppcm= 118.5cm;"), hot("image.hotspot=12, -7;");
  EXPECT_EQ(std::tuple(dpi.upgrade(0x00030000), ppcm.upgrade(0x00020000), hot.upgrade(0x00030000)), std::tuple(1, 1, 1));
  EXPECT_EQ(dpi.phys(), std::tuple(300.0, 300.0, prop_UnitInch));
  EXPECT_EQ(ppcm.phys(), std::tuple(118.5, 118.5, prop_UnitCentimetre));
  EXPECT_EQ(dpi.markup() + "|" + hot.markup(), "exif.make=X;|");
  EXPECT_EQ(hot.record(prop_TagHotSpot), (Data{12, 0, 0, 0, 0xF9, 0xFF, 0xFF, 0xFF}));

  // A 102 x 50 sheet of 4 x 2 cells: (102 + 2) / 4 = 26, (50 + 1) / 2 = 25; 25 frames a second are 40 ms.
  for (bool used : {false, true}) {
    Layer sprite(used ? "image.sprite.size=4x2;image.sprite.rate=25;image.sprite.used=5;"
                      : "image.sprite.size=4 2;image.sprite.time=80;");
    EXPECT_EQ(sprite.upgrade(0x00030000), 1);
    Data data = sprite.record(prop_TagSprite);
    prop_Record r{prop_TagSprite, static_cast<uint32_t>(data.size()), data.data()};
    prop_Sprite s{};
    ASSERT_EQ(prop_ReadSprite(&r, &s), 1);
    EXPECT_EQ(std::vector<uint32_t>({s.columns, s.rows, s.cellWidth, s.cellHeight, s.frameCount, s.frameTime}),
              std::vector<uint32_t>({4, 2, 26, 25, used ? 5u : 8u, used ? 40u : 80u}));
    EXPECT_EQ(sprite.markup(), used ? "image.sprite.used=5;" : "");
  }

  Layer late("image.dpi=300;"), none(nullptr);
  EXPECT_TRUE(late.upgrade(0x00030001) == 0 && late.markup() == "image.dpi=300;");  // later revisions keep their keys
  EXPECT_EQ(none.upgrade(0x00030000), 0);
}

TEST(kv5Upgrade, RecordsOfVersionFour) {
  // Unit 2 becomes inches only strictly between 71 and 2401, at revision 1.
  for (double value : {71.0, 72.0, 2400.0, 2401.0}) {
    Layer layer("");
    Data record(prop_PhysBytes);
    prop_Phys phys{value, value, 2};
    prop_WritePhys(&phys, record.data());
    layer.set(prop_TagPhys, record);
    bool inside = value > 71 && value < 2401;
    EXPECT_EQ((std::pair{layer.upgrade(0x00040001), std::get<2>(layer.phys())}), std::pair(inside ? 1 : 0, inside ? 0 : 2)) << value;
  }

  // Table entries of 24 bytes widen to 32, the value at 20 made positive.
  Layer table("");
  Data old = {3, 0, 0, 0, 2, 0, 0, 0};
  for (int e = 0; e < 2; ++e) {
    for (int i = 0; i < 20; ++i) old.push_back(static_cast<uint8_t>(e * 20 + i));
    old.insert(old.end(), {static_cast<uint8_t>(e ? 0xFB : 0x00), static_cast<uint8_t>(e ? 0xFF : 0x80), 0xEE, 0xEE});
  }
  table.set(prop_TagTable, old);
  EXPECT_EQ(table.upgrade(0x00040007), 1);
  Data wide = table.record(prop_TagTable);
  ASSERT_EQ(wide.size(), 8u + 64u);
  EXPECT_EQ(std::tuple(wide[0], wide[8 + 19], wide[40]), std::tuple(4, 19, 20));
  EXPECT_EQ(std::pair(wide[8 + 20] | wide[8 + 21] << 8, wide[40 + 20] | wide[40 + 21] << 8), std::pair(32768, 5));  // -32768, -5
  EXPECT_EQ(Data(wide.begin() + 40 + 22, wide.end()), Data(10, 0));
  EXPECT_EQ(table.upgrade(0x00040007), 0);  // already wide

  // The old resolution form and the old link tag, up to revision 8.
  Layer res("");
  res.set(prop_TagPhys, {1, 0, 1, 0, 0x2C, 0x01, 0, 0, 0xC8, 0, 0, 0});  // cm, 300 x 200
  res.set(prop_TagHrefOld, {'u', 'r', 'l'});
  auto bytes = [&] {
    auto *p = static_cast<uint8_t *>(res.entry.properties);
    return Data(p, p + res.entry.propertiesLength);
  };
  Data before = bytes();
  EXPECT_TRUE(res.upgrade(0x0004000B) == 0 && bytes() == before);
  EXPECT_EQ(res.upgrade(0x00040008), 2);
  EXPECT_EQ(res.record(prop_TagPhys).size(), 32u);
  EXPECT_EQ(res.phys(), std::tuple(300.0, 200.0, prop_UnitCentimetre));
  EXPECT_EQ(res.record(prop_TagHref), (Data{'u', 'r', 'l'}));
  EXPECT_TRUE(res.record(prop_TagHrefOld).empty());
}
