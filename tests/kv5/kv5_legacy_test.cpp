// Versions 3, 2, 1 and 0: hand-written files for the layouts, the test writer for variations.
#include "kv5_read_test_util.h"

using namespace kv5doc;

namespace {

const Bytes kHandV3 = hex(
    "5F 4B 56 35"  // magic
    "10 00 00 00"  // header size 16
    "0B 00 03 00"  // revision 11, version 3
    "03 09 00 00"  // type 3 (image list), option 9
    "10 00 00 00"  // unknown chunk of length 0: counts as 4
    "11 00 02 00"  // unknown chunk of length 2: counts as 4
    "01 00 60 00"  // layer record, 96 bytes
    "FD FF 04 00"  // x -3, y 4
    "02 00 01 00"  // 2 x 1
    "01 02 00 00"  // grey, 2 channels (grey and T)
    "03 00 05 00"  // flags 3, frame 5 (not an animation: dropped)
    "4E 00 61 00 6D 00" "00000000000000000000000000000000000000000000000000000000000000000000000000"
    "000000000000000000000000000000000000000000"  // name "Nam" (64 bytes)
    "00 00 00 00"  // properties length 0
    "04 00 00 00"  // pixel length 4
    "33 44 00 00"  // attributes A, B
    "02 00 20 00"  // data block, 28 + 4 bytes
    "04 00 00 00 04 00 00 00"            // packed 4, unpacked 4
    "00000000000000000000000000000000"   // no codecs
    "80 90 0A 0B"  // grey plane, T plane
    "FF 00 04 00");  // end

const Bytes kHandV2 = hex(
    "5F 4B 56 35"  // magic
    "34 00 00 00"  // header size 52
    "03 00 02 00"  // revision 3, version 2
    "02 00 01 00"  // 2 x 1
    "01 00 00 00"  // grey, no pre-processing, channel count 0 (= 3)
    "34 00 00 00"  // data at 52
    "05 00 00 00"  // 5 data bytes
    "01 000000000000000000000000000000"  // codec 1 in entry 0
    "00 00 00 00 00 00 00 00"            // no palette, no extra block
    // Codec 1: with extended literals a literal of 0x2010 bytes (more than
    // the 20-byte buffer: fails); read again, a 2-byte literal and the end.
    "01 10 20 00 00");

Bytes v3Block(const Bytes &data, uint8_t lastCodec) {
  Bytes out;
  put8(out, 2), put8(out, 0), put16(out, static_cast<uint32_t>(28 + data.size()));
  put32(out, static_cast<uint32_t>(data.size())), put32(out, static_cast<uint32_t>(data.size()));
  pad(out, out.size() + 15), put8(out, lastCodec);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

}  // namespace

TEST_F(ReaderTest, kv5V3HandWrittenAndNames) {
  ASSERT_EQ(read(kHandV3), 1) << message();
  EXPECT_EQ(fields(0), (std::vector<int64_t>{-3, 4, 2, 1, 3, 0, 0x33, 0x44}));  // no frame outside animations
  EXPECT_EQ(std::u16string(table[0].name), u"Nam");
  EXPECT_EQ(std::pair(pixel(0, 0, 0), pixel(0, 1, 0)), std::pair(0x0A808080u, 0x0B909090u));
  EXPECT_EQ(std::u16string(options.formatDescription), u"KV5 v3 rev 11");
  EXPECT_EQ(document(), (std::vector<int64_t>{rx_DocImageList, 9, 1, 2, 1}));
  EXPECT_TRUE(options.handled == 1 && (options.documentFlags & (kDocExtensionMismatch | kDocNoExtension)) == 0u);

  Doc doc;
  doc.revision = 10;
  Item item;
  item.width = 1, item.format = 1, item.channels = 1, item.pixels = {9};
  item.ansiName = std::string("caf\xE9 \x80", 6);
  doc.items = {item};
  ASSERT_EQ(read(writeV3(doc), "old"), 1);
  EXPECT_EQ(std::u16string(table[0].name), u"caf\u00E9 \u20AC");
  EXPECT_EQ(std::u16string(options.formatDescription), u"KV5 v3 rev 10 (ANSI)");
  EXPECT_TRUE(options.documentFlags & kDocNoExtension);
  EXPECT_TRUE(read(writeV3(doc), "old.bmp") == 1 && options.warnings[kWarnExtensionMismatch] == 1);
}

TEST_F(ReaderTest, kv5V3CodecFailures) {
  Bytes head = Bytes(kHandV3.begin(), kHandV3.begin() + 24 + 96);
  head[24 + 8] = 4;                      // 4 x 1
  head[24 + 13] = 1;                     // one channel
  head[24 + 88] = 4;                     // 4 pixel bytes
  // An unknown codec ends the stream: its block's bytes count, the next block is not read.
  Bytes file = head;
  for (const Bytes &part : {v3Block({0x11, 0x22}, 9), v3Block({0x33, 0x44}, 0)}) file.insert(file.end(), part.begin(), part.end());
  ASSERT_EQ(outcome(read(file)), "1 Invalid TRVC codec ID in block\n");
  EXPECT_EQ(std::pair(pixel(0, 1, 0), pixel(0, 2, 0)), std::pair(0x222222u, 0u));
  EXPECT_FALSE(options.documentFlags & kDocLayerError);
  // A codec that produces nothing fails the layer, which stays counted.
  file = head;
  Bytes block = v3Block({0x00}, 1);
  file.insert(file.end(), block.begin(), block.end());
  EXPECT_EQ(outcome(read(file)), "1 Invalid/corrupt data in block (TRVC returned zero bytes)\n");
  EXPECT_TRUE(options.documentFlags & kDocLayerError);
}

TEST_F(ReaderTest, kv5V2HandWrittenPaletteAndFailures) {
  ASSERT_EQ(read(kHandV2, "flat.kv5"), 1) << message();
  EXPECT_EQ(std::pair(pixel(0, 0, 0), pixel(0, 1, 0)), std::pair(0x101010u, 0x202020u));
  EXPECT_EQ(std::u16string(options.formatDescription), u"KV5 v2 rev 03");
  EXPECT_TRUE(options.handled == 1 && table[0].flags == 0);

  Flat flat;
  flat.width = 4, flat.format = 2, flat.palette = {0xAA, 0xBB, 0xCC}, flat.statedEntries = 0x10003;
  flat.data = {0, 1, 2, 5};  // 5 lies outside the palette
  ASSERT_EQ(read(writeFlat(flat), "pal"), 1);
  EXPECT_EQ(std::tuple(pixel(0, 0, 0), pixel(0, 2, 0), pixel(0, 3, 0)), std::tuple(0xAAu, 0xCCu, 0u));
  EXPECT_EQ(options.warnings[kWarnExtensionMissing], 1);

  // The version-2 reader called directly on a changed copy of `flat`.
  auto direct = [&](auto change) {
    Flat bad = flat;
    change(bad);
    options = LoadSaveOptions{};
    options.quiet = 1;
    int32_t result = kv5_ReadFlatV2(table, &options, save(writeFlat(bad)).c_str());
    rx_LayersRelease(table, rx_LayerTableEntries);
    return outcome(result);
  };
  EXPECT_EQ(direct([](Flat &f) { f.chain[3] = 255; }), "4 The file is password-protected\n");
  EXPECT_EQ(options.passwordProtected, 1);
  EXPECT_EQ(direct([](Flat &f) { f.chain[3] = 5; }), "0 Invalid TRVC codec ID in block\nProcessing failed\n");  // not a version-2 codec
  EXPECT_EQ(direct([](Flat &f) { f.pre = 1; }), "0 Unknown Pre-processing Codec\nProcessing failed\n");
  EXPECT_EQ(direct([](Flat &f) { f.dataLength = 0x10000001; }), "0 Requested data buffer size is too large\n");
  EXPECT_EQ(direct([](Flat &f) { f.width = 0; }), "0 Image too big for graphics engine\nProcessing failed\n");
  EXPECT_EQ(direct([](Flat &f) { f.version = 1; }), "0 Unsupported KV5 version\nFile reading failed\n");
  Bytes shortHeader = writeFlat(flat);
  shortHeader[4] = 20;
  options = LoadSaveOptions{};
  EXPECT_EQ(outcome(kv5_ReadFlatV2(table, &options, save(shortHeader).c_str())), "0 Invalid KV5 header size\nFile reading failed\n");
  EXPECT_TRUE(options.documentFlags & kDocError);
}

TEST_F(ReaderTest, kv5V1Tiles) {
  // 33 x 17: three tiles across, two down; the right and bottom ones cut.
  Bytes s;
  auto fill = [&](size_t n, auto value) {
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<uint8_t>(value(i)));
  };
  // Planar, 3 channels, band order, one ignored byte; stored red = i, green 0x11, blue 0x22.
  s = {0xCA, 0xEE};
  fill(256, [](size_t i) { return i; });
  fill(256, [](size_t) { return 0x11; });
  fill(256, [](size_t) { return 0x22; });
  // Count 1: two entries from 0, planes (1,2) (3,4) (5,6); every index 1.
  s.push_back(0x1A);
  fill(256, [](size_t) { return 1; });
  for (uint8_t b : {1, 1, 2, 3, 4, 5, 6}) s.push_back(b);
  // Entry 1 alone replaced by (7,8,9), from start byte 1.
  s.push_back(0x3A);
  fill(256, [](size_t) { return 1; });
  for (uint8_t b : {1, 1, 7, 8, 9}) s.push_back(b);
  // Grey, 2 channels: grey = i, the second plane unused.
  s.push_back(0x01);
  fill(512, [](size_t i) { return i; });
  s.push_back(0x10);  // repeat the grey tile
  // Index 0 everywhere; entry 2 replaced, entry 0 kept from before.
  s.push_back(0x3A);
  fill(256, [](size_t) { return 0; });
  for (uint8_t b : {1, 2, 0xFF, 0xFF, 0xFF}) s.push_back(b);

  Flat flat;
  flat.version = 1, flat.width = 33, flat.height = 17, flat.data = s;
  flat.chain[5] = 4;  // not a version-1 codec: skipped
  for (int version : {1, 0}) {
    flat.version = version;
    ASSERT_EQ(read(writeFlat(flat), "tiles.kv5"), 1) << message();
    // Stored pixel 1 is on the second row, 2 in the odd column bottom first, 63 in the second band.
    for (auto [x, y, want] : {std::tuple{0, 0, 0x001122u}, {0, 1, 0x011122u}, {1, 1, 0x021122u}, {1, 0, 0x031122u},
                              {15, 2, 0x3F1122u}, {16, 15, 0x020406u}, {32, 0, 0x070809u}, {5, 16, 0x050505u},
                              {21, 16, 0x050505u}, {32, 16, 0x010305u}})
      EXPECT_EQ(pixel(0, x, y), want) << version << ": " << x << "," << y;
  }
  flat.dataLength = static_cast<uint32_t>(s.size() - 3);
  EXPECT_EQ(outcome(kv5_ReadFlatV1(table, &options, save(writeFlat(flat)).c_str())), "0 Rendering failed\n");
  flat.chain[5] = 255;
  EXPECT_EQ(outcome(kv5_ReadFlatV1(table, &options, save(writeFlat(flat)).c_str())), "4 The file is password-protected");
}
