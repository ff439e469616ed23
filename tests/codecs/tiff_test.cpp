// flt_TIFF through the recording host; reference pixels from TIFFReadRGBAImageOriented, tags from libtiff and libexif.
#include <gtest/gtest.h>
#include <libexif/exif-data.h>
#include <tiffio.h>

#include <algorithm>

#include "codecs/codec_checks.h"
#include "codecs/references.h"

using namespace vgmtest;

namespace {

// Our straight colour premultiplied the way the reference is.
uint32_t premultiplied(uint32_t p) {
  uint32_t a = 255 - (p >> 24), out = p & 0xFF000000u;
  for (int s = 0; s < 24; s += 8) out |= ((p >> s & 0xFF) * a + 127) / 255 << s;
  return out;
}

std::string textTag(const std::string &path, uint32_t tag) {
  TIFF *tif = TIFFOpen(path.c_str(), "r");
  char *text = nullptr;
  std::string out = tif && TIFFGetField(tif, tag, &text) == 1 && text ? text : "";
  if (tif) TIFFClose(tif);
  return out;
}

uint16_t shortTag(const std::string &path, uint32_t tag) {
  TIFF *tif = TIFFOpen(path.c_str(), "r");
  uint16_t value = 0;
  if (tif) TIFFGetField(tif, tag, &value), TIFFClose(tif);
  return value;
}

// A value of IFD0 of an EXIF block, as libexif reads it.
std::string exifValue(const std::string &block, ExifTag tag) {
  ExifData *data = exif_data_new_from_data(reinterpret_cast<const unsigned char *>(block.data()), block.size());
  char value[256] = "";
  ExifEntry *e = data ? exif_content_get_entry(data->ifd[EXIF_IFD_0], tag) : nullptr;
  if (e) exif_entry_get_value(e, value, sizeof value);
  if (data) exif_data_unref(data);
  return value;
}

}  // namespace

TEST(TiffPlugin, DecodesEveryPageOfEverySampleLikeLibtiff) {
  for (const Sample &r : {Sample{"Jobagent.tiff", 264, 84, 1}, Sample{"capitol.tif", 504, 378, 1},
                          Sample{"exiftool-BigTIFF.btf", 8, 8, 1}, Sample{"exiftool-ExifTool.tif", 160, 120, 1},
                          Sample{"shapes_deflate.tif", 128, 72, 1}, Sample{"shapes_jpg.tif", 128, 72, 1},
                          Sample{"shapes_lzw.tif", 128, 72, 1}, Sample{"shapes_lzw_palette.tif", 128, 72, 1},
                          Sample{"shapes_lzw_planar.tif", 128, 72, 1}, Sample{"shapes_lzw_tiled.tif", 128, 72, 1},
                          Sample{"shapes_multi_size.tif", 128, 72, 2, false},
                          Sample{"shapes_tiled_multi.tif", 128, 72, 3}, Sample{"Arbitro.tiff", 174, 38, 1}}) {
    SCOPED_TRACE(r.file);
    std::string path = dataFile(std::string("tiff/") + r.file);
    RecordingHost host("TIFF");
    ASSERT_TRUE(loadSample(host, "tiff", r));
    EXPECT_EQ(host.request.document_kind, FLT_DOC_COMPOSITE);
    EXPECT_EQ(host.request.document_sub_kind, r.layers > 1 ? 2 : 0);
    if (r.layers == 1) expectSteadyProgress(host);  // pages report their rows each
    for (size_t page = 0; page < r.layers; ++page) {
      EXPECT_EQ(host.layers[page].flags, page > 0 ? FLT_LAYER_PAGE_START : 0);
      Decoded ref = tiffReference(path, int(page));
      ASSERT_EQ(host.layers[page].width, ref.width);
      std::vector<uint32_t> got = pixelsOf(host.layers[page]);
      std::transform(got.begin(), got.end(), got.begin(), premultiplied);
      expectPixels(RecordedLayer::make(ref.width, ref.height, got), ref.pixels, 1);
    }
  }
}

TEST(TiffPlugin, ProbesRefusesTrapsAndChecksSizesFirst) {
  RecordingHost host("TIFF");
  for (auto [extension, header] : {std::pair{".tif", std::string("II*\0\x08\0\0\0", 8)}, {"", std::string("MM\0*\0\0\0\x08", 8)},
                                   {".btf", std::string("II+\0\x08\0\0\0", 8)}})
    EXPECT_GE(host.loadScore(extension, header), 2128) << header;
  EXPECT_GE(host.saveScore(".tiff"), 128);
  EXPECT_EQ(std::tuple(host.loadScore(".***", "abcdefgh"), host.loadScore(".tif", "II*x"), host.saveScore(".gif")), std::tuple(0, 0, 0));

  // 100 bytes claiming 65535 x 65535 RGB.
  std::string huge("II*\0\x08\0\0\0\x04\0", 10);
  auto entry = [&](uint16_t tag, uint16_t type, uint32_t value) {
    huge.append(reinterpret_cast<const char *>(&tag), 2).append(reinterpret_cast<const char *>(&type), 2);
    huge.append("\x01\0\0\0", 4).append(reinterpret_cast<const char *>(&value), 4);
  };
  entry(256, 4, 65535), entry(257, 4, 65535), entry(273, 4, 90), entry(279, 4, 10);
  huge.resize(100, '\0');
  EXPECT_EQ(loadBytes(host, huge, ".tif"), FLT_ERR_DIMENSIONS);
  for (const char *file : {"shapes_lzw.tif", "shapes_tiled_multi.tif", "exiftool-BigTIFF.btf"})
    expectCutsFailCleanly(host, readFile(dataFile(std::string("tiff/") + file)), ".tif");
  host.refuseLayer = 1, host.refuseStatus = FLT_ERR_TIMEOUT;  // a later page refused
  EXPECT_EQ(host.load(dataFile("tiff/shapes_tiled_multi.tif")), FLT_ERR_TIMEOUT);
}

TEST(TiffPlugin, HandsTagsAndXmpToTheConverters) {
  RecordingHost host("TIFF");
  std::string path = dataFile("tiff/exiftool-ExifTool.tif");
  ASSERT_EQ(host.load(path), FLT_OK);
  auto exif = host.callsNamed("MarkupFromEXIF");
  ASSERT_TRUE(exif.size() == 1u && !textTag(path, TIFFTAG_MAKE).empty());
  for (auto [tag, exifTag] : {std::pair{TIFFTAG_MAKE, EXIF_TAG_MAKE}, {TIFFTAG_MODEL, EXIF_TAG_MODEL},
                              {TIFFTAG_DATETIME, EXIF_TAG_DATE_TIME}, {TIFFTAG_SOFTWARE, EXIF_TAG_SOFTWARE}}) {
    std::string want = textTag(path, tag);
    EXPECT_EQ(want.empty() ? want : exifValue(exif[0]->data, exifTag), want) << tag;
  }
  ASSERT_EQ(host.load(dataFile("tiff/Arbitro.tiff")), FLT_OK);
  auto xmp = host.callsNamed("MarkupFromXMP");
  ASSERT_EQ(xmp.size(), 1u);
  EXPECT_EQ(xmp[0]->data, readFile(dataFile("xmp/Arbitro.xmp")));
  EXPECT_TRUE(host.markup().find("rec.xmp=") != std::string::npos && host.markupsOpen == 0);
}

TEST(TiffPlugin, SavesExactlyWithPagesCompressionAndTags) {
  TempFolder dir;
  RecordingHost host("TIFF");
  ASSERT_EQ(host.load(dataFile("tiff/shapes_lzw.tif")), FLT_OK);
  RecordedLayer opaque = host.layers[0];
  std::vector<uint32_t> px;  // every alpha, colours that premultiplying would change
  for (uint32_t i = 0; i < 64 * 4; ++i) px.push_back(uint32_t(i % 256) << 24 | (i * 97 % 256) << 16 | 0x3C9Au);
  host.layers.push_back(RecordedLayer::make(64, 4, px));
  // A little-endian EXIF block: Make "VGM", Orientation 6.
  host.exifForSave = std::string("Exif\0\0II*\0\x08\0\0\0\x02\0", 16) + std::string("\x0f\x01\x02\0\x04\0\0\0VGM\0", 12) +
                     std::string("\x12\x01\x03\0\x01\0\0\0\x06\0\0\0", 12) + std::string(4, '\0');
  host.options = u"tiff.compression = deflate";
  ASSERT_EQ(host.save(dir.file("pages.tif"), FLT_DOC_IMAGE_LIST), FLT_OK);
  EXPECT_EQ(std::pair(shortTag(dir.file("pages.tif"), TIFFTAG_COMPRESSION), shortTag(dir.file("pages.tif"), TIFFTAG_ORIENTATION)),
            std::pair(uint16_t{COMPRESSION_ADOBE_DEFLATE}, uint16_t{6}));
  EXPECT_EQ(textTag(dir.file("pages.tif"), TIFFTAG_MAKE), "VGM");

  host.flags = FLT_FLAG_NO_MARKUP;
  ASSERT_EQ(host.load(dir.file("pages.tif")), FLT_OK);
  ASSERT_EQ(host.layers.size(), 2u);
  EXPECT_TRUE(host.layers[1].flags == FLT_LAYER_PAGE_START && host.layers[0].pixels == opaque.pixels);
  expectPixels(host.layers[1], px, 0);
  // A thumbnail skips the converters yet knows which way is up.
  EXPECT_EQ(host.markup(0), "exif.orientation=6;");
  EXPECT_TRUE(host.callsNamed("MarkupFromEXIF").empty());

  host.flags = 0, host.options.clear();
  host.layers = {RecordedLayer::make(64, 4, px)};
  ASSERT_EQ(host.save(dir.file("one.tif")), FLT_OK);
  ASSERT_EQ(host.load(dir.file("one.tif")), FLT_OK);
  expectPixels(host.layers[0], px, 0);
  EXPECT_EQ(shortTag(dir.file("one.tif"), TIFFTAG_COMPRESSION), COMPRESSION_LZW);
}

TEST(TiffPlugin, RoundsSixteenBitSamples) {
  TempFolder dir;
  TIFF *tif = TIFFOpen(dir.file("deep.tif").c_str(), "w");
  ASSERT_NE(tif, nullptr);
  for (auto [tag, value] : {std::pair{TIFFTAG_IMAGEWIDTH, 4}, {TIFFTAG_IMAGELENGTH, 1}, {TIFFTAG_BITSPERSAMPLE, 16},
                            {TIFFTAG_SAMPLESPERPIXEL, 1}, {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK}})
    TIFFSetField(tif, tag, value);
  uint16_t row[4] = {0, 32767, 32768, 65535};  // 0, 127.498, 127.502 and 255 of 255
  ASSERT_EQ(TIFFWriteScanline(tif, row, 0, 0), 1);
  TIFFClose(tif);
  RecordingHost host("TIFF");
  expectPixels(loadOnly(host, dir.file("deep.tif")), {0, 0x7F7F7F, 0x808080, 0xFFFFFF}, 0);
}
