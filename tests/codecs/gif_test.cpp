// flt_GIF through the recording host; reference pixels from DGifSlurp.
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "codecs/codec_checks.h"
#include "codecs/references.h"
#include "support/test_support.h"

using namespace vgmtest;

namespace {

struct Slurped {
  GifFileType *gif = nullptr;
  explicit Slurped(const std::string &path) {
    int error = 0;
    gif = DGifOpenFileName(path.c_str(), &error);
    if (gif != nullptr && DGifSlurp(gif) != GIF_OK) DGifCloseFile(gif, &error), gif = nullptr;
  }
  ~Slurped() {
    if (gif != nullptr) DGifCloseFile(gif, nullptr);
  }
  GraphicsControlBlock gcb(int i) const {
    GraphicsControlBlock g{};
    g.TransparentColor = NO_TRANSPARENT_COLOR;
    DGifSavedExtensionToGCB(gif, i, &g);
    return g;
  }
};

}  // namespace

TEST(GifPlugin, DecodesEverySampleAsItsReferenceShowsIt) {
  for (const Sample &r : {Sample{"fire.gif", 30, 60, 33}, Sample{"porsche.gif", 320, 200, 1},
                          Sample{"small-gif-transparent.gif", 1, 1, 1}, Sample{"treescap-interlaced.gif", 40, 40, 1},
                          Sample{"welcome2.gif", 290, 48, 6}, Sample{"x-trans.gif", 100, 100, 1}}) {
    SCOPED_TRACE(r.file);
    RecordingHost host("GIF");
    ASSERT_TRUE(loadSample(host, "gif", r));
    EXPECT_EQ(host.request.document_kind, r.layers > 1 ? FLT_DOC_FRAME_ANIMATION : FLT_DOC_COMPOSITE);
    Slurped ref(dataFile(std::string("gif/") + r.file));
    ASSERT_NE(ref.gif, nullptr);
    for (size_t i = 0; i < r.layers; ++i) {
      EXPECT_EQ(host.layers[i].delay, ref.gcb(int(i)).DelayTime * 10) << "frame " << i;
      // Whatever the disposals left, each image's own opaque pixels show.
      const SavedImage &img = ref.gif->SavedImages[i];
      const ColorMapObject *map = img.ImageDesc.ColorMap ? img.ImageDesc.ColorMap : ref.gif->SColorMap;
      int misses = 0;
      for (int y = 0; y < img.ImageDesc.Height; ++y)
        for (int x = 0; x < img.ImageDesc.Width; ++x) {
          int index = img.RasterBits[y * img.ImageDesc.Width + x];
          if (index == ref.gcb(int(i)).TransparentColor) continue;
          const GifColorType &c = map->Colors[index];
          misses += host.layers[i].at(uint32_t(img.ImageDesc.Left + x), uint32_t(img.ImageDesc.Top + y)) !=
                    (uint32_t(c.Blue) | uint32_t(c.Green) << 8 | uint32_t(c.Red) << 16);
        }
      EXPECT_EQ(misses, 0) << "frame " << i;
    }
    EXPECT_EQ(pixelsOf(host.layers[0]), gifReference(dataFile(std::string("gif/") + r.file)).pixels);
  }
}

TEST(GifPlugin, ProbesRefusesTrapsAndChecksSizesFirst) {
  RecordingHost host("GIF");
  EXPECT_GE(host.loadScore(".gif", "GIF89a\x01\x00\x01\x00"), 2128);
  EXPECT_GE(host.loadScore("", "GIF87a\x01\x00\x01\x00"), 2128);
  EXPECT_EQ(host.loadScore(".***", "abcdefgh"), 0);
  EXPECT_EQ(host.loadScore(".gif", "GIF90a"), 0);
  EXPECT_GE(host.saveScore(".gif"), 128);
  for (const char *trap : {".***", ".???", ".!@#", ".sys", ".vxd", ".ini", ".png"}) EXPECT_EQ(host.saveScore(trap), 0);

  TempFolder dir;
  std::string huge("GIF89a\xFF\xFF\xFF\xFF\x00\x00\x00", 13);
  huge.resize(100, '\0');
  writeFile(dir.file("huge.gif"), huge);
  EXPECT_EQ(host.load(dir.file("huge.gif")), FLT_ERR_DIMENSIONS);
  writeFile(dir.file("text.gif"), "GIF89a but then nothing of the kind");
  EXPECT_LT(host.load(dir.file("text.gif")), FLT_ERROR);
  EXPECT_EQ(host.load(dir.file("missing.gif")), FLT_ERR_OPEN_READ);
}

TEST(GifPlugin, CutFilesKeepTheirWholeFramesOrFail) {
  std::string whole = readFile(dataFile("gif/welcome2.gif"));
  RecordingHost host("GIF");
  expectCutsFailCleanly(host, whole, ".gif");
  ASSERT_EQ(host.load(dataFile("gif/welcome2.gif")), FLT_OK);
  std::vector<RecordedLayer> full = host.layers;
  // Cut inside the fifth frame: four whole frames and the damage warning.
  TempFolder dir;
  writeFile(dir.file("cut.gif"), whole.substr(0, whole.size() * 3 / 4));
  ASSERT_EQ(host.load(dir.file("cut.gif")), FLT_OK);
  EXPECT_TRUE(host.request.warnings & FLT_WARN_DATA_NOT_TRANSFERRED);
  ASSERT_GE(host.layers.size(), 2u);
  ASSERT_LT(host.layers.size(), full.size());
  for (size_t i = 0; i < host.layers.size(); ++i) EXPECT_EQ(host.layers[i].pixels, full[i].pixels) << i;
}

TEST(GifPlugin, ReportsProgressAndHonoursRefusals) {
  RecordingHost host("GIF");
  ASSERT_EQ(host.load(dataFile("gif/porsche.gif")), FLT_OK);
  expectSteadyProgress(host);
  host.refuseLayer = 2, host.refuseStatus = FLT_ERR_TIMEOUT;
  EXPECT_EQ(host.load(dataFile("gif/fire.gif")), FLT_ERR_TIMEOUT);
}

TEST(GifPlugin, HandsItsXmpPacketToTheConverter) {
  RecordingHost host("GIF");
  ASSERT_EQ(host.load(dataFile("gif/exiftool-GIF.gif")), FLT_OK);
  auto calls = host.callsNamed("MarkupFromXMP");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0]->data, readFile(dataFile("xmp/exiftool-GIF.xmp")));
  EXPECT_NE(host.markup().find("rec.xmp="), std::string::npos);
  EXPECT_EQ(host.markupsOpen, 0);
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
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(host.layers[i].delay, frames[i].delay);
    EXPECT_EQ(pixelsOf(host.layers[i]), pixelsOf(frames[i])) << "frame " << i;
  }
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
  std::set<uint32_t> colours;
  double squared = 0;
  for (uint32_t i = 0; i < 128 * 128; ++i) {
    uint32_t got = host.layers[0].at(i % 128, i / 128);
    colours.insert(got);
    EXPECT_EQ(got >> 24, 0u);
    for (int c = 0; c < 24; c += 8) squared += std::pow(double(int(got >> c & 0xFF) - int(px[i] >> c & 0xFF)), 2);
  }
  EXPECT_LE(colours.size(), 256u);
  double psnr = 10 * std::log10(255.0 * 255.0 / (squared / (128 * 128 * 3)));
  EXPECT_GE(psnr, 30.0);
}
