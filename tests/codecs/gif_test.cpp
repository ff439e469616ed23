// flt_GIF through the recording host; reference pixels from DGifSlurp.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "codecs/codec_checks.h"
#include "codecs/references.h"
#include "support/test_support.h"

using namespace vgmtest;

TEST(GifPlugin, DecodesEverySampleAsItsReferenceShowsIt) {
  for (const Sample &r : {Sample{"fire.gif", 30, 60, 33}, Sample{"porsche.gif", 320, 200, 1},
                          Sample{"small-gif-transparent.gif", 1, 1, 1}, Sample{"treescap-interlaced.gif", 40, 40, 1},
                          Sample{"welcome2.gif", 290, 48, 6}, Sample{"x-trans.gif", 100, 100, 1}}) {
    SCOPED_TRACE(r.file);
    RecordingHost host("GIF");
    ASSERT_TRUE(loadSample(host, "gif", r));
    EXPECT_EQ(host.request.document_kind, r.layers > 1 ? FLT_DOC_FRAME_ANIMATION : FLT_DOC_COMPOSITE);
    expectSteadyProgress(host);
    const std::string path = dataFile(std::string("gif/") + r.file);
    EXPECT_EQ(pixelsOf(host.layers[0]), gifReference(path).pixels);
    for (size_t i = 0; i < r.layers; ++i) {
      // Whatever the disposals left, each image's own opaque pixels show.
      Decoded own = gifReference(path, int(i));
      EXPECT_EQ(host.layers[i].delay, own.delay * 10) << "frame " << i;
      std::vector<uint32_t> got = pixelsOf(host.layers[i]);
      ASSERT_EQ(got.size(), own.pixels.size());
      int misses = 0;
      for (size_t k = 0; k < got.size(); ++k) misses += own.pixels[k] != 0xFF000000u && got[k] != own.pixels[k];
      EXPECT_EQ(misses, 0) << "frame " << i;
    }
  }
}

TEST(GifPlugin, ProbesRefusesTrapsAndChecksSizesFirst) {
  RecordingHost host("GIF");
  EXPECT_TRUE(host.loadScore(".gif", "GIF89a\x01\x00\x01\x00") >= 2128 && host.loadScore("", "GIF87a\x01\x00\x01\x00") >= 2128);
  EXPECT_GE(host.saveScore(".gif"), 128);
  EXPECT_EQ(std::tuple(host.loadScore(".***", "abcdefgh"), host.loadScore(".gif", "GIF90a"), host.saveScore(".png")), std::tuple(0, 0, 0));

  std::string huge("GIF89a\xFF\xFF\xFF\xFF\x00\x00\x00", 13);
  huge.resize(100, '\0');
  EXPECT_EQ(loadBytes(host, huge, ".gif"), FLT_ERR_DIMENSIONS);
  EXPECT_LT(loadBytes(host, "GIF89a but then nothing of the kind", ".gif"), FLT_ERROR);
  // A refused layer's status is the load's result.
  host.refuseLayer = 2, host.refuseStatus = FLT_ERR_TIMEOUT;
  EXPECT_EQ(host.load(dataFile("gif/fire.gif")), FLT_ERR_TIMEOUT);
}

TEST(GifPlugin, CutFilesKeepTheirWholeFramesOrFail) {
  std::string whole = readFile(dataFile("gif/welcome2.gif"));
  RecordingHost host("GIF");
  expectCutsFailCleanly(host, whole, ".gif");
  ASSERT_EQ(host.load(dataFile("gif/welcome2.gif")), FLT_OK);
  std::vector<RecordedLayer> full = host.layers;
  // Cut inside the fifth frame: four whole frames and the damage warning.
  ASSERT_EQ(loadBytes(host, whole.substr(0, whole.size() * 3 / 4), ".gif"), FLT_OK);
  EXPECT_TRUE(host.request.warnings & FLT_WARN_DATA_NOT_TRANSFERRED);
  ASSERT_TRUE(host.layers.size() >= 2u && host.layers.size() < full.size()) << host.layers.size();
  for (size_t i = 0; i < host.layers.size(); ++i) EXPECT_EQ(host.layers[i].pixels, full[i].pixels) << i;
}

TEST(GifPlugin, HandsItsXmpPacketToTheConverter) {
  RecordingHost host("GIF");
  ASSERT_EQ(host.load(dataFile("gif/exiftool-GIF.gif")), FLT_OK);
  auto calls = host.callsNamed("MarkupFromXMP");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0]->data, readFile(dataFile("xmp/exiftool-GIF.xmp")));
  EXPECT_TRUE(host.markup().find("rec.xmp=") != std::string::npos && host.markupsOpen == 0);
  host.flags = FLT_FLAG_NO_MARKUP;
  ASSERT_EQ(host.load(dataFile("gif/exiftool-GIF.gif")), FLT_OK);
  EXPECT_TRUE(host.calls.empty());
}

TEST(GifPlugin, SavesFewColoursExactlyAndAnimationsWithTheirDelays) {
  TempFolder dir;
  RecordingHost host("GIF");
  for (const char *file : {"porsche.gif", "x-trans.gif", "treescap-interlaced.gif"}) {
    ASSERT_EQ(host.load(dataFile(std::string("gif/") + file)), FLT_OK);
    std::vector<uint32_t> before = pixelsOf(host.layers[0]);
    ASSERT_EQ(host.save(dir.file(file)), FLT_OK) << file;
    ASSERT_EQ(host.load(dir.file(file)), FLT_OK);
    EXPECT_EQ(pixelsOf(host.layers[0]), before) << file;
  }
  ASSERT_EQ(host.load(dataFile("gif/welcome2.gif")), FLT_OK);
  std::vector<RecordedLayer> frames = host.layers;
  // Layers that are no animation go out flattened; this host cannot flatten.
  EXPECT_EQ(host.save(dir.file("layers.gif")), FLT_ERR_NEED_FLAT);
  ASSERT_EQ(host.save(dir.file("anim.gif"), FLT_DOC_FRAME_ANIMATION), FLT_OK);
  ASSERT_EQ(host.load(dir.file("anim.gif")), FLT_OK);
  ASSERT_EQ(host.layers.size(), frames.size());
  for (size_t i = 0; i < frames.size(); ++i)
    EXPECT_TRUE(host.layers[i].delay == frames[i].delay && pixelsOf(host.layers[i]) == pixelsOf(frames[i])) << "frame " << i;
}

TEST(GifPlugin, QuantizesManyColoursWithSmallError) {
  // 128 x 128 smooth gradients: 16384 colours.
  std::vector<uint32_t> px;
  for (uint32_t y = 0; y < 128; ++y)
    for (uint32_t x = 0; x < 128; ++x) px.push_back((x * 2) << 16 | (y * 2) << 8 | ((x + y) & 0xFF));
  RecordingHost host("GIF");
  host.layers = {RecordedLayer::make(128, 128, px)};
  TempFolder dir;
  ASSERT_EQ(host.save(dir.file("many.gif")), FLT_OK);
  ASSERT_EQ(host.load(dir.file("many.gif")), FLT_OK);
  std::vector<uint32_t> got = pixelsOf(host.layers[0]);
  EXPECT_LE(std::set<uint32_t>(got.begin(), got.end()).size(), 256u);
  EXPECT_EQ(std::count_if(got.begin(), got.end(), [](uint32_t p) { return p >> 24 != 0; }), 0);
  EXPECT_GE(psnr(host.layers[0], px), 30.0);
}
