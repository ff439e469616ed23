// flt_PNG through the recording host, against libpng's simplified API.
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <filesystem>
#include <random>

#include "codecs/codec_checks.h"

namespace {

using vgmtest::RecordingHost;

// The file's chunks in order: type and data.
std::vector<std::pair<std::string, std::string>> chunks(const std::string &png) {
  std::vector<std::pair<std::string, std::string>> out;
  for (size_t at = 8; at + 12 <= png.size();) {
    uint32_t n = uint32_t(uint8_t(png[at])) << 24 | uint8_t(png[at + 1]) << 16 | uint8_t(png[at + 2]) << 8 | uint8_t(png[at + 3]);
    if (at + 12 + n > png.size()) break;
    out.emplace_back(png.substr(at + 4, 4), png.substr(at + 8, n));
    at += 12 + n;
  }
  return out;
}
std::string chunk(const std::string &png, const std::string &type) {
  for (auto &[t, data] : chunks(png))
    if (t == type) return data;
  return "";
}
std::string inflate(const std::string &z) {
  std::string out(1 << 20, '\0');
  uLongf size = out.size();
  EXPECT_EQ(uncompress(reinterpret_cast<Bytef *>(out.data()), &size, reinterpret_cast<const Bytef *>(z.data()), z.size()), Z_OK);
  return out.substr(0, size);
}

// libpng's own decode as B G R T, with the colour chunks cut out: the
// plug-in leaves gamma alone and treats 16-bit samples as sRGB.
std::vector<uint32_t> reference(const std::string &file) {
  std::string png = file.substr(0, 8);
  for (size_t at = 8; at + 12 <= file.size();) {
    uint32_t n = uint32_t(uint8_t(file[at])) << 24 | uint8_t(file[at + 1]) << 16 | uint8_t(file[at + 2]) << 8 | uint8_t(file[at + 3]);
    std::string type = file.substr(at + 4, 4);
    if (type != "gAMA" && type != "cHRM" && type != "iCCP" && type != "sRGB") png += file.substr(at, 12 + n);
    at += 12 + n;
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  EXPECT_TRUE(png_image_begin_read_from_memory(&image, png.data(), png.size()));
  image.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
  image.format = PNG_FORMAT_BGRA;
  std::vector<uint32_t> pixels(size_t(image.width) * image.height);
  EXPECT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
  for (uint32_t &p : pixels) p ^= 0xFF000000u;
  return pixels;
}

const char *kGood[] = {"basi0g08", "basi2c08", "basi3p08", "basi6a08", "basn0g01", "basn0g02", "basn0g04",
                       "basn0g08", "basn0g16", "basn2c08", "basn2c16", "basn3p01", "basn3p02", "basn3p04",
                       "basn3p08", "basn4a08", "basn4a16", "basn6a08", "basn6a16", "ccwn2c08", "ct1n0g04",
                       "exif2c08", "g04n2c08", "s01i3p01", "tbbn3p08", "tbrn2c08", "z09n2c08"};

TEST(PngPlugin, EveryTypeDepthAndInterlaceMatchesLibpng) {
  RecordingHost host("PNG");
  ASSERT_TRUE(host.plugin().loaded()) << host.plugin().error();
  for (const char *name : kGood) {
    SCOPED_TRACE(name);
    std::string path = vgmtest::dataFile(std::string("png/") + name + ".png");
    ASSERT_EQ(host.load(path), FLT_OK);
    ASSERT_EQ(host.layers.size(), 1u);
    uint32_t side = std::string(name) == "s01i3p01" ? 1 : 32;
    EXPECT_EQ(host.layers[0].width, side);
    EXPECT_EQ(host.layers[0].height, side);
    EXPECT_EQ(host.request.warnings, 0);
    vgmtest::expectPixels(host.layers[0], reference(vgmtest::readFile(path)), strstr(name, "16") ? 1 : 0);
    vgmtest::expectSteadyProgress(host);
  }
}

TEST(PngPlugin, DamagedFilesFailCleanly) {
  RecordingHost host("PNG");
  std::vector<std::string> files = {"png/xc1n0g08.png", "png/xcrn0g04.png", "png/xcsn0g01.png", "png/xdtn0g01.png",
                                    "png/xhdn0g08.png", "png/xs1n0g01.png", "png/small-png-truncated.png"};
  for (const std::string &f : files) {
    SCOPED_TRACE(f);
    vgmtest::expectErrorOrDamaged(host, vgmtest::dataFile(f));
  }
  vgmtest::expectCutsFailCleanly(host, vgmtest::readFile(vgmtest::dataFile("png/basi6a08.png")), ".png");
  vgmtest::expectCutsFailCleanly(host, vgmtest::readFile(vgmtest::dataFile("png/paris_icc_exif_xmp.png")), ".png");

  // 100 bytes that claim 65535 x 65535 pixels: refused before any surface.
  std::string ihdr("IHDR\0\0\xFF\xFF\0\0\xFF\xFF\x01\0\0\0\0", 17);
  uint32_t crc = crc32(0, reinterpret_cast<const Bytef *>(ihdr.data()), ihdr.size());
  std::string bomb = std::string("\x89PNG\r\n\x1A\n\0\0\0\x0D", 12) + ihdr;
  for (int shift : {24, 16, 8, 0}) bomb += char(crc >> shift);
  bomb.resize(100, '\0');
  vgmtest::TempFolder folder;
  vgmtest::writeFile(folder.file("bomb.png"), bomb);
  EXPECT_EQ(host.load(folder.file("bomb.png")), FLT_ERR_DIMENSIONS);
  EXPECT_TRUE(host.layers.empty());

  // Other family members are known, not read.
  vgmtest::writeFile(folder.file("a.mng"), std::string("\x8AMNG\r\n\x1A\n", 8) + std::string(40, '\0'));
  EXPECT_EQ(host.loadScore(".mng", vgmtest::readFile(folder.file("a.mng"))), 2100);
  EXPECT_EQ(host.load(folder.file("a.mng")), FLT_ERR_NOT_IMPLEMENTED);
  EXPECT_EQ(host.load(folder.file("missing.png")), FLT_ERR_OPEN_READ);
}

TEST(PngPlugin, MetadataReachesTheHostServices) {
  RecordingHost host("PNG");
  // eXIf: the bare TIFF block as stored.
  std::string file = vgmtest::readFile(vgmtest::dataFile("png/exif2c08.png"));
  ASSERT_EQ(host.load(vgmtest::dataFile("png/exif2c08.png")), FLT_OK);
  ASSERT_EQ(host.callsNamed("MarkupFromEXIF").size(), 1u);
  EXPECT_EQ(host.callsNamed("MarkupFromEXIF")[0]->data, chunk(file, "eXIf"));
  EXPECT_NE(host.markup().find("rec.exif="), std::string::npos);
  EXPECT_EQ(host.markupsOpen, 0);

  // iTXt XMP: the packet after keyword, flags, language and translated keyword.
  file = vgmtest::readFile(vgmtest::dataFile("png/exiftool-PNG.png"));
  ASSERT_EQ(host.load(vgmtest::dataFile("png/exiftool-PNG.png")), FLT_OK);
  std::string itxt = chunk(file, "iTXt");
  size_t text = itxt.find('\0', itxt.find('\0', itxt.find('\0') + 3) + 1) + 1;
  ASSERT_EQ(host.callsNamed("MarkupFromXMP").size(), 1u);
  EXPECT_EQ(host.callsNamed("MarkupFromXMP")[0]->data, itxt.substr(text));

  // iCCP to the colour service; zTXt raw profiles decoded from hex.
  file = vgmtest::readFile(vgmtest::dataFile("png/paris_icc_exif_xmp.png"));
  ASSERT_EQ(host.load(vgmtest::dataFile("png/paris_icc_exif_xmp.png")), FLT_OK);
  std::string iccp = chunk(file, "iCCP");
  ASSERT_EQ(host.callsNamed("CreateTransform").size(), 1u);
  EXPECT_EQ(host.callsNamed("CreateTransform")[0]->data, inflate(iccp.substr(iccp.find('\0') + 2)));
  EXPECT_EQ(host.callsNamed("TransformPixels").size(), 302u);
  EXPECT_EQ(host.transformsOpen, 0);
  for (auto &[type, data] : chunks(file)) {
    if (type != "zTXt") continue;
    std::string keyword = data.substr(0, data.find('\0'));
    std::string profile = inflate(data.substr(keyword.size() + 2)), bytes;
    size_t at = profile.find('\n', 1) + 1, length = std::stoul(profile.substr(at));
    std::string hex;
    for (char ch : profile.substr(profile.find('\n', at)))
      if (isxdigit(ch)) hex += ch;
    for (size_t i = 0; i < length; ++i) bytes += char(std::stoi(hex.substr(i * 2, 2), nullptr, 16));
    const char *call = keyword == "Raw profile type exif" ? "MarkupFromEXIF" : "MarkupFromXMP";
    ASSERT_EQ(host.callsNamed(call).size(), 1u) << keyword;
    EXPECT_EQ(host.callsNamed(call)[0]->data, bytes) << keyword;
  }

  // Without markup: no conversion, yet the orientation from IFD0.
  host.flags = FLT_FLAG_NO_MARKUP;
  ASSERT_EQ(host.load(vgmtest::dataFile("png/paris_icc_exif_xmp.png")), FLT_OK);
  EXPECT_TRUE(host.callsNamed("MarkupFromEXIF").empty() && host.callsNamed("MarkupFromXMP").empty());
  EXPECT_EQ(host.markup(), "exif.orientation=1;\r\n");
  // Without any service table the pixels still come.
  host.flags = 0, host.tables = false;
  ASSERT_EQ(host.load(vgmtest::dataFile("png/paris_icc_exif_xmp.png")), FLT_OK);
  EXPECT_TRUE(host.calls.empty());
  EXPECT_EQ(host.layers[0].width, 403u);
}

TEST(PngPlugin, ProbesProgressAndRefusals) {
  RecordingHost host("PNG");
  std::string head = vgmtest::readFile(vgmtest::dataFile("png/basn2c08.png"));
  EXPECT_EQ(host.loadScore(".png", head), 2250);
  EXPECT_EQ(host.loadScore("", head), 2200);
  EXPECT_EQ(host.loadScore(".png", "abcdefgh"), 0);
  EXPECT_EQ(host.saveScore(".png"), 200);
  for (const char *other : {".apng", ".jpg", ".***", ".sys"}) EXPECT_EQ(host.saveScore(other), 0) << other;

  host.cancelAtProgress = 3;
  EXPECT_EQ(host.load(vgmtest::dataFile("png/basi2c08.png")), FLT_ERR_CANCELLED);
  EXPECT_EQ(host.progress.size(), 4u);
  host.cancelAtProgress = -1, host.refuseLayer = 0, host.refuseStatus = FLT_ERR_OUT_OF_MEMORY;
  EXPECT_EQ(host.load(vgmtest::dataFile("png/basi2c08.png")), FLT_ERR_OUT_OF_MEMORY);
}

TEST(PngPlugin, SaveRoundTripsPixelsResolutionAndExif) {
  vgmtest::TempFolder folder;
  RecordingHost host("PNG");
  std::mt19937 random(7);
  std::vector<uint32_t> pixels(37 * 23);
  for (uint32_t &p : pixels) p = random();
  for (bool alpha : {true, false}) {
    SCOPED_TRACE(alpha);
    if (!alpha)
      for (uint32_t &p : pixels) p &= 0x00FFFFFF;
    host.layers = {vgmtest::RecordedLayer::make(37, 23, pixels)};
    host.layers[0].metadata[FLT_TAG_MARK] = "exif.make=X;\r\nexif.resolution.x=300;\r\nexif.resolution.y=150;\r\n";
    host.exifForSave = std::string("Exif\0\0MM\0*\0\0\0\x08\0\0", 16);
    host.options = u"png.compression = 9";
    ASSERT_EQ(host.save(folder.file("a.png")), FLT_OK);
    ASSERT_EQ(host.callsNamed("MarkupToEXIF").size(), 1u);
    EXPECT_EQ(host.callsNamed("MarkupToEXIF")[0]->data, host.layers[0].metadata[FLT_TAG_MARK]);
    std::string file = vgmtest::readFile(folder.file("a.png"));
    EXPECT_EQ(file[25], alpha ? 6 : 2);  // IHDR colour type
    EXPECT_EQ(chunk(file, "eXIf"), host.exifForSave.substr(6));
    EXPECT_EQ(chunk(file, "pHYs"), std::string("\0\0\x2E\x23\0\0\x17\x12\x01", 9));  // 11811 and 5906 per metre
    vgmtest::expectPixels(vgmtest::loadOnly(host, folder.file("a.png")), pixels, 0);
    EXPECT_NE(host.markup().find("exif.resolution.x=300;"), std::string::npos);
    EXPECT_NE(host.markup().find("exif.resolution.y=150;"), std::string::npos);
  }
  // A cancelled or failed save leaves the old file as it was, and nothing beside it.
  vgmtest::writeFile(folder.file("a.png"), "old");
  host.cancelAtProgress = 5;
  EXPECT_EQ(host.save(folder.file("a.png")), FLT_ERR_CANCELLED);
  EXPECT_EQ(vgmtest::readFile(folder.file("a.png")), "old");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), 1);
  host.cancelAtProgress = -1;
  EXPECT_EQ(host.save(folder.file("no/such/a.png")), FLT_ERR_OPEN_WRITE);
}

}  // namespace
