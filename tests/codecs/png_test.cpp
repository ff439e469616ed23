// flt_PNG through the recording host, against libpng's simplified API.
#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <filesystem>
#include <random>

#include "codecs/codec_checks.h"
#include "codecs/references.h"

namespace {

using vgmtest::RecordingHost;
using vgmtest::dataFile;

std::string chunk(const std::string &png, const std::string &type) {
  for (const vgmtest::PngChunk &c : vgmtest::pngChunks(png))
    if (c.type == type) return c.data;
  return "";
}
std::string inflate(const std::string &z) {
  std::string out(1 << 20, '\0');
  uLongf size = out.size();
  EXPECT_EQ(uncompress(reinterpret_cast<Bytef *>(out.data()), &size, reinterpret_cast<const Bytef *>(z.data()), z.size()), Z_OK);
  return out.substr(0, size);
}

TEST(PngPlugin, EveryTypeDepthAndInterlaceMatchesLibpng) {
  RecordingHost host("PNG");
  ASSERT_TRUE(host.plugin().loaded()) << host.plugin().error;
  for (const char *name : {"basi0g08", "basi2c08", "basi3p08", "basi6a08", "basn0g01", "basn0g02", "basn0g04",
                           "basn0g08", "basn0g16", "basn2c08", "basn2c16", "basn3p01", "basn3p02", "basn3p04",
                           "basn3p08", "basn4a08", "basn4a16", "basn6a08", "basn6a16", "ccwn2c08", "ct1n0g04",
                           "g04n2c08", "s01i3p01", "tbbn3p08", "tbrn2c08", "z09n2c08"}) {
    SCOPED_TRACE(name);
    std::string path = dataFile(std::string("png/") + name + ".png");
    vgmtest::RecordedLayer l = vgmtest::loadOnly(host, path);
    EXPECT_EQ(l.width, name[0] == 's' ? 1u : 32u);  // index.csv sizes
    EXPECT_EQ(host.request.warnings, 0);
    vgmtest::expectPixels(l, vgmtest::pngReference(path).pixels, strstr(name, "16") ? 1 : 0);
    vgmtest::expectSteadyProgress(host);
  }
}

TEST(PngPlugin, PreviewsAverageBlocksWhileDecoding) {
  // A 32 x 32 image for an 8 x 8 box: 4 x 4 blocks averaged, colour weighted by alpha; interlaced files stay full size.
  RecordingHost host("PNG");
  host.options = u"preview.max_width=8\r\npreview.max_height=6";
  for (const char *name : {"basn2c08", "basn6a08", "basi6a08"}) {
    SCOPED_TRACE(name);
    std::string path = dataFile(std::string("png/") + name + ".png");
    std::vector<uint32_t> full = vgmtest::pngReference(path).pixels;
    uint32_t f = name[3] == 'i' ? 1 : 4, side = 32 / f;
    std::vector<uint32_t> want = f == 1 ? full : vgmtest::averageBlocks(full, 32, f);
    vgmtest::RecordedLayer l = vgmtest::loadOnly(host, path);
    EXPECT_EQ(std::pair(l.width, l.height), std::pair(side, side));
    vgmtest::expectPixels(l, want, 1);
  }
}

TEST(PngPlugin, DamagedFilesFailCleanly) {
  RecordingHost host("PNG");
  for (const char *f : {"xc1n0g08", "xcrn0g04", "xcsn0g01", "xdtn0g01", "xhdn0g08", "xs1n0g01", "small-png-truncated"}) {
    SCOPED_TRACE(f);
    vgmtest::expectErrorOrDamaged(host, dataFile(std::string("png/") + f + ".png"));
  }
  for (const char *f : {"png/basi6a08.png", "png/paris_icc_exif_xmp.png"})
    vgmtest::expectCutsFailCleanly(host, vgmtest::readFile(dataFile(f)), ".png");

  // 100 bytes that claim 65535 x 65535 pixels: refused before any surface.
  std::string ihdr("IHDR\0\0\xFF\xFF\0\0\xFF\xFF\x01\0\0\0\0", 17);
  uint32_t crc = crc32(0, reinterpret_cast<const Bytef *>(ihdr.data()), ihdr.size());
  std::string bomb = std::string("\x89PNG\r\n\x1A\n\0\0\0\x0D", 12) + ihdr;
  for (int shift : {24, 16, 8, 0}) bomb += char(crc >> shift);
  bomb.resize(100, '\0');
  EXPECT_EQ(vgmtest::loadBytes(host, bomb, ".png"), FLT_ERR_DIMENSIONS);
  EXPECT_TRUE(host.layers.empty());
  // MNG is known, not read.
  const std::string mng = std::string("\x8AMNG\r\n\x1A\n", 8) + std::string(40, '\0');
  EXPECT_EQ(std::pair(host.loadScore(".mng", mng), vgmtest::loadBytes(host, mng, ".mng")), std::pair(2100, FLT_ERR_NOT_IMPLEMENTED));
}

TEST(PngPlugin, MetadataReachesTheHostServices) {
  RecordingHost host("PNG");
  auto handed = [&](const char *call, size_t index = 0) {
    auto calls = host.callsNamed(call);
    return index < calls.size() ? calls[index]->data : std::string("(none)");
  };
  // eXIf framed as an APP1 block ("Exif\0\0" first); iTXt XMP after keyword, flags, language and translated keyword.
  ASSERT_EQ(host.load(dataFile("exif/exif2c08.png")), FLT_OK);
  EXPECT_EQ(handed("MarkupFromEXIF"), std::string("Exif\0\0", 6) + chunk(vgmtest::readFile(dataFile("exif/exif2c08.png")), "eXIf"));
  EXPECT_TRUE(host.markup().find("rec.exif=") != std::string::npos && host.markupsOpen == 0);
  ASSERT_EQ(host.load(dataFile("png/exiftool-PNG.png")), FLT_OK);
  std::string itxt = chunk(vgmtest::readFile(dataFile("png/exiftool-PNG.png")), "iTXt");
  EXPECT_EQ(handed("MarkupFromXMP"), itxt.substr(itxt.find('\0', itxt.find('\0', itxt.find('\0') + 3) + 1) + 1));

  // iCCP to the colour service, row by row; zTXt raw profiles decoded from hex.
  std::string file = vgmtest::readFile(dataFile("png/paris_icc_exif_xmp.png"));
  ASSERT_EQ(host.load(dataFile("png/paris_icc_exif_xmp.png")), FLT_OK);
  std::string iccp = chunk(file, "iCCP");
  EXPECT_EQ(handed("CreateTransform"), inflate(iccp.substr(iccp.find('\0') + 2)));
  EXPECT_EQ(std::pair(host.callsNamed("TransformPixels").size(), host.transformsOpen), std::pair(size_t{302}, 0));  // row by row
  for (const vgmtest::PngChunk &c : vgmtest::pngChunks(file)) {
    if (c.type != "zTXt") continue;
    std::string keyword = c.data.substr(0, c.data.find('\0')), profile = inflate(c.data.substr(keyword.size() + 2));
    size_t at = profile.find('\n', 1) + 1, length = std::stoul(profile.substr(at));
    std::string hex, bytes;
    for (char ch : profile.substr(profile.find('\n', at)))
      if (isxdigit(ch)) hex += ch;
    for (size_t i = 0; i < length; ++i) bytes += char(std::stoi(hex.substr(i * 2, 2), nullptr, 16));
    if (keyword.ends_with("exif") && !bytes.starts_with(std::string("Exif\0\0", 6))) bytes = std::string("Exif\0\0", 6) + bytes;
    EXPECT_EQ(handed(keyword.ends_with("exif") ? "MarkupFromEXIF" : "MarkupFromXMP"), bytes) << keyword;
  }
  // Without markup: no conversion, yet the orientation from IFD0; without any table the pixels still come.
  host.flags = FLT_FLAG_NO_MARKUP;
  ASSERT_EQ(host.load(dataFile("png/paris_icc_exif_xmp.png")), FLT_OK);
  EXPECT_TRUE(host.callsNamed("MarkupFromEXIF").empty() && host.callsNamed("MarkupFromXMP").empty());
  EXPECT_EQ(host.markup(), "exif.orientation=1;\r\n");
  host.flags = 0, host.tables = false;
  EXPECT_EQ(vgmtest::loadOnly(host, dataFile("png/paris_icc_exif_xmp.png")).width, 403u);
  EXPECT_TRUE(host.calls.empty());
}

TEST(PngPlugin, ProbesProgressAndRefusals) {
  RecordingHost host("PNG");
  std::string head = vgmtest::readFile(dataFile("png/basn2c08.png"));
  EXPECT_EQ((std::vector<int>{host.loadScore(".png", head), host.loadScore("", head), host.loadScore(".png", "abcdefgh"),
                              host.saveScore(".png"), host.saveScore(".apng"), host.saveScore(".jpg")}),
            (std::vector<int>{2250, 2200, 0, 200, 0, 0}));
}

TEST(PngPlugin, SaveRoundTripsPixelsResolutionAndExif) {
  vgmtest::TempFolder folder;
  RecordingHost host("PNG");
  std::mt19937 random(7);
  std::vector<uint32_t> pixels(37 * 23);
  for (uint32_t &p : pixels) p = random();
  host.exifForSave = std::string("Exif\0\0MM\0*\0\0\0\x08\0\0", 16);
  host.options = u"png.compression = 9";
  for (bool alpha : {true, false}) {
    SCOPED_TRACE(alpha);
    if (!alpha)
      for (uint32_t &p : pixels) p &= 0x00FFFFFF;
    host.layers = {vgmtest::RecordedLayer::make(37, 23, pixels)};
    host.layers[0].metadata[FLT_TAG_MARK] = "exif.make=X;\r\nexif.resolution.x=300;\r\nexif.resolution.y=150;\r\n";
    ASSERT_EQ(host.save(folder.file("a.png")), FLT_OK);
    ASSERT_EQ(host.callsNamed("MarkupToEXIF").size(), 1u);
    EXPECT_EQ(host.callsNamed("MarkupToEXIF")[0]->data, host.layers[0].metadata[FLT_TAG_MARK]);
    std::string file = vgmtest::readFile(folder.file("a.png"));
    EXPECT_EQ(file[25], alpha ? 6 : 2);  // IHDR colour type
    EXPECT_EQ(chunk(file, "eXIf"), host.exifForSave.substr(6));
    EXPECT_EQ(chunk(file, "pHYs"), std::string("\0\0\x2E\x23\0\0\x17\x12\x01", 9));  // 11811 and 5906 per metre
    vgmtest::expectPixels(vgmtest::loadOnly(host, folder.file("a.png")), pixels, 0);
    EXPECT_NE(host.markup().find("exif.resolution.x=300;\r\nexif.resolution.y=150;"), std::string::npos);
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
