// Packed DIBs in every supported layout, built here byte by byte.
#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "platform/os.h"
#include "platform/os_bitmap.h"
#include "raster_test_support.h"

using rxtest::EngineTest;

namespace {

struct Dib {
  std::vector<uint8_t> bytes;
  void u16(uint32_t v) { bytes.insert(bytes.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}); }
  void u32(uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); }
  // Information header (40 bytes, padded with zeros up to `size`).
  Dib &infoHeader(uint32_t size, int32_t width, int32_t height, uint16_t bits, uint32_t compression,
                   uint32_t used = 0, const uint32_t *masks = nullptr) {
    size_t start = bytes.size();
    for (uint32_t v : {size, static_cast<uint32_t>(width), static_cast<uint32_t>(height)}) u32(v);
    u16(1), u16(bits);
    for (uint32_t v : {compression, 0u, 3780u, 3780u, used, 0u}) u32(v);
    if (masks != nullptr && size >= 52)
      for (int i = 0; i < 3; ++i) u32(masks[i]);
    while (bytes.size() < start + size) bytes.push_back(0);
    return *this;
  }
  Dib &coreHeader(uint16_t width, uint16_t height, uint16_t bits) {
    u32(12);
    for (uint16_t v : {width, height, uint16_t{1}, bits}) u16(v);
    return *this;
  }
  void quads(std::initializer_list<uint32_t> colours) { for (uint32_t rgb : colours) u32(rgb & 0xFFFFFF); }
  void triple(uint32_t rgb) { for (int shift : {0, 8, 16}) bytes.push_back(static_cast<uint8_t>(rgb >> shift)); }
  // One row of raw bytes, padded to four.
  void row(std::vector<uint8_t> data) {
    while (data.size() % 4) data.push_back(0);
    bytes.insert(bytes.end(), data.begin(), data.end());
  }
};

class PackedDibTest : public EngineTest {
 protected:
  // Loads the DIB and returns its pixels top-down; empty on failure.
  std::vector<uint32_t> load(const Dib &dib, size_t size, uint32_t *width = nullptr) {
    rx_Surface s{};
    if (rx_SurfaceFromDib(&s, dib.bytes.data(), size, 0) != 1) return {};
    EXPECT_EQ(s.kind, rx_KindDib);
    std::vector<uint32_t> pixels = rxtest::pixelsOf(&s);
    if (width != nullptr) *width = s.width;
    rx_SurfaceFree(&s);
    return pixels;
  }
};

constexpr uint32_t kRed = 0xFF0000, kBlue = 0x0000FF, kGreen = 0x00FF00, kGrey = 0x808080;

HBITMAP makeSection(int32_t width, int32_t height, uint16_t bits, void **memory) {
  BITMAPINFO info{};
  info.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), width, height, 1, bits, BI_RGB, 0, 0, 0, 0, 0};
  return CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, memory, nullptr, 0);
}

}  // namespace

// Kept first: once the engine runs, the bitmap layer's StretchBlt scales.
// The in-memory bitmaps and device contexts the engine draws through.
TEST(BitmapLayer, ObjectsKnowTheirTypeAndSelectionRules) {
  void *bits = nullptr;
  HBITMAP bitmap = makeSection(4, -3, 32, &bits);
  ASSERT_NE(bitmap, nullptr);
  HDC a = CreateCompatibleDC(nullptr), b = CreateCompatibleDC(nullptr);
  EXPECT_EQ(std::pair(GetObjectType(a), GetObjectType(bitmap)), (std::pair<DWORD, DWORD>(OBJ_MEMDC, OBJ_BITMAP)));
  HGDIOBJ initial = GetCurrentObject(a, OBJ_BITMAP);
  BITMAP mono{};
  ASSERT_EQ(GetObjectW(initial, sizeof mono, &mono), static_cast<int>(sizeof mono));
  EXPECT_EQ(mono.bmWidth * 100 + mono.bmBitsPixel, 101);  // 1 pixel wide, 1 bit

  EXPECT_EQ(SelectObject(a, bitmap), initial);
  EXPECT_EQ(SelectObject(b, bitmap), nullptr);  // one context at a time
#ifndef _WIN32  // the system's GDI defers the deletion of a selected bitmap instead
  EXPECT_FALSE(DeleteObject(bitmap));           // still selected
#endif
  EXPECT_EQ(SelectObject(a, initial), bitmap);
  EXPECT_TRUE(DeleteDC(a));
  EXPECT_EQ(GetObjectType(a), 0u);  // stale handles are told apart
  EXPECT_FALSE(DeleteDC(a));
  EXPECT_TRUE(DeleteObject(bitmap) && GetObjectType(bitmap) == 0u && DeleteDC(b));

#ifndef _WIN32  // the system's GDI makes 8-bit sections with a palette
  EXPECT_TRUE(makeSection(2, 2, 8, &bits) == nullptr && os_LastError() == os_Error::invalidArgument);
  // A row of 2^32 bytes must not wrap into an empty one.
  EXPECT_TRUE(makeSection(1 << 30, 1, 32, &bits) == nullptr && os_LastError() == os_Error::outOfMemory);
#endif
}

TEST(BitmapLayer, BlitsClipAndHandleOverlap) {
  void *bits = nullptr;
  HBITMAP bitmap = makeSection(6, -4, 32, &bits);
  auto *p = static_cast<uint32_t *>(bits);
  for (uint32_t i = 0; i < 24; ++i) p[i] = i + 1;
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ initial = SelectObject(dc, bitmap);

  // Inside one bitmap, downwards and to the right: the source rows survive.
  ASSERT_TRUE(BitBlt(dc, 1, 1, 5, 3, dc, 0, 0, SRCCOPY));
  EXPECT_EQ(std::vector<uint32_t>({p[6 * 1 + 1], p[6 * 3 + 5], p[0]}), std::vector<uint32_t>({1, 6 * 2 + 5, 1}));

  // A clip region limits what lands; the right and bottom edges are excluded.
  for (uint32_t i = 0; i < 24; ++i) p[i] = 0;
  void *srcBits = nullptr;
  HBITMAP source = makeSection(6, -4, 32, &srcBits);
  for (uint32_t i = 0; i < 24; ++i) static_cast<uint32_t *>(srcBits)[i] = 0xAA;
  HDC sdc = CreateCompatibleDC(nullptr);
  HGDIOBJ sinitial = SelectObject(sdc, source);
  HRGN region = CreateRectRgn(2, 1, 4, 3);
  EXPECT_EQ(SelectClipRgn(dc, region), SIMPLEREGION);
  DeleteObject(region);
  ASSERT_TRUE(BitBlt(dc, -3, -3, 20, 20, sdc, -3, -3, SRCCOPY));
  for (uint32_t i = 0; i < 24; ++i) EXPECT_EQ(p[i], i / 6 >= 1 && i / 6 <= 2 && i % 6 >= 2 && i % 6 <= 3 ? 0xAAu : 0u) << i;
#ifndef _WIN32  // the software layer does not scale; the system's GDI does
  EXPECT_FALSE(StretchBlt(dc, 0, 0, 4, 4, sdc, 0, 0, 2, 2, SRCCOPY));
#endif

  SelectObject(sdc, sinitial), SelectObject(dc, initial);
  DeleteDC(sdc), DeleteDC(dc), DeleteObject(source), DeleteObject(bitmap);
}

TEST(BitmapLayer, GetDIBitsConvertsOrientationAndDepth) {
  void *bits = nullptr;
  HBITMAP rgb = makeSection(2, 2, 24, &bits);  // bottom-up, rows of 8 bytes
  auto *b = static_cast<uint8_t *>(bits);
  const uint8_t rows[16] = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};
  std::memcpy(b, rows, sizeof rows);
  BITMAPINFO query{};
  query.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  HDC dc = CreateCompatibleDC(nullptr);  // Windows wants a real context here
  EXPECT_EQ(GetDIBits(dc, rgb, 0, 0, nullptr, &query, DIB_RGB_COLORS), 2);
  EXPECT_EQ((std::pair<int, int>(query.bmiHeader.biBitCount, query.bmiHeader.biWidth)), std::pair(24, 2));

  BITMAPINFO want = query;
  want.bmiHeader.biBitCount = 32;
  want.bmiHeader.biHeight = -2;  // top-down
  uint32_t out[4] = {};
  ASSERT_EQ(GetDIBits(dc, rgb, 0, 2, out, &want, DIB_RGB_COLORS), 2);
  EXPECT_EQ(std::pair(out[0], out[3]), std::pair(0x00090807u, 0x00060504u));  // top row first
#ifndef _WIN32  // the system's GDI converts to any width it is asked for
  want.bmiHeader.biWidth = 3;
  EXPECT_EQ(GetDIBits(dc, rgb, 0, 2, out, &want, DIB_RGB_COLORS), 0);
#endif
  DeleteObject(rgb), DeleteDC(dc);
  EXPECT_EQ(GetDIBits(nullptr, rgb, 0, 2, out, &want, DIB_RGB_COLORS), 0);  // a stale handle
}

using Pixels = std::vector<uint32_t>;

TEST_F(PackedDibTest, PaletteImagesOfOneFourAndEightBits) {
  Dib one = Dib{}.infoHeader(40, 10, 2, 1, 0);  // 1 bit: rows cross byte boundaries; rows stored bottom-up
  one.quads({kRed, kBlue});
  one.row({0x80, 0x40});  // bottom row: pixels 0 and 9 set
  one.row({0x55, 0x00});  // top row: odd pixels set
  uint32_t width = 0;
  EXPECT_EQ(load(one, one.bytes.size(), &width), (Pixels{kRed, kBlue, kRed, kBlue, kRed, kBlue, kRed, kBlue, kRed, kRed,  // top
                       kBlue, kRed, kRed, kRed, kRed, kRed, kRed, kRed, kRed, kBlue}));
  EXPECT_EQ(width, 10u);

  Dib four = Dib{}.infoHeader(40, 3, -2, 4, 0);  // top-down
  for (uint32_t i = 0; i < 16; ++i) four.quads({i * 0x111111});
  four.row({0x12, 0x30});
  four.row({0xFE, 0xD0});
  EXPECT_EQ(load(four, four.bytes.size()), (Pixels{0x111111, 0x222222, 0x333333, 0xFFFFFF, 0xEEEEEE, 0xDDDDDD}));

  // Three colours used: the table is three entries long, pixels follow it;
  // an index past the table draws black.
  Dib eight = Dib{}.infoHeader(40, 4, 1, 8, 0, 3);
  eight.quads({kRed, kGreen, kGrey});
  eight.row({2, 1, 0, 7});
  EXPECT_EQ(load(eight, eight.bytes.size()), (Pixels{kGrey, kGreen, kRed, 0}));

  Dib core = Dib{}.coreHeader(2, 1, 8);  // core header: a table of triples
  for (uint32_t i = 0; i < 256; ++i) core.triple(i == 5 ? kBlue : i == 9 ? kGreen : 0);
  core.row({9, 5});
  EXPECT_EQ(load(core, core.bytes.size()), (Pixels{kGreen, kBlue}));
}

TEST_F(PackedDibTest, DirectColourOfSixteenTwentyFourAndThirtyTwoBits) {
  Dib plain = Dib{}.infoHeader(40, 3, 1, 16, 0);  // 5-5-5 without masks
  plain.row({0x00, 0x7C, 0xE0, 0x03, 0x10, 0x00});
  EXPECT_EQ(load(plain, plain.bytes.size()), (Pixels{0xFF0000, 0x00FF00, (16u * 255 + 15) / 31}));

  Dib fields = Dib{}.infoHeader(40, 2, 1, 16, 3);
  for (uint32_t m : {0xF800, 0x07E0, 0x001F}) fields.u32(m);
  fields.row({0x00, 0xF8, 0x20, 0x00});  // full red; green 1 of 63
  EXPECT_EQ(load(fields, fields.bytes.size()), (Pixels{0xFF0000, ((1u * 255 + 31) / 63) << 8}));

  Dib rgb = Dib{}.infoHeader(40, 3, 2, 24, 0);
  rgb.row({1, 2, 3, 4, 5, 6, 7, 8, 9});           // bottom
  rgb.row({10, 11, 12, 13, 14, 15, 16, 17, 18});  // top
  const Pixels rgbPixels = {0x0C0B0A, 0x0F0E0D, 0x121110, 0x030201, 0x060504, 0x090807};
  EXPECT_EQ(load(rgb, rgb.bytes.size()), rgbPixels);
  Dib mirrored = rgb;  // a negative width is taken by its absolute value
  mirrored.bytes[4] = 0xFD, mirrored.bytes[5] = mirrored.bytes[6] = mirrored.bytes[7] = 0xFF;
  EXPECT_EQ(load(mirrored, mirrored.bytes.size()), rgbPixels);

  Dib raw = Dib{}.infoHeader(40, 2, -1, 32, 0);
  raw.row({1, 2, 3, 0x80, 4, 5, 6, 0xFF});
  EXPECT_EQ(load(raw, raw.bytes.size()), (Pixels{0x80030201, 0xFF060504}));  // the fourth byte comes along

  // Version-5 header with its masks inside: red and blue exchanged here.
  const uint32_t swapped[3] = {0x000000FF, 0x0000FF00, 0x00FF0000};
  Dib v5 = Dib{}.infoHeader(124, 1, 1, 32, 3, 0, swapped);
  v5.row({0x11, 0x22, 0x33, 0x44});
  EXPECT_EQ(load(v5, v5.bytes.size()), (Pixels{0x00112233}));

  Dib core24 = Dib{}.coreHeader(1, 1, 24);
  core24.row({7, 8, 9});
  EXPECT_EQ(load(core24, 0), (Pixels{0x090807}));  // size unknown: the memory itself is checked
}

TEST_F(PackedDibTest, SizesThatLieAndUnsupportedLayoutsAreRefused) {
  Dib dib = Dib{}.infoHeader(40, 4, 4, 24, 0);
  for (int i = 0; i < 4; ++i) dib.row(std::vector<uint8_t>(12, 0x40));
  Dib tall = dib, rle, odd;
  tall.bytes[8] = 40;  // the header claims more rows than there are
  rle.infoHeader(40, 2, 2, 8, 1);
  rle.bytes.resize(rle.bytes.size() + 1024 + 16);
  odd.infoHeader(40, 2, 2, 12, 0);
  odd.bytes.resize(odd.bytes.size() + 64);
  // Smaller than the header, one byte short, too tall, compressed, an unsupported depth, no memory.
  rx_Surface s{};
  for (auto [bytes, size] : {std::pair<const uint8_t *, size_t>{dib.bytes.data(), 30},
                             {dib.bytes.data(), dib.bytes.size() - 1}, {tall.bytes.data(), tall.bytes.size()},
                             {rle.bytes.data(), rle.bytes.size()}, {odd.bytes.data(), odd.bytes.size()}, {nullptr, 100}}) {
    EXPECT_EQ(rxtest::withError(rx_SurfaceFromDib(&s, bytes, size, 0)), (std::pair<int64_t, int32_t>(0, rx_ErrArgument)))
        << size;
    EXPECT_EQ(s.signature, 0);
  }
  EXPECT_EQ(rx_SurfaceFromDib(&s, dib.bytes.data(), dib.bytes.size(), 0), 1);
  rx_SurfaceFree(&s);
}
