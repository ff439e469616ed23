// The six real plug-ins through the load export: each format loads to the
// pixels of its codec's simplest call, CMYK JPEGs to what lcms2 makes of
// their inks, and eight threads load every format at once.
#include <gif_lib.h>
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <lcms2.h>
#include <png.h>
#include <tiffio.h>
#include <turbojpeg.h>
#include <webp/decode.h>

#include <cstring>
#include <thread>

#include "imageio/plugin_fixture.h"
#include "vgm/vgm_common.h"

namespace {

struct Image {
  uint32_t width = 0, height = 0;
  std::vector<uint32_t> pixels;  // B G R T
  bool operator==(const Image &) const = default;
};

// libpng's decode without the colour chunks: the plug-in leaves gamma alone
// and takes 16-bit samples as sRGB.
Image decodePng(const std::string &path) {
  std::string file = vgmtest::readFile(path), png = file.substr(0, 8);
  for (size_t at = 8; at + 12 <= file.size();) {
    size_t n = size_t(uint8_t(file[at])) << 24 | uint8_t(file[at + 1]) << 16 | uint8_t(file[at + 2]) << 8 | uint8_t(file[at + 3]);
    std::string type = file.substr(at + 4, 4);
    if (type != "gAMA" && type != "cHRM" && type != "iCCP") png += file.substr(at, 12 + n);
    at += 12 + n;
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  Image out;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return out;
  image.flags |= PNG_IMAGE_FLAG_16BIT_sRGB;
  image.format = PNG_FORMAT_BGRA;
  out.pixels.resize(size_t(image.width) * image.height);
  if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) return {};
  for (uint32_t &p : out.pixels) p ^= 0xFF000000u;
  out.width = image.width, out.height = image.height;
  return out;
}

Image decodeJpeg(const std::string &path, int format = TJPF_BGRA) {
  std::string file = vgmtest::readFile(path);
  auto *bytes = reinterpret_cast<const unsigned char *>(file.data());
  tjhandle tj = tjInitDecompress();
  int w = 0, h = 0, sub = 0, space = 0;
  Image out;
  if (tjDecompressHeader3(tj, bytes, file.size(), &w, &h, &sub, &space) == 0) {
    out.pixels.resize(size_t(w) * h);
    if (tjDecompress2(tj, bytes, file.size(), reinterpret_cast<unsigned char *>(out.pixels.data()), w, 0, h, format, 0) == 0)
      out.width = w, out.height = h;
  }
  tjDestroy(tj);
  if (format == TJPF_BGRA)
    for (uint32_t &p : out.pixels) p &= 0x00FFFFFFu;
  return out;
}

Image decodeWebp(const std::string &path) {
  std::string file = vgmtest::readFile(path);
  int w = 0, h = 0;
  uint8_t *bgra = WebPDecodeBGRA(reinterpret_cast<const uint8_t *>(file.data()), file.size(), &w, &h);
  Image out{uint32_t(w), uint32_t(h), std::vector<uint32_t>(size_t(w) * h)};
  if (bgra != nullptr) memcpy(out.pixels.data(), bgra, out.pixels.size() * 4);
  WebPFree(bgra);
  for (uint32_t &p : out.pixels) p ^= 0xFF000000u;
  return out;
}

Image decodeTiff(const std::string &path) {
  Image out;
  TIFF *tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr) return out;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &out.width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &out.height);
  std::vector<uint32_t> abgr(size_t(out.width) * out.height);
  if (TIFFReadRGBAImageOriented(tif, out.width, out.height, abgr.data(), ORIENTATION_TOPLEFT, 0))
    for (uint32_t p : abgr) out.pixels.push_back((p & 0xFF) << 16 | (p & 0xFF00) | (p >> 16 & 0xFF) | (255 - (p >> 24)) << 24);
  TIFFClose(tif);
  return out;
}

Image decodeGif(const std::string &path) {  // a single opaque frame covering the screen
  int error = 0;
  GifFileType *g = DGifOpenFileName(path.c_str(), &error);
  Image out;
  if (g != nullptr && DGifSlurp(g) == GIF_OK && g->ImageCount == 1) {
    const SavedImage &img = g->SavedImages[0];
    const ColorMapObject *map = img.ImageDesc.ColorMap ? img.ImageDesc.ColorMap : g->SColorMap;
    out.width = uint32_t(img.ImageDesc.Width), out.height = uint32_t(img.ImageDesc.Height);
    for (size_t i = 0; i < size_t(out.width) * out.height; ++i) {
      const GifColorType &c = map->Colors[img.RasterBits[i]];
      out.pixels.push_back(uint32_t(c.Blue) | uint32_t(c.Green) << 8 | uint32_t(c.Red) << 16);
    }
  }
  if (g != nullptr) DGifCloseFile(g, &error);
  return out;
}

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

// A CMYK JPEG of `inks` (C, M, Y, K bytes) written by libjpeg: under an
// Adobe marker the inks are stored inverted (optionally as YCCK), without
// one as they are; `profile` embedded when given.
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
  EXPECT_TRUE(near(load(dataFile("png/basn6a08.png")), decodePng(dataFile("png/basn6a08.png")), 0));
  EXPECT_TRUE(near(load(dataFile("png/basi2c08.png")), decodePng(dataFile("png/basi2c08.png")), 0));
  EXPECT_TRUE(near(load(dataFile("png/basn6a16.png")), decodePng(dataFile("png/basn6a16.png")), 1));
  EXPECT_TRUE(near(load(dataFile("bmp/pngsuite-basn6a08.bmp")), decodePng(dataFile("png/basn6a08.png")), 0));
  for (const char *f : {"jpeg/testimgint.jpg", "jpeg/testimgari.jpg", "jpeg/testorig.jpg"})
    EXPECT_TRUE(near(load(dataFile(f)), decodeJpeg(dataFile(f)), 0)) << f;
  for (const char *f : {"webp/lossless1.webp", "webp/lossy_alpha1.webp", "webp/test.webp"})
    EXPECT_TRUE(near(load(dataFile(f)), decodeWebp(dataFile(f)), 0)) << f;
  // Files without a profile (the plug-in applies one): libtiff's pixels come premultiplied.
  EXPECT_TRUE(near(load(dataFile("tiff/capitol.tif")), decodeTiff(dataFile("tiff/capitol.tif")), 0));
  Image straight = load(dataFile("tiff/Jobagent.tiff"));
  for (uint32_t &p : straight.pixels)
    for (int s = 0; s < 24; s += 8) p = (p & ~(255u << s)) | ((p >> s & 255) * (255 - (p >> 24)) + 127) / 255 << s;
  EXPECT_TRUE(near(straight, decodeTiff(dataFile("tiff/Jobagent.tiff")), 1));
  EXPECT_TRUE(near(load(dataFile("gif/porsche.gif")), decodeGif(dataFile("gif/porsche.gif")), 0));
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
    Image decoded = decodeJpeg(path, TJPF_CMYK);
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
