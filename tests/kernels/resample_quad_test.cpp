// Resampling quality, quadrilaterals, the point list and the dispatcher.
#include <cmath>

#include "kernel_test_util.h"
#include "raster/kernels/resample_fast.h"

using namespace kt;

namespace {

TEST(Resampling, ConstantStaysConstantAtEveryScale) {
  Surface src(37, 23, Px(12, 140, 250, 0));
  const int sizes[][2] = {{74, 46}, {111, 69}, {30, 20}, {18, 11}, {9, 5}, {4, 3}, {1, 1}, {50, 10}};
  for (uint32_t options : {0u, static_cast<uint32_t>(rx_OptScaleCase)}) {
    for (auto &sz : sizes) {
      Surface dst(sz[0], sz[1], 0);
      ASSERT_EQ(rx_ResampleRect(&dst, 0, 0, sz[0] - 1, sz[1] - 1, &src, 0, 0, 36, 22, options), 1);
      for (uint32_t p : dst.Pixels()) ASSERT_EQ(p, Px(12, 140, 250, 0)) << sz[0] << "x" << sz[1];
    }
  }
}

TEST(Resampling, LineStaysCentred) {
  // A one-pixel vertical line in the middle of 21 columns, scaled by 3 and by 1/3.
  Surface src(21, 9, Grey(0));
  src.Fill([](int x, int) { return Grey(x == 10 ? 255 : 0); });
  for (int w : {63, 7, 14, 42}) {
    Surface dst(w, 9, 0);
    ASSERT_EQ(rx_ResampleRect(&dst, 0, 0, w - 1, 8, &src, 0, 0, 20, 8, rx_OptScaleCase), 1);
    double sum = 0, moment = 0;
    for (int x = 0; x < w; ++x) {
      double v = Ch(dst.At(x, 4), 1);
      sum += v;
      moment += v * (x + 0.5);
    }
    ASSERT_GT(sum, 0);
    EXPECT_NEAR(moment / sum, w / 2.0, 0.05) << w;
    for (int x = 0; x < w; ++x) EXPECT_EQ(dst.At(x, 4), dst.At(w - 1 - x, 4)) << w;  // symmetric
  }
}

TEST(Resampling, EnlargeThenShrinkReturnsClose) {
  Surface src(40, 30), big(120, 90), back(40, 30);
  src.Fill([](int x, int y) {
    return Px(static_cast<int>(127 + 100 * std::sin(x * 0.3)), static_cast<int>(127 + 100 * std::cos(y * 0.25)),
              (x * y) & 255 ? 128 : 60, 0);
  });
  ASSERT_EQ(rx_ResampleRect(&big, 0, 0, 119, 89, &src, 0, 0, 39, 29, rx_OptScaleCase), 1);
  ASSERT_EQ(rx_ResampleRect(&back, 0, 0, 39, 29, &big, 0, 0, 119, 89, rx_OptScaleCase), 1);
  std::vector<uint32_t> a = src.Pixels(), b = back.Pixels();
  double se = 0;
  for (size_t i = 0; i < a.size(); ++i)
    for (int c = 0; c < 3; ++c) se += std::pow(Ch(a[i], c) - Ch(b[i], c), 2);
  double psnr = 10 * std::log10(255.0 * 255.0 / (se / (a.size() * 3)));
  EXPECT_GT(psnr, 30.0);
}

TEST(Resampling, TransparentPixelsDoNotDarken) {
  // Lone white opaque pixels among black fully transparent ones, at every
  // factor on each axis, through each path (the general filter forced too).
  Surface src(30, 20);
  src.Fill([](int x, int y) { return (x * 7 + y * 3) % 5 ? Px(0, 0, 0, 255) : Grey(255); });
  const double factors[] = {0.1, 0.37, 0.5, 0.77, 1.0, 1.3, 1.7, 2, 3.3, 8.1};
  for (uint32_t options : {0u, static_cast<uint32_t>(rx_OptScaleCase), 3u << 24})
    for (double fx : factors)
      for (double fy : factors) {
        const int w = int(std::lround(30 * fx)), h = int(std::lround(20 * fy));
        Surface dst(w, h, 0);
        rx_kernel::gResampleGeneralOnly = options >> 25;
        ASSERT_EQ(rx_ResampleRect(&dst, 0, 0, w - 1, h - 1, &src, 0, 0, 29, 19, options & rx_OptScaleCase), 1);
        rx_kernel::gResampleGeneralOnly = false;
        int partial = 0;
        for (uint32_t p : dst.Pixels()) {
          partial += Ch(p, 3) > 0 && Ch(p, 3) < 255;
          ASSERT_TRUE(Ch(p, 3) == 255 || (p & 0xFFFFFF) == 0xFFFFFFu) << w << "x" << h << " " << options;
        }
        EXPECT_TRUE(options == 0 || fx == 1.0 || partial > 0) << w << "x" << h;  // the filters mix them
      }
}

TEST(Resampling, SourceRowsOutsideTheSourceDrawNothing) {
  // Shrinking rows 50..69 (or -20..-1) of a 40-row source: no source row has a tap.
  Surface src(40, 40, Grey(9)), dst(4, 4, Grey(200));
  for (int top : {50, -20}) {
    rx_SetLastError(8);
    EXPECT_EQ(rx_ResampleRect(&dst, 0, 0, 3, 1, &src, 0, top, 39, top + 19, rx_OptScaleCase), 1) << top;
    EXPECT_EQ(rx_GetLastError(), 0) << top;
    for (uint32_t p : dst.Pixels()) ASSERT_EQ(p, Grey(200)) << top;
  }
}

TEST(Resampling, ScaledCopyInsideOneSurface) {
  // Each copy within one surface must match the same copy from a twin surface:
  // enlarging down and right, shrinking up and left, enlarging in place, and
  // shifted by a sub-pixel offset.
  const int rects[][8] = {{10, 10, 39, 39, 0, 0, 19, 19}, {0, 0, 19, 19, 0, 0, 39, 39}, {0, 0, 39, 39, 0, 0, 24, 24},
                          {0, 3, 39, 33, 0, 0, 39, 39}, {2, 1, 37, 38, 2, 2, 37, 38}};
  auto photo = [](int x, int y) { return Px(x * 6, y * 6, (x * y) & 255, (x + y) % 3 ? 0 : 90); };
  for (uint32_t options : {0u, static_cast<uint32_t>(rx_OptScaleCase)})
    for (const auto &r : rects) {
      Surface same(40, 40), dst(40, 40), src(40, 40);
      same.Fill(photo), dst.Fill(photo), src.Fill(photo);
      rx_SetSourceOffset(r[4] * 50, r[4] * 50);
      ASSERT_EQ(rx_ResampleRect(&same, r[0], r[1], r[2], r[3], &same, r[4], r[5], r[6], r[7], options), 1);
      ASSERT_EQ(rx_ResampleRect(&dst, r[0], r[1], r[2], r[3], &src, r[4], r[5], r[6], r[7], options), 1);
      rx_SetSourceOffset(0, 0);
      ASSERT_EQ(same.Pixels(), dst.Pixels()) << r[0] << "," << r[1] << " from " << r[6] << " " << options;
    }
}

TEST(Quads, RotatedSquareMapsCornersToCorners) {
  Surface src(10, 10), dst(10, 10, 0);
  src.Fill([](int x, int y) { return Px(x * 20, y * 20, 7, 0); });
  // A quarter turn clockwise: the source's top-left lands top-right.
  rx_PointF c[4] = {{9, 0}, {9, 9}, {0, 9}, {0, 0}};
  rx_Rect whole{0, 0, 9, 9, 1};
  ASSERT_EQ(rx_CopyQuad(&dst, &src, c, &whole), 1);
  ExpectAt(dst, {{9, 0, src.At(0, 0)}, {9, 9, src.At(9, 0)}, {0, 9, src.At(9, 9)}, {0, 0, src.At(0, 9)}, {5, 2, src.At(2, 4)}});
  // A 45-degree diamond leaves the outside corners alone.
  Surface dst2(21, 21, 0x12345678);
  rx_PointF d[4] = {{10, 0}, {20, 10}, {10, 20}, {0, 10}};
  ASSERT_EQ(rx_OpQuad(&dst2, &src, d, &whole, 0, rx_OpNormal, rx_ClassNormal), 1);
  ExpectAt(dst2, {{0, 0, 0x12345678u}, {10, 0, src.At(0, 0)}});
  EXPECT_EQ(dst2.At(10, 10) >> 24, 0u);
  // Bad input.
  EXPECT_EQ(rx_CopyQuad(&dst, &src, nullptr, &whole), 0);
  rx_Rect bad{5, 0, 4, 9, 1};
  EXPECT_EQ(rx_CopyQuad(&dst, &src, c, &bad), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrArgument);
  rx_PointF nan[4] = {{NAN, 0}, {9, 0}, {9, 9}, {0, 9}};
  EXPECT_EQ(rx_CopyQuad(&dst, &src, nan, &whole), 0);
}

TEST(Dispatcher, FractionalRectangleTakesTheSubpixelPath) {
  Surface src(8, 8), viaQuad(20, 20, Grey(0)), direct(20, 20, Grey(0));
  src.Fill([](int x, int y) { return Grey(x * 30 + y); });
  rx_PointF c[4] = {{3.25f, 2.5f}, {10.25f, 2.5f}, {10.25f, 9.5f}, {3.25f, 9.5f}};
  rx_Rect whole{0, 0, 7, 7, 1};
  ASSERT_EQ(rx_DrawQuad(&viaQuad, &src, c, &whole, 0, 0, 0, nullptr, nullptr), 1);
  EXPECT_EQ(rx_GetThreadState()->sourceOffsetX, 0);  // reset afterwards
  // The same draw by hand: offset = the corner fractions, clip = the bounding box.
  rx_Rect box{3, 2, 11, 10, 1};
  rx_SetClipRect(&box);
  rx_SetSourceOffset(64, 128);
  ASSERT_EQ(rx_OpRectSubpixel(&direct, 3, 2, 10, 9, &src, 0, 0, 7, 7, 0, rx_OpNormal, rx_ClassNormal), 1);
  rx_SetSourceOffset(0, 0);
  rx_SetClipRect(nullptr);
  EXPECT_EQ(viaQuad.Pixels(), direct.Pixels());
  // A sub-pixel shift really happened: the result differs from a whole-pixel copy.
  ASSERT_EQ(rx_CopyRect(&viaQuad, 3, 2, 10, 9, &src, 0, 0, 7, 7, 0), 1);
  EXPECT_NE(viaQuad.Pixels(), direct.Pixels());
}

TEST(Dispatcher, ModesReplaceMaskAndInvisible) {
  Surface src(4, 4, Grey(200, 0)), dst(6, 6, Px(1, 2, 3, 0));
  rx_PointF c[4] = {{1, 1}, {4, 1}, {4, 4}, {1, 4}};
  rx_Rect whole{0, 0, 3, 3, 1};
  ASSERT_EQ(rx_DrawQuad(&dst, &src, c, &whole, 255, 0, 0, nullptr, nullptr), 1);  // invisible
  EXPECT_EQ(dst.At(2, 2), Px(1, 2, 3, 0));
  ASSERT_EQ(rx_DrawQuad(&dst, &src, c, &whole, 0, 3, 0, nullptr, nullptr), 1);  // multiply
  ExpectAt(dst, {{2, 2, Px(0, 1, 2, 0)}, {0, 0, Px(1, 2, 3, 0)}});
  ASSERT_EQ(rx_DrawQuad(&dst, &src, c, &whole, 0, 255, 0, nullptr, nullptr), 1);  // replace
  EXPECT_EQ(dst.At(4, 4), Grey(200));
  src.Fill([](int, int) { return Px(0, 0, 0, 255); });
  ASSERT_EQ(rx_DrawQuad(&dst, &src, c, &whole, 0, 9, 0, nullptr, nullptr), 1);  // intersect mask
  ExpectAt(dst, {{2, 2, Grey(200, 255)}, {0, 0, Px(1, 2, 3, 0)}});
  rx_SetClipRect(nullptr);
  EXPECT_TRUE(rx_LayerModeToOp(18) == rx_OpPinLight && rx_LayerModeToOp(200) == rx_OpNormal);
  EXPECT_EQ(rx_DrawQuad(&dst, &src, nullptr, &whole, 0, 0, 0, nullptr, nullptr), 0);
}

TEST(PointList, GrowthRepeatsAndBadRecords) {
  rx_PointList list{};
  ASSERT_EQ(rx_PointListInit(&list), 1);
  EXPECT_EQ(list.capacity, 1024u);
  EXPECT_EQ(rx_PointListAdd(&list, 1, 2, 0), 1);
  EXPECT_EQ(rx_PointListAdd(&list, 1, 2, 0), -1);  // a repeat is not stored
  EXPECT_EQ(list.count, 1);
  EXPECT_EQ(rx_PointListAdd(&list, 1, 2, 1), 1);  // another flag is another point
  for (int i = 0; i < 200; ++i) ASSERT_EQ(rx_PointListAdd(&list, i, i * 2, 0), 1);
  EXPECT_EQ(list.count, 202);
  EXPECT_TRUE(list.capacity % 1024 == 0 && list.capacity >= (202u + 1) * 12) << list.capacity;
  int32_t x, y;
  uint8_t flag;
  ASSERT_EQ(rx_PointListGet(&list, 150, &x, &y, &flag), 1);
  EXPECT_EQ(std::pair(x, y), std::pair(148, 296));
  EXPECT_EQ(list.points[202 * 12 + 8], 1);  // the slot after the last is marked
  ASSERT_EQ(rx_PointListFree(&list), 1);
  EXPECT_EQ(rx_PointListAdd(&list, 0, 0, 0), 0);
  EXPECT_EQ(rx_GetLastError(), 4);
  EXPECT_EQ(rx_PointListAdd(nullptr, 0, 0, 0), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrArgument);
}

TEST(FillPolygon, TriangleWithSpanOperation) {
  Surface dst(10, 10, Grey(100));
  rx_PointList list{};
  ASSERT_EQ(rx_PointListInit(&list), 1);
  for (auto [x, y] : {std::pair{0, 0}, {9, 0}, {0, 9}}) ASSERT_EQ(rx_PointListAdd(&list, x, y, 0), 1);
  ASSERT_EQ(rx_FillPolygon(&dst, &list, Grey(50), rx_OpDarken, rx_ClassNormal), 1);
  rx_PointListFree(&list);
  ExpectAt(dst, {{1, 1, Grey(50)}, {8, 8, Grey(100)}});
  uint32_t row[8] = {};
  EXPECT_EQ(rx_SpanOp(row, 2, 5, 0xFF, rx_OpOr, nullptr), 1);
  EXPECT_TRUE(row[2] == 0xFFu && row[5] == 0xFFu && row[6] == 0u);
  EXPECT_EQ(rx_SpanOp(row, 5, 2, 0xFF, rx_OpOr, nullptr), 0);
}

}  // namespace
