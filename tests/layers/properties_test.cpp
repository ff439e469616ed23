// The properties container and the binary layer records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "layers_test_util.h"
#include "raster/layers/properties.h"

namespace {

using Records = std::vector<std::pair<uint32_t, std::string>>;
using Bytes = std::vector<uint8_t>;

void Put32(Bytes &b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A current-form block by hand: header with the short or long size rule.
Bytes Container(const Records &records, bool longHeader) {
  Bytes body;
  for (auto &[tag, data] : records) {
    size_t at = body.size();
    Put32(body, at, tag);
    Put32(body, at + 4, static_cast<uint32_t>(data.size()));
    body.insert(body.end(), data.begin(), data.end());
  }
  Bytes block;
  Put32(block, 0, prop_TagMeta);
  Put32(block, longHeader ? 12 : 4, static_cast<uint32_t>(body.size()));
  block.insert(block.end(), body.begin(), body.end());
  return block;
}

// The records a walk finds; `last` gets the step that ended it (-2: no walk).
Records Walk(const void *data, size_t size, int32_t *last = nullptr) {
  Records out;
  prop_Walker w{};
  prop_Record r{};
  int32_t step = -2;
  if (prop_WalkBegin(&w, data, size) != 0)
    while ((step = prop_WalkNext(&w, &r)) == 1) out.push_back({r.tag, std::string(reinterpret_cast<const char *>(r.data), r.length)});
  if (last) *last = step;
  return out;
}
Records Walk(const Bytes &block, int32_t *last = nullptr) { return Walk(block.data(), block.size(), last); }

// A global block holding a copy of the bytes, freed with the object.
struct Block {
  HGLOBAL h = nullptr;
  uint32_t length = 0;
  explicit Block(const Bytes &bytes) : h(GlobalAlloc(GPTR, bytes.size())), length(static_cast<uint32_t>(bytes.size())) {
    std::memcpy(h, bytes.data(), bytes.size());
  }
  Block() = default;
  ~Block() { GlobalFree(h); }
};

TEST(Properties, BothHeaderRulesAndTheOlderForm) {
  int32_t last = 1;
  // Short rule: 16 <= S <= 65536. Long rule: S outside, the length from byte
  // 12; bytes after the container are not records.
  const Records two = {{prop_TagMark, std::string("a=1;\0", 5)}, {prop_Tag("SPRT"), std::string(16, '\1')}};
  EXPECT_TRUE(Walk(Container(two, false), &last) == two && last == 0);
  Bytes big = Container({{prop_Tag("NOTE"), "xy"}}, true);
  big.resize(big.size() + 7, 0xEE);
  EXPECT_TRUE(Walk(big, &last) == (Records{{prop_Tag("NOTE"), "xy"}}) && last == 0);

  // Older single-record form: text tags end after the first zero byte, LINK reads as TILE, data stops at 4092 bytes.
  EXPECT_EQ(Walk(Bytes{'M', 'A', 'R', 'K', 'k', '=', 'v', 0, 'z', 'z'}), (Records{{prop_TagMark, std::string("k=v\0", 4)}}));
  Bytes link(4 + 5000, 7);
  std::memcpy(link.data(), "LINK", 4);
  EXPECT_EQ(Walk(link), (Records{{prop_TagTile, std::string(4092, 7)}}));

  // Zero tag or nothing at all: no record.
  EXPECT_TRUE(Walk(Bytes(40, 0), &last).empty() && last == 0);
  EXPECT_EQ(prop_Find(nullptr, 0, prop_TagMark, nullptr), 0);
}

TEST(Properties, MalformedBlocksAreRefusedWithinBounds) {
  // Each block is a vector of exactly its size: the sanitizer sees any read
  // past it. Cut headers (the long rule needs 16 bytes), a container longer than the block under either rule.
  for (const Bytes &bad : {Bytes{'M', 'E', 'T', 'A', 20}, Bytes{'M', 'E', 'T', 'A', 3, 0, 0, 0, 0, 0}, Bytes{1, 2}})
    EXPECT_EQ(prop_Validate(bad.data(), bad.size()), 0);
  Bytes block = Container({{prop_TagMark, std::string(20, 'a')}}, false);
  block.pop_back();
  EXPECT_EQ(prop_Validate(block.data(), block.size()), 0);
  block = Container({{prop_TagMark, "abc"}}, true);
  Put32(block, 12, 0xFFFFFFF0u);
  EXPECT_EQ(prop_Validate(block.data(), block.size()), 0);

  // A record length pointing past the container, and a record header cut short.
  int32_t last = 0;
  block = Container({{prop_TagMark, std::string(20, 'a')}}, false);
  Put32(block, 12, 21);
  EXPECT_TRUE(Walk(block, &last).empty() && last == -1);
  EXPECT_EQ(prop_Find(block.data(), block.size(), prop_Tag("NONE"), nullptr), -1);
  block = Container({{prop_TagMark, std::string(20, 'a')}}, false);
  Put32(block, 4, 32);  // 4 bytes of a header after the record
  block.resize(40, 0x55);
  EXPECT_TRUE(Walk(block, &last).size() == 1u && last == -1);

  // The record length limit: 33,554,432 passes, one more is refused even though the container holds the bytes.
  Bytes huge = Container({{prop_Tag("DATA"), std::string(33554433, 0)}}, true);
  EXPECT_EQ(prop_Validate(huge.data(), huge.size()), 0);
  huge = Container({{prop_Tag("DATA"), std::string(33554432, 0)}}, true);
  prop_Record r{};
  EXPECT_TRUE(prop_Find(huge.data(), huge.size(), prop_Tag("DATA"), &r) == 1 && r.length == 33554432u);

  // Editing refuses a malformed block and leaves it untouched.
  block = Container({{prop_TagMark, std::string(20, 'a')}}, false);
  Put32(block, 12, 9999);
  Block b(block);
  EXPECT_EQ(std::pair(prop_SetRecord(&b.h, &b.length, prop_TagMark, "x", 1), prop_RemoveRecord(&b.h, &b.length, prop_TagMark)),
            std::pair(0, 0));
  EXPECT_TRUE(b.length == block.size() && std::memcmp(b.h, block.data(), block.size()) == 0);
  char text[8] = "x";
  EXPECT_TRUE(prop_GetMarkup(b.h, b.length, text, sizeof text) == -1 && text[0] == 0);
  // A stated length beyond the global block is cut to the block; a pointer that is no global block has none.
  EXPECT_EQ(prop_BlockBytes(b.h, 1u << 30), GlobalSize(b.h));
  int local = 0;
  EXPECT_EQ(prop_BlockBytes(&local, 4), 0u);
}

TEST(Properties, AddReplaceRemoveAndMarkup) {
  Block b;
  // Sizes that take each header rule: tiny (long rule) and mid (short rule).
  ASSERT_EQ(prop_SetRecord(&b.h, &b.length, prop_Tag("AAAA"), "", 0), 1);
  EXPECT_GE(GlobalSize(b.h), b.length + prop_Spare);
  ASSERT_EQ(prop_SetMarkup(&b.h, &b.length, "exif.make=Cam;"), 1);
  const std::string big(70000, 'b');
  ASSERT_EQ(prop_SetRecord(&b.h, &b.length, prop_Tag("BIGG"), big.data(), static_cast<uint32_t>(big.size())), 1);
  // Replacing keeps the order of the others and one copy.
  ASSERT_EQ(prop_SetRecord(&b.h, &b.length, prop_Tag("AAAA"), "12345", 5), 1);
  EXPECT_EQ(Walk(b.h, b.length),
            (Records{{prop_Tag("AAAA"), "12345"}, {prop_TagMark, std::string("exif.make=Cam;\0", 15)}, {prop_Tag("BIGG"), big}}));
  char text[64];
  for (auto [room, got] : {std::pair{sizeof text, "exif.make=Cam;"}, {size_t{5}, "exif"}}) {  // cut, still terminated
    EXPECT_TRUE(prop_GetMarkup(b.h, b.length, text, room) == 14 && std::string(text) == got) << room;
  }
  for (auto [tag, removed] : {std::pair{prop_Tag("BIGG"), 1}, {prop_Tag("BIGG"), 0}, {prop_TagMark, 1}})
    EXPECT_EQ(prop_RemoveRecord(&b.h, &b.length, tag), removed);
  EXPECT_TRUE(Walk(b.h, b.length) == (Records{{prop_Tag("AAAA"), "12345"}}) && prop_GetMarkup(b.h, b.length, text, sizeof text) == -1);

  // Duplicates from a foreign writer: replacing leaves one record.
  Block dup(Container({{prop_Tag("DUPL"), "1"}, {prop_TagMark, "k=v;"}, {prop_Tag("DUPL"), "2"}}, false));
  ASSERT_EQ(prop_SetRecord(&dup.h, &dup.length, prop_Tag("DUPL"), "3", 1), 1);
  EXPECT_EQ(Walk(dup.h, dup.length), (Records{{prop_Tag("DUPL"), "3"}, {prop_TagMark, "k=v;"}}));
  // An older single-record block is converted and keeps its record (LINK as TILE).
  Block old(Bytes{'L', 'I', 'N', 'K', 9, 8, 7});
  ASSERT_EQ(prop_SetMarkup(&old.h, &old.length, "a=b;"), 1);
  prop_Record r{};
  ASSERT_EQ(prop_Find(old.h, old.length, prop_TagTile, &r), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(r.data), r.length), "\t\b\a");

  // Over the record limit: refused, nothing allocated.
  Block none;
  static const char one = 0;
  EXPECT_TRUE(prop_SetRecord(&none.h, &none.length, prop_Tag("HUGE"), &one, prop_RecordMax + 1) == 0 && none.h == nullptr);
}

prop_Record RecordOf(const Bytes &data) { return prop_Record{0, static_cast<uint32_t>(data.size()), data.data()}; }

// A record refused one byte short, then read from its bytes (what `read` fills comes from them).
template <class Read>
void ReadsWholeRefusesShort(const Bytes &bytes, Read read) {
  const Bytes cut(bytes.begin(), bytes.end() - 1);
  prop_Record r = RecordOf(cut);
  EXPECT_FALSE(read(&r));
  r = RecordOf(bytes);
  EXPECT_TRUE(read(&r));
}

TEST(LayerRecords, SpriteCellsAndSizes) {
  prop_Sprite in{3, 2, 5, 40, 0, 0}, out{};
  Bytes bytes(prop_SpriteBytes);
  prop_WriteSprite(&in, bytes.data());
  ReadsWholeRefusesShort(Bytes(bytes.begin(), bytes.begin() + prop_SpriteMinBytes),
                         [&](const prop_Record *r) { return prop_ReadSprite(r, &out) == 1; });
  EXPECT_TRUE(out.frameCount == 5u && prop_SpriteDuration(&out) == 200u) << out.frameCount;
  rx_Rect cell{};
  // Frame 4 at 170 ms: column 1, row 1 of 10 x 6 cells in a 30 x 12 sheet.
  ASSERT_EQ(prop_SpriteCell(&out, 170, 30, 12, &cell), 1);
  EXPECT_EQ((std::vector<int32_t>{cell.left, cell.top, cell.right, cell.bottom}), (std::vector<int32_t>{10, 6, 19, 11}));
  EXPECT_TRUE(prop_SpriteCell(&out, 200, 30, 12, &cell) == 1 && cell.left == 0);  // wraps to frame 0
  EXPECT_EQ(prop_SpriteCell(&out, 0, 2, 1, &cell), 0);  // cells of 0 pixels
  prop_Sprite wide{2, 1, 0, 0, 20, 5};  // an explicit cell size beyond the layer
  EXPECT_EQ(prop_SpriteCell(&wide, 100, 30, 5, &cell), 0);
}

TEST(LayerRecords, AnimationCornersOverTime) {
  prop_AnimKey keys[2] = {{100, {{0, 0}, {9, 0}, {9, 9}, {0, 9}}}, {300, {{20, 10}, {29, 10}, {29, 19}, {20, 19}}}};
  Bytes bytes = lt::AnimRecord(keys, 2);
  rx_PointF c[4];
  ReadsWholeRefusesShort(bytes, [&](const prop_Record *r) { return prop_AnimCorners(r, 200, c) == 1; });
  EXPECT_TRUE(c[0].x == 10 && c[2].y == 14) << c[0].x << " " << c[2].y;
  prop_Record r = RecordOf(bytes);
  EXPECT_EQ(prop_AnimDuration(&r), 300u);
  EXPECT_TRUE(prop_AnimCorners(&r, 0, c) == 1 && c[1].x == 9);  // before the first key
  EXPECT_TRUE(prop_AnimCorners(&r, 5000, c) == 1 && c[0].x == 20);  // held at the last key
  // Repeating: 350 ms is 50 ms into the motion again (before the first key).
  prop_WriteAnim(keys, 2, prop_AnimRepeat, bytes.data());
  EXPECT_TRUE(prop_AnimCorners(&r, 350, c) == 1 && c[0].x == 0);

  // Times going back, corners that are not numbers.
  Bytes backwards = bytes;
  Put32(backwards, 16 + 36, 50);
  r = RecordOf(backwards);
  EXPECT_EQ(prop_CheckAnim(&r, nullptr, nullptr), 0);
  keys[0].corners[0].x = std::nanf("");
  prop_WriteAnim(keys, 2, 0, bytes.data());
  r = RecordOf(bytes);
  EXPECT_EQ(prop_AnimCorners(&r, 100, c), 0);
}

TEST(LayerRecords, BlendAdjustAndResolution) {
  // Blend: the short form, and the long one of 256 + 3 n n bytes (n of 16
  // would read as the short form, so it has none).
  uint8_t table[64];
  for (int i = 0; i < 64; ++i) table[i] = static_cast<uint8_t>(i * 4);
  Bytes blend(prop_BlendShortBytes);
  prop_WriteBlendShort(table, blend.data());
  ReadsWholeRefusesShort(blend, [](const prop_Record *r) { return prop_ReadBlend(r) == r->data; });
  Bytes t17(17 * 17, 5);
  const uint8_t *tables[3] = {t17.data(), t17.data(), t17.data()};
  EXPECT_EQ(prop_WriteBlendLong(16, tables, nullptr), 0u);
  ReadsWholeRefusesShort(lt::Written([&](uint8_t *out) { return prop_WriteBlendLong(17, tables, out); }),
                         [](const prop_Record *r) { return prop_ReadBlend(r) != nullptr; });

  // Adjustment: a round trip of one curve and of a routing; modes that cannot be stored; a selector out of range.
  Bytes curve = {0, 128, 255};
  rx_Adjustment a{}, back{};
  a.mode = 1, a.count = 3, a.tables[2] = curve.data();
  const Bytes adju = lt::AdjustRecord(a);  // what `back` points into
  ReadsWholeRefusesShort(adju, [&](const prop_Record *r) { return prop_ReadAdjust(r, &back) == 1; });
  ASSERT_TRUE(back.tables[0] == nullptr && back.tables[2] != nullptr && back.tables[2][1] == 128);
  for (uint32_t mode : {3u, 17u}) {  // 3 needs all three tables; callbacks cannot be stored
    a.mode = mode;
    EXPECT_EQ(prop_WriteAdjust(&a, nullptr), 0u) << mode;
  }
  rx_Adjustment routing{};
  routing.mode = 4, routing.selectors[0] = 4, routing.selectors[1] = 5, routing.selectors[2] = 2;
  Bytes route = lt::AdjustRecord(routing);
  prop_Record r = RecordOf(route);
  EXPECT_TRUE(prop_ReadAdjust(&r, &back) == 1 && back.selectors[1] == 5);
  route[13] = 16;
  EXPECT_EQ(prop_ReadAdjust(&r, &back), 0);

  prop_Phys p{300.0, 150.5, prop_UnitInch}, q{};
  Bytes phys(prop_PhysBytes);
  prop_WritePhys(&p, phys.data());
  ReadsWholeRefusesShort(phys, [&](const prop_Record *rec) { return prop_ReadPhys(rec, &q) == 1; });
  EXPECT_DOUBLE_EQ(q.y, 150.5);
}

}  // namespace
