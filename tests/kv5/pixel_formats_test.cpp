#include <gtest/gtest.h>

#include "kv5/kv5_simd.h"
#include "kv5/pixel_formats.h"
#include "kv5_test_util.h"
#include "support/test_support.h"

using kv5test::Bytes;
using kv5test::messages;

namespace {

// A surface-like block with a stride wider than the image; the padding pixels must never change.
struct Surface {
  int32_t width, height, stride;
  std::vector<uint32_t> pixels;
  Surface(int32_t w, int32_t h, uint32_t fill = 0xDEADBEEF) : width(w), height(h), stride(w + 3), pixels(static_cast<size_t>(stride) * h, fill) {}
  kv5_PixelView view() { return {width, height, stride, pixels.data()}; }
  uint32_t &at(int x, int y) { return pixels[static_cast<size_t>(y) * stride + x]; }
  bool paddingIntact() const {
    for (int y = 0; y < height; ++y)
      for (int x = width; x < stride; ++x)
        if (pixels[static_cast<size_t>(y) * stride + x] != 0xDEADBEEF) return false;
    return true;
  }
};

Surface randomSurface(std::mt19937 &rng, int w, int h, uint32_t alphaMask, const std::vector<uint32_t> *palette = nullptr) {
  Surface s(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      s.at(x, y) = palette != nullptr ? (*palette)[rng() % palette->size()] : (rng() & (0x00FFFFFFu | alphaMask));
  return s;
}

struct Unpacked {
  int64_t result;
  Surface surface;
  kv5_Context context;
  // A failed unpack: -1, its message and the layer error, nothing written.
  std::string failure() const {
    return std::to_string(result) + " " + messages(context) + (context.layerError ? "layer error" : "") +
           (surface.paddingIntact() && surface.pixels[0] == 0xDEADBEEF ? "" : ", pixels written");
  }
};

Unpacked unpack(int w, int h, int format, int channels, const Bytes &stream) {
  Unpacked u{0, Surface(w, h), {}};
  kv5_ContextInit(&u.context);
  uint32_t palette[256];
  kv5_PixelView view = u.surface.view();
  u.result = kv5_UnpackPixels(&view, format, channels, stream.data(), stream.size(), palette, &u.context);
  return u;
}

Bytes pack(Surface &s, int format, bool alpha, const std::vector<uint32_t> &palette = {}) {
  kv5_PixelView view = s.view();
  int64_t size = kv5_PackedSize(&view, format, alpha, static_cast<int>(palette.size()));
  EXPECT_GE(size, 0);
  Bytes out(static_cast<size_t>(size) + 16, 0xAB);
  EXPECT_EQ(kv5_PackPixels(&view, format, alpha, out.data(), palette.data(), static_cast<int>(palette.size())), size);
  for (size_t i = static_cast<size_t>(size); i < out.size(); ++i) EXPECT_EQ(out[i], 0xAB);
  out.resize(static_cast<size_t>(size));
  return out;
}

void expectSamePixels(Surface &a, Surface &b) {
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x) ASSERT_EQ(a.at(x, y), b.at(x, y)) << x << "," << y;
  EXPECT_TRUE(b.paddingIntact());
}

}  // namespace

TEST(PixelFormats, PlaneCountsFollowTheChannelCount) {
  // Packing, the green-difference planes: green, then blue and red against it.
  Surface one(1, 1);
  one.at(0, 0) = 0x7F10F005;  // T 7F, R 10, G F0, B 05
  EXPECT_EQ(pack(one, kv5_FormatGreenDifference, true), (Bytes{0xF0, 0x95, 0xA0, 0x7F}));
  EXPECT_EQ(pack(one, kv5_FormatPlanar, false), (Bytes{0x05, 0xF0, 0x10}));
  // Unpacking:
  const Bytes planes = {1, 2, 3, 4, 5, 6, 7, 8};  // 2 x 1 pixels, up to four planes
  struct Case {
    int format, channels;
    int64_t result;
    uint32_t first, second;
  };
  for (Case c : {Case{kv5_FormatPlanar, 3, 6, 0x00050301, 0x00060402},  // no alpha plane: alpha 0
                 Case{kv5_FormatPlanar, 8, 8, 0x07050301, 0x08060402},  // a multiple of 4: the fourth plane too
                 Case{kv5_FormatPlanar, 6, 6, 0x00050301, 0x00060402},
                 Case{kv5_FormatGreenDifference, 4, 8, 0x07860184, 0x08880286},  // (1 + 3 - 128) mod 256 = 0x84
                 Case{kv5_FormatGrey, 1, 2, 0x00010101, 0x00020202},
                 Case{kv5_FormatGrey, 2, 4, 0x03010101, 0x04020202}}) {
    Unpacked u = unpack(2, 1, c.format, c.channels, planes);
    EXPECT_EQ(std::tuple(u.result, u.surface.at(0, 0), u.surface.at(1, 0)), std::tuple(c.result, c.first, c.second))
        << c.format << " " << c.channels;
  }
  const Unpacked cut = unpack(2, 1, kv5_FormatPlanar, 4, Bytes{1, 2, 3});  // too short for its planes
  EXPECT_TRUE(cut.result == -1 && cut.context.layerError);
}

TEST(PixelFormats, GreyPaletteAndSolid) {
  std::mt19937 rng(8);
  Surface grey(9, 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 9; ++x) grey.at(x, y) = (rng() & 0xFF) * 0x010101u | ((rng() & 0xFF) << 24);
  Bytes stream = pack(grey, kv5_FormatGrey, true);
  Unpacked u = unpack(9, 4, kv5_FormatGrey, 2, stream);
  ASSERT_EQ(u.result, 72);
  expectSamePixels(grey, u.surface);

  std::vector<uint32_t> palette = {0x11223344, 0xFF000000, 0x00ABCDEF, 0x12345678, 0x01010101};
  Surface pal = randomSurface(rng, 7, 6, 0, &palette);
  pal.at(3, 3) = 0x99999999;  // not in the palette: index 255, an unused (zero) entry
  stream = pack(pal, kv5_FormatPalette, false, palette);
  ASSERT_EQ(stream.size(), 1024u + 42u);
  EXPECT_EQ(stream[1024 + 3 * 7 + 3], 255);
  u = unpack(7, 6, kv5_FormatPalette, 1, stream);
  ASSERT_EQ(u.result, 1066);
  pal.at(3, 3) = 0;
  expectSamePixels(pal, u.surface);

  Surface solid(5, 3, 0x80112233);
  stream = pack(solid, kv5_FormatSolid, false);
  EXPECT_EQ(stream, (Bytes{0x33, 0x22, 0x11, 0x80}));
  u = unpack(5, 3, kv5_FormatSolid, 0, stream);
  ASSERT_EQ(u.result, 4);
  expectSamePixels(solid, u.surface);
}

TEST(PixelFormats, VariablePalette) {
  // 3 bits become 4; 5, 6 or 7 become 8.
  for (auto [entries, bits] : {std::pair{1, 1}, {2, 1}, {3, 2}, {5, 4}, {16, 4}, {17, 8}, {256, 8}})
    EXPECT_EQ(kv5_VariablePaletteBits(entries), bits) << entries;

  // A colour not in the palette gets the all-ones index of the index width;
  // a duplicate entry is never used past its first occurrence.
  const uint32_t A = 0x01020304, B = 0x0A0B0C0D, C = 0x7F000001, X = 0x55555555;
  for (auto [palette, missing] : {std::pair{std::vector<uint32_t>{A, B, A}, 0u},  // index 3: past the entries
                                  std::pair{std::vector<uint32_t>{A, B, A, C}, C}}) {
    Surface s(4, 1);
    s.at(0, 0) = A, s.at(1, 0) = X, s.at(2, 0) = B, s.at(3, 0) = A;
    Bytes stream = pack(s, kv5_FormatVariablePalette, false, palette);
    ASSERT_EQ(stream.size(), 4 + 4 * palette.size() + 1);
    EXPECT_EQ(stream[0], 0x01 | (palette.size() - 1) << 4);  // 2-bit indices
    EXPECT_EQ(stream.back(), 0 | 3 << 2 | 1 << 4 | 0 << 6);   // A, X, B, A
    Unpacked u = unpack(4, 1, kv5_FormatVariablePalette, 1, stream);
    ASSERT_EQ(u.result, static_cast<int64_t>(stream.size()));
    EXPECT_EQ(std::pair(u.surface.at(1, 0), u.surface.at(3, 0)), std::pair(missing, A));
  }

  // A stored 5-bit palette (never written, read all the same): 20 entries,
  // indices packed across rows, least significant bit first.
  Bytes stream;
  kv5test::put32(stream, 4 | (19 << 4));
  for (uint32_t i = 0; i < 20; ++i) kv5test::put32(stream, 0x01000000u * i + i);
  kv5test::Bits bits;
  const uint32_t indices[6] = {0, 19, 7, 31, 3, 12};  // 31: past the entries, reads 0
  for (uint32_t v : indices) bits.put(v, 5);
  stream.insert(stream.end(), bits.bytes().begin(), bits.bytes().end());
  Unpacked u = unpack(3, 2, kv5_FormatVariablePalette, 1, stream);
  ASSERT_EQ(u.result, 4 + 80 + 4);
  EXPECT_EQ(std::vector<uint32_t>({u.surface.at(0, 0), u.surface.at(1, 0), u.surface.at(2, 0), u.surface.at(0, 1),
                                   u.surface.at(1, 1), u.surface.at(2, 1)}),
            std::vector<uint32_t>({0, 0x13000013, 0x07000007, 0, 0x03000003, 0x0C00000C}));

  // 300 entries cannot be held: refused with the index width.
  Bytes wide;
  kv5test::put32(wide, 7 | (299 << 4));
  wide.resize(4 + 1200 + 100, 0);
  EXPECT_EQ(unpack(4, 4, kv5_FormatVariablePalette, 1, wide).failure(), "-1 Unsupported variable palette size (8 bits)\nlayer error");
  Bytes tooManyBits;
  kv5test::put32(tooManyBits, 8 | (1 << 4));  // 9-bit indices, 2 entries
  tooManyBits.resize(100, 0);
  EXPECT_EQ(unpack(2, 2, kv5_FormatVariablePalette, 1, tooManyBits).failure(),
            "-1 Unsupported variable palette size (9 bits)\nlayer error");
}

TEST(PixelFormats, UnknownFormatAndOversizedPalettes) {
  EXPECT_EQ(unpack(2, 2, 6, 3, Bytes(100, 0)).failure(), "-1 Unknown pixel format, KV5 data not valid\nlayer error");
  Surface s(2, 2);
  kv5_PixelView view = s.view();
  Bytes out(4096);
  EXPECT_EQ(kv5_PackPixels(&view, 6, false, out.data(), nullptr, 0), -1);
  std::vector<uint32_t> big(300);  // more entries than an index can hold
  EXPECT_EQ(kv5_PackPixels(&view, kv5_FormatVariablePalette, false, out.data(), big.data(), 300), -1);
  EXPECT_EQ(kv5_PackPixels(&view, kv5_FormatPalette, false, out.data(), big.data(), 300), -1);
}

// Round trips of real images, and of random ones whose widths end short of,
// on and past the vector steps; packed the same with and without SIMD.
TEST(PixelFormats, SimdAndScalarAgreeAndRoundTrip) {
  std::mt19937 rng(4);
  std::vector<Surface> surfaces;
  for (int w : {1, 15, 16, 17, 33}) surfaces.push_back(randomSurface(rng, w, 5, w == 16 ? 0 : 0xFF000000u));
  for (const char *name : {"kv5/paris_icc_exif_xmp.png", "kv5/basn6a08.png"}) {
    kv5test::Image image;
    ASSERT_TRUE(kv5test::loadPng(vgmtest::dataFile(name), &image)) << name;
    Surface &s = surfaces.emplace_back(image.width, image.height);
    for (int y = 0; y < image.height; ++y) {
      for (int x = 0; x < image.width; ++x) {
        const uint8_t *p = &image.data[(static_cast<size_t>(y) * image.width + x) * image.channels];
        uint32_t a = image.channels == 4 ? 255u - p[3] : 0;  // T is transparency
        s.at(x, y) = p[2] | (p[1] << 8) | (p[0] << 16) | (a << 24);
      }
    }
  }
  for (Surface &s : surfaces) {
    SCOPED_TRACE(s.width);
    bool alpha = false;  // packed with a T plane only where one is needed
    for (int i = 0; i < s.width * s.height; ++i) alpha |= s.at(i % s.width, i / s.width) >> 24 != 0;
    for (int format : {kv5_FormatPlanar, kv5_FormatGreenDifference, kv5_FormatGrey}) {
      const int channels = (format == kv5_FormatGrey ? 1 : 3) + alpha;
      kv5_SetSimdEnabled(true);
      Bytes fast = pack(s, format, alpha);
      kv5_SetSimdEnabled(false);
      Bytes plain = pack(s, format, alpha);
      Unpacked slow = unpack(s.width, s.height, format, channels, plain);
      kv5_SetSimdEnabled(true);
      ASSERT_EQ(fast, plain) << " format " << format;
      ASSERT_EQ(fast.size(), size_t(channels) * s.width * s.height);
      Unpacked quick = unpack(s.width, s.height, format, channels, fast);
      expectSamePixels(slow.surface, quick.surface);
      if (format != kv5_FormatGrey) expectSamePixels(s, quick.surface);
    }
  }
}
