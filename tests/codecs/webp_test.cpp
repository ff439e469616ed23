// flt_WebP through the recording host; reference pixels from WebPDecodeBGRA,
// frame timing from the demuxer, chunks cut from the RIFF file by hand.
#include <gtest/gtest.h>
#include <webp/decode.h>
#include <webp/demux.h>

#include <cstring>

#include "codecs/codec_checks.h"
#include "codecs/references.h"

using namespace vgmtest;

namespace {

// The payload of the first RIFF chunk named `name`, "" when there is none.
std::string chunk(const std::string &file, const char *name) {
  for (size_t at = 12; at + 8 <= file.size();) {
    uint32_t size;
    memcpy(&size, file.data() + at + 4, 4);
    if (file.compare(at, 4, name) == 0) return file.substr(at + 8, size);
    at += 8 + size + (size & 1);
  }
  return "";
}

}  // namespace

TEST(WebPPlugin, DecodesEverySampleLikeLibwebp) {
  for (const Sample &r : {Sample{"alpha_no_compression.webp", 16, 16, 1}, Sample{"exiftool-RIFF.webp", 1, 1, 1},
                          Sample{"lossless1.webp", 1000, 307, 1}, Sample{"lossy_alpha1.webp", 1000, 307, 1},
                          Sample{"small_13x1.webp", 13, 1, 1}, Sample{"test.webp", 128, 128, 1},
                          Sample{"vp80-00-comprehensive-001.webp", 176, 144, 1},
                          Sample{"yoga-alpha.lossless.metadata.webp", 120, 120, 1}}) {
    SCOPED_TRACE(r.file);
    RecordingHost host("WebP");
    ASSERT_TRUE(loadSample(host, "webp", r));
    expectPixels(host.layers[0], webpReference(dataFile(std::string("webp/") + r.file)).pixels, 0);
  }
}

TEST(WebPPlugin, AnimationsBecomeFramesWithTheirDurations) {
  std::string path = dataFile("webp/yoga-animated.webp");
  RecordingHost host("WebP");
  ASSERT_EQ(host.load(path), FLT_OK);
  ASSERT_TRUE(host.request.document_kind == FLT_DOC_FRAME_ANIMATION && host.layers.size() == 29u) << host.layers.size();
  std::string file = readFile(path);
  WebPData data{reinterpret_cast<const uint8_t *>(file.data()), file.size()};
  WebPDemuxer *demux = WebPDemux(&data);
  ASSERT_NE(demux, nullptr);
  for (int i = 0; i < 29; ++i) {
    WebPIterator it;
    ASSERT_TRUE(WebPDemuxGetFrame(demux, i + 1, &it));
    EXPECT_EQ(std::pair(int(host.layers[size_t(i)].delay), host.layers[size_t(i)].width), std::pair(it.duration, 160u)) << i;
    WebPDemuxReleaseIterator(&it);
  }
  WebPDemuxDelete(demux);
  expectSteadyProgress(host);
  host.refuseLayer = 3, host.refuseStatus = FLT_ERR_TIMEOUT;
  EXPECT_EQ(host.load(path), FLT_ERR_TIMEOUT);
}

TEST(WebPPlugin, ProbesRefusesTrapsAndBadFiles) {
  RecordingHost host("WebP");
  std::string header = readFile(dataFile("webp/test.webp")).substr(0, 32);
  EXPECT_TRUE(host.loadScore(".webp", header) >= 2128 && host.saveScore(".webp") >= 128);
  EXPECT_EQ(std::tuple(host.loadScore(".***", "abcdefgh"), host.loadScore(".webp", std::string("RIFF\0\0\0\0WAVEfmt ", 16)),
                       host.saveScore(".jpg")), std::tuple(0, 0, 0));

  // An extended header claiming a 65535 x 65535 canvas.
  std::string huge = std::string("RIFF\x5c\0\0\0WEBPVP8X\x0a\0\0\0", 20) + std::string("\0\0\0\0\xfe\xff\0\xfe\xff\0", 10);
  huge.resize(100, '\0');
  EXPECT_EQ(loadBytes(host, huge, ".webp"), FLT_ERR_DIMENSIONS);
  for (const char *file : {"test.webp", "lossless1.webp", "yoga-animated.webp"})
    expectCutsFailCleanly(host, readFile(dataFile(std::string("webp/") + file)), ".webp");
}

TEST(WebPPlugin, ReportsProgressAndShrinks) {
  RecordingHost host("WebP");
  std::string path = dataFile("webp/lossless1.webp");
  ASSERT_EQ(host.load(path), FLT_OK);
  expectSteadyProgress(host);
  host.options = u"preview.max_width = 100\npreview.max_height = 100";
  RecordedLayer small = loadOnly(host, path);
  EXPECT_EQ(std::pair(small.width, small.height), std::pair(326u, 100u));  // 1000 x 307 covering 100 x 100: scale 100 / 307
}

TEST(WebPPlugin, HandsChunksAsCutFromTheFile) {
  for (const char *name : {"yoga-alpha.lossless.metadata.webp", "exiftool-RIFF.webp"}) {
    SCOPED_TRACE(name);
    std::string file = readFile(dataFile(std::string("webp/") + name));
    RecordingHost host("WebP");
    ASSERT_EQ(host.load(dataFile(std::string("webp/") + name)), FLT_OK);
    auto exif = host.callsNamed("MarkupFromEXIF"), xmp = host.callsNamed("MarkupFromXMP");
    ASSERT_TRUE(exif.size() == 1u && xmp.size() == 1u);
    EXPECT_EQ(exif[0]->data, std::string("Exif\0\0", 6) + chunk(file, "EXIF"));
    EXPECT_EQ(xmp[0]->data, chunk(file, "XMP "));
    auto icc = host.callsNamed("CreateTransform");
    EXPECT_EQ(icc.size(), chunk(file, "ICCP").empty() ? 0u : 1u);
    for (auto *call : icc) EXPECT_EQ(call->data, chunk(file, "ICCP"));
    EXPECT_EQ(std::pair(host.markupsOpen, host.transformsOpen), std::pair(0, 0));
  }
}

TEST(WebPPlugin, SavesLosslessExactlyLossyCloseAndEmbedsExif) {
  TempFolder dir;
  RecordingHost host("WebP");
  ASSERT_EQ(host.load(dataFile("webp/lossy_alpha1.webp")), FLT_OK);
  std::vector<uint32_t> want = pixelsOf(host.layers[0]);
  host.options = u"webp.lossless = 1";
  host.layers[0].metadata[FLT_TAG_MARK] = "exif.orientation=6;";
  host.exifForSave = std::string("Exif\0\0II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0", 32);
  ASSERT_EQ(host.save(dir.file("exact.webp")), FLT_OK);
  EXPECT_EQ(chunk(readFile(dir.file("exact.webp")), "EXIF"), host.exifForSave);
  host.flags = FLT_FLAG_NO_MARKUP;
  expectPixels(loadOnly(host, dir.file("exact.webp")), want, 0);
  EXPECT_EQ(host.markup(), "exif.orientation=6;");

  host.flags = 0;
  ASSERT_EQ(host.load(dataFile("webp/lossless1.webp")), FLT_OK);
  want = pixelsOf(host.layers[0]);
  host.options = u"webp.quality = 90";
  ASSERT_EQ(host.save(dir.file("lossy.webp")), FLT_OK);
  EXPECT_GE(psnr(loadOnly(host, dir.file("lossy.webp")), want, true), 38.0);

  ASSERT_EQ(host.load(dataFile("webp/yoga-animated.webp")), FLT_OK);
  std::vector<RecordedLayer> frames = host.layers;
  host.options = u"webp.lossless = 1";
  ASSERT_EQ(host.save(dir.file("anim.webp"), FLT_DOC_FRAME_ANIMATION), FLT_OK);
  ASSERT_EQ(host.load(dir.file("anim.webp")), FLT_OK);
  ASSERT_EQ(host.layers.size(), frames.size());
  for (size_t i = 0; i < frames.size(); ++i)
    EXPECT_TRUE(host.layers[i].delay == frames[i].delay && host.layers[i].pixels == frames[i].pixels) << "frame " << i;
}
