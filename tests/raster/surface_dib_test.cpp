// Packed DIBs in every supported layout, built here byte by byte.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "raster_test_support.h"

using rxtest::EngineTest;
using rxtest::pixelAt;

namespace {

struct Dib {
  std::vector<uint8_t> bytes;
  void u16(uint32_t v) { bytes.insert(bytes.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}); }
  void u32(uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); }
  // Information header (40 bytes, padded with zeros up to `size`).
  Dib &infoHeader(uint32_t size, int32_t width, int32_t height, uint16_t bits, uint32_t compression,
                   uint32_t used = 0, const uint32_t *masks = nullptr) {
    size_t start = bytes.size();
    for (uint32_t v : {size, static_cast<uint32_t>(width), static_cast<uint32_t>(height)}) u32(v);
    u16(1), u16(bits);
    for (uint32_t v : {compression, 0u, 3780u, 3780u, used, 0u}) u32(v);
    if (masks != nullptr && size >= 52)
      for (int i = 0; i < 3; ++i) u32(masks[i]);
    while (bytes.size() < start + size) bytes.push_back(0);
    return *this;
  }
  Dib &coreHeader(uint16_t width, uint16_t height, uint16_t bits) {
    u32(12);
    for (uint16_t v : {width, height, uint16_t{1}, bits}) u16(v);
    return *this;
  }
  void quads(std::initializer_list<uint32_t> colours) { for (uint32_t rgb : colours) u32(rgb & 0xFFFFFF); }
  void triple(uint32_t rgb) { for (int shift : {0, 8, 16}) bytes.push_back(static_cast<uint8_t>(rgb >> shift)); }
  // One row of raw bytes, padded to four.
  void row(std::vector<uint8_t> data) {
    while (data.size() % 4) data.push_back(0);
    bytes.insert(bytes.end(), data.begin(), data.end());
  }
};

class PackedDibTest : public EngineTest {
 protected:
  // Loads the DIB and returns its pixels top-down; empty on failure.
  std::vector<uint32_t> load(const Dib &dib, size_t size, uint32_t *width = nullptr) {
    rx_Surface s{};
    if (rx_SurfaceFromDib(&s, dib.bytes.data(), size, 0) != 1) return {};
    EXPECT_EQ(s.kind, rx_KindDib);
    std::vector<uint32_t> pixels = rxtest::pixelsOf(&s);
    if (width != nullptr) *width = s.width;
    rx_SurfaceFree(&s);
    return pixels;
  }
};

constexpr uint32_t kRed = 0xFF0000, kBlue = 0x0000FF, kGreen = 0x00FF00, kGrey = 0x808080;

}  // namespace

using Pixels = std::vector<uint32_t>;

TEST_F(PackedDibTest, PaletteImagesOfOneFourAndEightBits) {
  Dib one = Dib{}.infoHeader(40, 10, 2, 1, 0);  // 1 bit: rows cross byte boundaries; rows stored bottom-up
  one.quads({kRed, kBlue});
  one.row({0x80, 0x40});  // bottom row: pixels 0 and 9 set
  one.row({0x55, 0x00});  // top row: odd pixels set
  uint32_t width = 0;
  EXPECT_EQ(load(one, one.bytes.size(), &width), (Pixels{kRed, kBlue, kRed, kBlue, kRed, kBlue, kRed, kBlue, kRed, kRed,  // top
                       kBlue, kRed, kRed, kRed, kRed, kRed, kRed, kRed, kRed, kBlue}));
  EXPECT_EQ(width, 10u);

  Dib four = Dib{}.infoHeader(40, 3, -2, 4, 0);  // top-down
  for (uint32_t i = 0; i < 16; ++i) four.quads({i * 0x111111});
  four.row({0x12, 0x30});
  four.row({0xFE, 0xD0});
  EXPECT_EQ(load(four, four.bytes.size()), (Pixels{0x111111, 0x222222, 0x333333, 0xFFFFFF, 0xEEEEEE, 0xDDDDDD}));

  // Three colours used: the table is three entries long, pixels follow it;
  // an index past the table draws black.
  Dib eight = Dib{}.infoHeader(40, 4, 1, 8, 0, 3);
  eight.quads({kRed, kGreen, kGrey});
  eight.row({2, 1, 0, 7});
  EXPECT_EQ(load(eight, eight.bytes.size()), (Pixels{kGrey, kGreen, kRed, 0}));

  Dib core = Dib{}.coreHeader(2, 1, 8);  // core header: a table of triples
  for (uint32_t i = 0; i < 256; ++i) core.triple(i == 5 ? kBlue : i == 9 ? kGreen : 0);
  core.row({9, 5});
  EXPECT_EQ(load(core, core.bytes.size()), (Pixels{kGreen, kBlue}));
}

TEST_F(PackedDibTest, DirectColourOfSixteenTwentyFourAndThirtyTwoBits) {
  Dib plain = Dib{}.infoHeader(40, 3, 1, 16, 0);  // 5-5-5 without masks
  plain.row({0x00, 0x7C, 0xE0, 0x03, 0x10, 0x00});
  EXPECT_EQ(load(plain, plain.bytes.size()), (Pixels{0xFF0000, 0x00FF00, (16u * 255 + 15) / 31}));

  Dib fields = Dib{}.infoHeader(40, 2, 1, 16, 3);
  for (uint32_t m : {0xF800, 0x07E0, 0x001F}) fields.u32(m);
  fields.row({0x00, 0xF8, 0x20, 0x00});  // full red; green 1 of 63
  EXPECT_EQ(load(fields, fields.bytes.size()), (Pixels{0xFF0000, ((1u * 255 + 31) / 63) << 8}));

  Dib rgb = Dib{}.infoHeader(40, 3, 2, 24, 0);
  rgb.row({1, 2, 3, 4, 5, 6, 7, 8, 9});           // bottom
  rgb.row({10, 11, 12, 13, 14, 15, 16, 17, 18});  // top
  const Pixels rgbPixels = {0x0C0B0A, 0x0F0E0D, 0x121110, 0x030201, 0x060504, 0x090807};
  EXPECT_EQ(load(rgb, rgb.bytes.size()), rgbPixels);
  Dib mirrored = rgb;  // a negative width is taken by its absolute value
  mirrored.bytes[4] = 0xFD, mirrored.bytes[5] = mirrored.bytes[6] = mirrored.bytes[7] = 0xFF;
  EXPECT_EQ(load(mirrored, mirrored.bytes.size()), rgbPixels);

  Dib raw = Dib{}.infoHeader(40, 2, -1, 32, 0);
  raw.row({1, 2, 3, 0x80, 4, 5, 6, 0xFF});
  EXPECT_EQ(load(raw, raw.bytes.size()), (Pixels{0x80030201, 0xFF060504}));  // the fourth byte comes along

  // Version-5 header with its masks inside: red and blue exchanged here.
  const uint32_t swapped[3] = {0x000000FF, 0x0000FF00, 0x00FF0000};
  Dib v5 = Dib{}.infoHeader(124, 1, 1, 32, 3, 0, swapped);
  v5.row({0x11, 0x22, 0x33, 0x44});
  EXPECT_EQ(load(v5, v5.bytes.size()), (Pixels{0x00112233}));

  Dib core24 = Dib{}.coreHeader(1, 1, 24);
  core24.row({7, 8, 9});
  EXPECT_EQ(load(core24, 0), (Pixels{0x090807}));  // size unknown: the memory itself is checked
}

TEST_F(PackedDibTest, SizesThatLieAndUnsupportedLayoutsAreRefused) {
  Dib dib = Dib{}.infoHeader(40, 4, 4, 24, 0);
  for (int i = 0; i < 4; ++i) dib.row(std::vector<uint8_t>(12, 0x40));
  Dib tall = dib, rle, odd;
  tall.bytes[8] = 40;  // the header claims more rows than there are
  rle.infoHeader(40, 2, 2, 8, 1);
  rle.bytes.resize(rle.bytes.size() + 1024 + 16);
  odd.infoHeader(40, 2, 2, 12, 0);
  odd.bytes.resize(odd.bytes.size() + 64);
  // Smaller than the header, one byte short, too tall, compressed, an unsupported depth, no memory.
  rx_Surface s{};
  for (auto [bytes, size] : {std::pair<const uint8_t *, size_t>{dib.bytes.data(), 30},
                             {dib.bytes.data(), dib.bytes.size() - 1}, {tall.bytes.data(), tall.bytes.size()},
                             {rle.bytes.data(), rle.bytes.size()}, {odd.bytes.data(), odd.bytes.size()}, {nullptr, 100}}) {
    EXPECT_EQ(rxtest::withError(rx_SurfaceFromDib(&s, bytes, size, 0)), (std::pair<int64_t, int32_t>(0, rx_ErrArgument)))
        << size;
    EXPECT_EQ(s.signature, 0);
  }
  EXPECT_EQ(rx_SurfaceFromDib(&s, dib.bytes.data(), dib.bytes.size(), 0), 1);
  rx_SurfaceFree(&s);
}
