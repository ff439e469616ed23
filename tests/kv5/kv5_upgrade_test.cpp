// Properties blocks of older revisions brought up to date.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kv5/kv5_properties.h"
#include "platform/os.h"
#include "raster/layers/layer_records.h"
#include "raster/layers/layers.h"

namespace {

struct Layer {
  rx_LayerEntry entry{};
  explicit Layer(const char *markup, int32_t width = 102, int32_t height = 50) {
    rx_SurfaceCreate(&entry.surface, width, height, rx_CreateMemory);
    if (markup != nullptr) prop_SetMarkup(&entry.properties, &entry.propertiesLength, markup);
  }
  ~Layer() { rx_LayerEntryRelease(&entry); }
  std::string markup() const {
    char text[512] = {};
    prop_GetMarkup(entry.properties, rx_LayerPropertiesBytes(&entry), text, sizeof text);
    return text;
  }
  std::vector<uint8_t> record(uint32_t tag) const {
    prop_Record r{};
    if (rx_LayerFindRecord(&entry, tag, &r) != 1) return {};
    return std::vector<uint8_t>(r.data, r.data + r.length);
  }
  void set(uint32_t tag, const std::vector<uint8_t> &data) {
    prop_SetRecord(&entry.properties, &entry.propertiesLength, tag, data.data(), static_cast<uint32_t>(data.size()));
  }
  prop_Phys phys() const {
    std::vector<uint8_t> data = record(prop_TagPhys);
    prop_Record r{prop_TagPhys, static_cast<uint32_t>(data.size()), data.data()};
    prop_Phys p{-1, -1, 99};
    prop_ReadPhys(&r, &p);
    return p;
  }
};

int32_t le32(const std::vector<uint8_t> &d, size_t at) {
  int32_t v;
  std::memcpy(&v, d.data() + at, 4);
  return v;
}

}  // namespace

TEST(kv5Upgrade, MarkupKeysOfTheFirstRevisionBecomeRecords) {
  Layer dpi("image.dpi=300;\r\nexif.make=X;");
  EXPECT_EQ(kv5_UpgradeProperties(&dpi.entry, 0x00030000), 1);
  EXPECT_EQ(dpi.phys().x, 300.0);
  EXPECT_EQ(dpi.phys().unit, prop_UnitInch);
  EXPECT_EQ(dpi.markup().find("image."), std::string::npos) << dpi.markup();
  EXPECT_NE(dpi.markup().find("exif.make=X"), std::string::npos);

  Layer ppcm("image.ppcm= 118.5cm;");
  EXPECT_EQ(kv5_UpgradeProperties(&ppcm.entry, 0x00020000), 1);
  EXPECT_EQ(ppcm.phys().y, 118.5);
  EXPECT_EQ(ppcm.phys().unit, prop_UnitCentimetre);

  Layer hot("image.hotspot=12, -7;");
  EXPECT_EQ(kv5_UpgradeProperties(&hot.entry, 0x00030000), 1);
  std::vector<uint8_t> spot = hot.record(prop_TagHotSpot);
  ASSERT_EQ(spot.size(), 8u);
  EXPECT_EQ(le32(spot, 0), 12);
  EXPECT_EQ(le32(spot, 4), -7);
  EXPECT_EQ(hot.markup(), "");

  // A 102 x 50 sheet of 4 x 2 cells: (102 + 2) / 4 = 26, (50 + 1) / 2 = 25.
  for (bool used : {false, true}) {
    Layer sprite(used ? "image.sprite.size=4x2;image.sprite.rate=25;image.sprite.used=5;"
                      : "image.sprite.size=4 2;image.sprite.time=80;");
    EXPECT_EQ(kv5_UpgradeProperties(&sprite.entry, 0x00030000), 1);
    std::vector<uint8_t> data = sprite.record(prop_TagSprite);
    prop_Record r{prop_TagSprite, static_cast<uint32_t>(data.size()), data.data()};
    prop_Sprite s{};
    ASSERT_EQ(prop_ReadSprite(&r, &s), 1);
    EXPECT_EQ(s.columns, 4u);
    EXPECT_EQ(s.rows, 2u);
    EXPECT_EQ(s.cellWidth, 26u);
    EXPECT_EQ(s.cellHeight, 25u);
    EXPECT_EQ(s.frameCount, used ? 5u : 8u);
    EXPECT_EQ(s.frameTime, used ? 40u : 80u);
    EXPECT_EQ(sprite.markup(), used ? "image.sprite.used=5;" : "");
  }

  // Later revisions keep their keys; a layer without a block has nothing.
  Layer late("image.dpi=300;");
  EXPECT_EQ(kv5_UpgradeProperties(&late.entry, 0x00030001), 0);
  EXPECT_EQ(late.markup(), "image.dpi=300;");
  Layer none(nullptr);
  EXPECT_EQ(kv5_UpgradeProperties(&none.entry, 0x00030000), 0);
}

TEST(kv5Upgrade, RecordsOfVersionFour) {
  // Unit 2 becomes inches only strictly between 71 and 2401, at revision 1.
  for (double value : {71.0, 72.0, 2400.0, 2401.0}) {
    Layer layer("");
    uint8_t record[prop_PhysBytes];
    prop_Phys phys{value, value, 2};
    prop_WritePhys(&phys, record);
    layer.set(prop_TagPhys, std::vector<uint8_t>(record, record + sizeof record));
    bool inside = value > 71 && value < 2401;
    EXPECT_EQ(kv5_UpgradeProperties(&layer.entry, 0x00040001), inside ? 1 : 0) << value;
    EXPECT_EQ(layer.phys().unit, inside ? 0 : 2);
    EXPECT_EQ(kv5_UpgradeProperties(&layer.entry, 0x00040009), 0);
  }

  // Table entries of 24 bytes widen to 32, the value at 20 made positive.
  Layer table("");
  std::vector<uint8_t> old = {3, 0, 0, 0, 2, 0, 0, 0};
  for (int e = 0; e < 2; ++e) {
    for (int i = 0; i < 20; ++i) old.push_back(static_cast<uint8_t>(e * 20 + i));
    old.insert(old.end(), {static_cast<uint8_t>(e ? 0xFB : 0x00), static_cast<uint8_t>(e ? 0xFF : 0x80), 0xEE, 0xEE});
  }
  table.set(prop_TagTable, old);
  EXPECT_EQ(kv5_UpgradeProperties(&table.entry, 0x00040007), 1);
  std::vector<uint8_t> wide = table.record(prop_TagTable);
  ASSERT_EQ(wide.size(), 8u + 64u);
  EXPECT_EQ(le32(wide, 0), 4);
  EXPECT_EQ(wide[8 + 19], 19);
  EXPECT_EQ(wide[8 + 20] | wide[8 + 21] << 8, 32768);  // -32768
  EXPECT_EQ(wide[40 + 20] | wide[40 + 21] << 8, 5);     // -5
  EXPECT_EQ(wide[40 + 0], 20);
  EXPECT_EQ(std::vector<uint8_t>(wide.begin() + 40 + 22, wide.begin() + 72), std::vector<uint8_t>(10, 0));
  EXPECT_EQ(kv5_UpgradeProperties(&table.entry, 0x00040007), 0);  // already wide

  // The old resolution form and the old link tag, up to revision 8.
  Layer res("");
  res.set(prop_TagPhys, {1, 0, 1, 0, 0x2C, 0x01, 0, 0, 0xC8, 0, 0, 0});  // cm, 300 x 200
  res.set(prop_TagHrefOld, {'u', 'r', 'l'});
  std::vector<uint8_t> before(static_cast<uint8_t *>(res.entry.properties),
                              static_cast<uint8_t *>(res.entry.properties) + res.entry.propertiesLength);
  EXPECT_EQ(kv5_UpgradeProperties(&res.entry, 0x0004000B), 0);
  EXPECT_EQ(std::vector<uint8_t>(static_cast<uint8_t *>(res.entry.properties),
                                 static_cast<uint8_t *>(res.entry.properties) + res.entry.propertiesLength),
            before);
  EXPECT_EQ(kv5_UpgradeProperties(&res.entry, 0x00040008), 2);
  EXPECT_EQ(res.record(prop_TagPhys).size(), 32u);
  EXPECT_EQ(res.phys().x, 300.0);
  EXPECT_EQ(res.phys().y, 200.0);
  EXPECT_EQ(res.phys().unit, prop_UnitCentimetre);
  EXPECT_EQ(res.record(prop_TagHref), (std::vector<uint8_t>{'u', 'r', 'l'}));
  EXPECT_TRUE(res.record(prop_TagHrefOld).empty());
}
