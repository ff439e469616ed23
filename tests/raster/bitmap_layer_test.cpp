// The in-memory bitmaps and device contexts the engine draws through.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "platform/os.h"
#include "platform/os_bitmap.h"

namespace {

HBITMAP makeSection(int32_t width, int32_t height, uint16_t bits, void **memory) {
  BITMAPINFO info{};
  info.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), width, height, 1, bits, BI_RGB, 0, 0, 0, 0, 0};
  return CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, memory, nullptr, 0);
}

}  // namespace

TEST(BitmapLayer, ObjectsKnowTheirTypeAndSelectionRules) {
  void *bits = nullptr;
  HBITMAP bitmap = makeSection(4, -3, 32, &bits);
  ASSERT_NE(bitmap, nullptr);
  HDC a = CreateCompatibleDC(nullptr), b = CreateCompatibleDC(nullptr);
  EXPECT_EQ(GetObjectType(a), static_cast<DWORD>(OBJ_MEMDC));
  EXPECT_EQ(GetObjectType(bitmap), static_cast<DWORD>(OBJ_BITMAP));
  HGDIOBJ initial = GetCurrentObject(a, OBJ_BITMAP);
  BITMAP mono{};
  ASSERT_EQ(GetObjectW(initial, sizeof mono, &mono), static_cast<int>(sizeof mono));
  EXPECT_EQ(mono.bmWidth * 100 + mono.bmBitsPixel, 101);  // 1 pixel wide, 1 bit

  EXPECT_EQ(SelectObject(a, bitmap), initial);
  EXPECT_EQ(SelectObject(b, bitmap), nullptr);  // one context at a time
  EXPECT_FALSE(DeleteObject(bitmap));           // still selected
  EXPECT_EQ(SelectObject(a, initial), bitmap);
  EXPECT_TRUE(DeleteDC(a));
  EXPECT_EQ(GetObjectType(a), 0u);  // stale handles are told apart
  EXPECT_FALSE(DeleteDC(a));
  EXPECT_TRUE(DeleteObject(bitmap));
  EXPECT_EQ(GetObjectType(bitmap), 0u);
  EXPECT_TRUE(DeleteDC(b));

  EXPECT_EQ(makeSection(2, 2, 8, &bits), nullptr);
  EXPECT_EQ(os_LastError(), os_Error::invalidArgument);
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
  EXPECT_FALSE(StretchBlt(dc, 0, 0, 4, 4, sdc, 0, 0, 2, 2, SRCCOPY));  // scaling is not done here

  SelectObject(sdc, sinitial);
  SelectObject(dc, initial);
  for (HDC d : {sdc, dc}) DeleteDC(d);
  for (HBITMAP b : {source, bitmap}) DeleteObject(b);
}

TEST(BitmapLayer, GetDIBitsConvertsOrientationAndDepth) {
  void *bits = nullptr;
  HBITMAP rgb = makeSection(2, 2, 24, &bits);  // bottom-up, rows of 8 bytes
  auto *b = static_cast<uint8_t *>(bits);
  const uint8_t rows[16] = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};
  std::memcpy(b, rows, sizeof rows);
  BITMAPINFO query{};
  query.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  EXPECT_EQ(GetDIBits(nullptr, rgb, 0, 0, nullptr, &query, DIB_RGB_COLORS), 2);
  EXPECT_EQ((std::pair<int, int>(query.bmiHeader.biBitCount, query.bmiHeader.biWidth)), std::pair(24, 2));

  BITMAPINFO want = query;
  want.bmiHeader.biBitCount = 32;
  want.bmiHeader.biHeight = -2;  // top-down
  uint32_t out[4] = {};
  ASSERT_EQ(GetDIBits(nullptr, rgb, 0, 2, out, &want, DIB_RGB_COLORS), 2);
  EXPECT_EQ(std::pair(out[0], out[3]), std::pair(0x00090807u, 0x00060504u));  // top row first
  want.bmiHeader.biWidth = 3;
  EXPECT_EQ(GetDIBits(nullptr, rgb, 0, 2, out, &want, DIB_RGB_COLORS), 0);
  DeleteObject(rgb);
  EXPECT_EQ(GetDIBits(nullptr, rgb, 0, 2, out, &want, DIB_RGB_COLORS), 0);
}
