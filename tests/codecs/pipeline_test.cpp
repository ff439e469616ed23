// The six real plug-ins through the load export: each format loads to the pixels of its codec's simplest call, CMYK
// JPEGs to what lcms2 makes of their inks, and eight threads load every format at once.
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <lcms2.h>
#include <turbojpeg.h>

#include <cstring>
#include <thread>

#include "codecs/references.h"
#include "imageio/plugin_fixture.h"
#include "vgm/vgm_common.h"

namespace {

using Image = vgmtest::Decoded;

// Every channel within `tolerance`.
::testing::AssertionResult near(const Image &got, const Image &want, int tolerance) {
  if (got.width != want.width || got.height != want.height || got.pixels.size() != want.pixels.size() || got.pixels.empty())
    return ::testing::AssertionFailure() << got.width << "x" << got.height << " instead of " << want.width << "x" << want.height;
  for (size_t i = 0; i < got.pixels.size(); ++i)
    for (int s = 0; s < 32; s += 8)
      if (std::abs(int(got.pixels[i] >> s & 255) - int(want.pixels[i] >> s & 255)) > tolerance)
        return ::testing::AssertionFailure() << "pixel " << i << ": " << std::hex << got.pixels[i] << " instead of " << want.pixels[i];
  return ::testing::AssertionSuccess();
}

// A CMYK JPEG of `inks` (C, M, Y, K bytes) written by libjpeg: under an Adobe marker the inks are stored inverted
// (optionally as YCCK), without one as they are; `profile` embedded when given.
std::string cmykJpeg(const std::vector<uint32_t> &inks, uint32_t w, uint32_t h, bool adobe, bool ycck,
                     const std::string &profile) {
  jpeg_compress_struct c{};
  jpeg_error_mgr error{};
  c.err = jpeg_std_error(&error);
  jpeg_create_compress(&c);
  unsigned char *out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = w, c.image_height = h, c.input_components = 4, c.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&c);
  jpeg_set_colorspace(&c, ycck ? JCS_YCCK : JCS_CMYK);
  c.write_Adobe_marker = adobe;
  jpeg_set_quality(&c, 90, TRUE);
  jpeg_start_compress(&c, TRUE);
  if (!profile.empty()) jpeg_write_icc_profile(&c, reinterpret_cast<const JOCTET *>(profile.data()), unsigned(profile.size()));
  for (uint32_t y = 0; y < h; ++y) {
    std::vector<uint32_t> row(inks.begin() + y * w, inks.begin() + (y + 1) * w);
    if (adobe)
      for (uint32_t &v : row) v = ~v;
    JSAMPROW line = reinterpret_cast<JSAMPROW>(row.data());
    jpeg_write_scanlines(&c, &line, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  std::string file(reinterpret_cast<char *>(out), size);
  free(out);
  return file;
}

const std::string kIcc = "/usr/share/color/icc/ghostscript/";
const char *const kTypes[] = {"PNG", "JPEG", "GIF", "TIFF", "WebP", "BMP"};

}  // namespace

class CodecPipeline : public PluginTest {
 protected:
  vgmtest::ScopedEnv content_{"VGM_CONTENT_DIR", root_.file("content")};
  vgmtest::ScopedEnv icc_{"VGM_ICC_DIRS", ""};  // no system profile folders: only what a test puts in place

  void SetUp() override {
    PluginTest::SetUp();
    fs::create_directories(root_.file("content/Orvine Photo/Color Profiles"));
    for (std::string type : kTypes)
      install((vgmtest::binFolder() + "/Plugins/" + type + "/flt_" + type + ".dll").c_str(), type + "/flt_" + type + ".dll");
  }
  static Image load(const std::string &path) {
    CmioImage image{};
    CmioRequest request{};
    Image out;
    if (cmio_LoadImage(&image, u16(path).c_str(), &request) != 1) return out;
    out.width = image.width, out.height = image.height;
    auto *p = static_cast<uint32_t *>(image.pixels);
    out.pixels.assign(p, p + size_t(image.width) * image.height);
    GlobalFree(image.pixels);
    return out;
  }
};

TEST_F(CodecPipeline, EachFormatLoadsToItsCodecsPixels) {
  using vgmtest::dataFile;
  // One file of each format (the plug-in tests cover every coding); PNG and WebP with alpha.
  EXPECT_TRUE(near(load(dataFile("png/basn6a08.png")), vgmtest::pngReference(dataFile("png/basn6a08.png")), 0));
  EXPECT_TRUE(near(load(dataFile("bmp/pngsuite-basn6a08.bmp")), vgmtest::pngReference(dataFile("png/basn6a08.png")), 0));
  EXPECT_TRUE(near(load(dataFile("jpeg/testimgint.jpg")), vgmtest::jpegReference(vgmtest::readFile(dataFile("jpeg/testimgint.jpg"))), 0));
  EXPECT_TRUE(near(load(dataFile("webp/lossy_alpha1.webp")), vgmtest::webpReference(dataFile("webp/lossy_alpha1.webp")), 0));
  EXPECT_TRUE(near(load(dataFile("tiff/capitol.tif")), vgmtest::tiffReference(dataFile("tiff/capitol.tif")), 0));
  EXPECT_TRUE(near(load(dataFile("gif/porsche.gif")), vgmtest::gifReference(dataFile("gif/porsche.gif")), 0));
  // A damaged file is an error, not a picture.
  vgmtest::writeFile(root_.file("cut.png"), vgmtest::readFile(dataFile("png/basn6a08.png")).substr(0, 60));
  EXPECT_TRUE(load(root_.file("cut.png")).pixels.empty());
}

TEST_F(CodecPipeline, CmykJpegsConvertThroughTheirProfileTheDefaultOrTheFormula) {
  const uint32_t w = 48, h = 32;
  std::vector<uint32_t> inks(w * h);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) inks[y * w + x] = (x * 5) | (y * 8) << 8 | ((x + y) * 3) << 16 | ((x * y) % 256) << 24;
  const std::string embedded = vgmtest::readFile(kIcc + "ps_cmyk.icc"), fallback = vgmtest::readFile(kIcc + "default_cmyk.icc");
  cmsHPROFILE srgb = cmsCreate_sRGBProfile();
  struct Case {
    bool adobe, ycck, embed, defaultProfile;
  };
  for (const Case &k : {Case{false, false, true, true}, Case{true, false, true, false}, Case{true, false, false, true},
                        Case{true, true, false, true}, Case{false, false, false, true}, Case{true, false, false, false},
                        Case{false, false, false, false}}) {
    SCOPED_TRACE(::testing::Message() << k.adobe << k.ycck << k.embed << k.defaultProfile);
    std::string path = root_.file("cmyk.jpg"), profileFile = root_.file("content/Orvine Photo/Color Profiles/Default CMYK.icc");
    vgmtest::writeFile(path, cmykJpeg(inks, w, h, k.adobe, k.ycck, k.embed ? embedded : ""));
    if (k.defaultProfile)
      vgmtest::writeFile(profileFile, fallback);
    else
      fs::remove(profileFile);
    // The inks as the file holds them, decoded without the plug-in.
    Image decoded = vgmtest::jpegReference(vgmtest::readFile(path), TJPF_CMYK);
    ASSERT_EQ(decoded.pixels.size(), inks.size());
    if (k.adobe)
      for (uint32_t &v : decoded.pixels) v = ~v;
    std::vector<uint32_t> want(inks.size());
    const std::string *profile = k.embed ? &embedded : k.defaultProfile ? &fallback : nullptr;
    if (profile != nullptr) {
      cmsHPROFILE source = cmsOpenProfileFromMem(profile->data(), cmsUInt32Number(profile->size()));
      // The library's formats, intent and flags: inks packed K, Y, M, C from the lowest byte.
      cmsHTRANSFORM t = cmsCreateTransform(source, TYPE_KYMC_8, srgb, TYPE_BGRA_8, INTENT_RELATIVE_COLORIMETRIC,
                                           cmsFLAGS_HIGHRESPRECALC);
      ASSERT_NE(t, nullptr);
      std::vector<uint32_t> kymc(decoded.pixels.size());
      for (size_t i = 0; i < kymc.size(); ++i) kymc[i] = __builtin_bswap32(decoded.pixels[i]);
      cmsDoTransform(t, kymc.data(), want.data(), cmsUInt32Number(want.size()));
      cmsDeleteTransform(t);
      cmsCloseProfile(source);
      for (uint32_t &p : want) p &= 0x00FFFFFFu;
    } else {
      // Without a profile: each channel is 255 minus its ink plus black, floored at 0.
      for (size_t i = 0; i < want.size(); ++i) {
        uint32_t v = decoded.pixels[i], c = v & 255, m = v >> 8 & 255, y = v >> 16 & 255, b = v >> 24;
        want[i] = uint32_t(std::max(0, 255 - int(y + b))) | uint32_t(std::max(0, 255 - int(m + b))) << 8 |
                  uint32_t(std::max(0, 255 - int(c + b))) << 16;
      }
    }
    EXPECT_TRUE(near(load(path), Image{w, h, want}, 0));
  }
  cmsCloseProfile(srgb);
}

TEST_F(CodecPipeline, EightThreadsLoadEveryFormatAtOnce) {
  const char *files[] = {"png/basi6a08.png", "jpeg/testimgint.jpg", "gif/welcome2.gif", "tiff/shapes_lzw_tiled.tif",
                         "webp/lossy_alpha1.webp", "bmp/vgl_6434_0018a.bmp", "jpeg/paris_exif_xmp_icc.jpg"};
  std::vector<Image> alone;
  for (const char *f : files) {
    alone.push_back(load(vgmtest::dataFile(f)));
    ASSERT_FALSE(alone.back().pixels.empty()) << f;
  }
  std::vector<int> mismatches(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int round = 0; round < 2; ++round)
        for (size_t i = 0; i < std::size(files); ++i) {
          size_t pick = (i + t) % std::size(files);
          if (!(load(vgmtest::dataFile(files[pick])) == alone[pick])) ++mismatches[t];
        }
    });
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(mismatches, std::vector<int>(8, 0));
}
