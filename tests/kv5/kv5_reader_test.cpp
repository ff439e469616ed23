// The version-4 reader: a hand-written file checks the layout; the test writer varies it.
#include "kv5_read_test_util.h"

using namespace kv5doc;

namespace {

// Written by hand from the file layout, one field per line.
const Bytes kHandV4 = hex(
    "5F 4B 56 35"                 // magic "_KV5"
    "20 00 00 00"                 // header size 32
    "0B 00 04 00"                 // revision 11, version 4
    "02 07 00 00"                 // type 2 (frame animation), option 7, reserved
    "01 00" "00000000 00000000 00000000 0000"  // stated layers 1, reserved
    "FE 000000 03000000 68 69 00"              // banner "hi"
    "77 000000 02000000 AB CD"                 // unknown tag, skipped by length
    "01 000000 84000000"          // layer record, 132 bytes (4 beyond the 128 read)
    "00000000 01 000000"          // reserved, marker
    "05000000 FEFFFFFF"           // x 5, y -2
    "02000000 01000000"           // 2 x 1
    "00 03 00 00"                 // planar, 3 channels, no pre-processing
    "00000000"                    // reserved
    "06000000 04000000"           // 6 pixel bytes, 4 property bytes
    "02 01 07 00 11 22"           // flags 0x0102, frame 7, attributes 0x11 0x22
    "000000000000000000000000000000000000"     // reserved (18)
    "4C 00 31 00" "00000000000000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000"  // name "L1"
    "EE EE EE EE"                 // beyond the record: skipped
    "02 000000 2A000000"          // data block, 32 + 10 bytes
    "00000000 0A000000 0A000000 01000000"      // reserved, 10 packed, 10 unpacked, last
    "00000000000000000000000000000000"         // no codecs
    "10 20 30 40 50 60"           // blue, green, red planes
    "00 00 00 00"                 // properties: an empty block
    "FF 000000 00000000");        // end

Item solid(uint32_t width, uint32_t height, uint32_t colour) {
  Item item;
  item.width = width, item.height = height, item.format = 4;
  put32(item.pixels, colour);
  return item;
}

}  // namespace

TEST_F(ReaderTest, kv5ReadsTheHandWrittenFile) {
  ASSERT_EQ(read(kHandV4), 1) << message();
  EXPECT_EQ(message(), "");
  EXPECT_EQ(fields(0), (std::vector<int64_t>{5, -2, 2, 1, 0x0102, 7, 0x11, 0x22}));
  EXPECT_EQ(std::u16string(table[0].name), u"L1");
  EXPECT_EQ(std::tuple(pixel(0, 0, 0), pixel(0, 1, 0), table[0].propertiesLength), std::tuple(0x00503010u, 0x00604020u, 4u));
  EXPECT_EQ(document(), (std::vector<int64_t>{rx_DocFrames, 7, 1, 2, 1}));
  EXPECT_EQ(std::u16string(options.formatDescription), u"KV5 v4 rev 11");
  EXPECT_TRUE(options.handled == 1 && options.documentFlags == kDocFileIsKv5);

  // The frame word counts only in frame animations; unknown types are composites with option 0.
  Bytes other = kHandV4;
  other[12] = 9;
  ASSERT_EQ(read(other), 1);
  EXPECT_EQ(fields(0)[5], 0);
  EXPECT_EQ(document(), (std::vector<int64_t>{rx_DocComposite, 0, 1, 2, 1}));
}

TEST_F(ReaderTest, kv5HeaderSizes) {
  Doc doc;
  doc.items = {solid(3, 2, 0x11223344)};
  for (uint32_t size : {16u, 48u}) {
    doc.headerSize = size;
    ASSERT_EQ(read(writeV4(doc)), 1) << size << message();
    EXPECT_EQ(pixel(0, 2, 1), 0x11223344u);
  }
  // A header shorter than stated goes to the older readers, which fail.
  Bytes cut = writeV4(doc);
  cut[4] = 0xFF;
  cut.resize(20);
  EXPECT_TRUE(read(cut) == 0 && options.handled == 0);
}

TEST_F(ReaderTest, kv5RefusedFilesAndNewerRevisions) {
  EXPECT_EQ(outcome(kv5_Read(nullptr, &options, u"x")), "0 The layer buffer is invalid\n");
  EXPECT_EQ(outcome(kv5_Read(table, &options, temp.file16("missing.kv5").c_str())),
            "0 Error: Cannot open the file for reading, please check access\n");
  EXPECT_EQ(outcome(read(hex("5F 4B 56"))), "0 Error: Cannot read data from the file, file may be incomplete\n");

  Doc doc;
  doc.items = {solid(3, 2, 0x11223344)};
  Bytes wrong = writeV4(doc);
  wrong[0] = 'X';
  EXPECT_EQ(outcome(read(wrong, "a.KV5", false)),
            "0 Invalid magic number in KV5 header\nAlthough this file has a .KV5 extension, the data in it seems to be "
            "something different\n");
  EXPECT_EQ(outcome(read(wrong, "a.png", false)), "0 Invalid magic number in KV5 header\n");
  EXPECT_TRUE(gTitles.empty());  // not a native document: nothing shown

  doc.version = 5;
  EXPECT_EQ(outcome(read(writeV4(doc), "a.kv5", false)), "0 Unsupported KV5 version (newer than version 4)\n");
  EXPECT_TRUE(options.documentFlags & kDocError);
  EXPECT_EQ(gTitles, std::vector<std::u16string>{u"KV5 Decoder Error"});

  gTitles.clear();
  doc.version = 4, doc.revision = 12;
  EXPECT_EQ(read(writeV4(doc), "a.kv5", false), 1);
  EXPECT_EQ(gTitles, std::vector<std::u16string>{u"Version Warning"});
  EXPECT_TRUE(read(writeV4(doc)) == 1 && gTitles.size() == 1u);  // none when quiet
  EXPECT_EQ(std::u16string(options.formatDescription), u"KV5 v4 rev 12");
}

TEST_F(ReaderTest, kv5LayerLimitAndDocumentSize) {
  Doc doc;
  doc.items.assign(1025, solid(1, 1, 7));
  doc.items[3] = solid(9, 4, 7);
  ASSERT_EQ(read(writeV4(doc)), 1024);
  EXPECT_EQ(document(), (std::vector<int64_t>{rx_DocComposite, 0, 1025, 1, 1}));  // the first record's size
  EXPECT_TRUE((options.documentFlags & kDocTooManyLayers) && options.warnings[kWarnLayersDropped] == 1);

  doc.items.resize(5);
  doc.type = 3;  // image list: the largest
  ASSERT_EQ(read(writeV4(doc)), 5);
  EXPECT_EQ(document(), (std::vector<int64_t>{rx_DocImageList, 0, 5, 9, 4}));
  EXPECT_FALSE(options.documentFlags & kDocTooManyLayers);
}

TEST_F(ReaderTest, kv5PreProcessing) {
  Doc doc;
  Item base;
  base.width = 2, base.channels = 4, base.pixels = planar({0xF0F0F0F0u, 0x01020304u}, 4);
  Item diff = base;
  diff.pre = 2, diff.distance = 0, diff.pixels = planar({0x20202020u, 0x10101010u}, 4);
  Item copy = base;
  copy.pre = 1, copy.distance = 1, copy.pixels = planar({0, 0}, 4);   // copies entry 0
  Item negative = copy;
  negative.distance = 5;                                             // index below 0: left alone
  Item mismatch = copy;
  mismatch.width = 1, mismatch.distance = 0, mismatch.pixels = planar({0x55}, 4);
  Item unknown = copy;
  unknown.pre = 3;
  doc.items = {base, diff, copy, negative, mismatch, unknown};
  ASSERT_EQ(read(writeV4(doc)), 6);
  // 0xF0 + 0x20 wraps; entry 2 copies entry 0, entry 3 is left alone.
  EXPECT_EQ(std::vector<uint32_t>({pixel(1, 0, 0), pixel(1, 1, 0), pixel(2, 0, 0), pixel(3, 1, 0), pixel(4, 0, 0)}),
            std::vector<uint32_t>({0x10101010u, 0x11121314u, 0xF0F0F0F0u, 0u, 0x55u}));
  EXPECT_EQ(message(), "Unknown Pre-processing Codec\n");
  EXPECT_TRUE((options.documentFlags & kDocLayerError) && options.warnings[kWarnDataNotTransferred] == 1);
}

TEST_F(ReaderTest, kv5ThumbnailMode) {
  Item thumb = solid(4, 3, 0xABCDEF);
  thumb.kind = Item::thumbnail;
  Doc doc;
  doc.items = {thumb, thumb, solid(8, 6, 1), solid(8, 6, 2)};
  ASSERT_EQ(read(writeV4(doc)), 2);  // outside thumbnail mode: the layers
  EXPECT_EQ(table[0].surface.width, 8u);
  preview = 1;
  ASSERT_EQ(read(writeV4(doc)), 2);
  EXPECT_EQ(std::u16string(table[0].name), u"Thumbnail");
  EXPECT_EQ(std::tuple(table[1].surface.width, table[0].flags, pixel(0, 3, 2), options.warnings[kWarnThumbnailOnly]),
            std::tuple(4u, rx_LayerPreview, 0xABCDEFu, 1));
  EXPECT_EQ(options.layerCount, 2u);  // the layer records are still counted

  doc.items = {solid(8, 6, 1), thumb};  // a layer first: the layers
  ASSERT_EQ(read(writeV4(doc)), 1);
  EXPECT_TRUE(table[0].surface.width == 8u && !(options.documentFlags & kDocThumbnailLoaded));

  doc.items = {thumb, solid(8, 6, 1)};
  doc.type = 2;  // animations want a thumbnail count as well
  for (uint32_t count : {0u, 1u}) {
    thumbnails = count;
    EXPECT_TRUE(read(writeV4(doc)) == 1 && table[0].surface.width == (count ? 4u : 8u)) << count;
  }
}

TEST_F(ReaderTest, kv5FailedLayersLeaveTheOthers) {
  Doc doc;
  doc.items = {solid(70000, 70000, 1), solid(2, 2, 0x123456)};
  ASSERT_EQ(outcome(read(writeV4(doc), "a.kv5", false)), "1 Error creating target bitmap (70000x70000) for layer #1\n");
  EXPECT_EQ(pixel(0, 1, 1), 0x123456u);
  EXPECT_EQ(gTitles, std::vector<std::u16string>{u"KV5 Decoder Error"});

  // A record whose stream cannot fit in the rest of the file gets no buffer.
  doc.items = {solid(2, 2, 0), solid(2, 2, 9)};
  Bytes bytes = writeV4(doc);
  bytes[32 + 8 + 32] = 0xFF, bytes[32 + 8 + 35] = 0x7F;  // pixel length of the first record
  ASSERT_EQ(outcome(read(bytes)), "2 Datastream ended prematurely\n");
  EXPECT_EQ(pixel(1, 0, 0), 9u);
}

TEST_F(ReaderTest, kv5PixelBufferRetry) {
  // One failed allocation is retried, two are reported.
  Doc doc;
  doc.items = {solid(2, 2, 5)};
  Bytes bytes = writeV4(doc);
  read(bytes);  // the thread's engine state exists from here on
  for (int failures : {1, 2}) {
    os_InjectFaults(os_FaultKind::allocation, 2, failures);  // the surface takes the first
    EXPECT_EQ(outcome(read(bytes)), failures == 1 ? "1 " : "1 Out of memory for pixel data buffer\n");
    os_InjectFault(os_FaultKind::allocation, 0);
    EXPECT_EQ(options.outOfMemory, failures == 2);
    EXPECT_EQ(pixel(0, 1, 1), failures == 1 ? 5u : 0u);
  }
}

// Every prefix of a document and every byte of its header and first record flipped: no crash, no leak, at most the
// layers it has, and texts that end where they should.
class DamageTest : public ReaderTest, public ::testing::WithParamInterface<int> {};

TEST_P(DamageTest, kv5DamagedFilesNeverCrash) {
  Item layer;
  layer.width = 5, layer.height = 3, layer.pixels = planar(std::vector<uint32_t>(15, 0x80402010u), 4);
  layer.properties = {'M', 'A', 'R', 'K', 'a', '=', '1', ';', 0};
  layer.compress = true;
  Item second = layer;
  second.pre = 2;
  Doc doc;
  doc.items = {layer, second, solid(2, 2, 3)};
  Flat flat;
  flat.version = GetParam(), flat.width = 17, flat.height = 2;
  flat.data = {0x08};  // one planar tile of one channel, then a repeat
  flat.data.resize(257, 0x40), flat.data.push_back(0x10);
  const Bytes good = GetParam() == 4 ? writeV4(doc) : GetParam() == 3 ? writeV3(doc) : writeFlat(flat);
  ASSERT_GE(read(good), 1) << message();
  size_t headerAndRecord = GetParam() == 4 ? 32 + 8 + 128 : GetParam() == 3 ? 16 + 96 : 52;
  std::vector<Bytes> damaged;
  for (size_t cut = 0; cut < good.size(); ++cut) damaged.emplace_back(good.begin(), good.begin() + cut);
  for (size_t at = 0; at < headerAndRecord; ++at) {
    damaged.push_back(good);
    damaged.back()[at] ^= at < 16 ? 0xFF : 0x81;
  }
  for (const Bytes &bytes : damaged) {
    int32_t count = read(bytes, "damaged.kv5");
    ASSERT_GE(count, 0);
    ASSERT_LE(count, GetParam() >= 3 ? 3 : 1);
    std::string text = message();
    ASSERT_LT(text.size(), 480u);
    ASSERT_TRUE(text.empty() || text.back() == '\n' || text == "The file is password-protected") << text;
  }
}

INSTANTIATE_TEST_SUITE_P(EveryVersion, DamageTest, ::testing::Values(4, 3, 2, 1, 0));
