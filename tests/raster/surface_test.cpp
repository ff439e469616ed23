#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/os.h"
#include "platform/os_bitmap.h"
#include "raster_test_support.h"

using namespace rxtest;
using SurfaceTest = EngineTest;
using Result = std::pair<int64_t, int32_t>;

namespace {

bool isZero(const rx_Surface &s) {
  rx_Surface zero{};
  return std::memcmp(&s, &zero, sizeof s) == 0;
}

std::vector<int32_t> edges(const rx_Rect &r) { return {r.left, r.top, r.right, r.bottom, r.valid}; }

}  // namespace

TEST_F(SurfaceTest, CreationHonoursEverySizeLimit) {
  struct Case { int32_t w, h; uint32_t flags; bool noMemory; int32_t result, error; uint32_t width, height, kind; };
  const Case cases[] = {
      {70000, 10, 0, false, 3, 0, 65536, 9, rx_KindDib},  // 10 / 70,000 x 65,536 + 0.5 = 9.86
      {70000, 10, rx_CreateNoShrink, false, 0, rx_ErrTooBig, 0, 0, 0},
      {20000, 20000, 0, false, 3, 0, 15812, 15812, rx_KindMemory},  // above 50,000,000 pixels
      {20000, 20000, rx_CreateLowerLimit, false, 3, 0, 14142, 14142, rx_KindMemory},
      {20000, 20000, rx_CreateNoTotalLimit, true, 0, rx_ErrNoMemory, 0, 0, 0},  // the full size is asked for
      {-30, -20, 0, false, 1, 0, 30, 20, rx_KindDib},
      {0, 20, 0, false, 0, rx_ErrArgument, 0, 0, 0},
      {20, 0, 0, false, 0, rx_ErrArgument, 0, 0, 0},
      // The pixel ceiling holds even without the total limit; exactly 0x3FFFFFFF passes.
      {65536, 16385, rx_CreateNoTotalLimit, false, 0, rx_ErrTooBig, 0, 0, 0},
      {32768, 32768, rx_CreateNoTotalLimit, false, 0, rx_ErrTooBig, 0, 0, 0},
      {34881, 30783, rx_CreateNoTotalLimit | rx_CreateMemory, true, 0, rx_ErrNoMemory, 0, 0, 0},
      {200000, 1, 0, false, 3, 0, 65536, 1, rx_KindDib},  // at least one pixel across
      {10, 10, rx_CreateDib, true, 0, rx_ErrNoMemory, 0, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h));
    Surface s{};
    os_InjectFault(os_FaultKind::allocation, c.noMemory ? 1 : 0);  // the allocation is made to fail
    EXPECT_EQ(withError(rx_SurfaceCreate(&s, c.w, c.h, c.flags)), Result(c.result, c.error));
    os_InjectFault(os_FaultKind::allocation, 0);
    EXPECT_EQ(std::vector<uint32_t>({s.width, s.height, s.kind}), std::vector<uint32_t>({c.width, c.height, c.kind}));
    EXPECT_TRUE(c.result != 0 || isZero(s));
  }
  EXPECT_EQ(withError(rx_SurfaceCreate(nullptr, 20, 20, 0)), Result(0, rx_ErrNotSurface));
}

TEST_F(SurfaceTest, CreationReplacesALiveSurfaceWithZeroedStorage) {
  Surface s{};
  ASSERT_EQ(rx_SurfaceCreate(&s, 8, 4, rx_CreateMemory), 1);
  ASSERT_EQ(rx_SurfaceCreate(&s, 9, 5, rx_CreateDib), 1);  // the heap block is freed first
  EXPECT_EQ(std::pair(s.kind, s.stride), (std::pair<uint8_t, uint32_t>(rx_KindDib, 9)));
  EXPECT_EQ(GetObjectType(s.storage1), static_cast<DWORD>(OBJ_MEMDC));
  EXPECT_EQ(GetObjectType(reinterpret_cast<HGDIOBJ>(s.storage2)), static_cast<DWORD>(OBJ_BITMAP));
  EXPECT_EQ(pixelsOf(&s), std::vector<uint32_t>(45, 0u));
}

TEST_F(SurfaceTest, WrapAndViewCheckTheirArgumentsAndViewsClipOnLock) {
  std::vector<uint32_t> buffer(12 * 8, 0);
  Surface wrapped{}, view{}, empty{};
  for (auto [w, h, stride, bits] : {std::tuple{0, 8, 12, buffer.data()}, std::tuple{10, 8, 0, buffer.data()},
                                    std::tuple{10, 8, 12, static_cast<uint32_t *>(nullptr)}})
    EXPECT_EQ(withError(rx_SurfaceWrap(&wrapped, w, h, stride, bits)), Result(0, rx_ErrArgument));
  ASSERT_EQ(rx_SurfaceWrap(&wrapped, 10, 8, 12, buffer.data()), 1);
  EXPECT_EQ(wrapped.kind, rx_KindWrapped);
  fillMarkers(&wrapped);
  EXPECT_EQ(buffer[12 * 3 + 4], marker(4, 3));

  EXPECT_EQ(withError(rx_SurfaceView(&view, &wrapped, 5, 1, 4, 3)), Result(0, rx_ErrArgument));
  EXPECT_EQ(withError(rx_SurfaceView(&view, &wrapped, 0, 0, 40000, 3)), Result(0, rx_ErrArgument));
  EXPECT_EQ(withError(rx_SurfaceView(&view, &empty, 0, 0, 1, 1)), Result(0, rx_ErrNotSurface));

  ASSERT_EQ(rx_SurfaceView(&view, &wrapped, 2, 1, 100, 100), 1);
  EXPECT_EQ(view.width, 99u);
  ASSERT_EQ(rx_SurfaceLock(&view, 0), 1);  // clipped to the parent, which is locked with the view
  EXPECT_EQ(std::vector<uint32_t>({view.width, view.height, view.stride, view.bits[0], uint32_t(wrapped.lockCount)}),
            std::vector<uint32_t>({8, 7, 12, marker(2, 1), 1}));
  rx_SurfaceUnlock(&view, 0);
  EXPECT_EQ(wrapped.lockCount, 0);

  ASSERT_EQ(rx_SurfaceView(&view, &wrapped, 10, 0, 12, 2), 1);
  EXPECT_EQ(withError(rx_SurfaceLock(&view, 0)), Result(0, rx_ErrEmpty));  // starts beyond the parent's width
  EXPECT_EQ(wrapped.lockCount, 0);
}

TEST_F(SurfaceTest, LockCountDiagnosticsAndRefusals) {
  Surface s{}, empty{};
  ASSERT_EQ(rx_SurfaceCreate(&s, 4, 4, rx_CreateMemory), 1);
  EXPECT_EQ(rx_SurfaceUnlock(&s, 0), 1);
  EXPECT_EQ(std::pair(s.lockCount, diagnostics.count(rx_DiagLockCount)), std::pair(0, 1));
  for (int i = 0; i < 256; ++i) ASSERT_EQ(rx_SurfaceLock(&s, 0), 1);
  EXPECT_EQ(diagnostics.count(rx_DiagLockCount), 2);  // passed 255 once
  for (int i = 0; i < 256; ++i) rx_SurfaceUnlock(&s, 0);
  EXPECT_EQ(s.lockCount, 0);

  ASSERT_EQ(rx_SurfaceLock(&s, rx_LockExclusive), 1);
  ASSERT_EQ(rx_SurfaceLock(&s, rx_LockExclusive), 1);  // a thread never waits for itself
  rx_SurfaceUnlock(&s, rx_LockExclusive), rx_SurfaceUnlock(&s, rx_LockExclusive);

  s.state = rx_StateClosing;
  EXPECT_TRUE(withError(rx_SurfaceLock(&s, 0)) == Result(0, rx_ErrClosing) && s.lockCount == 0);
  s.state = 0;
  EXPECT_EQ(withError(rx_SurfaceLock(&empty, 0)), Result(0, rx_ErrEmpty));
  EXPECT_EQ(withError(rx_SurfaceLock(nullptr, 0)), Result(0, rx_ErrNotSurface));
  // Inconsistent heap fields fail the lock and the validity check.
  s.storage4 = 0;
  EXPECT_EQ(withError(rx_SurfaceLock(&s, 0)), Result(0, rx_ErrEmpty));
  EXPECT_EQ(withError(rx_SurfaceIsValid(&s)), Result(0, rx_ErrStorage));
  s.storage4 = 4;
  // A locked swap exchanges the contents; the locks stay with the records.
  Surface other{};
  ASSERT_EQ(rx_SurfaceCreate(&other, 2, 3, rx_CreateDib), 1);
  ASSERT_EQ(rx_SurfaceSwapLocked(&s, &other), 1);
  EXPECT_EQ(std::vector<int64_t>({s.kind, s.width, other.kind, other.width, s.lockCount, other.lockCount, other.owner}),
            std::vector<int64_t>({rx_KindDib, 2, rx_KindMemory, 4, 0, 0, 0}));
}

TEST_F(SurfaceTest, FreeLeavesAZeroRecordAndIsHarmlessTwice) {
  rx_Surface s{};
  ASSERT_EQ(rx_SurfaceCreate(&s, 4, 4, 0), 1);
  rx_GetThreadState()->patternSurface = &s;
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(withError(rx_SurfaceFree(&s)), Result(1, rx_ErrEmpty));
    EXPECT_TRUE(isZero(s));
  }
  EXPECT_EQ(rx_GetThreadState()->patternSurface, nullptr);
  EXPECT_EQ(withError(rx_SurfaceFree(nullptr)), Result(0, rx_ErrNotSurface));
}

TEST_F(SurfaceTest, ValidityRepairsADeadDeviceContext) {
  Surface s{};
  ASSERT_EQ(rx_SurfaceCreate(&s, 6, 6, rx_CreateDib), 1);
  ASSERT_TRUE(DeleteDC(static_cast<HDC>(s.storage1)));
  EXPECT_EQ((std::pair{rx_SurfaceIsValid(&s), diagnostics.count(rx_DiagDcRecreated)}), std::pair(1, 1));
  EXPECT_EQ(GetCurrentObject(static_cast<HDC>(s.storage1), OBJ_BITMAP), reinterpret_cast<HGDIOBJ>(s.storage3));

  s.signature = 153;
  EXPECT_EQ(withError(rx_SurfaceIsValid(&s)), Result(0, rx_ErrNotSurface));
  s.signature = rx_SurfaceSignature;
  s.kind = 9;
  EXPECT_EQ(withError(rx_SurfaceIsValid(&s)), Result(0, rx_ErrEmpty));
  EXPECT_EQ(withError(rx_SurfaceRefresh(&s)), Result(0, rx_ErrEmpty));
  s.kind = rx_KindDib, s.width = s.height = 0, s.bits = nullptr;
  EXPECT_TRUE(rx_SurfaceRefresh(&s) == 1 && s.width == 6u && s.bits != nullptr);
}

TEST_F(SurfaceTest, RotationAndFlipMoveEveryPixel) {
  const uint32_t W = 5, H = 3;
  std::vector<uint32_t> buffer = markersBy(W, H, marker);
  const std::vector<uint32_t> before = buffer;
  for (int turns : {-1, 0, 1, 2, 3, 4, 5, 101}) {
    SCOPED_TRACE(turns);
    Surface s{};
    // A wrapped surface is rotated into storage of its own; its buffer stays.
    bool wrap = turns == 101;
    ASSERT_EQ(wrap ? rx_SurfaceWrap(&s, W, H, W, buffer.data()) : rx_SurfaceCreate(&s, W, H, rx_CreateDib), 1);
    if (!wrap) fillMarkers(&s);
    ASSERT_EQ(rx_SurfaceRotate(&s, turns), 1);
    int q = ((turns % 4) + 4) % 4;
    EXPECT_EQ(s.kind, wrap ? rx_KindMemory : rx_KindDib);
    EXPECT_EQ(pixelsOf(&s), markersBy(q % 2 ? H : W, q % 2 ? W : H, [&](uint32_t x, uint32_t y) {
                return q == 0 ? marker(x, y) : q == 1 ? marker(y, H - 1 - x) : q == 2 ? marker(W - 1 - x, H - 1 - y)
                                                                                      : marker(W - 1 - y, x);
              }));
  }
  EXPECT_EQ(diagnostics.count(rx_DiagRotateRefused), 1);
  EXPECT_EQ(buffer, before);

  for (uint32_t flags : {1u, 2u, 3u}) {
    Surface s{};
    ASSERT_NO_FATAL_FAILURE(makeMarked(&s, W, H, rx_CreateMemory));
    ASSERT_EQ(rx_SurfaceFlip(&s, flags), 1);
    EXPECT_EQ(pixelsOf(&s), markersBy(W, H, [&](uint32_t x, uint32_t y) {
                return marker(flags & 1 ? W - 1 - x : x, flags & 2 ? H - 1 - y : y);
              })) << flags;
  }
  rx_Surface empty{};
  EXPECT_EQ(rx_SurfaceFlip(&empty, 1), 0);
}

TEST_F(SurfaceTest, CompareFindsTheDifferingRectangle) {
  Surface a{}, b{}, c{};
  ASSERT_NO_FATAL_FAILURE(makeMarked(&a, 7, 5, 0));
  ASSERT_NO_FATAL_FAILURE(makeMarked(&b, 7, 5, rx_CreateMemory));
  rx_Rect rect{9, 9, 9, 9, 9};
  EXPECT_EQ(rx_SurfaceCompare(&a, &b, 0, &rect), -1);
  EXPECT_EQ(edges(rect), std::vector<int32_t>({0, 0, 0, 0, 0}));
  // One pixel on each edge and corner, then two pixels of different weight.
  for (auto [x, y] : {std::pair{0, 2}, {6, 2}, {3, 0}, {3, 4}, {0, 0}, {6, 4}}) {
    fillMarkers(&b);
    rx_SurfaceLock(&b, 0);
    b.bits[y * b.stride + x] ^= 0x00010000;
    rx_SurfaceUnlock(&b, 0);
    ASSERT_EQ(rx_SurfaceCompare(&a, &b, 0, &rect), 1);
    EXPECT_EQ(edges(rect), std::vector<int32_t>({x, y, x, y, 1}));
  }
  fillMarkers(&b);
  rx_SurfaceLock(&b, 0);
  b.bits[0 * b.stride + 5] += 0x00000304;  // differs by 3 + 4 = 7
  b.bits[3 * b.stride + 1] += 0x02000000;  // differs by 2
  rx_SurfaceUnlock(&b, 0);
  ASSERT_EQ(rx_SurfaceCompare(&a, &b, 0, &rect), 1);
  EXPECT_EQ(edges(rect), std::vector<int32_t>({1, 0, 5, 3, 1}));
  ASSERT_EQ(rx_SurfaceCompare(&a, &b, 6, &rect), 1);  // only the first one now
  EXPECT_EQ(edges(rect), std::vector<int32_t>({5, 0, 5, 0, 1}));
  EXPECT_EQ(rx_SurfaceCompare(&a, &b, 7, &rect), -1);
  ASSERT_EQ(rx_SurfaceCreate(&c, 6, 5, 0), 1);
  EXPECT_EQ(withError(rx_SurfaceCompare(&a, &c, 0, &rect)), Result(0, rx_ErrArgument));
  EXPECT_EQ(edges(rect), std::vector<int32_t>({0, 0, 6, 4, 1}));
  EXPECT_EQ(withError(rx_SurfaceCompare(&a, &b, 0, nullptr)), Result(0, rx_ErrArgument));
}

TEST_F(SurfaceTest, CopyMakesAnExactCopyOrRefusesStridedRows) {
  Surface src{}, dst{}, wrapped{}, view{};
  ASSERT_NO_FATAL_FAILURE(makeMarked(&src, 6, 4, rx_CreateMemory));
  rx_Rect rect{};
  for (int round = 0; round < 2; ++round) {  // created at the source's size, then made again at a wrong size
    ASSERT_TRUE(round == 0 || rx_SurfaceCreate(&dst, 3, 3, 0) == 1);
    ASSERT_EQ(rx_SurfaceCopy(&dst, &src), 1);
    EXPECT_EQ(rx_SurfaceCompare(&dst, &src, 0, &rect), -1);
  }

  std::vector<uint32_t> buffer(6 * 4, 0);  // a wrapped target of the same size is filled in place
  ASSERT_EQ(rx_SurfaceWrap(&wrapped, 6, 4, 6, buffer.data()), 1);
  ASSERT_EQ(rx_SurfaceCopy(&wrapped, &src), 1);
  EXPECT_EQ(buffer[6 * 3 + 5], marker(5, 3));

  // A view's rows have gaps: copied row by row into a surface of its size.
  ASSERT_EQ(rx_SurfaceView(&view, &src, 1, 1, 3, 2), 1);
  ASSERT_EQ(rx_SurfaceCopy(&dst, &view), 1);
  EXPECT_EQ(pixelsOf(&dst), markersBy(3, 2, [](uint32_t x, uint32_t y) { return marker(x + 1, y + 1); }));
}

TEST_F(SurfaceTest, MapChannelsUsesTheGivenTablesInsideTheClippedRectangle) {
  Surface s{};
  ASSERT_EQ(rx_SurfaceCreate(&s, 4, 3, 0), 1);
  fillWith(&s, 0x40302010u);
  uint8_t invert[256], plusOne[256];
  for (int i = 0; i < 256; ++i) invert[i] = static_cast<uint8_t>(255 - i), plusOne[i] = static_cast<uint8_t>(i + 1);
  EXPECT_EQ(withError(rx_SurfaceMapChannels(&s, 0, 0, 3, 2, nullptr, nullptr, nullptr, nullptr)),
            Result(0, rx_ErrArgument));
  ASSERT_EQ(rx_SurfaceMapChannels(&s, 2, 1, 50, 50, invert, nullptr, plusOne, nullptr), 1);
  EXPECT_EQ(pixelsOf(&s), markersBy(4, 3, [](uint32_t x, uint32_t y) {
              return x >= 2 && y >= 1 ? 0x403120EFu : 0x40302010u;
            }));
}

TEST_F(SurfaceTest, AlphaConversionModes) {
  // Worked by hand: T 128 gives opacity 127, so 0xC8 becomes
  // ((200 x 127 + 127) x 257) >> 16 = 100; back, 0xFF000 / 127 = 8224 and
  // (100 x 8224 + 2048) >> 12 = 201.
  struct Case { uint32_t mode, in, out; };
  for (Case c : {Case{0x1000, 0x80C86432, 0x00C86432}, Case{0x2000, 0x80C86432, 0x7FC86432},
                 Case{0x3000, 0x80C86432, 0x7F643219}, Case{0x3000, 0x00C86432, 0xFFC86432},
                 Case{0x3000, 0xFFC86432, 0x00000000}, Case{0x4000, 0x7F643219, 0x80C96432},
                 Case{0x4000, 0x00C86432, 0xFF000000}, Case{0x4000, 0xFFC86432, 0x00C86432},
                 Case{0x4000, 0x01010101, 0xFEFFFFFF}, Case{0x5000, 0x12C86432, 0xFFC86432},
                 Case{0x6000, 0x12C86432, 0x12C86432}, Case{0x0000, 0x12C86432, 0x12C86432}}) {
    uint32_t pixel = c.in;
    ASSERT_EQ(rx_ConvertAlphaRow(&pixel, 1, c.mode | 0x0123), 1);  // only the 0xF000 bits count
    EXPECT_EQ(pixel, c.out) << std::hex << c.mode << " " << c.in;
  }
  Surface s{};
  ASSERT_NO_FATAL_FAILURE(makeMarked(&s, 3, 2, 0));
  ASSERT_EQ(rx_SurfaceFixAlpha(&s, 0x5000), 1);
  EXPECT_EQ(pixelsOf(&s)[5], (marker(2, 1) & 0xFFFFFF) | 0xFF000000u);
}

TEST_F(SurfaceTest, ResizeCarriesPixelsOverOrDiscardsThem) {
  Surface s{}, flat{};
  ASSERT_NO_FATAL_FAILURE(makeMarked(&s, 8, 8, rx_CreateDib));
  EXPECT_EQ(rx_SurfaceResize(&s, 8, 8, 0), 1);
  EXPECT_EQ(withError(rx_SurfaceResize(&s, 0, 8, 0)), Result(0, rx_ErrArgument));
  // Region copy: the top-left part stays pixel for pixel.
  EXPECT_EQ(rx_SurfaceResize(&s, 4, 5, 0x20), 1);
  rx_SurfaceLock(&s, 0);
  EXPECT_EQ(std::vector<uint32_t>({s.width, s.kind, pixelAt(&s, 3, 4), pixelAt(&s, 0, 0)}),
            std::vector<uint32_t>({4, rx_KindDib, marker(3, 4), marker(0, 0)}));
  rx_SurfaceUnlock(&s, 0);
  // Resampled: a constant image stays constant at any size.
  ASSERT_EQ(rx_SurfaceCreate(&flat, 9, 7, 0), 1);
  fillWith(&flat, 0x00336699u);
  for (auto [w, h] : {std::pair{4, 3}, std::pair{20, 13}}) {
    ASSERT_EQ(rx_SurfaceResize(&flat, w, h, 0), 1);
    EXPECT_EQ(pixelsOf(&flat), std::vector<uint32_t>(w * h, 0x00336699u)) << w;
  }
  // Discarding keeps the kind unless flag 2 asks for heap memory; too big
  // fails unless flag 4 allows shrinking (result 99).
  for (auto [w, flags, kind] : {std::tuple{4, 1u, rx_KindDib}, std::tuple{5, 1u | 2u, rx_KindMemory}})
    EXPECT_TRUE(rx_SurfaceResize(&s, w, 3, flags) == 1 && s.kind == kind) << w;
  EXPECT_EQ(withError(rx_SurfaceResize(&s, 70000, 2, 1)), Result(0, rx_ErrTooBig));
  EXPECT_EQ(rx_SurfaceResize(&s, 70000, 2, 1 | 4), 99);
  rx_SurfaceFree(&s);

  std::vector<uint32_t> buffer(4);
  ASSERT_EQ(rx_SurfaceWrap(&s, 2, 2, 2, buffer.data()), 1);
  EXPECT_EQ(withError(rx_SurfaceResize(&s, 3, 3, 1)), Result(0, rx_ErrNotSurface));
  EXPECT_EQ(diagnostics.count(rx_DiagResizeRefused), 1);
}

TEST_F(SurfaceTest, DeviceContextIsClippedHeldExclusivelyAndGivenBack) {
  Surface s{}, source{}, flat{}, stretched{};
  ASSERT_EQ(rx_SurfaceCreate(&s, 10, 8, rx_CreateDib), 1);
  EXPECT_EQ(withError(rx_SurfaceGetDC(&s, nullptr, false) != nullptr), Result(0, rx_ErrArgument));
  rx_Rect clip{2, 1, 5, 3, 1};
  rx_SetClipRect(&clip);
  HDC dc = nullptr, stretchedDc = nullptr;
  ASSERT_EQ(rx_SurfaceGetDC(&s, &dc, true), dc);
  ASSERT_NE(dc, nullptr);
  EXPECT_EQ(s.owner, os_ThreadId());
  EXPECT_EQ(GetCurrentObject(dc, OBJ_BITMAP), reinterpret_cast<HGDIOBJ>(s.storage2));
  RECT box{};
  EXPECT_EQ(GetClipBox(dc, &box), SIMPLEREGION);
  EXPECT_EQ(std::vector<LONG>({box.left, box.top, box.right, box.bottom}), std::vector<LONG>({2, 1, 6, 4}));

  // Draw through the context: only the clipped part lands.
  ASSERT_NO_FATAL_FAILURE(makeMarked(&source, 10, 8, rx_CreateDib));
  EXPECT_EQ(rx_SurfacePaint(dc, 0, 0, 9, 7, &source, 0, 0, 9, 7), 1);
  // Stretching a flat source: the clipped part takes its colour, the rest nothing.
  ASSERT_EQ(rx_SurfaceCreate(&flat, 5, 4, 0), 1);
  fillWith(&flat, 0x00A0B0C0u);
  ASSERT_EQ(rx_SurfaceCreate(&stretched, 10, 8, rx_CreateDib), 1);
  ASSERT_NE(rx_SurfaceGetDC(&stretched, &stretchedDc, true), nullptr);
  EXPECT_EQ(rx_SurfacePaint(stretchedDc, 0, 0, 9, 7, &flat, 0, 0, 4, 3), 1);
  rx_SurfaceReleaseDC(&stretched, &stretchedDc);
  auto inClip = [](uint32_t x, uint32_t y) { return x >= 2 && x <= 5 && y >= 1 && y <= 3; };
  EXPECT_EQ(pixelsOf(&stretched),
            markersBy(10, 8, [&](uint32_t x, uint32_t y) { return inClip(x, y) ? 0x00A0B0C0u : 0u; }));
  rx_SurfaceReleaseDC(&s, &dc);
  EXPECT_EQ(std::pair(dc, s.owner), std::pair(HDC{}, 0u));
  EXPECT_EQ(GetCurrentObject(static_cast<HDC>(s.storage1), OBJ_BITMAP), reinterpret_cast<HGDIOBJ>(s.storage3));
  EXPECT_EQ(pixelsOf(&s), markersBy(10, 8, [&](uint32_t x, uint32_t y) { return inClip(x, y) ? marker(x, y) : 0u; }));
  rx_SetClipRect(nullptr);
}

TEST_F(SurfaceTest, HeapSurfacesBecomeDibsWrappedAndViewsCannot) {
  Surface s{}, heap{}, wrapped{}, view{};
  ASSERT_NO_FATAL_FAILURE(makeMarked(&s, 5, 4, rx_CreateMemory));
  HDC dc = nullptr;
  ASSERT_NE(rx_SurfaceGetDC(&s, &dc, false), nullptr);
  EXPECT_EQ(std::pair(diagnostics.count(rx_DiagNotDib), int(s.kind)), std::pair(1, int(rx_KindDib)));
  // Painting a heap surface goes through packed rows; the result is the rows drawn.
  ASSERT_NO_FATAL_FAILURE(makeMarked(&heap, 7, 6, rx_CreateMemory));
  EXPECT_EQ(rx_SurfacePaint(dc, 1, 1, 2, 2, &heap, 4, 3, 5, 4), 2);
  rx_SurfaceReleaseDC(&s, &dc);
  const std::vector<uint32_t> after = pixelsOf(&s);  // content kept, then painted
  EXPECT_EQ(std::vector<uint32_t>({after[5 * 3 + 4], after[5 + 1], after[10 + 2]}),
            std::vector<uint32_t>({marker(4, 3), marker(4, 3), marker(5, 4)}));

  std::vector<uint32_t> buffer(4);
  ASSERT_EQ(rx_SurfaceWrap(&wrapped, 2, 2, 2, buffer.data()), 1);
  ASSERT_EQ(rx_SurfaceView(&view, &s, 0, 0, 1, 1), 1);
  for (rx_Surface *r : {&wrapped, &view})
    EXPECT_EQ(withError(rx_SurfaceGetDC(r, &dc, false) != nullptr), Result(0, rx_ErrNoDC));
  EXPECT_EQ(diagnostics.count(rx_DiagMakeDibRefused), 1);
  EXPECT_EQ(withError(rx_SurfaceMakeDib(&wrapped)), Result(0, rx_ErrClosing));
}

TEST_F(SurfaceTest, BitmapsAreDetachedAndTakenIn) {
  Surface s{};
  ASSERT_NO_FATAL_FAILURE(makeMarked(&s, 6, 3, rx_CreateMemory));
  HBITMAP bitmap = rx_SurfaceDetachBitmap(&s);
  ASSERT_TRUE(bitmap != nullptr && isZero(s));
  BITMAP info{};
  ASSERT_EQ(GetObjectW(bitmap, sizeof info, &info), static_cast<int>(sizeof info));
  EXPECT_EQ(std::vector<LONG>({info.bmWidth, info.bmHeight, info.bmBitsPixel}), std::vector<LONG>({6, 3, 32}));
  EXPECT_EQ(static_cast<uint32_t *>(info.bmBits)[6 * 2 + 5], marker(5, 2));

  // Back in, with the fourth byte inverted for a 32-bit bitmap.
  static_cast<uint32_t *>(info.bmBits)[0] = 0x10203040;
  ASSERT_EQ(rx_SurfaceFromBitmap(&s, bitmap, 0x2000), 1);
  std::vector<uint32_t> in = pixelsOf(&s);
  ASSERT_EQ(in.size(), 18u);
  EXPECT_EQ(std::pair(in[0], in[17]), std::pair(0xEF203040u, (marker(5, 2) & 0xFFFFFF) | 0xFE000000u));
  EXPECT_TRUE(DeleteObject(bitmap));

  // A 24-bit bitmap has no transparency: every pixel comes in opaque.
  BITMAPINFO header{};
  header.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), 3, 2, 1, 24, BI_RGB, 0, 0, 0, 0, 0};  // bottom-up
  void *bits = nullptr;
  HBITMAP rgb = CreateDIBSection(nullptr, &header, DIB_RGB_COLORS, &bits, nullptr, 0);
  ASSERT_NE(rgb, nullptr);
  std::memcpy(bits, "\x01\x02\x03", 3);  // bottom-left pixel
  ASSERT_EQ(rx_SurfaceFromBitmap(&s, rgb, 0x2000), 1);
  EXPECT_EQ(pixelsOf(&s), std::vector<uint32_t>({0, 0, 0, 0x00030201u, 0, 0}));
  EXPECT_TRUE(DeleteObject(rgb));
  EXPECT_EQ(withError(rx_SurfaceFromBitmap(&s, reinterpret_cast<HBITMAP>(&header), 0)), Result(0, rx_ErrArgument));

  // Wider than a surface may be: every bitmap kind comes in scaled to the
  // limit (70,000 x 2 gives 65,536 x 2), top row first, with result 3.
  for (auto [bitCount, height] : {std::pair{32, -2}, std::pair{32, 2}, std::pair{24, 2}, std::pair{24, -2}}) {
    SCOPED_TRACE(std::to_string(bitCount) + " " + std::to_string(height));
    header.bmiHeader.biWidth = 70000;
    header.bmiHeader.biHeight = height;
    header.bmiHeader.biBitCount = static_cast<WORD>(bitCount);
    HBITMAP wide = CreateDIBSection(nullptr, &header, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_NE(wide, nullptr);
    for (int i = 0; i < 2 * 70000; ++i)  // memory row 0 is the top row when top-down
      std::memcpy(static_cast<uint8_t *>(bits) + i * bitCount / 8, (i < 70000) == (height < 0) ? "\x60\x50\x40" : "\x30\x20\x10",
                  bitCount / 8);
    ASSERT_EQ(rx_SurfaceFromBitmap(&s, wide, 0), 3);
    ASSERT_EQ(std::pair(s.width, s.height), std::pair(65536u, 2u));
    ASSERT_EQ(rx_SurfaceLock(&s, 0), 1);
    for (uint32_t x : {0, 1, 30000, 65535})
      EXPECT_EQ(std::pair(pixelAt(&s, x, 0), pixelAt(&s, x, 1)), std::pair(0x00405060u, 0x00102030u)) << x;
    rx_SurfaceUnlock(&s, 0);
    EXPECT_TRUE(DeleteObject(wide));
  }
}

// Several threads on one surface: shared lockers against destroy, exclusive
// use, owners that end or hang while holding a surface.
TEST_F(SurfaceTest, SharedLockersLetDestroyFinish) {
  rx_Surface s{};
  ASSERT_NO_FATAL_FAILURE(makeMarked(&s, 64, 32, 0));
  const std::vector<uint32_t> expected = markersBy(64, 32, marker);
  std::atomic<int> wrongPixels{0}, lockedReads{0};
  std::vector<int32_t> refusals(16, -1);
  std::vector<std::thread> readers;
  for (int i = 0; i < 16; ++i) {
    readers.emplace_back([&, i] {
      for (std::vector<uint32_t> seen; !(seen = pixelsOf(&s)).empty(); lockedReads++)
        wrongPixels += seen != expected;
      refusals[i] = rx_GetLastError();
    });
  }
  while (lockedReads.load() < 16) os_Sleep(1);
  EXPECT_EQ(rx_SurfaceFree(&s), 1);
  for (auto &t : readers) t.join();
  EXPECT_EQ(wrongPixels.load(), 0);
  for (int32_t code : refusals) EXPECT_TRUE(code == rx_ErrClosing || code == rx_ErrEmpty) << code;
  EXPECT_TRUE(isZero(s));
}

TEST_F(SurfaceTest, ExclusiveUseMakesOthersWaitForTheOwner) {
  Surface s{};
  ASSERT_EQ(rx_SurfaceCreate(&s, 4, 4, rx_CreateMemory), 1);
  std::atomic<bool> held{false};
  std::thread owner([&] {
    ASSERT_EQ(rx_SurfaceLock(&s, rx_LockExclusive), 1);
    // A nested shared lock by the holder (as the kernels take inside an
    // exclusive lock) must not let other threads in.
    ASSERT_EQ(rx_SurfaceLock(&s, 0), 1);
    rx_SurfaceUnlock(&s, 0);
    held = true;
    os_Sleep(50);
    s.bits[5] = 0xABCDEF;  // written before the others may look
    rx_SurfaceUnlock(&s, rx_LockExclusive);
  });
  while (!held.load()) os_Sleep(1);
  EXPECT_EQ(pixelsOf(&s).at(5), 0xABCDEFu);  // read under a shared lock: after the owner let go
  owner.join();
}

TEST_F(SurfaceTest, ASharedLockTakenAfterATimedOutWaitClearsTheOwner) {
  Surface s{};
  ASSERT_EQ(rx_SurfaceCreate(&s, 4, 4, rx_CreateMemory), 1);
  std::atomic<bool> held{false}, done{false};
  std::thread owner([&] {  // alive and holding for longer than the bounded wait
    ASSERT_EQ(rx_SurfaceLock(&s, rx_LockExclusive), 1);
    held = true;
    while (!done.load()) os_Sleep(5);
    rx_SurfaceUnlock(&s, rx_LockExclusive);
  });
  while (!held.load()) os_Sleep(1);
  ASSERT_EQ(rx_SurfaceLock(&s, 0), 1);  // after about 5 s, taken anyway
  ASSERT_EQ(rx_SurfaceLock(&s, rx_LockExclusive), 1);  // no second wait
  EXPECT_EQ(diagnostics.count(rx_DiagWaitTimedOut), 1);
  rx_SurfaceUnlock(&s, rx_LockExclusive), rx_SurfaceUnlock(&s, 0);
  done = true;
  owner.join();
}

TEST_F(SurfaceTest, AnOwnerThatEndsWithoutUnlockingIsPassedOver) {
  rx_Surface s{};
  ASSERT_EQ(rx_SurfaceCreate(&s, 4, 4, 0), 1);
  uint32_t ownerId = 0;
  std::thread([&] {
    ASSERT_EQ(rx_SurfaceLock(&s, rx_LockExclusive), 1);
    ownerId = os_ThreadId();
  }).join();
  EXPECT_EQ(std::pair(s.owner, s.lockCount), std::pair(ownerId, 1));

  ASSERT_EQ(rx_SurfaceLock(&s, rx_LockExclusive), 1);  // the dead owner is cleared
  EXPECT_EQ(s.owner, os_ThreadId());
  rx_SurfaceUnlock(&s, rx_LockExclusive);
  EXPECT_EQ(s.lockCount, 1);  // the lost thread's count stays

  // Destroy waits for that count in bounded steps, reports it, and finishes.
  diagnostics.clear();
  EXPECT_EQ(rx_SurfaceFree(&s), 1);
  EXPECT_EQ(std::pair(diagnostics.count(rx_DiagWaitTimedOut), diagnostics.count(rx_DiagDestroyGaveUp)), std::pair(1, 1));
  EXPECT_EQ(std::pair(s.signature, s.lockCount), (std::pair<uint8_t, int32_t>(0, 0)));
}

TEST_F(SurfaceTest, DestroyWaitsForALiveExclusiveOwner) {
  rx_Surface s{};
  ASSERT_EQ(rx_SurfaceCreate(&s, 4, 4, 0), 1);
  HDC dc = nullptr;
  std::atomic<bool> held{false}, released{false};
  std::thread user([&] {
    ASSERT_NE(rx_SurfaceGetDC(&s, &dc, false), nullptr);
    held = true;
    os_Sleep(100);
    released = true;
    rx_SurfaceReleaseDC(&s, &dc);
  });
  while (!held.load()) os_Sleep(1);
  EXPECT_TRUE(rx_SurfaceFree(&s) == 1 && released.load());
  user.join();
  EXPECT_EQ(s.signature, 0);
}

TEST_F(SurfaceTest, OwnedEntryPointsAnswerAsThePublicOnes) {
  rx_ThreadState *state = rx_GetThreadState();
  rx_Surface s{};
  ASSERT_EQ(rx_OwnedCreate(state, &s, 3, 2, rx_CreateMemory), 1);
  // Validity of every record state, with its error code, as the probing call gives it.
  auto spoil = std::vector<void (*)(rx_Surface &)>{[](rx_Surface &) {}, [](rx_Surface &r) { r.storage4 = 0; },
                                                   [](rx_Surface &r) { r.state = rx_StateClosing; },
                                                   [](rx_Surface &r) { r.kind = 9; }, [](rx_Surface &r) { r = {}; }};
  for (auto change : spoil) {
    rx_Surface copy = s;
    change(copy);
    Result expected = withError(rx_SurfaceIsValid(&copy));
    EXPECT_EQ(withError(rx_SurfaceIsValidOwned(&copy)), expected);
  }
  EXPECT_EQ(withError(rx_SurfaceIsValidOwned(nullptr)), Result(0, rx_ErrNotSurface));
  // A locked surface keeps its block; once unlocked it is handed over and the record emptied.
  ASSERT_EQ(rx_OwnedLock(state, &s, 0), 1);
  EXPECT_EQ(withError(reinterpret_cast<intptr_t>(rx_OwnedDetachMemory(state, &s))), Result(0, rx_ErrClosing));
  rx_OwnedUnlock(&s, 0);
  HGLOBAL block = rx_OwnedDetachMemory(state, &s);
  EXPECT_TRUE(block != nullptr && isZero(s) && GlobalSize(block) >= 3 * 2 * 4);
  GlobalFree(block);
}
