// Sheets of animation frames, the grid search behind them, and merging the
// markup of all layers.
#include <gtest/gtest.h>

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

// The grid rule written from scratch: walk the column counts from the widest
// down and keep a strictly cheaper one, so equal costs keep the wider grid.
void ReferenceGrid(long n, long cw, long ch, long *columns, long *rows) {
  if (n < 2) {
    *columns = *rows = n;
    return;
  }
  long columnLimit = 65536 / cw, rowLimit = 65536 / ch;
  long widest = std::max(1L, std::min(n / 2, columnLimit));
  auto rowsFor = [n](long c) { return (n + c - 1) / c; };
  long narrowest = 2;
  while (narrowest < widest && rowsFor(narrowest) > rowLimit) ++narrowest;
  *columns = widest;
  *rows = rowsFor(widest);
  double best = INFINITY;
  for (long c = widest; c >= narrowest; --c) {
    long r = rowsFor(c);
    double cells = static_cast<double>(c * r);
    double fill = std::floor(std::fabs(cells - static_cast<double>(n)) / cells * 16384 + 0.5);
    double shape = std::floor((1.0 - static_cast<double>(std::min(c, r)) / static_cast<double>(std::max(c, r))) * 16384 + 0.5);
    double cost = fill * 65536 + shape;
    if (cost < best) best = cost, *columns = c, *rows = r;
  }
}

TEST(SheetGrid, MatchesTheCostRuleAndStaysWithinLimits) {
  const int sizes[][2] = {{1, 1}, {16, 16}, {100, 50}, {64, 64}, {200, 3000}, {3000, 200}, {7, 333}};
  for (auto &size : sizes) {
    for (long n = 1; n <= 300; ++n) {
      int32_t c = 0, r = 0;
      ASSERT_EQ(rx_SheetGrid(n, size[0], size[1], &c, &r), 1);
      long rc = 0, rr = 0;
      ReferenceGrid(n, size[0], size[1], &rc, &rr);
      EXPECT_EQ(c, rc) << "n=" << n << " cell " << size[0] << "x" << size[1];
      EXPECT_EQ(r, rr) << "n=" << n << " cell " << size[0] << "x" << size[1];
      EXPECT_GE(static_cast<long>(c) * r, n);
      EXPECT_LE(static_cast<long>(c) * size[0], 65536);
      EXPECT_LE(static_cast<long>(r) * size[1], 65536);
    }
  }
  int32_t c = -1, r = -1;
  ASSERT_EQ(rx_SheetGrid(0, 5, 5, &c, &r), 1);
  EXPECT_EQ(c, 0);
  EXPECT_EQ(r, 0);
  ASSERT_EQ(rx_SheetGrid(6, 4, 4, &c, &r), 1);  // 2 x 3 and 3 x 2 cost the same: the wider wins
  EXPECT_EQ(c, 3);
  EXPECT_EQ(r, 2);
  ASSERT_EQ(rx_SheetGrid(12, 10, 10, &c, &r), 1);
  EXPECT_EQ(c, 4);
  EXPECT_EQ(r, 3);
  EXPECT_EQ(rx_SheetGrid(5, 0, 5, &c, &r), 0);
}

prop_Sprite SpriteOf(rx_LayerEntry &entry) {
  prop_Record record{};
  prop_Sprite sprite{};
  EXPECT_EQ(rx_LayerFindRecord(&entry, prop_TagSprite, &record), 1);
  EXPECT_EQ(prop_ReadSprite(&record, &sprite), 1);
  return sprite;
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
  EXPECT_EQ(t[0].surface.width, 12u);
  EXPECT_EQ(t[0].surface.height, 8u);
  const uint32_t expected[6] = {kRed, kGreen, kGreen, kBlue, kBlue, kBlue};
  for (int k = 0; k < 6; ++k) EXPECT_EQ(At(&t[0].surface, k % 3 * 4 + 1, k / 3 * 4 + 2), expected[k]) << k;
  prop_Sprite sprite = SpriteOf(t[0]);
  EXPECT_EQ(sprite.columns, 3u);
  EXPECT_EQ(sprite.rows, 2u);
  EXPECT_EQ(sprite.frameCount, 6u);
  EXPECT_EQ(sprite.frameTime, 10u);
  EXPECT_EQ(o.resultWidth, 4u);
  EXPECT_EQ(t[1].surface.signature, 0);  // the other frames are released
  EXPECT_EQ(t[2].surface.signature, 0);
  char text[32];
  EXPECT_EQ(prop_GetMarkup(t[0].properties, rx_LayerPropertiesBytes(&t[0]), text, sizeof text), 12);

  // Equal frame words: each frame once; smaller frames are scaled to the
  // cell; the cell left over stays transparent. Frame words of 0 take the largest.
  lt::Table u;
  for (int i = 0; i < 5; ++i) u.Set(i, i == 4 ? 2 : 4, i == 4 ? 2 : 4, i % 2 ? kGreen : kRed).frame = 50;
  ASSERT_EQ(rx_LayersToSheet(u.e, 5, &o, 0, 0), 1);
  EXPECT_EQ(u[0].surface.width, 8u);  // 2 x 3
  EXPECT_EQ(u[0].surface.height, 12u);
  EXPECT_EQ(At(&u[0].surface, 3, 11), kRed);  // frame 4 resampled from 2 x 2
  EXPECT_EQ(At(&u[0].surface, 5, 9), 0xFF000000u);
  EXPECT_EQ(SpriteOf(u[0]).frameTime, 50u);

  lt::Table z;
  z.Set(0, 2, 2, kRed).frame = 0;
  z.Set(1, 2, 2, kGreen).frame = 40;
  z.Set(2, 2, 2, kBlue).frame = 20;
  ASSERT_EQ(rx_LayersToSheet(z.e, 3, &o, 0, 0), 1);
  EXPECT_EQ(SpriteOf(z[0]).frameCount, 5u);  // 40, 40, 20 over g = 20
  EXPECT_EQ(SpriteOf(z[0]).frameTime, 20u);
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
  EXPECT_EQ(t[0].surface.width, 8u);
  EXPECT_EQ(t[0].surface.height, 12u);
  const uint32_t expected[5] = {kRed, kRed, kRed, kGreen, kGreen};
  for (int k = 0; k < 5; ++k) EXPECT_EQ(At(&t[0].surface, k % 2 * 4 + 2, k / 2 * 4 + 1), expected[k]) << k;
  EXPECT_EQ(At(&t[0].surface, 6, 10), 0x000000FFu);  // the spare cell keeps the checkerboard
  prop_Sprite sprite = SpriteOf(t[0]);
  EXPECT_EQ(sprite.frameCount, 5u);
  EXPECT_EQ(sprite.frameTime, 40u);
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
  EXPECT_EQ(SpriteOf(longScene[0]).frameTime, 80u);
  EXPECT_EQ(SpriteOf(longScene[0]).frameCount, 12500u);

  // A given cell size scales each picture into it; a scene without a
  // duration has no cells and is refused, its layer left as it was.
  lt::Table c;
  c.Set(0, 4, 4, kGrey);
  c.Set(1, 8, 4, kGrey);
  c.Record(1, prop_TagSprite, lt::SpriteRecord(2, 1, 0, 100));
  o.frameInterval = 100;
  ASSERT_EQ(rx_LayersToSheet(c.e, 2, &o, 2, 2), 1);
  EXPECT_EQ(c[0].surface.width, 2u);
  EXPECT_EQ(c[0].surface.height, 4u);
  EXPECT_EQ(At(&c[0].surface, 1, 3), kGrey);
  EXPECT_EQ(o.resultWidth, 2u);
  lt::Table still;
  still.Set(0, 4, 4, kGrey);
  EXPECT_EQ(rx_LayersToSheet(still.e, 1, &o, 2, 2), 0);
  EXPECT_EQ(still[0].surface.width, 4u);
  EXPECT_EQ(still[0].properties, nullptr);
}

TEST(Sheet, RefusesWhatItCannotLayOut) {
  lt::Table t;
  t.Set(0, 4, 4, kRed).frame = 10;
  t.Set(1, 4, 4, kGreen).frame = 20;
  LoadSaveOptions o = lt::Options(rx_DocComposite);
  EXPECT_EQ(rx_LayersToSheet(t.e, 2, &o, 0, 0), 0);
  o = lt::Options(rx_DocImageList);
  EXPECT_EQ(rx_LayersToSheet(t.e, 2, &o, 0, 0), 0);
  o = lt::Options(rx_DocFrames);
  EXPECT_EQ(rx_LayersToSheet(t.e, 1, &o, 0, 0), 0);
  EXPECT_EQ(rx_LayersToSheet(t.e, 1025, &o, 0, 0), 0);
  EXPECT_EQ(rx_LayersToSheet(nullptr, 2, &o, 0, 0), 0);
  // Nothing was changed by the refusals.
  EXPECT_EQ(t[0].surface.width, 4u);
  EXPECT_EQ(t[1].surface.width, 4u);
  EXPECT_EQ(t[0].properties, nullptr);
  // A damaged properties block on the first frame: no sheet, layers intact.
  std::vector<uint8_t> bad = {'M', 'E', 'T', 'A', 40, 0, 0, 0};
  t[0].properties = GlobalAlloc(GPTR, bad.size());
  std::memcpy(t[0].properties, bad.data(), bad.size());
  t[0].propertiesLength = static_cast<uint32_t>(bad.size());
  EXPECT_EQ(rx_LayersToSheet(t.e, 2, &o, 0, 0), 0);
  EXPECT_EQ(t[1].surface.width, 4u);
  EXPECT_EQ(t[0].surface.width, 4u);
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
  // A damaged block on a later layer is passed over.
  t[3].properties = GlobalAlloc(GPTR, 8);
  std::memcpy(t[3].properties, "META\x30\0\0\0", 8);
  t[3].propertiesLength = 8;
  uint32_t length = 0;
  HGLOBAL merged = rx_LayersMergeMarkup(t.e, 4, &length);
  ASSERT_NE(merged, nullptr);
  EXPECT_GE(GlobalSize(merged), length + 1024);
  std::string text = MarkupOf(merged, length);
  EXPECT_EQ(Value(text, "exif.make"), "Alpha");
  EXPECT_EQ(Value(text, "exif.model"), "M1");
  EXPECT_EQ(Value(text, "exif.iso"), "100");
  EXPECT_EQ(Value(text, "brush.size"), "3");
  EXPECT_EQ(Value(text, "image.autoexport.path"), "x");
  EXPECT_EQ(Value(text, "image.dpi"), "<absent>");  // only the listed prefixes move
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
  bad[0].properties = GlobalAlloc(GPTR, 8);
  std::memcpy(bad[0].properties, "META\x30\0\0\0", 8);
  bad[0].propertiesLength = 8;
  bad.Markup(1, "exif.make=Beta;");
  merged = rx_LayersMergeMarkup(bad.e, 2, &length);
  ASSERT_NE(merged, nullptr);
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(std::memcmp(merged, "META\x30\0\0\0", 8), 0);
  GlobalFree(merged);
}

}  // namespace
