// flt_BMP through the recording host: real files, hand-made files whose
// pixels are worked out below, damage, and save round trips.
#include <gtest/gtest.h>
#include <png.h>

#include <random>

#include "codecs/codec_checks.h"
#include "codecs/references.h"

namespace {

using vgmtest::RecordingHost;
constexpr uint32_t T = 0xFF000000u;  // transparent black

std::string le(uint32_t v, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += char(i < 4 ? v >> (8 * i) : 0);
  return out;
}
// A file with a 40-byte header; `extra` (masks, palette) follows the header.
std::string bmp(int32_t w, int32_t h, uint16_t bpp, uint32_t compression, const std::string &extra,
                const std::string &pixels) {
  std::string info = le(40, 4) + le(w, 4) + le(h, 4) + le(1, 2) + le(bpp, 2) + le(compression, 4) + le(0, 20);
  uint32_t offset = uint32_t(14 + info.size() + extra.size());
  return "BM" + le(offset + uint32_t(pixels.size()), 4) + le(0, 4) + le(offset, 4) + info + extra + pixels;
}
std::string rgbq(uint8_t r, uint8_t g, uint8_t b) { return {char(b), char(g), char(r), 0}; }

struct Case {
  const char *what;
  std::string file;
  std::vector<uint32_t> top_down;  // expected pixels, top row first
  bool damaged;
};

TEST(BmpPlugin, RealFilesLoadToTheirSizes) {
  // Same image as PNG: libpng's pixels (the PNG's gAMA of 1.0 is a tag the
  // BMP does not carry, so it is read as sRGB too).
  RecordingHost bmpHost("BMP");
  ASSERT_TRUE(bmpHost.plugin().loaded()) << bmpHost.plugin().error;
  vgmtest::expectPixels(vgmtest::loadOnly(bmpHost, vgmtest::dataFile("bmp/pngsuite-basn6a08.bmp")),
                        vgmtest::pngReference(vgmtest::dataFile("png/basn6a08.png")).pixels, 0);
  vgmtest::expectSteadyProgress(bmpHost);
  // grid: bottom-left B 00 G 00 R FF A 80 in a 32-bit bit-field file.
  const struct {
    const char *name;
    uint32_t w, h, topLeft, bottomLeft;
  } files[] = {{"exiftool-BMP", 8, 8, 0, 0}, {"grid", 16, 16, 0x000000FFu, 0x7FFF0000u},
               {"small-bmp", 1, 1, 0x00FF0000u, 0x00FF0000u}, {"vgl_6434_0018a", 119, 96, 0, 0}};
  for (const auto &f : files) {
    SCOPED_TRACE(f.name);
    const std::string path = vgmtest::dataFile(std::string("bmp/") + f.name + ".bmp");
    vgmtest::RecordedLayer l = vgmtest::loadOnly(bmpHost, path);
    EXPECT_EQ(std::pair(l.width, l.height), std::pair(f.w, f.h));
    EXPECT_EQ(f.topLeft ? std::pair(l.at(0, 0), l.at(0, f.h - 1)) : std::pair(0u, 0u), std::pair(f.topLeft, f.bottomLeft));
    vgmtest::expectCutsFailCleanly(bmpHost, vgmtest::readFile(path), ".bmp");
  }
}

TEST(BmpPlugin, PalettesRunsAndBitFields) {
  const uint32_t a = 0x00010203, b = 0x000A141E;  // palette entries (1,2,3) and (10,20,30) as B G R
  std::string palette = rgbq(1, 2, 3) + rgbq(10, 20, 30);
  const Case cases[] = {
      // 1-bit, bottom row first: 101 then 010.
      {"1-bit", bmp(3, 2, 1, 0, palette, std::string("\xA0\0\0\0\x40\0\0\0", 8)), {a, b, a, b, a, b}, false},
      // RLE4: run 1,2,1,2; line end; absolute 3,4,5; end. The skipped pixel stays transparent.
      {"RLE4", bmp(4, 2, 4, 2, palette + rgbq(0, 0, 9) + rgbq(0, 9, 0) + rgbq(9, 0, 0) + rgbq(7, 7, 7),
                   std::string("\x04\x01\0\0\0\x03\x34\x50\0\x01", 10)),
       {0x00000900, 0x00090000, 0x00070707, T, a, b, a, b},
       false},
      // RLE8: two of 1; delta to (2,1); one of 0; end.
      {"RLE8", bmp(3, 3, 8, 1, palette, std::string("\x02\x01\0\x02\0\x01\x01\0\0\x01", 10)),
       {T, T, T, T, T, a, b, b, T},
       false},
      // RLE8 with a delta past the right edge: kept so far, flagged.
      {"RLE8 delta out", bmp(2, 1, 8, 1, palette, std::string("\x01\x01\0\x02\x05\0\0\x01", 8)), {b, T}, true},
      // 16-bit 5-5-5: white, blue, 16/31 grey (131.6 -> 132), padded row.
      {"5-5-5", bmp(3, 1, 16, 0, "", le(0x7FFF, 2) + le(0x001F, 2) + le(0x4210, 2) + le(0, 2)),
       {0x00FFFFFF, 0x000000FF, 0x00848484},
       false},
      // 5-6-5 bit fields: green; r=1 -> 8, g=1 -> 4, b=1 -> 8.
      {"5-6-5", bmp(2, 1, 16, 3, le(0xF800, 4) + le(0x07E0, 4) + le(0x001F, 4), le(0x07E0, 2) + le(0x0821, 2)),
       {0x0000FF00, 0x00080408},
       false},
      // 32-bit, top-down, alpha bytes all zero: opaque.
      {"32-bit top-down", bmp(2, -2, 32, 0, "", le(0x00102030, 4) + le(0x00405060, 4) + le(0x00708090, 4) + le(0x00A0B0C0, 4)),
       {0x00102030, 0x00405060, 0x00708090, 0x00A0B0C0},
       false},
      // 24-bit missing its last row: the rest transparent, flagged.
      {"24-bit short", bmp(1, 2, 24, 0, "", std::string("\x01\x02\x03\0", 4)), {T, 0x00030201}, true},
  };
  vgmtest::TempFolder folder;
  RecordingHost host("BMP");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    vgmtest::writeFile(folder.file("a.bmp"), c.file);
    vgmtest::expectPixels(vgmtest::loadOnly(host, folder.file("a.bmp")), c.top_down, 0);
    EXPECT_EQ(host.request.warnings, c.damaged ? FLT_WARN_DATA_NOT_TRANSFERRED : 0);
  }
  // WBMP: 10 x 2, a white row over a black one.
  vgmtest::writeFile(folder.file("a.wbmp"), std::string("\0\0\x0A\x02\xFF\xC0\0\0", 8));
  EXPECT_EQ(host.loadScore(".wbmp", std::string("\0\0\x0A\x02", 4)), 100);
  std::vector<uint32_t> wbmp(20, 0);
  std::fill_n(wbmp.begin(), 10, 0x00FFFFFFu);
  vgmtest::expectPixels(vgmtest::loadOnly(host, folder.file("a.wbmp")), wbmp, 0);
}

TEST(BmpPlugin, RefusesWhatItCannotRead) {
  RecordingHost host("BMP");
  std::string good = bmp(1, 1, 24, 0, "", std::string(4, '\0'));
  std::string os2v2 = good, jpeg = bmp(1, 1, 24, 4, "", std::string(4, '\0'));
  os2v2[14] = 64;
  std::string bomb = bmp(65535, 65535, 24, 0, "", std::string(46, '\0'));
  std::string tooBig = bmp(10000, 10000, 24, 0, "", std::string(46, '\0'));
  const std::pair<std::string, int32_t> refused[] = {{os2v2, FLT_ERR_NOT_IMPLEMENTED}, {jpeg, FLT_ERR_NOT_IMPLEMENTED},
                                                     {bomb, FLT_ERR_DIMENSIONS},          {tooBig, FLT_ERR_DIMENSIONS},
                                                     {good.substr(0, 20), FLT_ERR_UNEXPECTED_END},
                                                     {bmp(0, 1, 24, 0, "", ""), FLT_ERR_BITMAP_ZERO},
                                                     {bmp(1, 1, 7, 0, "", std::string(4, '\0')), FLT_ERR_BAD_ENCODING}};
  for (const auto &[file, code] : refused) {
    EXPECT_EQ(vgmtest::loadBytes(host, file, ".bmp"), code) << file.size();
    EXPECT_TRUE(host.layers.empty() && !host.message.empty());
  }
  // "BM" is a weak claim; traps and foreign types are refused.
  EXPECT_EQ((std::vector<int>{host.loadScore(".bmp", good), host.loadScore(".***", "abcdefgh"), host.loadScore(".wbmp", "abcdefgh"),
                              host.saveScore(".bmp"), host.saveScore(".wbmp")}),
            (std::vector<int>{1200, 0, 0, 200, 0}));
}

TEST(BmpPlugin, SavesRoundTripExactly) {
  vgmtest::TempFolder folder;
  RecordingHost host("BMP");
  std::mt19937 random(3);
  std::vector<uint32_t> pixels(13 * 7);
  for (uint32_t &p : pixels) p = random();
  for (bool alpha : {true, false}) {
    SCOPED_TRACE(alpha);
    if (!alpha)
      for (uint32_t &p : pixels) p &= 0x00FFFFFF;
    host.layers = {vgmtest::RecordedLayer::make(13, 7, pixels)};
    host.layers[0].metadata[FLT_TAG_MARK] = "exif.resolution.x=300;\r\nexif.resolution.y=72;\r\n";
    ASSERT_EQ(host.save(folder.file("a.bmp")), FLT_OK);
    std::string file = vgmtest::readFile(folder.file("a.bmp"));
    // Header size, bits per pixel, pixels per metre.
    EXPECT_EQ(file.substr(14, 4) + file.substr(28, 2) + file.substr(38, 8),
              le(alpha ? 124 : 40, 4) + le(alpha ? 32 : 24, 2) + le(11811, 4) + le(2835, 4));
    EXPECT_EQ(file.size(), alpha ? 138 + 13 * 4 * 7 : 54 + 40 * 7);
    vgmtest::expectPixels(vgmtest::loadOnly(host, folder.file("a.bmp")), pixels, 0);
  }
  host.layers.push_back(host.layers[0]);
  EXPECT_EQ(host.save(folder.file("b.bmp")), FLT_ERR_NEED_FLAT);
  host.layers.resize(1);
  vgmtest::writeFile(folder.file("a.bmp"), "old");
  host.cancelAtProgress = 1;
  EXPECT_EQ(host.save(folder.file("a.bmp")), FLT_ERR_CANCELLED);
  EXPECT_EQ(vgmtest::readFile(folder.file("a.bmp")), "old");
}

}  // namespace
