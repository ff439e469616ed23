// The description text of native documents and its number texts.
#include <clocale>
#include <filesystem>

#include "kv5/kv5_describe.h"
#include "kv5_read_test_util.h"
#include "vgm/vgm_common.h"

using namespace kv5doc;

namespace {

template <auto format>
std::string number(uint64_t n) {
  char16_t text[fmt_TextCapacity];
  format(n, text);
  return vgmtest::u8(text);
}
const auto pixels = number<fmt_PixelCount>, bytes = number<fmt_FileSize>;

Item layer(uint32_t w, uint32_t h) {
  Item item;
  item.width = w, item.height = h, item.format = 4, item.pixels = {1, 2, 3, 4};
  return item;
}

}  // namespace

TEST(kv5Describe, NumberTextsAtEachBoundary) {
  const std::pair<uint64_t, const char *> counts[] = {
      {0, "0 px"},          {1000, "1000 px"},       {1001, "1.001 kP"},      {333000, "333 kP"},
      {333001, "0.333 MP"}, {1000000, "1 MP"},       {1000001, "1 MP"},       {1234567, "1.235 MP"},
      {999999999, "1000 MP"}, {1000000000, "1 GP"}, {12345678901, "12.35 GP"}};
  for (auto [n, text] : counts) EXPECT_EQ(pixels(n), text) << n;
  const std::pair<uint64_t, const char *> sizes[] = {
      {0, "0 bytes"},          {1023, "1023 bytes"},    {1024, "1 KB"},    {1048575, "1024 KB"},
      {1048576, "1 MB"},       {1572864, "1.5 MB"},     {1073741823, "1024 MB"}, {1073741824, "1 GB"},
      {5368709120, "5 GB"}};
  for (auto [n, text] : sizes) EXPECT_EQ(bytes(n), text) << n;

  // A decimal comma in the process locale changes nothing.
  const char *old = std::setlocale(LC_ALL, nullptr);
  std::string saved = old != nullptr ? old : "C";
#ifdef _WIN32
  const char *german = "German_Germany.1252";  // the C runtime's name for it
#else
  const char *german = "de_DE.UTF-8";
#endif
  ASSERT_NE(std::setlocale(LC_ALL, german), nullptr) << "the " << german << " locale is missing";
  EXPECT_EQ(bytes(1572864) + pixels(1234567), "1.5 MB1.235 MP");
  std::setlocale(LC_ALL, saved.c_str());
}

TEST_F(ReaderTest, kv5DescribeLayered) {
  Doc doc;
  doc.items = {layer(3, 2)};
  Bytes one = writeV4(doc);
  EXPECT_EQ(describe(one), "Orvine Photo Document (Flat Image)\nVersion: 4 rev 11\n\n3 \u00D7 2 (Base Layer)\n1 "
                           "Layers\nTotal Pixel Count: 6 px\n\nFile Size: " + std::to_string(one.size()) + " bytes");
  doc.items = {layer(0, 5), layer(3, 2), layer(10, 10)};  // the first record with a size is the base
  std::string three = describe(writeV4(doc));
  EXPECT_NE(three.find("(Composite)"), std::string::npos);
  EXPECT_NE(three.find("3 \u00D7 2 (Base Layer)\n3 Layers\nTotal Pixel Count: 106 px"), std::string::npos) << three;
  doc.stated = 7, doc.type = 4;
  EXPECT_NE(describe(writeV4(doc)).find("(Object Animation)\nVersion: 4 rev 11\n\n3 \u00D7 2 (Base Layer)\n7 Layers"),
            std::string::npos);
  doc.type = 0;
  EXPECT_NE(describe(writeV4(doc)).find("(Unknown)"), std::string::npos);
  doc.version = 5;
  EXPECT_EQ(describe(writeV4(doc)), "(none)");
}

TEST_F(ReaderTest, kv5DescribeOlderVersions) {
  Doc v3;
  v3.revision = 10, v3.type = 2, v3.items = {layer(640, 480), layer(2, 2)};
  EXPECT_NE(describe(writeV3(v3)).find("(Frame Animation)\nVersion: 3 rev 10\n\n640 \u00D7 480 (Base Layer)\n2 "
                                       "Layers\nTotal Pixel Count: 307.2 kP"),
            std::string::npos);

  Flat flat;
  flat.width = 2000, flat.height = 1000, flat.data = {0};
  Bytes v2 = writeFlat(flat);
  EXPECT_EQ(describe(v2), "Orvine Photo Document (Flat Image) \nVersion: 2 rev 0 \n\n2000 \u00D7 1000 \nTotal Pixel "
                          "Count: 2 MP \n\nFile Size: 53 bytes ");
  flat.chain[15] = 255;
  EXPECT_NE(describe(writeFlat(flat)).find("(Flat Image, Encrypted) \nVersion: 2 rev 0"), std::string::npos);
  flat.version = 0, flat.revision = 3;
  EXPECT_NE(describe(writeFlat(flat)).find("(Flat Image, Encrypted) \nVersion: 0 rev 3"), std::string::npos);

  EXPECT_TRUE(describe(hex("89 50 4E 47 0D 0A 1A 0A 00 00 00 0D")) == "(none)" && described[0] == u'#');  // untouched
  EXPECT_EQ(kv5_DescribeFile(temp.file16("missing").c_str(), described), 0);
}

TEST_F(ReaderTest, kv5DescribeSeeksOverPixelData) {
  // A 50 MB document: header, one record, one chunk of 50 MB.
  Doc doc;
  doc.items = {layer(4000, 3000)};
  Item big;
  big.kind = Item::chunk, big.tag = 0x40;
  doc.items.push_back(big);
  doc.end = false;
  Bytes head = writeV4(doc);
  set32(head.data() + head.size() - 4, 50u << 20);
  std::u16string path = save(head);
  std::filesystem::resize_file(temp.file("doc.kv5"), head.size() + (50u << 20));
  char16_t text[kv5_DescriptionCapacity];
  uint64_t before = os_FileBytesReadTotal();
  ASSERT_EQ(kv5_DescribeFile(path.c_str(), text), 1);
  EXPECT_LT(os_FileBytesReadTotal() - before, 4096u);
  EXPECT_NE(vgmtest::u8(text).find("Total Pixel Count: 12 MP\n\nFile Size: 50 MB"), std::string::npos);
}

TEST_F(ReaderTest, kv5ImageInfoExport) {
  WCHAR text[64];
  // WCHAR is wchar_t on Windows, char16_t elsewhere: both 16-bit units.
  auto W = [](const std::u16string &path) { return reinterpret_cast<const WCHAR *>(path.c_str()); };
  auto info = [&](const std::u16string &path, int32_t capacity) {
    return cmio_ImageInfo(W(path), text, capacity) == 1 ? std::u16string(reinterpret_cast<const char16_t *>(text))
                                                        : u"<failed>";
  };
  std::u16string png = save(hex("89 50 4E 47"), "a.png");
  EXPECT_EQ(info(png, 64), u"No information");
  EXPECT_EQ(info(png, 5), u"No i");
  text[0] = u'#', text[1] = 0;
  EXPECT_EQ(info(png, 0), u"#");  // nothing written
  EXPECT_EQ(cmio_ImageInfo(W(png), nullptr, 64), 1);
  Doc doc;
  doc.items = {layer(3, 2)};
  EXPECT_EQ(info(save(writeV4(doc)), 40), u"Orvine Photo Document (Flat Image)\nVers");
}
