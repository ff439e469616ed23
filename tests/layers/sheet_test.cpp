// Sheets of animation frames, the grid search behind them, and merging the markup of all layers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "layers_test_util.h"
#include "markup/markup_text.h"

namespace {

using lt::At;
using lt::Px;

const uint32_t kRed = Px(0, 0, 255, 0), kGreen = Px(0, 255, 0, 0), kBlue = Px(255, 0, 0, 0);
const uint32_t kGrey = Px(128, 128, 128, 0);

// Grids worked out by hand from the cost rule (cells of 16 x 16), and the limits every grid keeps.
TEST(SheetGrid, CostRuleAndLimits) {
  // n, columns, rows: 6 and 10 cost the same either way round, and the wider grid wins.
  const int32_t cases[][3] = {{0, 0, 0}, {1, 1, 1}, {5, 2, 3}, {6, 3, 2}, {7, 2, 4}, {10, 5, 2}, {12, 4, 3}};
  int32_t c = -1, r = -1;
  for (const auto &k : cases) {
    ASSERT_EQ(rx_SheetGrid(k[0], 16, 16, &c, &r), 1);
    EXPECT_EQ(std::pair(c, r), std::pair(k[1], k[2])) << k[0];
  }
  const int sizes[][2] = {{1, 1}, {100, 50}, {200, 3000}, {3000, 200}, {7, 333}};
  for (auto &size : sizes)
    for (long n = 1; n <= 300; ++n) {
      ASSERT_EQ(rx_SheetGrid(n, size[0], size[1], &c, &r), 1);
      EXPECT_GE(static_cast<long>(c) * r, n);
      EXPECT_LE(std::max(static_cast<long>(c) * size[0], static_cast<long>(r) * size[1]), 65536) << n;
    }
  EXPECT_EQ(rx_SheetGrid(5, 0, 5, &c, &r), 0);
}

// Columns, rows, frame count and frame time of the "SPRT" record a sheet got.
std::vector<uint32_t> SpriteOf(rx_LayerEntry &entry) {
  prop_Record record{};
  prop_Sprite sprite{};
  EXPECT_EQ(rx_LayerFindRecord(&entry, prop_TagSprite, &record), 1);
  EXPECT_EQ(prop_ReadSprite(&record, &sprite), 1);
  return {sprite.columns, sprite.rows, sprite.frameCount, sprite.frameTime};
}

TEST(Sheet, FrameAnimationRepeatsFramesByTheirTime) {
  lt::Table t;
  t.Set(0, 4, 4, kRed).frame = 10;
  t.Set(1, 4, 4, kGreen).frame = 20;
  t.Set(2, 4, 4, kBlue).frame = 30;
  t.Markup(0, "exif.make=A;");
  LoadSaveOptions o = lt::Options(rx_DocFrames);
  ASSERT_EQ(rx_LayersToSheet(t.e, 3, &o, 0, 0), 1);
  // g = 10: repetitions 1, 2, 3 make 6 cells in 3 x 2.
  EXPECT_EQ(lt::Size(t[0].surface), std::pair(12u, 8u));
  const uint32_t expected[6] = {kRed, kGreen, kGreen, kBlue, kBlue, kBlue};
  for (int k = 0; k < 6; ++k) EXPECT_EQ(At(&t[0].surface, k % 3 * 4 + 1, k / 3 * 4 + 2), expected[k]) << k;
  EXPECT_EQ(SpriteOf(t[0]), (std::vector<uint32_t>{3, 2, 6, 10}));
  EXPECT_EQ(o.resultWidth, 4u);
  EXPECT_EQ(t[1].surface.signature + t[2].surface.signature, 0);  // the other frames are released
  char text[32];
  EXPECT_EQ(prop_GetMarkup(t[0].properties, rx_LayerPropertiesBytes(&t[0]), text, sizeof text), 12);

  // Equal frame words: each frame once; smaller frames are scaled to the
  // cell; the cell left over stays transparent. Frame words of 0 take the largest.
  lt::Table u;
  for (int i = 0; i < 5; ++i) u.Set(i, i == 4 ? 2 : 4, i == 4 ? 2 : 4, i % 2 ? kGreen : kRed).frame = 50;
  ASSERT_EQ(rx_LayersToSheet(u.e, 5, &o, 0, 0), 1);
  EXPECT_EQ(lt::Size(u[0].surface), std::pair(8u, 12u));  // 2 x 3
  lt::ExpectAt(&u[0].surface, {{3, 11, kRed}, {5, 9, 0xFF000000u}});  // frame 4 resampled from 2 x 2
  EXPECT_EQ(SpriteOf(u[0]), (std::vector<uint32_t>{2, 3, 5, 50}));

  lt::Table z;
  z.Set(0, 2, 2, kRed).frame = 0;
  z.Set(1, 2, 2, kGreen).frame = 40;
  z.Set(2, 2, 2, kBlue).frame = 20;
  ASSERT_EQ(rx_LayersToSheet(z.e, 3, &o, 0, 0), 1);
  EXPECT_EQ(SpriteOf(z[0]), (std::vector<uint32_t>{2, 3, 5, 20}));  // 40, 40, 20 over g = 20
}

TEST(Sheet, ObjectAnimationSampledOverItsDuration) {
  lt::Table t;
  t.Set(0, 4, 4, kGrey);
  t.Set(1, 8, 4, kRed);
  lt::Fill(&t[1].surface, [](int x, int) { return x < 4 ? kRed : kGreen; });
  t.Record(1, prop_TagSprite, lt::SpriteRecord(2, 1, 0, 100));
  LoadSaveOptions o = lt::Options(rx_DocObjects);
  o.frameInterval = 2;  // outside 5..200: 40 ms
  // 200 ms / 40 ms = 5 frames at 0, 40, 80, 120, 160 ms in 2 x 3 cells.
  ASSERT_EQ(rx_LayersToSheet(t.e, 2, &o, 0, 0), 1);
  EXPECT_EQ(lt::Size(t[0].surface), std::pair(8u, 12u));
  const uint32_t expected[5] = {kRed, kRed, kRed, kGreen, kGreen};
  for (int k = 0; k < 5; ++k) EXPECT_EQ(At(&t[0].surface, k % 2 * 4 + 2, k / 2 * 4 + 1), expected[k]) << k;
  EXPECT_EQ(At(&t[0].surface, 6, 10), 0x000000FFu);  // the spare cell keeps the checkerboard
  EXPECT_EQ(SpriteOf(t[0]), (std::vector<uint32_t>{2, 3, 5, 40}));
  EXPECT_EQ(t[1].surface.signature, 0);

  // A long scene of tiny cells: the interval doubles until the frames are
  // bounded (1,000 s at 40 ms would be 25,000 flattenings; at 80 ms 12,500).
  lt::Table longScene;
  longScene.Set(0, 1, 1, kGrey);
  longScene.Set(1, 1, 1, kRed);
  prop_AnimKey keys[2] = {{0, {{0, 0}, {0, 0}, {0, 0}, {0, 0}}}, {1000000, {{0, 0}, {0, 0}, {0, 0}, {0, 0}}}};
  std::vector<uint8_t> anim(prop_WriteAnim(keys, 2, 0, nullptr));
  prop_WriteAnim(keys, 2, 0, anim.data());
  longScene.Record(1, prop_TagAnim, anim);
  o.frameInterval = 40;
  ASSERT_EQ(rx_LayersToSheet(longScene.e, 2, &o, 0, 0), 1);
  EXPECT_EQ((std::pair(SpriteOf(longScene[0])[2], SpriteOf(longScene[0])[3])), std::pair(12500u, 80u));

  // A given cell size scales each picture into it; a scene without a
  // duration has no cells and is refused, its layer left as it was.
  lt::Table c;
  c.Set(0, 4, 4, kGrey);
  c.Set(1, 8, 4, kGrey);
  c.Record(1, prop_TagSprite, lt::SpriteRecord(2, 1, 0, 100));
  o.frameInterval = 100;
  ASSERT_EQ(rx_LayersToSheet(c.e, 2, &o, 2, 2), 1);
  EXPECT_EQ(lt::Size(c[0].surface), std::pair(2u, 4u));
  EXPECT_TRUE(At(&c[0].surface, 1, 3) == kGrey && o.resultWidth == 2u);
  lt::Table still;
  still.Set(0, 4, 4, kGrey);
  EXPECT_EQ(rx_LayersToSheet(still.e, 1, &o, 2, 2), 0);
  EXPECT_TRUE(still[0].surface.width == 4u && still[0].properties == nullptr);
}

TEST(Sheet, RefusesWhatItCannotLayOut) {
  lt::Table t;
  t.Set(0, 4, 4, kRed).frame = 10;
  t.Set(1, 4, 4, kGreen).frame = 20;
  LoadSaveOptions o;
  for (uint8_t kind : {rx_DocComposite, rx_DocImageList}) {
    o = lt::Options(kind);
    EXPECT_EQ(rx_LayersToSheet(t.e, 2, &o, 0, 0), 0);
  }
  o = lt::Options(rx_DocFrames);
  EXPECT_EQ(rx_LayersToSheet(t.e, 1, &o, 0, 0), 0);
  EXPECT_EQ(rx_LayersToSheet(t.e, 1025, &o, 0, 0), 0);
  EXPECT_EQ(rx_LayersToSheet(nullptr, 2, &o, 0, 0), 0);
  EXPECT_EQ(t[0].properties, nullptr);  // nothing was changed by the refusals
  // A damaged properties block on the first frame: no sheet, layers intact.
  t.Damage(0);
  EXPECT_EQ(rx_LayersToSheet(t.e, 2, &o, 0, 0), 0);
  EXPECT_TRUE(t[0].surface.width == 4u && t[1].surface.width == 4u);
  // An empty first entry.
  lt::Table e;
  e.Set(1, 4, 4, kRed);
  EXPECT_EQ(rx_LayersToSheet(e.e, 2, &o, 0, 0), 0);
}

std::string MarkupOf(HGLOBAL block, uint32_t length) {
  int32_t n = prop_GetMarkup(block, prop_BlockBytes(block, length), nullptr, 0);
  if (n < 0) return "<none>";
  std::string text(static_cast<size_t>(n) + 1, '\0');
  prop_GetMarkup(block, prop_BlockBytes(block, length), text.data(), n + 1);
  text.resize(static_cast<size_t>(n));
  return text;
}

std::string Value(const std::string &text, const char *key) {
  char out[256];
  return markup_Get(text.c_str(), key, out, sizeof out, nullptr, nullptr) ? out : "<absent>";
}

TEST(MergeMarkup, FirstLayerWinsAndGainsMissingKeys) {
  lt::Table t;
  t.Markup(0, "exif.make=Alpha;\r\nexif.model=M1;");
  t.Record(0, prop_Tag("SPRT"), lt::SpriteRecord(1, 1, 1, 1));
  t.Markup(1, "exif.make=Beta;\r\nexif.iso=100;\r\nimage.dpi=300;\r\nbrush.size=3;");
  t.Markup(2, "image.autoexport.path=x;\r\nexif.iso=200;");
  t.Damage(3);  // passed over
  uint32_t length = 0;
  HGLOBAL merged = rx_LayersMergeMarkup(t.e, 4, &length);
  ASSERT_NE(merged, nullptr);
  EXPECT_GE(GlobalSize(merged), length + 1024);
  // Only the listed prefixes move; the first layer's values stay.
  const std::string text = MarkupOf(merged, length);
  for (auto [key, value] : {std::pair{"exif.make", "Alpha"}, {"exif.model", "M1"}, {"exif.iso", "100"}, {"brush.size", "3"},
                            {"image.autoexport.path", "x"}, {"image.dpi", "<absent>"}})
    EXPECT_EQ(Value(text, key), value) << key;
  EXPECT_EQ(prop_Find(merged, length, prop_Tag("SPRT"), nullptr), 1);
  // The layers keep their own blocks.
  EXPECT_EQ(Value(MarkupOf(t[0].properties, t[0].propertiesLength), "exif.iso"), "<absent>");
  GlobalFree(merged);

  // A first layer without properties takes the later layers' keys.
  lt::Table u;
  u.Markup(1, "exif.make=Beta;");
  merged = rx_LayersMergeMarkup(u.e, 2, &length);
  ASSERT_NE(merged, nullptr);
  EXPECT_EQ(Value(MarkupOf(merged, length), "exif.make"), "Beta");
  GlobalFree(merged);

  // No properties anywhere: nothing to hand out.
  lt::Table none;
  none.Set(0, 2, 2, kRed);
  EXPECT_EQ(rx_LayersMergeMarkup(none.e, 2, &length), nullptr);
  EXPECT_EQ(length, 0u);

  // A damaged first block is handed on as it is.
  lt::Table bad;
  bad.Damage(0);
  bad.Markup(1, "exif.make=Beta;");
  merged = rx_LayersMergeMarkup(bad.e, 2, &length);
  ASSERT_NE(merged, nullptr);
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(std::memcmp(merged, lt::Table::kDamaged, 8), 0);
  GlobalFree(merged);
}

}  // namespace
