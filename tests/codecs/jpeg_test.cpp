// flt_JPEG through the recording host, against TurboJPEG's decoder.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cmath>
#include <map>

#include "codecs/codec_checks.h"
#include "codecs/references.h"

namespace {

using vgmtest::psnr;
using vgmtest::RecordingHost;

std::string compress(const std::vector<uint32_t> &bgrx, int w, int h, int quality, int format = TJPF_BGRX) {
  tjhandle tj = tjInitCompress();
  unsigned char *out = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(tj, reinterpret_cast<const unsigned char *>(bgrx.data()), w, 0, h, format, &out, &size,
                        format == TJPF_CMYK ? TJSAMP_444 : TJSAMP_420, quality, 0), 0);
  std::string file(reinterpret_cast<char *>(out), size);
  tjFree(out);
  tjDestroy(tj);
  return file;
}

// The APPn segments' bodies in file order, up to the first scan.
std::vector<std::pair<int, std::string>> segments(const std::string &jpeg) {
  std::vector<std::pair<int, std::string>> out;
  for (size_t at = 2; at + 4 <= jpeg.size() && uint8_t(jpeg[at]) == 0xFF && uint8_t(jpeg[at + 1]) != 0xDA;) {
    size_t length = uint8_t(jpeg[at + 2]) << 8 | uint8_t(jpeg[at + 3]);
    out.emplace_back(uint8_t(jpeg[at + 1]), jpeg.substr(at + 4, length - 2));
    at += 2 + length;
  }
  return out;
}

std::vector<uint32_t> gradient(int w, int h) {
  std::vector<uint32_t> pixels(size_t(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      pixels[size_t(y) * w + x] = uint32_t(x * 255 / w) | uint32_t(y * 255 / h) << 8 | uint32_t(128 + 60 * std::sin(x * 0.05) * std::cos(y * 0.04)) << 16;
  return pixels;
}

TEST(JpegPlugin, EveryCodingMatchesTurboJpeg) {
  RecordingHost host("JPEG");
  ASSERT_TRUE(host.plugin().loaded()) << host.plugin().error;
  for (const char *name : {"testorig", "testimgint", "testimgari", "small-jpeg", "paris_exif_xmp_icc"}) {
    SCOPED_TRACE(name);
    std::string path = vgmtest::dataFile(std::string("jpeg/") + name + ".jpg");
    vgmtest::expectPixels(vgmtest::loadOnly(host, path), vgmtest::jpegReference(vgmtest::readFile(path)).pixels, 0);
    EXPECT_EQ(host.request.warnings, 0);
    vgmtest::expectSteadyProgress(host);
  }
  // CMYK inks through the plug-in's own plain formula (a host without the colour service): cyan, magenta with black,
  // white, black. The file carries an Adobe marker, so its bytes are the inks inverted.
  std::vector<uint32_t> inks = {0x000000FF, 0x4000FF00, 0, 0xFF000000u};  // C M Y K from the lowest byte
  for (uint32_t &i : inks) i = ~i;
  vgmtest::TempFolder folder;
  vgmtest::writeFile(folder.file("cmyk.jpg"), compress(inks, 2, 2, 100, TJPF_CMYK));
  host.tables = false;
  vgmtest::RecordedLayer l = vgmtest::loadOnly(host, folder.file("cmyk.jpg"));
  const uint32_t want[] = {0x0000FFFF, 0x00BF00BF, 0x00FFFFFF, 0};
  for (int i = 0; i < 4; ++i)
    for (int s = 0; s < 24; s += 8) EXPECT_NEAR(int(l.at(i % 2, i / 2) >> s & 255), int(want[i] >> s & 255), 3) << i;
}

TEST(JpegPlugin, DamagedAndUnsupportedFiles) {
  RecordingHost host("JPEG");
  EXPECT_EQ(host.load(vgmtest::dataFile("jpeg/monkey12.jpg")), FLT_ERR_NOT_IMPLEMENTED);
  EXPECT_FALSE(host.message.empty());
  for (const char *name : {"testorig", "testimgint", "testimgari"})
    vgmtest::expectCutsFailCleanly(host, vgmtest::readFile(vgmtest::dataFile(std::string("jpeg/") + name + ".jpg")), ".jpg");
  // 100 bytes with a frame of 65535 x 65535 and a scan header.
  std::string bomb("\xFF\xD8\xFF\xC0\0\x11\x08\xFF\xFF\xFF\xFF\x03\x01\x22\0\x02\x11\x01\x03\x11\x01"
                   "\xFF\xDA\0\x0C\x03\x01\0\x02\x11\x03\x11\0\x3F\0",
                   35);
  bomb.resize(100, '\0');
  EXPECT_EQ(vgmtest::loadBytes(host, bomb, ".jpg"), FLT_ERR_DIMENSIONS);
  EXPECT_TRUE(host.layers.empty());

  EXPECT_EQ((std::vector<int>{host.loadScore(".jpg", bomb), host.loadScore(".mpo", bomb), host.loadScore(".***", "abcdefgh"),
                              host.saveScore(".jpeg"), host.saveScore(".mpo")}),
            (std::vector<int>{2250, 2250, 0, 200, 0}));
}

TEST(JpegPlugin, MetadataReachesTheHostServices) {
  RecordingHost host("JPEG");
  std::string file = vgmtest::readFile(vgmtest::dataFile("jpeg/paris_exif_xmp_icc.jpg"));
  ASSERT_EQ(host.load(vgmtest::dataFile("jpeg/paris_exif_xmp_icc.jpg")), FLT_OK);
  std::string exif, xmp, icc;
  for (auto &[marker, body] : segments(file)) {
    if (marker == 0xE1 && body.starts_with(std::string("Exif\0\0", 6))) exif = body;
    if (marker == 0xE1 && body.starts_with("http://ns.adobe.com/xap/1.0/")) xmp = body.substr(29);
    if (marker == 0xE2 && body.starts_with("ICC_PROFILE")) icc += body.substr(14);
  }
  ASSERT_FALSE(exif.empty() || xmp.empty() || icc.empty());
  for (auto [call, data] : {std::pair{"MarkupFromEXIF", exif}, {"MarkupFromXMP", xmp}, {"CreateTransform", icc}}) {
    ASSERT_EQ(host.callsNamed(call).size(), 1u) << call;
    EXPECT_EQ(host.callsNamed(call)[0]->data, data) << call;
  }
  EXPECT_NE(host.markup().find("rec.xmp="), std::string::npos);

  // Extended XMP: the parts put together at their offsets follow the main packet.
  file = vgmtest::readFile(vgmtest::dataFile("jpeg/exiftool-ExtendedXMP.jpg"));
  ASSERT_EQ(host.load(vgmtest::dataFile("jpeg/exiftool-ExtendedXMP.jpg")), FLT_OK);
  std::string extended;
  for (auto &[marker, body] : segments(file)) {
    if (marker != 0xE1 || !body.starts_with("http://ns.adobe.com/xmp/extension/")) continue;
    size_t at = 35 + 32, offset = size_t(uint8_t(body[at + 4])) << 24 | uint8_t(body[at + 5]) << 16 | uint8_t(body[at + 6]) << 8 | uint8_t(body[at + 7]);
    extended.resize(std::max(extended.size(), offset + body.size() - at - 8));
    extended.replace(offset, body.size() - at - 8, body.substr(at + 8));
  }
  ASSERT_EQ(host.callsNamed("MarkupFromXMP").size(), 2u);
  EXPECT_EQ(host.callsNamed("MarkupFromXMP")[1]->data, extended);

  // Thumbnails: no conversion, the orientation read from IFD0 all the same.
  host.flags = FLT_FLAG_NO_MARKUP;
  for (auto [name, orientation] : {std::pair("orientation-Landscape_6", 6), std::pair("paris_exif_orientation_5", 5)}) {
    ASSERT_EQ(host.load(vgmtest::dataFile(std::string("exif/") + name + ".jpg")), FLT_OK);
    EXPECT_TRUE(host.callsNamed("MarkupFromEXIF").empty());
    EXPECT_EQ(host.markup(), "exif.orientation=" + std::to_string(orientation) + ";\r\n");
  }
}

TEST(JpegPlugin, ShrinkOnLoadCoversTheBox) {
  const int w = 4000, h = 3000;
  vgmtest::TempFolder folder;
  std::string file = compress(gradient(w, h), w, h, 90);
  vgmtest::writeFile(folder.file("big.jpg"), file);
  RecordingHost host("JPEG");
  host.options = u"preview.max_width=256\r\npreview.max_height=256";
  vgmtest::RecordedLayer thumb = vgmtest::loadOnly(host, folder.file("big.jpg"));
  EXPECT_EQ(std::tuple(thumb.width, thumb.height, host.shortText), std::tuple(500u, 375u, u"1/8"));
  // Against the full decode averaged over 8 x 8 blocks.
  EXPECT_GE(psnr(thumb, vgmtest::averageBlocks(vgmtest::jpegReference(file).pixels, w, 8)), 30.0);
  // A box the half size covers, and no box at all.
  host.options = u"preview.max_width=1500\npreview.max_height=1400";
  thumb = vgmtest::loadOnly(host, folder.file("big.jpg"));
  EXPECT_EQ(std::tuple(thumb.width, thumb.height, host.shortText), std::tuple(2000u, 1500u, u"1/2"));
  // Stored 450 x 600 and turned a quarter by its orientation: the upright
  // 300 x 200 box needs 225 x 300 stored pixels, half size.
  host.options = u"preview.max_width=300\npreview.max_height=200";
  thumb = vgmtest::loadOnly(host, vgmtest::dataFile("exif/orientation-Landscape_6.jpg"));
  EXPECT_EQ(std::pair(thumb.width, thumb.height), std::pair(225u, 300u));
}

TEST(JpegPlugin, SavesWithQualitySamplingAndExif) {
  vgmtest::TempFolder folder;
  RecordingHost host("JPEG");
  std::vector<uint32_t> pixels = gradient(64, 48);
  host.layers = {vgmtest::RecordedLayer::make(64, 48, pixels)};
  host.layers[0].metadata[FLT_TAG_MARK] = "exif.make=X;\r\n";
  host.exifForSave = std::string("Exif\0\0II*\0\x08\0\0\0\0\0", 16);
  for (auto [quality, sampling] : {std::pair(90, 0x22), std::pair(95, 0x11)}) {
    SCOPED_TRACE(quality);
    host.options = u"jpeg.quality=" + vgmtest::u16(std::to_string(quality));
    ASSERT_EQ(host.save(folder.file("a.jpg")), FLT_OK);
    EXPECT_EQ(host.saveRequest.warnings, 0);
    std::string file = vgmtest::readFile(folder.file("a.jpg"));
    std::map<int, std::string> found;
    for (auto &[marker, body] : segments(file)) found.emplace(marker, body);
    EXPECT_EQ(found[0xE1], host.exifForSave);
    EXPECT_EQ(uint8_t(found[0xC0][7]), sampling);  // first component's sampling factors
    EXPECT_GE(psnr(vgmtest::loadOnly(host, folder.file("a.jpg")), pixels), 38.0);
  }
  // Transparency cannot be kept, and says so.
  host.layers[0].pixels[5] |= 0x80000000u;
  ASSERT_EQ(host.save(folder.file("b.jpg")), FLT_OK);
  EXPECT_EQ(host.saveRequest.warnings, FLT_WARN_TRANSPARENCY_REMOVED);
  vgmtest::writeFile(folder.file("a.jpg"), "old");
  host.cancelAtProgress = 2;
  EXPECT_EQ(host.save(folder.file("a.jpg")), FLT_ERR_CANCELLED);
  EXPECT_EQ(vgmtest::readFile(folder.file("a.jpg")), "old");
}

}  // namespace
