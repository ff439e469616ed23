// The properties container and the binary layer records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "raster/layers/layer_records.h"
#include "raster/layers/properties.h"

namespace {

void Put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A current-form block by hand: header with the short or long size rule.
std::vector<uint8_t> Container(const std::vector<std::pair<uint32_t, std::string>> &records, bool longHeader) {
  std::vector<uint8_t> body;
  for (auto &[tag, data] : records) {
    size_t at = body.size();
    Put32(body, at, tag);
    Put32(body, at + 4, static_cast<uint32_t>(data.size()));
    body.insert(body.end(), data.begin(), data.end());
  }
  std::vector<uint8_t> block;
  Put32(block, 0, prop_TagMeta);
  if (longHeader) {
    Put32(block, 4, 0);
    Put32(block, 8, 0);
    Put32(block, 12, static_cast<uint32_t>(body.size()));
  } else {
    Put32(block, 4, static_cast<uint32_t>(body.size()));
  }
  block.insert(block.end(), body.begin(), body.end());
  return block;
}

std::vector<std::pair<uint32_t, std::string>> Walk(const void *data, size_t size, int32_t *last = nullptr) {
  std::vector<std::pair<uint32_t, std::string>> out;
  prop_Walker w{};
  if (prop_WalkBegin(&w, data, size) == 0) {
    if (last) *last = -2;
    return out;
  }
  prop_Record r{};
  int32_t step;
  while ((step = prop_WalkNext(&w, &r)) == 1)
    out.push_back({r.tag, std::string(reinterpret_cast<const char *>(r.data), r.length)});
  if (last) *last = step;
  return out;
}

std::vector<std::pair<uint32_t, std::string>> Walk(const std::vector<uint8_t> &block, int32_t *last = nullptr) {
  return Walk(block.data(), block.size(), last);
}

HGLOBAL GlobalCopy(const std::vector<uint8_t> &bytes) {
  HGLOBAL h = GlobalAlloc(GPTR, bytes.size());
  std::memcpy(h, bytes.data(), bytes.size());
  return h;
}

TEST(Properties, BothHeaderRulesAndTheOlderForm) {
  // Short rule: 16 <= S <= 65536.
  auto small = Container({{prop_TagMark, std::string("a=1;\0", 5)}, {prop_Tag("SPRT"), std::string(16, '\1')}}, false);
  int32_t last = 0;
  auto records = Walk(small, &last);
  EXPECT_EQ(last, 0);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].first, prop_TagMark);
  EXPECT_EQ(records[1].second, std::string(16, '\1'));

  // Long rule: S outside 16..65536, length from byte 12; bytes after the
  // container are not records.
  auto big = Container({{prop_Tag("NOTE"), "xy"}}, true);
  big.resize(big.size() + 7, 0xEE);
  records = Walk(big, &last);
  EXPECT_EQ(last, 0);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].second, "xy");

  // Older single-record form: text tags end after the first zero byte, LINK
  // reads as TILE, data stops at 4092 bytes.
  std::vector<uint8_t> single = {'M', 'A', 'R', 'K', 'k', '=', 'v', 0, 'z', 'z'};
  records = Walk(single, &last);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].second, std::string("k=v\0", 4));
  std::vector<uint8_t> link(4 + 5000, 7);
  std::memcpy(link.data(), "LINK", 4);
  records = Walk(link, &last);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].first, prop_TagTile);
  EXPECT_EQ(records[0].second.size(), 4092u);

  // Zero tag or nothing at all: no record.
  EXPECT_TRUE(Walk(std::vector<uint8_t>(40, 0), &last).empty());
  EXPECT_EQ(last, 0);
  EXPECT_EQ(prop_Find(nullptr, 0, prop_TagMark, nullptr), 0);
}

TEST(Properties, MalformedBlocksAreRefusedWithinBounds) {
  // Each block is a vector of exactly its size: the sanitizer sees any read past it.
  int32_t last = 0;
  std::vector<uint8_t> five = {'M', 'E', 'T', 'A', 20};
  EXPECT_EQ(prop_Validate(five.data(), five.size()), 0);
  std::vector<uint8_t> cut = {'M', 'E', 'T', 'A', 3, 0, 0, 0, 0, 0};  // the long rule needs 16 bytes
  EXPECT_EQ(prop_Validate(cut.data(), cut.size()), 0);
  std::vector<uint8_t> stub = {1, 2};
  EXPECT_EQ(prop_Validate(stub.data(), stub.size()), 0);

  // Container longer than the block (short and long rule).
  auto block = Container({{prop_TagMark, std::string(20, 'a')}}, false);
  block.pop_back();
  EXPECT_EQ(prop_Validate(block.data(), block.size()), 0);
  block = Container({{prop_TagMark, "abc"}}, true);
  Put32(block, 12, 0xFFFFFFF0u);
  EXPECT_EQ(prop_Validate(block.data(), block.size()), 0);

  // A record length pointing past the container, and a record header cut short.
  block = Container({{prop_TagMark, std::string(20, 'a')}}, false);
  Put32(block, 12, 21);
  Walk(block, &last);
  EXPECT_EQ(last, -1);
  EXPECT_EQ(prop_Find(block.data(), block.size(), prop_Tag("NONE"), nullptr), -1);
  block = Container({{prop_TagMark, std::string(20, 'a')}}, false);
  Put32(block, 4, 32);  // 4 bytes of a header after the record
  block.resize(40, 0x55);
  auto records = Walk(block, &last);
  EXPECT_EQ(records.size(), 1u);
  EXPECT_EQ(last, -1);

  // The record length limit: 33,554,432 passes, one more is refused even
  // though the container holds the bytes.
  std::vector<uint8_t> huge(16 + 8 + 33554433, 0);
  Put32(huge, 0, prop_TagMeta);
  Put32(huge, 12, 8 + 33554433);
  Put32(huge, 16, prop_Tag("DATA"));
  Put32(huge, 20, 33554433);
  EXPECT_EQ(prop_Validate(huge.data(), huge.size()), 0);
  Put32(huge, 20, 33554432);
  Put32(huge, 12, 8 + 33554432);
  prop_Record r{};
  EXPECT_EQ(prop_Find(huge.data(), huge.size(), prop_Tag("DATA"), &r), 1);
  EXPECT_EQ(r.length, 33554432u);

  // Editing refuses a malformed block and leaves it untouched.
  block = Container({{prop_TagMark, std::string(20, 'a')}}, false);
  Put32(block, 12, 9999);
  HGLOBAL h = GlobalCopy(block);
  uint32_t length = static_cast<uint32_t>(block.size());
  EXPECT_EQ(prop_SetRecord(&h, &length, prop_TagMark, "x", 1), 0);
  EXPECT_EQ(prop_RemoveRecord(&h, &length, prop_TagMark), 0);
  EXPECT_EQ(length, block.size());
  EXPECT_EQ(std::memcmp(h, block.data(), block.size()), 0);
  char text[8] = "x";
  EXPECT_EQ(prop_GetMarkup(h, length, text, sizeof text), -1);
  EXPECT_STREQ(text, "");
  GlobalFree(h);

  // A stated length beyond the global block is cut to the block.
  h = GlobalCopy(Container({{prop_TagMark, "abc"}}, false));
  EXPECT_EQ(prop_BlockBytes(h, 1u << 30), GlobalSize(h));
  GlobalFree(h);
  int local = 0;
  EXPECT_EQ(prop_BlockBytes(&local, 4), 0u);  // not a global block
}

TEST(Properties, AddReplaceRemoveAndMarkup) {
  HGLOBAL h = nullptr;
  uint32_t length = 0;
  // Sizes that take each header rule: tiny (long rule) and mid (short rule).
  ASSERT_EQ(prop_SetRecord(&h, &length, prop_Tag("AAAA"), "", 0), 1);
  EXPECT_EQ(length, 24u);
  EXPECT_GE(GlobalSize(h), length + prop_Spare);
  ASSERT_EQ(prop_SetMarkup(&h, &length, "exif.make=Cam;"), 1);
  EXPECT_EQ(static_cast<uint8_t *>(h)[4], 8 + 8 + 15);  // short rule: S is the record bytes
  std::string big(70000, 'b');
  ASSERT_EQ(prop_SetRecord(&h, &length, prop_Tag("BIGG"), big.data(), static_cast<uint32_t>(big.size())), 1);
  ASSERT_EQ(prop_Validate(h, length), 1);
  prop_Record r{};
  ASSERT_EQ(prop_Find(h, length, prop_Tag("BIGG"), &r), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(r.data), r.length), big);

  // Replacing keeps the order of the others and one copy.
  ASSERT_EQ(prop_SetRecord(&h, &length, prop_Tag("AAAA"), "12345", 5), 1);
  auto records = Walk(h, length);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].first, prop_Tag("AAAA"));
  EXPECT_EQ(records[0].second, "12345");
  EXPECT_EQ(records[1].first, prop_TagMark);

  char text[64];
  EXPECT_EQ(prop_GetMarkup(h, length, text, sizeof text), 14);
  EXPECT_STREQ(text, "exif.make=Cam;");
  EXPECT_EQ(prop_GetMarkup(h, length, text, 5), 14);  // cut, still terminated
  EXPECT_STREQ(text, "exif");

  EXPECT_EQ(prop_RemoveRecord(&h, &length, prop_Tag("BIGG")), 1);
  EXPECT_EQ(prop_RemoveRecord(&h, &length, prop_Tag("BIGG")), 0);
  EXPECT_EQ(prop_Find(h, length, prop_Tag("BIGG"), nullptr), 0);
  EXPECT_EQ(prop_RemoveRecord(&h, &length, prop_TagMark), 1);
  EXPECT_EQ(prop_GetMarkup(h, length, text, sizeof text), -1);
  GlobalFree(h);

  // Duplicates from a foreign writer: replacing leaves one record.
  auto dup = Container({{prop_Tag("DUPL"), "1"}, {prop_TagMark, "k=v;"}, {prop_Tag("DUPL"), "2"}}, false);
  h = GlobalCopy(dup);
  length = static_cast<uint32_t>(dup.size());
  ASSERT_EQ(prop_SetRecord(&h, &length, prop_Tag("DUPL"), "3", 1), 1);
  records = Walk(h, length);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].second, "3");
  GlobalFree(h);

  // An older single-record block is converted and keeps its record (LINK as TILE).
  std::vector<uint8_t> old = {'L', 'I', 'N', 'K', 9, 8, 7};
  h = GlobalCopy(old);
  length = static_cast<uint32_t>(old.size());
  ASSERT_EQ(prop_SetMarkup(&h, &length, "a=b;"), 1);
  ASSERT_EQ(prop_Find(h, length, prop_TagTile, &r), 1);
  EXPECT_EQ(r.length, 3u);
  EXPECT_EQ(r.data[0], 9);
  GlobalFree(h);

  // Over the record limit: refused, nothing allocated.
  h = nullptr;
  length = 0;
  static const char one = 0;
  EXPECT_EQ(prop_SetRecord(&h, &length, prop_Tag("HUGE"), &one, prop_RecordMax + 1), 0);
  EXPECT_EQ(h, nullptr);
}

prop_Record RecordOf(const std::vector<uint8_t> &data) {
  return prop_Record{0, static_cast<uint32_t>(data.size()), data.data()};
}

TEST(LayerRecords, SpriteCellsAndSizes) {
  prop_Sprite in{3, 2, 5, 40, 0, 0}, out{};
  std::vector<uint8_t> bytes(prop_SpriteBytes);
  prop_WriteSprite(&in, bytes.data());
  prop_Record r = RecordOf(bytes);
  ASSERT_EQ(prop_ReadSprite(&r, &out), 1);
  EXPECT_EQ(out.frameCount, 5u);
  EXPECT_EQ(prop_SpriteDuration(&out), 200u);
  rx_Rect cell{};
  // Frame 4 at 170 ms: column 1, row 1 of 10 x 6 cells in a 30 x 12 sheet.
  ASSERT_EQ(prop_SpriteCell(&out, 170, 30, 12, &cell), 1);
  EXPECT_EQ(cell.left, 10);
  EXPECT_EQ(cell.top, 6);
  EXPECT_EQ(cell.right, 19);
  EXPECT_EQ(cell.bottom, 11);
  ASSERT_EQ(prop_SpriteCell(&out, 200, 30, 12, &cell), 1);  // wraps to frame 0
  EXPECT_EQ(cell.left, 0);
  EXPECT_EQ(prop_SpriteCell(&out, 0, 2, 1, &cell), 0);  // cells of 0 pixels
  prop_Sprite zero{0, 0, 0, 0, 0, 0};
  EXPECT_EQ(prop_SpriteFrames(&zero), 1u);
  EXPECT_EQ(prop_SpriteDuration(&zero), 100u);
  // An explicit cell size beyond the layer.
  prop_Sprite wide{2, 1, 0, 0, 20, 5};
  EXPECT_EQ(prop_SpriteCell(&wide, 100, 30, 5, &cell), 0);
  bytes.resize(prop_SpriteMinBytes - 1);
  r = RecordOf(bytes);
  EXPECT_EQ(prop_ReadSprite(&r, &out), 0);
}

TEST(LayerRecords, AnimationCornersOverTime) {
  prop_AnimKey keys[2] = {{100, {{0, 0}, {9, 0}, {9, 9}, {0, 9}}}, {300, {{20, 10}, {29, 10}, {29, 19}, {20, 19}}}};
  std::vector<uint8_t> bytes(prop_WriteAnim(keys, 2, 0, nullptr));
  ASSERT_EQ(bytes.size(), 16u + 72u);
  prop_WriteAnim(keys, 2, 0, bytes.data());
  prop_Record r = RecordOf(bytes);
  EXPECT_EQ(prop_AnimDuration(&r), 300u);
  rx_PointF c[4];
  ASSERT_EQ(prop_AnimCorners(&r, 200, c), 1);
  EXPECT_FLOAT_EQ(c[0].x, 10);
  EXPECT_FLOAT_EQ(c[2].y, 14);
  ASSERT_EQ(prop_AnimCorners(&r, 0, c), 1);  // before the first key
  EXPECT_FLOAT_EQ(c[1].x, 9);
  ASSERT_EQ(prop_AnimCorners(&r, 5000, c), 1);  // held at the last key
  EXPECT_FLOAT_EQ(c[0].x, 20);
  // Repeating: 350 ms is 50 ms into the motion again (before the first key).
  prop_WriteAnim(keys, 2, prop_AnimRepeat, bytes.data());
  ASSERT_EQ(prop_AnimCorners(&r, 350, c), 1);
  EXPECT_FLOAT_EQ(c[0].x, 0);

  // Short record, times going back, corners that are not numbers.
  std::vector<uint8_t> shortRecord(bytes.begin(), bytes.end() - 1);
  r = RecordOf(shortRecord);
  EXPECT_EQ(prop_CheckAnim(&r, nullptr, nullptr), 0);
  EXPECT_EQ(prop_AnimCorners(&r, 0, c), 0);
  std::vector<uint8_t> backwards = bytes;
  Put32(backwards, 16 + 36, 50);
  r = RecordOf(backwards);
  EXPECT_EQ(prop_CheckAnim(&r, nullptr, nullptr), 0);
  keys[0].corners[0].x = std::nanf("");
  prop_WriteAnim(keys, 2, 0, bytes.data());
  r = RecordOf(bytes);
  EXPECT_EQ(prop_AnimCorners(&r, 100, c), 0);
}

TEST(LayerRecords, BlendAdjustAndResolutionSizes) {
  // Blend: the short form needs 131 bytes, the long one 256 + 3 n n.
  uint8_t table[64];
  for (int i = 0; i < 64; ++i) table[i] = static_cast<uint8_t>(i * 4);
  std::vector<uint8_t> blend(prop_BlendShortBytes);
  prop_WriteBlendShort(table, blend.data());
  prop_Record r = RecordOf(blend);
  EXPECT_EQ(prop_ReadBlend(&r), blend.data());
  blend.pop_back();
  r = RecordOf(blend);
  EXPECT_EQ(prop_ReadBlend(&r), nullptr);
  std::vector<uint8_t> t17(17 * 17, 5);
  const uint8_t *tables[3] = {t17.data(), t17.data(), t17.data()};
  EXPECT_EQ(prop_WriteBlendLong(16, tables, nullptr), 0u);  // 16 x 16 reads as the short form
  std::vector<uint8_t> longBlend(prop_WriteBlendLong(17, tables, nullptr));
  ASSERT_EQ(longBlend.size(), 256u + 3 * 289);
  prop_WriteBlendLong(17, tables, longBlend.data());
  r = RecordOf(longBlend);
  EXPECT_NE(prop_ReadBlend(&r), nullptr);
  longBlend.resize(longBlend.size() - 1);
  r = RecordOf(longBlend);
  EXPECT_EQ(prop_ReadBlend(&r), nullptr);

  // Adjustment: round trip of one curve, then damaged records.
  std::vector<uint8_t> curve = {0, 128, 255};
  rx_Adjustment a{};
  a.mode = 1;
  a.count = 3;
  a.tables[2] = curve.data();
  std::vector<uint8_t> adju(prop_WriteAdjust(&a, nullptr));
  ASSERT_EQ(adju.size(), 19u);
  prop_WriteAdjust(&a, adju.data());
  rx_Adjustment back{};
  r = RecordOf(adju);
  ASSERT_EQ(prop_ReadAdjust(&r, &back), 1);
  EXPECT_EQ(back.tables[0], nullptr);
  ASSERT_NE(back.tables[2], nullptr);
  EXPECT_EQ(back.tables[2][1], 128);
  adju.pop_back();
  r = RecordOf(adju);
  EXPECT_EQ(prop_ReadAdjust(&r, &back), 0);
  a.mode = 3;  // needs all three tables
  EXPECT_EQ(prop_WriteAdjust(&a, nullptr), 0u);
  a.mode = 17;  // callbacks cannot be stored
  EXPECT_EQ(prop_WriteAdjust(&a, nullptr), 0u);
  rx_Adjustment routing{};
  routing.mode = 4;
  routing.selectors[0] = 4, routing.selectors[1] = 5, routing.selectors[2] = 2;
  std::vector<uint8_t> route(prop_WriteAdjust(&routing, nullptr));
  prop_WriteAdjust(&routing, route.data());
  r = RecordOf(route);
  ASSERT_EQ(prop_ReadAdjust(&r, &back), 1);
  EXPECT_EQ(back.selectors[1], 5);
  route[13] = 16;
  EXPECT_EQ(prop_ReadAdjust(&r, &back), 0);

  // Resolution.
  prop_Phys p{300.0, 150.5, prop_UnitInch}, q{};
  std::vector<uint8_t> phys(prop_PhysBytes);
  prop_WritePhys(&p, phys.data());
  EXPECT_EQ(phys[0], 2);
  r = RecordOf(phys);
  ASSERT_EQ(prop_ReadPhys(&r, &q), 1);
  EXPECT_DOUBLE_EQ(q.y, 150.5);
  phys.pop_back();
  r = RecordOf(phys);
  EXPECT_EQ(prop_ReadPhys(&r, &q), 0);
}

}  // namespace
