// Flattening a layered image: each document kind, compositing order, pages,
// fitting, object-animation time, and releasing tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "layers_test_util.h"
#include "markup/markup_text.h"

using lt::At;
using lt::Px;

namespace {

const uint32_t kRed = Px(0, 0, 255, 0), kGreen = Px(0, 255, 0, 0), kBlue = Px(255, 0, 0, 0);
const uint32_t kWhite = Px(255, 255, 255, 0), kGrey = Px(128, 128, 128, 0);
const uint32_t kClear = 0xFFFFFFFFu;

TEST(Flatten, FrameAnimationShowsOneFrameCentred) {
  lt::Table t{{10, 8, kRed}, {4, 2, kGreen}, {6, 6, kBlue}, {2, 2, kWhite}, {3, 3, kGrey}};
  LoadSaveOptions o = lt::Options(rx_DocFrames);
  lt::Surface target;
  // No index: 5 / 5 = frame 1, on the largest frame's canvas.
  ASSERT_EQ(rx_LayersFlatten(&target, -1, t.e, 5, &o), 1);
  EXPECT_TRUE(lt::Size(target.s) == std::pair(10u, 8u) && o.resultWidth == 10u);
  auto column = [&](int x) {
    std::vector<uint32_t> out;
    for (int y = 0; y < 8; ++y) out.push_back(At(&target.s, x, y));
    return out;
  };
  const uint32_t C = kClear, G = kGreen;
  EXPECT_EQ(column(2), std::vector<uint32_t>(8, C));
  EXPECT_EQ(column(3), (std::vector<uint32_t>{C, C, C, G, G, C, C, C}));
  EXPECT_TRUE(column(6) == column(3) && column(7) == column(2));
  // An index past the end is the last frame: 3 x 3 at (3, 2), halves rounded down.
  ASSERT_EQ(rx_LayersFlatten(&target, 99, t.e, 5, &o), 1);
  EXPECT_EQ(column(3), (std::vector<uint32_t>{C, C, kGrey, kGrey, kGrey, C, C, C}));
  EXPECT_TRUE(column(5) == column(3) && column(6) == column(2));
}

TEST(Flatten, ImageListPicksAndComposes) {
  lt::Table t{{4, 4, Px(10, 20, 30, 0)}, {8, 2, Px(40, 50, 60, 0)}, {3, 3, kWhite}};
  LoadSaveOptions o = lt::Options(rx_DocImageList);
  rx_Size size{};
  // Largest area wins, the later one on equal areas.
  EXPECT_TRUE(rx_LayersCanvasSize(&size, -1, t.e, 3, &o) == 1 && size.width == 8);
  lt::Surface target;
  ASSERT_EQ(rx_LayersFlatten(&target, -1, t.e, 3, &o), 1);
  EXPECT_TRUE(target.s.width == 8u && At(&target.s, 7, 1) == Px(40, 50, 60, 0));
  EXPECT_TRUE(rx_LayersFlatten(&target, 7, t.e, 3, &o) == 1 && target.s.width == 3u && o.resultHeight == 3u);  // the last image
  EXPECT_TRUE(rx_LayersFlatten(&target, 0, t.e, 3, &o) == 1 && At(&target.s, 0, 0) == Px(10, 20, 30, 0));

  // Companion composition: the second image's blue and green over the first one's red.
  lt::Table pair{{4, 4, Px(10, 20, 30, 0)}, {4, 4, Px(40, 50, 60, 0)}};
  o = lt::Options(rx_DocImageList, rx_DocOptionPages);
  for (auto [composition, want] : {std::pair{1, Px(40, 50, 30, 0)}, {0, Px(40, 50, 60, 0)}}) {
    o.frameComposition = static_cast<uint8_t>(composition);
    ASSERT_EQ(rx_LayersFlatten(&target, -1, pair.e, 2, &o), 1);
    EXPECT_EQ(At(&target.s, 2, 3), want) << composition;
  }

  // An image without pixels cannot be shown.
  lt::Table empty;
  EXPECT_EQ(rx_LayersFlatten(&target, 0, empty.e, 1, &o), 0);
}

TEST(Flatten, CompositeOrderFlagsAndTransparency) {
  LoadSaveOptions o = lt::Options(rx_DocComposite);
  lt::Surface target;
  {
    // A hidden first layer is still drawn; its other flags are cleared.
    lt::Table t{{10, 10, kRed, 0, 0, rx_LayerHidden | rx_LayerPreview | 0x0200 | 0x1000 | 0x0800 | rx_LayerPageStart},
                {4, 4, kGreen, 1, 1, rx_LayerHidden}};
    EXPECT_EQ(rx_LayersFlatten(&target, -1, t.e, 2, &o), 2);
    EXPECT_TRUE(At(&target.s, 2, 2) == kRed && t[0].flags == 0x0800);
  }
  {
    // B = 255 contributes nothing, B = 0 full strength; the first layer is copied whatever its mode.
    lt::Table t{{8, 8, kBlue, 5, 5, 3}, {4, 4, kRed}, {4, 4, kGreen, 4, 4}};
    t[1].attributeB = 255, t[2].attributeB = 0;
    EXPECT_EQ(rx_LayersFlatten(&target, -1, t.e, 3, &o), 3);
    lt::ExpectAt(&target.s, {{0, 0, kBlue}, {1, 1, kBlue}, {5, 5, kGreen}});
  }
  {
    // The upper group is drawn after everything else, even from the front of the table.
    lt::Table t{{8, 8, kWhite}, {4, 4, kRed, 2, 2, rx_LayerUpperGroup}, {4, 4, kGreen, 2, 2}, {2, 2, kBlue, 0, 0, rx_LayerPreview}};
    EXPECT_EQ(rx_LayersFlatten(&target, -1, t.e, 4, &o), 4);
    lt::ExpectAt(&target.s, {{3, 3, kRed}, {0, 0, kWhite}});  // preview layers only on request
    o.preview = 1;
    EXPECT_TRUE(rx_LayersFlatten(&target, -1, t.e, 4, &o) == 4 && At(&target.s, 0, 0) == kBlue);
    o.preview = 0;
  }
  {
    // Layers the dispatcher cannot draw stay uncounted: no surface, mode 254
    // without a "BLND" record, a damaged "ADJU" record; a layer wholly off the canvas counts as drawn.
    lt::Table t;
    t.Set(0, 8, 8, kWhite);
    t[1].flags = 0;
    t.Set(2, 2, 2, kRed, 1, 1, rx_ModeCustom);
    t.Set(3, 2, 2, kRed, 3, 3);
    t.Record(3, prop_TagAdjust, std::vector<uint8_t>(10, 1));
    t.Set(4, 2, 2, kRed, 50, 50);
    EXPECT_EQ(rx_LayersFlatten(&target, -1, t.e, 5, &o), 2);
    lt::ExpectAt(&target.s, {{1, 1, kWhite}, {3, 3, kWhite}});
  }
}

TEST(Flatten, CompositeModesByHand) {
  auto gradient = [](int x, int y) { return Px(x * 10, y * 20, 100, 0); };
  // Multiply; screen at half strength over two edges; AND.
  lt::Table t{{16, 12, 0}, {6, 5, Px(128, 255, 0, 0), 5, 3, 3}, {8, 4, Px(200, 40, 90, 0), -2, 9, 4}, {4, 4, 0, 10, 1, 20}};
  t[2].attributeB = 100;
  lt::Fill(&t[0].surface, gradient);
  lt::Fill(&t[3].surface, [](int x, int y) { return Px(x * 60, y * 60, 0x3C, 0); });

  LoadSaveOptions o = lt::Options(rx_DocComposite);
  lt::Surface target;
  ASSERT_EQ(rx_LayersFlatten(&target, -1, t.e, 4, &o), 4);

  // One pixel by hand: multiply (d * (s + (s >> 7))) >> 8 at (6, 4) over (60, 80, 100).
  EXPECT_EQ(At(&target.s, 6, 4), Px(60 * 129 >> 8, 80 * 256 >> 8, 0, 0));
  // AND at (11, 2): layer pixel (60, 60, 0x3C) with (110, 40, 100). Screen at (0, 10) over (0, 200, 100):
  // 255 - (255 - d)(255 - s) / 255 gives (200, 209, 155), laid over at opacity 155: (122, 205, 133).
  lt::ExpectAt(&target.s, {{11, 2, Px(60 & 110, 60 & 40, 0x3C & 100, 0)}, {0, 0, gradient(0, 0)}, {0, 10, Px(122, 205, 133, 0)}});
}

// Edges round as the whole part of value x s + 0.5, rounding down: a ramp
// layer at x = -3 shows its column 3 at target column 0.
TEST(Flatten, RampLandsOnItsColumnsAtAnyPosition) {
  auto ramp = [](int x, int) { return Px(x * 20, 50, 60, 0); };
  // Layer x, canvas width (64 against a 32 box halves), target column, ramp column.
  // Halved at x = -4: edges -1.5 and 3.5 round to -2 and 3, so columns -2..2 show ramp 0, 2, 4, ...
  const int cases[][4] = {{-3, 16, 0, 3}, {-3, 16, 6, 9}, {3, 16, 3, 0}, {-4, 64, 0, 4}, {-4, 64, 2, 8}, {6, 64, 3, 0}, {6, 64, 4, 2}};
  for (const auto &c : cases) {
    lt::Table t{{c[1], 32, kWhite}, {10, 4, 0, c[0], 2}};
    lt::Fill(&t[1].surface, ramp);
    LoadSaveOptions o = lt::Options(rx_DocComposite);
    o.fitInside = 1;
    o.wantedWidth = o.wantedHeight = 32;
    lt::Surface target;
    ASSERT_EQ(rx_LayersFlatten(&target, -1, t.e, 2, &o), 2);
    EXPECT_EQ(At(&target.s, c[2], 2), ramp(c[3], 0)) << "x " << c[0] << " canvas " << c[1] << " column " << c[2];
  }
}

TEST(Flatten, AdjustmentLayersAndCustomBlend) {
  lt::Table t{{8, 8, Px(10, 20, 30, 0)}, {3, 3, kGreen, 2, 2}};  // layer 1's pixels are not drawn: blue and red of what lies below swap
  rx_Adjustment swap{};
  swap.mode = 4, swap.selectors[0] = 2, swap.selectors[1] = 1, swap.selectors[2] = 0;
  t.Record(1, prop_TagAdjust, lt::AdjustRecord(swap));
  // Mode 254 with a table that gives the source value whatever lies below.
  t.Set(2, 2, 2, Px(0, 0, 255, 0), 6, 6, rx_ModeCustom);
  uint8_t table[64];
  for (int d = 0; d < 8; ++d)
    for (int s = 0; s < 8; ++s) table[d * 8 + s] = static_cast<uint8_t>(s * 255 / 7);
  std::vector<uint8_t> blend(prop_BlendShortBytes);
  prop_WriteBlendShort(table, blend.data());
  t.Record(2, prop_TagBlend, blend);

  LoadSaveOptions o = lt::Options(rx_DocComposite);
  lt::Surface target;
  ASSERT_EQ(rx_LayersFlatten(&target, -1, t.e, 3, &o), 3);
  lt::ExpectAt(&target.s, {{3, 3, Px(30, 20, 10, 0)}, {1, 1, Px(10, 20, 30, 0)}});
  uint32_t custom = At(&target.s, 6, 6);
  // Blue follows the layer's 0, red its 255.
  EXPECT_TRUE((custom & 0xFF) < 10u && ((custom >> 16) & 0xFF) > 245u && custom >> 24 == 0u) << std::hex << custom;

  // A table record too short for its form is refused, and the layer uncounted.
  blend.resize(prop_BlendShortBytes - 1);
  t.Record(2, prop_TagBlend, blend);
  EXPECT_EQ(rx_LayersFlatten(&target, -1, t.e, 3, &o), 2);
}

TEST(Flatten, PagesOfAComposite) {
  lt::Table t{{10, 10, kRed}, {3, 3, kGreen, 1, 1}, {6, 4, kBlue, 3, 3, rx_LayerPageStart}, {2, 2, kWhite, 1, 1},
              {5, 5, kGrey, 0, 0, rx_LayerPageStart}};
  LoadSaveOptions o = lt::Options(rx_DocComposite, rx_DocOptionPages);
  EXPECT_EQ(rx_LayersHasPages(&o), 1);
  for (auto [page, start] : {std::pair{0, 0}, {1, 2}, {2, 4}, {3, 0}}) EXPECT_EQ(rx_LayersPageStart(page, t.e, 5, &o), start);

  lt::Surface target;
  EXPECT_TRUE(rx_LayersFlatten(&target, 1, t.e, 5, &o) == 2 && lt::Size(target.s) == std::pair(6u, 4u));
  lt::ExpectAt(&target.s, {{0, 0, kBlue}, {1, 1, kWhite}});  // the page's first layer sits at the origin
  EXPECT_TRUE(rx_LayersFlatten(&target, 2, t.e, 5, &o) == 1 && target.s.width == 5u);
  // Past the last page: the first page, which ends before the next page start.
  EXPECT_TRUE(rx_LayersFlatten(&target, 9, t.e, 5, &o) == 2 && target.s.width == 10u);
  lt::ExpectAt(&target.s, {{1, 1, kGreen}, {5, 5, kRed}});

  // Without the option byte the same table is one picture of all layers.
  o = lt::Options(rx_DocComposite);
  EXPECT_TRUE(rx_LayersHasPages(&o) == 0 && rx_LayersPageStart(1, t.e, 5, &o) == 0);
  EXPECT_TRUE(rx_LayersFlatten(&target, 1, t.e, 5, &o) == 5 && At(&target.s, 4, 4) == kGrey);
  o = lt::Options(rx_DocImageList);
  EXPECT_TRUE(rx_LayersHasPages(&o) == 1 && rx_LayersPageStart(3, t.e, 5, &o) == 3);
}

TEST(Flatten, FitIntoTheBox) {
  lt::Table t{{4000, 2000, kRed}, {2000, 2000, kGreen, 2000, 0}}, small{{100, 20, kRed}};
  // Fit flag, box, table and its layers, result size: boxes below 16 and an
  // unset flag do no fitting, and a canvas already inside the box stays as it is.
  const struct { uint8_t fit; int32_t box; lt::Table &table; int32_t layers; uint32_t w, h; } cases[] = {{1, 256, t, 2, 256, 128}, {1, 15, t, 2, 4000, 2000}, {0, 256, t, 2, 4000, 2000}, {1, 256, small, 1, 100, 20}};
  lt::Surface target;
  for (const auto &c : cases) {
    LoadSaveOptions o = lt::Options(rx_DocComposite);
    o.fitInside = c.fit;
    o.wantedWidth = o.wantedHeight = c.box;
    ASSERT_EQ(rx_LayersFlatten(&target, -1, c.table.e, c.layers, &o), c.layers);
    EXPECT_TRUE(lt::Size(target.s) == std::pair(c.w, c.h) && std::pair(o.resultWidth, o.resultHeight) == lt::Size(target.s))
        << c.box << " " << int(c.fit);
    if (c.w == 256) lt::ExpectAt(&target.s, {{50, 64, kRed}, {200, 64, kGreen}});
  }
}

TEST(Flatten, ObjectAnimationAtATime) {
  lt::Table t{{8, 8, kGrey}, {8, 4, kRed}};  // layer 1 a sprite sheet: red cell, green cell, 100 ms each
  auto halves = [](int x, int) { return x < 4 ? kRed : kGreen; };
  lt::Fill(&t[1].surface, halves);
  t.Record(1, prop_TagSprite, lt::SpriteRecord(2, 1, 0, 100));
  t.Set(2, 2, 2, kBlue, 7, 7);  // moves from (0, 0) to (4, 4) in 100 ms
  prop_AnimKey keys[2] = {{0, {{0, 0}, {1, 0}, {1, 1}, {0, 1}}}, {100, {{4, 4}, {5, 4}, {5, 5}, {4, 5}}}};
  t.Record(2, prop_TagAnim, lt::AnimRecord(keys, 2));

  LoadSaveOptions o = lt::Options(rx_DocObjects);
  EXPECT_EQ(rx_LayersDuration(t.e, 3, &o), 200);
  lt::Surface target;
  ASSERT_EQ(rx_LayersFlatten(&target, 50, t.e, 3, &o), 3);
  EXPECT_EQ(target.s.width, 8u);
  lt::ExpectAt(&target.s, {{0, 0, kRed}, {3, 3, kBlue}, {1, 1, kRed}, {6, 6, kGrey}});  // corners (2, 2) .. (3, 3) at 50 ms
  ASSERT_EQ(rx_LayersFlatten(&target, 150, t.e, 3, &o), 3);
  lt::ExpectAt(&target.s, {{0, 0, kGreen}, {4, 4, kBlue}, {7, 7, kGrey}});  // the static position is not used
  // No index: a fifth of the duration (40 ms): the first cell.
  EXPECT_TRUE(rx_LayersFlatten(&target, -1, t.e, 3, &o) == 3 && At(&target.s, 0, 0) == kRed);

  // A sprite sheet as the first layer gives the canvas one cell of it.
  lt::Table s{{8, 4, kRed}};
  lt::Fill(&s[0].surface, halves);
  s.Record(0, prop_TagSprite, lt::SpriteRecord(2, 0, 0, 0));
  rx_Size size{};
  EXPECT_TRUE(rx_LayersCanvasSize(&size, -1, s.e, 1, &o) == 1 && size.width == 4 && size.height == 4);
  ASSERT_EQ(rx_LayersFlatten(&target, 100, s.e, 1, &o), 1);
  EXPECT_TRUE(target.s.width == 4u && At(&target.s, 3, 3) == kRed);  // 2 x 0 cells make one frame
  s.Record(0, prop_TagSprite, lt::SpriteRecord(2, 1, 0, 0));
  EXPECT_TRUE(rx_LayersFlatten(&target, 100, s.e, 1, &o) == 1 && At(&target.s, 3, 3) == kGreen);

  // Frame words only make a duration for image lists.
  lt::Table words{{2, 2, kRed}, {2, 2, kRed}};
  words[0].frame = 30, words[1].frame = 12;
  for (auto [kind, duration] : {std::pair{rx_DocImageList, 42}, {rx_DocComposite, 0}}) {
    o = lt::Options(kind);
    EXPECT_EQ(rx_LayersDuration(words.e, 2, &o), duration) << int(kind);
  }
}

TEST(LayerTable, ReleaseFreesEverything) {
  rx_LayerEntry *table = rx_LayerTableCreate();
  ASSERT_NE(table, nullptr);
  EXPECT_GE(GlobalSize(table), sizeof(rx_LayerEntry) * 1025);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(rx_SurfaceCreate(&table[i].surface, 4, 4, rx_CreateMemory), 1);
    ASSERT_EQ(prop_SetMarkup(&table[i].properties, &table[i].propertiesLength, "a=1;"), 1);
  }
  // A properties pointer that is no global block is not freed (the checked free).
  static uint8_t foreign[16];
  table[3].properties = foreign;
  table[3].propertiesLength = sizeof foreign;
  rx_LayersRelease(table, 4);
  static const rx_LayerEntry zero{};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(std::memcmp(&table[i], &zero, sizeof zero), 0);
  ASSERT_EQ(rx_SurfaceCreate(&table[1024].surface, 2, 2, rx_CreateMemory), 1);
  rx_LayerTableFree(table);  // the leak checker sees anything left
  rx_LayerTableFree(nullptr);

  // Bad arguments.
  LoadSaveOptions o{};
  rx_Size size{};
  lt::Surface target;
  lt::Table t;  // no pixels in the first layer
  EXPECT_EQ(std::tuple(rx_LayersCanvasSize(&size, 0, nullptr, 1, &o), rx_LayersFlatten(&target.s, 0, nullptr, 1, &o),
                       rx_LayersFlatten(&target.s, 0, t.e, 0, &o), rx_LayersFlatten(&target.s, 0, t.e, 1, nullptr),
                       rx_LayersFlatten(&target.s, 0, t.e, 1, &o)), std::tuple(0, 0, 0, 0, 0));
}

// Sheets of animation frames, the grid search behind them, and merging the markup of all layers.

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
  lt::Table t{{4, 4, kRed}, {4, 4, kGreen}, {4, 4, kBlue}};
  t[0].frame = 10, t[1].frame = 20, t[2].frame = 30;
  t.Markup(0, "exif.make=A;");
  LoadSaveOptions o = lt::Options(rx_DocFrames);
  ASSERT_EQ(rx_LayersToSheet(t.e, 3, &o, 0, 0), 1);
  // g = 10: repetitions 1, 2, 3 make 6 cells in 3 x 2.
  EXPECT_EQ(lt::Size(t[0].surface), std::pair(12u, 8u));
  const uint32_t expected[6] = {kRed, kGreen, kGreen, kBlue, kBlue, kBlue};
  for (int k = 0; k < 6; ++k) EXPECT_EQ(At(&t[0].surface, k % 3 * 4 + 1, k / 3 * 4 + 2), expected[k]) << k;
  EXPECT_TRUE(SpriteOf(t[0]) == (std::vector<uint32_t>{3, 2, 6, 10}) && o.resultWidth == 4u);
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

  lt::Table z{{2, 2, kRed}, {2, 2, kGreen}, {2, 2, kBlue}};
  z[0].frame = 0, z[1].frame = 40, z[2].frame = 20;
  ASSERT_EQ(rx_LayersToSheet(z.e, 3, &o, 0, 0), 1);
  EXPECT_EQ(SpriteOf(z[0]), (std::vector<uint32_t>{2, 3, 5, 20}));  // 40, 40, 20 over g = 20
}

TEST(Sheet, ObjectAnimationSampledOverItsDuration) {
  lt::Table t{{4, 4, kGrey}, {8, 4, kRed}};
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
  EXPECT_TRUE(SpriteOf(t[0]) == (std::vector<uint32_t>{2, 3, 5, 40}) && t[1].surface.signature == 0);

  // A long scene of tiny cells: the interval doubles until the frames are
  // bounded (1,000 s at 40 ms would be 25,000 flattenings; at 80 ms 12,500).
  lt::Table longScene{{1, 1, kGrey}, {1, 1, kRed}};
  prop_AnimKey keys[2] = {{0, {{0, 0}, {0, 0}, {0, 0}, {0, 0}}}, {1000000, {{0, 0}, {0, 0}, {0, 0}, {0, 0}}}};
  longScene.Record(1, prop_TagAnim, lt::AnimRecord(keys, 2));
  o.frameInterval = 40;
  ASSERT_EQ(rx_LayersToSheet(longScene.e, 2, &o, 0, 0), 1);
  EXPECT_EQ((std::pair(SpriteOf(longScene[0])[2], SpriteOf(longScene[0])[3])), std::pair(12500u, 80u));

  // A given cell size scales each picture into it; a scene without a
  // duration has no cells and is refused, its layer left as it was.
  lt::Table c{{4, 4, kGrey}, {8, 4, kGrey}};
  c.Record(1, prop_TagSprite, lt::SpriteRecord(2, 1, 0, 100));
  o.frameInterval = 100;
  ASSERT_EQ(rx_LayersToSheet(c.e, 2, &o, 2, 2), 1);
  EXPECT_EQ(lt::Size(c[0].surface), std::pair(2u, 4u));
  EXPECT_TRUE(At(&c[0].surface, 1, 3) == kGrey && o.resultWidth == 2u);
  lt::Table still{{4, 4, kGrey}};
  EXPECT_EQ(rx_LayersToSheet(still.e, 1, &o, 2, 2), 0);
  EXPECT_TRUE(still[0].surface.width == 4u && still[0].properties == nullptr);
}

TEST(Sheet, RefusesWhatItCannotLayOut) {
  lt::Table t{{4, 4, kRed}, {4, 4, kGreen}};
  t[0].frame = 10, t[1].frame = 20;
  LoadSaveOptions o;
  for (uint8_t kind : {rx_DocComposite, rx_DocImageList}) {
    o = lt::Options(kind);
    EXPECT_EQ(rx_LayersToSheet(t.e, 2, &o, 0, 0), 0) << int(kind);
  }
  o = lt::Options(rx_DocFrames);
  EXPECT_EQ(std::tuple(rx_LayersToSheet(t.e, 1, &o, 0, 0), rx_LayersToSheet(t.e, 1025, &o, 0, 0),
                       rx_LayersToSheet(nullptr, 2, &o, 0, 0)), std::tuple(0, 0, 0));
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
  EXPECT_TRUE(merged != nullptr && Value(MarkupOf(merged, length), "exif.make") == "Beta");
  GlobalFree(merged);

  // No properties anywhere: nothing to hand out.
  lt::Table none{{2, 2, kRed}};
  EXPECT_TRUE(rx_LayersMergeMarkup(none.e, 2, &length) == nullptr && length == 0u);

  // A damaged first block is handed on as it is.
  lt::Table bad;
  bad.Damage(0);
  bad.Markup(1, "exif.make=Beta;");
  merged = rx_LayersMergeMarkup(bad.e, 2, &length);
  ASSERT_TRUE(merged != nullptr && length == 8u);
  EXPECT_EQ(std::memcmp(merged, lt::Table::kDamaged, 8), 0);
  GlobalFree(merged);
}

}  // namespace
