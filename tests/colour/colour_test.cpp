#include "raster/colour.h"

#include <gtest/gtest.h>
#include <lcms2.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>

#include "hostenv/folders.h"
#include "imageio/host_tables.h"
#include "platform/os.h"
#include "platform/os_colour.h"
#include "raster/surface.h"
#include "raster/thread_state.h"
#include "support/test_support.h"

using namespace vgmtest;

namespace {

const std::string kIcc = "/usr/share/color/icc/";
#ifdef _WIN32
constexpr int kSystemSlack = 40;  // ICM clips out-of-gamut Lab and XYZ its own way (RGB profiles agree within 1)
#else
constexpr int kSystemSlack = 0;
#endif

uint32_t convert(uint32_t v, uint32_t from, uint32_t to, void *transform = nullptr) {
  clr_ConvertPixels(&v, 1, from, transform, to);
  return v;
}

std::vector<uint32_t> allColours(uint32_t fourth) {
  std::vector<uint32_t> v(1u << 24);
  for (uint32_t i = 0; i < v.size(); ++i) v[i] = i | fourth << 24;
  return v;
}

int channelDiff(uint32_t a, uint32_t b) {
  int d = 0;
  for (int s = 0; s < 24; s += 8) d = std::max(d, std::abs(int((a >> s) & 255) - int((b >> s) & 255)));
  return d;
}

uint32_t floorShift(int64_t x) { return static_cast<uint32_t>(std::clamp<double>(std::floor(x / 65536.0), 0, 255)); }

std::vector<unsigned char> saved(cmsHPROFILE profile) {
  cmsUInt32Number size = 0;
  cmsSaveProfileToMem(profile, nullptr, &size);
  std::vector<unsigned char> bytes(size);
  cmsSaveProfileToMem(profile, bytes.data(), &size);
  cmsCloseProfile(profile);
  return bytes;
}

// Every test gets its own content and system profile folders.
struct ColourTest : ::testing::Test {
  TempFolder temp;
  ScopedEnv content{"VGM_CONTENT_DIR", temp.file("content")};
  ScopedEnv icc{"VGM_ICC_DIRS", ""};
  void SetUp() override {
    env_ResetForTests(nullptr);
    ASSERT_EQ(rx_EngineStart(), 1);
  }
  void TearDown() override { rx_EngineStop(), env_ResetForTests(nullptr); }
  std::u16string copyProfile(const std::string &from, const std::string &name) {
    writeFile(temp.file(name), readFile(from));
    return temp.file16(name);
  }
};

TEST_F(ColourTest, YCbCrBothWaysOverAllColours) {
  std::vector<uint32_t> fwd = allColours(0x5A), back = fwd;
  clr_ConvertPixels(fwd.data(), 1 << 24, 0, nullptr, 1);
  clr_ConvertPixels(back.data(), 1 << 24, 1, nullptr, 0);  // the same values read as Cr, Cb, Y
  // Every 11th colour when quick: 64-bit arithmetic is slow under emulation.
  const int64_t step = ((int64_t{1} << 24) / vgmtest::rounds(1 << 24)) | 1;
  for (int64_t i = 0; i < (1 << 24); i += step) {
    int64_t lo = i & 255, mid = (i >> 8) & 255, hi = i >> 16, y = hi << 16;  // B, G, R or Cr, Cb, Y
    uint32_t ycc = floorShift(32768 * hi - 27439 * mid - 5329 * lo + (128 << 16)) |
                   floorShift(-11059 * hi - 21709 * mid + 32768 * lo + (128 << 16)) << 8 |
                   floorShift(19595 * hi + 38470 * mid + 7471 * lo + 32768) << 16;
    uint32_t rgb = floorShift(116130 * mid - 14831872 + y) | floorShift(-22553 * mid - 46802 * lo + 8910208 + y) << 8 |
                   floorShift(91881 * lo - 11728000 + y) << 16;
    if (fwd[i] != (ycc | 0x5Au << 24) || back[i] != (rgb | 0x5Au << 24)) FAIL() << std::hex << i;
  }
}

TEST_F(ColourTest, PlainCmykBothWays) {
  EXPECT_EQ(convert(0xFFFFFFFF, 3, 0), 0u);           // all inks: opaque black
  EXPECT_EQ(convert(0x7F000000, 0, 3), 0xFFFFFFFFu);  // black, whatever its T
  // R 200, G 100, B 50: K 55, C 0, M 100, Y 150.
  EXPECT_EQ(convert(0x00C86432, 0, 3), 0x00649637u);
  EXPECT_EQ(convert(0x00C86432, 0, 2), 0x37966400u);
  // C 200 + K 100 saturates red; M 50 + K 100 leaves green 105.
  EXPECT_EQ(convert(0xC8320064, 3, 0), 0x0000699Bu);
  EXPECT_EQ(convert(0x640032C8, 2, 0), 0x0000699Bu);
  std::vector<uint32_t> px = allColours(0x33);
  clr_ConvertPixels(px.data(), 1 << 24, 0, nullptr, 3);
  for (uint32_t i = 1; i < (1u << 24); ++i)
    if ((px[i] & 255) != 255 - std::max({i & 255, (i >> 8) & 255, i >> 16})) FAIL() << std::hex << i << " K " << px[i];
  clr_ConvertPixels(px.data(), 1 << 24, 3, nullptr, 0);
  for (uint32_t i = 0; i < (1u << 24); ++i)
    if (px[i] != i) FAIL() << std::hex << i << " -> " << px[i];
}

TEST_F(ColourTest, HslHsvHuesAndRoundTrips) {
  EXPECT_EQ(convert(0x0000FF00, 0, 7), 255u | 255u << 8 | 21845u << 16);  // green: a third of a turn
  EXPECT_EQ(convert(0x0000FF00, 0, 6), 128u | 255u << 8 | 21845u << 16);
  EXPECT_EQ(convert(0x000000FF, 0, 4), 128u | 255u << 8 | 171u << 16);  // blue: two thirds
  EXPECT_EQ(convert(0x00808080, 0, 5), 0x80u);                          // grey: no hue, no saturation
  // Half a step of an 8-bit hue (1/512 turn) moves a component by up to
  // 255 x 6 / 512, just under 3; rounding adds 1.
  const int step8 = static_cast<int>(std::ceil(255.0 * 6 / 512)) + 1;
  // Every fifth colour (every 51st when quick).
  const uint32_t step = (1u << 24) / vgmtest::rounds((1 << 24) / 5) | 1;
  for (uint32_t model : {4u, 5u, 6u, 7u}) {
    std::vector<uint32_t> px = allColours(model < 6 ? 0x44 : 0);
    for (uint32_t i = 0; i < (1u << 24); i += step) px[i / step] = px[i];
    clr_ConvertPixels(px.data(), (1 << 24) / step + 1, 0, nullptr, model);
    clr_ConvertPixels(px.data(), (1 << 24) / step + 1, model, nullptr, 0);
    int worst = 0;
    for (uint32_t i = 0; i < (1u << 24); i += step) {
      worst = std::max(worst, channelDiff(px[i / step], i));
      if (px[i / step] >> 24 != (model < 6 ? 0x44u : 0u)) FAIL() << model << " T of " << i;
    }
    EXPECT_LE(worst, model < 6 ? step8 : 1) << model;
  }
}

TEST_F(ColourTest, LabAndXyzPublishedValuesAndRoundTrips) {
  const double red[3] = {255, 0, 0};
  double lab[3];
  clr_RgbToLab(red, lab);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(lab[k], (std::array{53.24, 80.09, 67.20}[k]), 0.005) << k;
  // 53.24 x 2.55 = 135.8; a* and b* offset by 128. White at 255/1.1 a unit.
  EXPECT_EQ(convert(0x22FF0000, 0, 8), 136u | 208u << 8 | 195u << 16 | 0x22u << 24);
  EXPECT_EQ(convert(0x00FFFFFF, 0, 9), 220u | 232u << 8 | 252u << 16);
  EXPECT_EQ(convert(255 | 128 << 8 | 128 << 16, 8, 0), 0x00FFFFFFu);
  // A decoded code encodes again within one code: one RGB unit moves L*, a*,
  // b* and the scaled XYZ by less than a code each.
  const uint32_t step = (1u << 24) / vgmtest::rounds((1 << 24) / 101) | 1;  // 101, or 1011 when quick
  for (uint32_t model : {8u, 9u}) {
    int worst = 0;
    for (uint32_t i = 0; i < (1u << 24); i += step) {
      uint32_t code = convert(i, 0, model);
      worst = std::max(worst, channelDiff(convert(convert(code, model, 0), 0, model), code));
    }
    EXPECT_LE(worst, 1) << model;
  }
}

TEST_F(ColourTest, ReverseOrderFlagPerModel) {
  auto reversed = [](uint32_t v, uint32_t m) {
    return (m == 3 || m == 6 || m == 7) ? __builtin_bswap32(v)
                                        : (v & 0xFF00FF00u) | (v & 255) << 16 | ((v >> 16) & 255);
  };
  for (uint32_t m = 0; m <= 10; ++m) {
    EXPECT_EQ(convert(0x80604020, m | 0x1000, 0), convert(reversed(0x80604020, m), m, 0)) << m;
    EXPECT_EQ(convert(0x10336699, 0, m | 0x1000), reversed(convert(0x10336699, 0, m), m)) << m;
  }
  EXPECT_EQ(convert(0x11223344, 0x1000, 0), 0x11443322u);  // RGB order flag alone swaps red and blue
}

// Each profile through clr_ against lcms2's own transform with the same
// profiles, intent, flags and formats, on a swatch grid and random values.
TEST_F(ColourTest, TransformsMatchLcmsExactly) {
  auto bytesOf = [](const std::string &name) {
    std::string b = readFile(kIcc + name);
    return std::vector<unsigned char>(b.begin(), b.end());
  };
  const std::vector<std::pair<std::vector<unsigned char>, uint32_t>> cases = {
      {bytesOf("sRGB.icc"), 0}, {bytesOf("compatibleWithAdobeRGB1998.icc"), 0}, {bytesOf("LCMSLABI.ICM"), 8},
      {bytesOf("ITULab.icc"), 8}, {bytesOf("ghostscript/default_cmyk.icc"), 3}, {bytesOf("ghostscript/ps_cmyk.icc"), 3},
      {saved(cmsCreate_sRGBProfile()), 0}, {saved(cmsCreateLab4Profile(nullptr)), 8}, {saved(cmsCreateXYZProfile()), 9}};
  const cmsUInt32Number formats[10] = {TYPE_BGRA_8, 0, 0, TYPE_KYMC_8, 0, 0, 0, 0, TYPE_Lab_8, TYPE_XYZ_16};
  std::mt19937 random(7);
  // Building the transforms is the cost: quick runs keep one profile for each
  // colour model and way of passing it (path or memory).
  const bool quick = rounds(10) < 10;
  std::vector<std::pair<uint32_t, bool>> kinds;
  for (size_t n = 0; n < cases.size(); ++n) {
    const auto &[bytes, model] = cases[n];
#ifdef _WIN32  // wine64's ICM misreads CMYK quads and 16-bit XYZ: no reference to hold the system to there
    if (model == 3 || model == 9) continue;
#endif
    const std::pair kind(model, n < 6);
    if (quick && std::find(kinds.begin(), kinds.end(), kind) != kinds.end()) continue;
    kinds.push_back(kind);
    std::vector<uint32_t> in;
    for (uint32_t i = 0; i < 6 * 6 * 6 * 6; ++i)
      in.push_back((i % 6) * 51 | (i / 6 % 6) * 51 << 8 | (i / 36 % 6) * 51 << 16 | (i / 216) * 51 << 24);
    for (int i = 0; i < 4000; ++i) in.push_back(random());
    // The Debian files go by path, lcms2's own profiles by memory.
    writeFile(temp.file("p.icc"), std::string(bytes.begin(), bytes.end()));
    void *t = n < 6 ? clr_CreateTransform(nullptr, 0, temp.file16("p.icc").c_str())
                    : clr_CreateTransform(bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr);
    ASSERT_NE(t, nullptr) << n;
    std::vector<uint32_t> ours = in, theirs = in;
    clr_ConvertPixels(ours.data(), static_cast<int32_t>(ours.size()), model, t, 0);
    clr_DeleteTransform(t);
    cmsHPROFILE source = cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size()));
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHTRANSFORM ref = cmsCreateTransform(source, formats[model], srgb, TYPE_BGRA_8, INTENT_RELATIVE_COLORIMETRIC,
                                           cmsFLAGS_HIGHRESPRECALC);
    std::vector<unsigned char> lab;
    std::vector<uint16_t> xyz;  // 255/1.1 a unit to 0x8000 a unit
    for (uint32_t v : in)
      for (int s = 0; s < 24; s += 8) {
        lab.push_back(static_cast<unsigned char>(v >> s));
        xyz.push_back(static_cast<uint16_t>(std::lround(((v >> s) & 255) * 1.1 / 255 * 32768)));
      }
    const void *src = model == 8 ? static_cast<const void *>(lab.data()) : model == 9 ? xyz.data() : nullptr;
    src = src != nullptr ? src : theirs.data();
    cmsDoTransform(ref, src, theirs.data(), static_cast<cmsUInt32Number>(theirs.size()));
    for (uint32_t &v : theirs) v &= model == 3 ? 0xFFFFFF : ~0u;
    cmsDeleteTransform(ref);
    cmsCloseProfile(source), cmsCloseProfile(srgb);
    if (kSystemSlack == 0) {
      EXPECT_EQ(ours, theirs) << n;
    }
    int worst = 0;
    for (size_t i = 0; i < ours.size(); ++i) worst = std::max(worst, channelDiff(ours[i], theirs[i]));
    EXPECT_LE(worst, kSystemSlack) << n;
    for (size_t i = 0; n == 6 && i < in.size(); ++i) EXPECT_LE(channelDiff(ours[i], in[i]), 1);  // sRGB to sRGB
  }
}

#ifndef _WIN32  // as above: CMYK through the system's ICM has no trustworthy reference under wine64
TEST_F(ColourTest, CmykSwatchesNearTransicc) {
  for (std::string name : {"default_cmyk", "ps_cmyk"}) {
    void *t = clr_CreateTransform(nullptr, 0, copyProfile(kIcc + "ghostscript/" + name + ".icc", "c.icc").c_str());
    ASSERT_NE(t, nullptr);
    std::istringstream lines(readFile(dataFile("colour/" + name + "_transicc.txt")));
    int swatches = 0;
    for (std::string line; std::getline(lines, line);) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream f(line);
      uint32_t c, m, y, k, r, g, b;
      f >> c >> m >> y >> k >> r >> g >> b;
      uint32_t px = convert(k | y << 8 | m << 16 | c << 24, 3, 0, t);
      EXPECT_LE(channelDiff(px, b | g << 8 | r << 16), 2) << line;
      ++swatches;
    }
    EXPECT_EQ(swatches, 81);
    clr_DeleteTransform(t);
  }
}
#endif

TEST_F(ColourTest, UnusableProfilesFailAndLeaveNothingOpen) {
  const int open = os_ColourOpenProfiles();
  std::string srgb = readFile(kIcc + "sRGB.icc");
  std::u16string good = copyProfile(kIcc + "sRGB.icc", "good.icc");
  void *t = clr_CreateTransform("abc", 3, good.c_str());  // below 4 bytes: the path serves
  ASSERT_NE(t, nullptr);
#ifndef _WIN32  // the system's transform keeps what it needs: the profiles close at once there
  EXPECT_EQ(os_ColourOpenProfiles(), open + 2);
#endif
  clr_DeleteTransform(t);
  writeFile(temp.file("half.icc"), srgb.substr(0, srgb.size() / 2));
  writeFile(temp.file("text.icc"), std::string(4096, 'x'));
  std::u16string tooLong = temp.path16() + u"/" + std::u16string(260 - temp.path16().size(), u'a');
  writeFile(u8(tooLong), srgb);
  for (std::u16string path : {std::u16string(), temp.file16("half.icc"), temp.file16("text.icc"),
                              temp.file16("missing.icc"), tooLong, copyProfile(kIcc + "Gray.icc", "g.icc")}) {
    EXPECT_EQ(clr_CreateTransform("abc", 3, path.c_str()), nullptr) << u8(path);
    EXPECT_EQ(clr_CreateTransform(nullptr, 0, path.c_str()), nullptr) << u8(path);
  }
  EXPECT_EQ(clr_CreateTransform(srgb.data(), static_cast<uint32_t>(srgb.size() / 2), nullptr), nullptr);
  EXPECT_EQ(clr_CreateTransform(nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(os_ColourOpenProfiles(), open);
  // A format the profile cannot take falls to the formula.
  void *rgb = clr_CreateTransform(nullptr, 0, good.c_str());
  void *cmyk = clr_CreateTransform(nullptr, 0, copyProfile(kIcc + "ghostscript/default_cmyk.icc", "c.icc").c_str());
  EXPECT_EQ(convert(0xC8320064, 3, 0, rgb), 0x0000699Bu);
  EXPECT_EQ(convert(0x12345678, 0, 0, cmyk), 0x12345678u);
  EXPECT_EQ(convert(0x00808080, 8, 0, cmyk), convert(0x00808080, 8, 0));
  clr_DeleteTransform(rgb), clr_DeleteTransform(cmyk);
  EXPECT_EQ(os_ColourOpenProfiles(), open);
}

TEST_F(ColourTest, StackAndHeapScratchGiveTheSameBytes) {
  std::vector<unsigned char> lab = saved(cmsCreateLab4Profile(nullptr));
  void *t = clr_CreateTransform(lab.data(), static_cast<uint32_t>(lab.size()), nullptr);
  ASSERT_NE(t, nullptr);
  std::mt19937 random(3);
  std::vector<uint32_t> in(100000);
  for (uint32_t &v : in) v = random();
  std::vector<uint32_t> whole = in;
  EXPECT_EQ(clr_ConvertPixels(whole.data(), 100000, 8, t, 0), 100000);
  for (int32_t run : {1, 1022, 1023, 100000}) {
    std::vector<uint32_t> pieces = in;
    if (run == 100000) os_InjectFault(os_FaultKind::allocation, 1);  // no global memory: stack pieces
    for (int32_t at = 0; at < 100000; at += run)
      clr_ConvertPixels(pieces.data() + at, std::min(run, 100000 - at), 8, t, 0);
    os_InjectFault(os_FaultKind::allocation, 0);
    EXPECT_EQ(pieces, whole) << run;
  }
  EXPECT_NE(whole, in);
  clr_DeleteTransform(t);
}

TEST_F(ColourTest, DefaultCmykProfile) {
  char16_t path[clr_MaxProfilePath];
  std::string folder = temp.file("content/Orvine Photo/Color Profiles");
  EXPECT_FALSE(clr_FindCmykProfile(path));  // nothing anywhere, fallback off
  std::filesystem::create_directories(folder);
  auto expectFound = [&](const std::string &want) {
    ASSERT_TRUE(clr_FindCmykProfile(path));
    std::string found = u8(path), wanted = want;
#ifdef _WIN32  // paths are built with '\' there
    std::replace(found.begin(), found.end(), '/', '\\'), std::replace(wanted.begin(), wanted.end(), '/', '\\');
#endif
    EXPECT_EQ(found, wanted);
  };
  for (const char *name : {"b_cmyk.icc", "A_CMYK.ICC", "cmyk.txt"}) writeFile(folder + "/" + name, "x");
  expectFound(folder + "/A_CMYK.ICC");  // several matches: name order, case ignored
  writeFile(folder + "/x_default_cmyk.icc", "x");
  expectFound(folder + "/x_default_cmyk.icc");
  writeFile(folder + "/Z Default CMYK.ICM", "x");
  expectFound(folder + "/Z Default CMYK.ICM");
  for (const char *name : {"b_cmyk.icc", "A_CMYK.ICC", "x_default_cmyk.icc", "Z Default CMYK.ICM"})
    std::filesystem::remove(folder + "/" + name);
  // The system folders, searched below: redirected, then the real default.
  std::filesystem::create_directories(temp.file("sys/deep"));
  writeFile(temp.file("sys/deep/print_cmyk.icc"), "x");
  {
    const char *separator = os_PathSeparator == u'\\' ? ";" : ":";  // ':' belongs to drive letters on Windows
    ScopedEnv redirected("VGM_ICC_DIRS", temp.file("none") + separator + temp.file("sys"));
    expectFound(temp.file("sys/deep/print_cmyk.icc"));
  }
#ifndef _WIN32  // the system's colour folder of a fresh Windows holds no CMYK profile
  unsetenv("VGM_ICC_DIRS");
  ScopedEnv data("XDG_DATA_HOME", temp.file("data"));
  expectFound(kIcc + "ghostscript/default_cmyk.icc");
#endif
}

TEST_F(ColourTest, DibRowsAndHostTable) {
  const pi_BasicColor *table = io_BasicColorTable();
  ASSERT_NE(table, nullptr);
  EXPECT_TRUE(table->version == 0x1000Au && table->null3 == nullptr);
  EXPECT_EQ(table->CreateTransform("abc", 3, reinterpret_cast<const WCHAR *>(u"")), nullptr);
  EXPECT_EQ(table->ConvertPixels(reinterpret_cast<uint32_t *>(16), 4, 1, nullptr, 0), 0);

  uint32_t pixels[2 * 3] = {};  // 2 x 2 image in rows of 3
  rx_Surface surface{};
  ASSERT_EQ(rx_SurfaceWrap(&surface, 2, 2, 3, pixels), 1);
  FltImage img{2, 2, 3, 0, pixels, &surface};
  // 1 bit a pixel, 3 x 2, bottom-up, palette {blue, white}: wider than the image.
  unsigned char dib[40 + 8 + 8] = {40, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0, 0, 1, 0, 1, 0};
  const unsigned char tail[16] = {255, 0, 0, 0x7F, 255, 255, 255, 0x7F, 0x40, 0, 0, 0, 0x80, 0, 0, 0};
  std::copy(tail, tail + 16, dib + 40);
  EXPECT_EQ(table->ConvertDib(&img, dib, sizeof dib, nullptr, 0x2000), 2);  // T 0 inverted to 255
  // Top row stored last (0x80: white, blue), bottom 0x40 (blue, white); past the width untouched.
  EXPECT_EQ(std::vector<uint32_t>(pixels, pixels + 5),
            (std::vector<uint32_t>{0xFFFFFFFF, 0xFF0000FF, 0, 0xFF0000FF, 0xFFFFFFFF}));
  // 32-bit rows of CMYK inks through the model bits; mode 0x5000 is dropped.
  unsigned char cmyk[40 + 8] = {40, 0, 0, 0, 2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 32, 0};
  const uint32_t inks[2] = {0xFFFFFFFF, 0xC8320064};
  std::memcpy(cmyk + 40, inks, 8);
  EXPECT_EQ(table->ConvertDib(&img, cmyk, sizeof cmyk, nullptr, 0x5000 | 3), 1);
  EXPECT_EQ(std::pair(pixels[0], pixels[1]), std::pair(0u, 0x0000699Bu));
  cmyk[0] = 5;
  EXPECT_EQ(table->ConvertDib(&img, cmyk, sizeof cmyk, nullptr, 0), 0);
  // The whole image through slot 0, rows of stride 3.
  pixels[2] = 0xABCDEF;
  EXPECT_EQ(table->ConvertImage(&img, 0, nullptr, 1), 1);  // black: Y 0, Cb and Cr 128; white keeps its T
  EXPECT_EQ((std::vector<uint32_t>{pixels[0], pixels[2], pixels[4]}),
            (std::vector<uint32_t>{0x8080, 0xABCDEF, 0xFFFF8080}));
  FltImage none{};
  EXPECT_EQ(table->ConvertImage(&none, 0, nullptr, 1), 0);
  rx_SurfaceFree(&surface);
}

}  // namespace
