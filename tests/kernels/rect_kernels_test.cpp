// Copying, clipping, views, the coordinate maps, the fills, sources beyond
// the edges and coordinates near the integer limits, and the dispatcher.
#include <climits>
#include <cmath>
#include <cstring>
#include <numbers>

#include "kernel_test_util.h"

using namespace kt;

namespace {

uint32_t Pattern(int x, int y) { return Px(x * 7 & 255, y * 13 & 255, (x + y) & 255, 0); }

TEST(CoordinateMaps, PositionsAndSpans) {
  static uint32_t index[65536];
  static uint8_t fraction[65536];
  // d0, d1, s0, s1 (a source 10 wide), destination size, offset, a position
  // x with its index and fraction, the span (-1: empty).
  const int cases[][11] = {
      {0, 9, 0, 9, 10, 0, 7, 7, 0, 0, 9},        // identity
      {0, 19, 0, 9, 20, 0, 5, 2, 128, 0, 19},    // doubled: x / 2
      {0, 29, 0, 9, 30, 0, 0, 0, 128, 0, 28},    // beyond double: c = 0.5 moves half a source pixel
      {0, 9, 0, 9, 10, 64, 3, 2, 192, 0, 9},     // a quarter-pixel offset shifts the picture right
      {0, 9, -3, 6, 10, 0, 3, 0, 0, 3, 9},       // a source from 3 left of the surface
      {0, 9, 5, 14, 10, 0, 9, 9, 0, 0, 4},       // indexes clamped into the source
      {20, 29, 0, 9, 10, 0, 0, 0, 0, -1, -1},    // a destination beyond the surface
  };
  for (const auto &c : cases) {
    rx_AxisSpan span;
    ASSERT_EQ(rx_BuildAxisMap(c[0], c[1], c[2], c[3], 10, c[4], c[5], false, index, fraction, &span), 1);
    EXPECT_EQ(span.empty, c[9] < 0) << c[1] << " " << c[2];
    if (c[9] < 0) continue;
    EXPECT_EQ(std::tuple(int(index[c[6]]), int(fraction[c[6]]), span.first, span.last), std::tuple(c[7], c[8], c[9], c[10]))
        << c[1] << " " << c[2];
  }
  // The factor-2 threshold of the resampling cases, and the offset that forces nearest.
  EXPECT_EQ(rx_ScalingCase(100, 100, 50, 50, false, rx_OptScaleCase), rx_CaseShrinkBox);
  EXPECT_EQ(rx_ScalingCase(100, 100, 51, 51, false, rx_OptScaleCase), rx_CaseShrinkMild);
  EXPECT_EQ(rx_ScalingCase(100, 100, 50, 50, true, 0), rx_CaseNearest);
}

// Kernel k of the rectangle and quadrilateral kernels and the dispatcher:
// destination rectangle c[0..3] (quadrilaterals: fixed corners), source c[4..7].
constexpr int kKernels = 12;
int32_t RunKernel(int k, rx_Surface *d, rx_Surface *s, const int32_t (&c)[8]) {
  const rx_PointF q[4] = {{0.3f, 0}, {5, 0.6f}, {4.7f, 3}, {0, 2.5f}};
  const rx_Rect r{c[4], c[5], c[6], c[7], 1};
  switch (k) {
    case 0: return rx_CopyRect(d, c[0], c[1], c[2], c[3], s, c[4], c[5], c[6], c[7], 0);
    case 1: return rx_BlendRect(d, c[0], c[1], c[2], c[3], s, c[4], c[5], c[6], c[7], 2);
    case 2: return rx_ResampleRect(d, c[0], c[1], c[2], c[3], s, c[4], c[5], c[6], c[7], rx_OptScaleCase);
    case 3: return rx_ResampleBlendRect(d, c[0], c[1], c[2], c[3], s, c[4], c[5], c[6], c[7], 1);
    case 4: return rx_OpRect(d, c[0], c[1], c[2], c[3], s, c[4], c[5], c[6], c[7], 9, rx_OpMultiply, 256);
    case 5: return rx_OpRectSubpixel(d, c[0], c[1], c[2], c[3], s, c[4], c[5], c[6], c[7], 0, 0, 256);
    case 6: return rx_MaskRect(d, c[0], c[1], c[2], c[3], s, c[4], c[5], c[6], c[7], 123, 256);
    case 7: return rx_MaskRectScaled(d, c[0], c[1], c[2], c[3], s, c[4], c[5], c[6], c[7], 125, 256);
    case 8: return rx_CopyQuad(d, s, q, &r);
    case 9: return rx_MaskQuad(d, s, q, &r, 124, 256);
    case 10: return rx_OpQuad(d, s, q, &r, 10, 0, 256);
    default: return rx_DrawQuad(d, s, q, &r, 0, 255, 0, nullptr, nullptr);
  }
}

TEST(Kernels, SourceBeyondEachEdgeReadsAndDrawsNothing) {
  // A wrapped source of exactly its pixels: any read past them shows under the sanitizer.
  std::vector<uint32_t> pixels(8, Grey(9));
  rx_Surface src{};
  ASSERT_EQ(rx_SurfaceWrap(&src, 8, 1, 8, pixels.data()), 1);
  Surface dst(6, 4);
  rx_ThreadState *state = rx_GetThreadState();
  const int32_t beyond[][4] = {{-9, 0, -3, 0}, {8, 0, 12, 0}, {0, -6, 7, -1}, {0, 1, 7, 5}, {-5, -3, -1, -1}};
  for (int offset : {0, 100})
    for (int k = 0; k < kKernels; ++k)
      for (const auto &b : beyond) {
        dst.Fill([](int, int) { return Grey(1); });
        state->sourceOffsetX = state->sourceOffsetY = offset;
        int32_t result = RunKernel(k, &dst, &src, {0, 0, 5, 3, b[0], b[1], b[2], b[3]});
        state->sourceOffsetX = state->sourceOffsetY = 0;
        EXPECT_TRUE(result == 1 || rx_GetLastError() == rx_ErrArgument) << k;
        EXPECT_EQ(dst.Pixels(), std::vector<uint32_t>(24, Grey(1))) << "kernel " << k << " from " << b[0] << "," << b[1];
      }
  rx_SurfaceFree(&src);
  rx_SetClipRect(nullptr);
}

TEST(Kernels, CoordinatesNearTheIntegerLimits) {
  Surface src(4, 4, Grey(9)), dst(4, 4, Grey(1));
  const int32_t limit = (1 << 30) - 1;
  for (int32_t v : {INT32_MIN, INT32_MAX, -limit - 1, limit + 1})
    for (int at = 0; at < 8; ++at)
      for (int k = 0; k < kKernels; ++k) {
        int32_t c[8] = {0, 0, 3, 3, 0, 0, 3, 3};
        c[at] = v;
        if (k >= 8 && at < 4) continue;  // quadrilaterals take corners, not a destination rectangle
        rx_SetLastError(0);
        EXPECT_EQ(RunKernel(k, &dst, &src, c), 0) << k << " " << at << " " << v;
        EXPECT_EQ(rx_GetLastError(), rx_ErrArgument) << k << " " << at << " " << v;
      }
  EXPECT_EQ(dst.Pixels(), std::vector<uint32_t>(16, Grey(1)));
  for (int k = 0; k < kKernels; ++k) {
    // The edges of the range are taken: spans of 2^31 - 1 pixels either way; inverted ones are refused.
    EXPECT_EQ(RunKernel(k, &dst, &src, {-limit, -limit, limit, limit, 0, 0, 3, 3}), 1) << k;
    EXPECT_EQ(RunKernel(k, &dst, &src, {0, 0, 3, 3, -limit, -limit, limit, limit}), 1) << k;
    EXPECT_EQ(RunKernel(k, &dst, &src, {0, 0, 3, 3, limit, limit, -limit, -limit}), 0) << k;
    EXPECT_EQ(RunKernel(k, &dst, &src, {limit, limit, -limit, -limit, 0, 0, 3, 3}), k < 8 ? 0 : 1) << k;
  }
  static uint32_t index[65536];
  static uint8_t fraction[65536];
  rx_AxisSpan span;
  EXPECT_EQ(rx_BuildAxisMap(INT32_MIN, 0, 0, 9, 10, 10, 0, false, index, fraction, &span), 0);
  EXPECT_TRUE(span.empty);

  // The polygon fill: points beyond the range are refused, the range's corners fill the surface.
  rx_PointList list{};
  ASSERT_EQ(rx_PointListInit(&list), 1);
  EXPECT_EQ(rx_PointListAdd(&list, INT32_MIN, 0, 0), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrArgument);
  EXPECT_EQ(rx_PointListAdd(&list, 0, limit + 1, 0), 0);
  for (auto [x, y] : {std::pair{-limit, -limit}, {limit, 0}, {-limit, limit}}) ASSERT_EQ(rx_PointListAdd(&list, x, y, 0), 1);
  rx_SetClipRect(nullptr);
  ASSERT_EQ(rx_FillPolygon(&dst, &list, Grey(5), rx_OpReplace, rx_ClassNormal), 1);
  EXPECT_EQ(dst.Pixels(), std::vector<uint32_t>(16, Grey(5)));
  int32_t far = INT32_MAX;
  std::memcpy(list.points + 12, &far, 4);  // a list written by hand
  EXPECT_EQ(rx_FillPolygon(&dst, &list, Grey(6), rx_OpReplace, rx_ClassNormal), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrArgument);
  rx_PointListFree(&list);
  uint32_t row[4] = {};
  EXPECT_EQ(rx_SpanOp(row, 0, INT32_MAX, 0, rx_OpReplace, nullptr), 0);
}

TEST(CopyRect, IdentityOutsideAndClipped) {
  Surface src(10, 10), dst(10, 10, 0x11111111);
  src.Fill(Pattern);
  ASSERT_EQ(rx_CopyRect(&dst, 0, 0, 9, 9, &src, 0, 0, 9, 9, 0), 1);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) ASSERT_EQ(dst.At(x, y), Pattern(x, y));

  // Inverted rectangles and bad records.
  dst.Fill([](int, int) { return 0x11111111u; });
  EXPECT_EQ(rx_CopyRect(&dst, 5, 0, 4, 4, &src, 0, 0, 4, 4, 0), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrArgument);
  rx_Surface empty{};
  EXPECT_EQ(rx_CopyRect(&dst, 0, 0, 4, 4, &empty, 0, 0, 4, 4, 0), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrNotSurface);
  EXPECT_EQ(rx_CopyRect(nullptr, 0, 0, 4, 4, &src, 0, 0, 4, 4, 0), 0);

  // Partly outside: the part that exists is copied, the rest left alone.
  ASSERT_EQ(rx_CopyRect(&dst, 0, 0, 9, 9, &src, -3, -2, 6, 7, 0), 1);
  ExpectAt(dst, {{2, 5, 0x11111111u}, {5, 1, 0x11111111u}, {3, 2, Pattern(0, 0)}, {9, 9, Pattern(6, 7)}});
}

TEST(CopyRect, ClipRectangleAndSourceView) {
  Surface src(16, 16), dst(16, 16, 0), viaView(16, 16, 0);
  src.Fill(Pattern);
  rx_Rect clip{4, 4, 7, 9, 1};
  ASSERT_EQ(rx_SetClipRect(&clip), 1);
  ASSERT_EQ(rx_CopyRect(&dst, 0, 0, 15, 15, &src, 0, 0, 15, 15, rx_OptClip), 1);
  rx_SetClipRect(nullptr);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      bool in = x >= 4 && x <= 7 && y >= 4 && y <= 9;
      ASSERT_EQ(dst.At(x, y), in ? Pattern(x, y) : 0u) << x << "," << y;
    }
  // Through a view of the source rectangle: the same pixels as directly.
  dst.Fill([](int, int) { return 0u; });
  ASSERT_EQ(rx_CopyRect(&dst, 2, 3, 9, 12, &src, 5, 1, 12, 10, 0), 1);
  ASSERT_EQ(rx_CopyRect(&viaView, 2, 3, 9, 12, &src, 5, 1, 12, 10, rx_OptSourceView), 1);
  EXPECT_EQ(viaView.Pixels(), dst.Pixels());
  // Scaled through a view matches scaled directly.
  ASSERT_EQ(rx_ResampleRect(&dst, 0, 0, 15, 15, &src, 4, 4, 11, 11, rx_OptScaleCase), 1);
  ASSERT_EQ(rx_ResampleRect(&viaView, 0, 0, 15, 15, &src, 4, 4, 11, 11, rx_OptScaleCase | rx_OptSourceView), 1);
  EXPECT_EQ(viaView.Pixels(), dst.Pixels());
}

TEST(CopyRect, OverlappingInsideOneSurface) {
  Surface s(12, 12);
  s.Fill(Pattern);
  ASSERT_EQ(rx_CopyRect(&s, 2, 3, 11, 11, &s, 0, 0, 9, 8, 0), 1);
  for (int y = 3; y < 12; ++y)
    for (int x = 2; x < 12; ++x) ASSERT_EQ(s.At(x, y), Pattern(x - 2, y - 3));
}

TEST(FillRect, OrderExclusiveClipAndOutside) {
  Surface s(8, 8, 0);
  ASSERT_EQ(rx_FillRect(&s, 5, 6, 2, 1, 0xAABBCCDD, 0), 1);  // corners in any order
  ExpectAt(s, {{2, 1, 0xAABBCCDDu}, {5, 6, 0xAABBCCDDu}, {6, 6, 0u}});
  s.Fill([](int, int) { return 0u; });
  ASSERT_EQ(rx_FillRect(&s, 0, 0, 3, 3, 7, rx_FillExclusive), 1);
  ExpectAt(s, {{2, 2, 7u}, {3, 3, 0u}});
  rx_Rect clip{1, 1, 1, 1, 1};
  rx_SetClipRect(&clip);
  ASSERT_EQ(rx_FillRect(&s, 0, 0, 7, 7, 9, rx_FillClip), 1);
  rx_SetClipRect(nullptr);
  ExpectAt(s, {{1, 1, 9u}, {4, 4, 0u}});
  EXPECT_EQ(rx_FillRect(&s, 10, 10, 20, 20, 1, 0), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrArgument);
  // Partly outside is clipped to the surface.
  ASSERT_EQ(rx_FillRect(&s, -5, -5, 100, 0, 3, 0), 1);
  EXPECT_EQ(s.At(7, 0), 3u);
}

// The raw-buffer stretch behind the bitmap layer: a clip, and its refusals.
TEST(SurfaceHelpers, StretchPixels) {
  uint32_t src[4] = {Grey(10), Grey(10), Grey(10), Grey(10)};
  uint32_t dst[8 * 8] = {};
  int32_t clip[4] = {0, 0, 4, 8};
  ASSERT_EQ(rx_KernelStretchPixels(dst, 8, 8, 8, 0, 0, 8, 8, src, 2, 2, 2, 0, 0, 2, 2, clip), 1);
  EXPECT_TRUE(dst[3] == Grey(10) && dst[4] == 0u);
  EXPECT_EQ(rx_KernelStretchPixels(dst, 8, 8, 8, 0, 0, 8, 8, src, 2, 2, 2, 1, 0, 2, 2, nullptr), 0);
  EXPECT_EQ(rx_KernelStretchPixels(nullptr, 8, 8, 8, 0, 0, 8, 8, src, 2, 2, 2, 0, 0, 2, 2, nullptr), 0);
}

// Modes 255, 9, 23 and 26 on a layer turned by 1 degree show its picture as
// at 0 degrees, away from a one-pixel ring along the edge.
TEST(DrawQuad, TurnedLayerShowsItsPicture) {
  Surface layer(40, 30);
  layer.Fill([](int x, int y) {
    return Px(static_cast<int>(128 + 60 * std::sin(x / 4.0) * std::cos(y / 6.0)), 60 + 2 * x + y,
              static_cast<int>(150 - 3 * y + 20 * std::sin((x + y) / 5.0)), static_cast<int>(128 + 100 * std::sin(x / 7.0 + y / 9.0)));
  });
  const rx_Rect whole{0, 0, 39, 29, 1};
  const rx_PointF straight[4] = {{4, 4}, {43, 4}, {43, 33}, {4, 33}};
  rx_PointF turned[4];
  const double a = std::numbers::pi / 180, cx = 23.5, cy = 18.5;
  for (int k = 0; k < 4; ++k) {
    double x = straight[k].x - cx, y = straight[k].y - cy;
    turned[k] = {static_cast<float>(cx + x * std::cos(a) - y * std::sin(a)), static_cast<float>(cy + x * std::sin(a) + y * std::cos(a))};
  }
  for (int mode : {255, 9, 23, 26}) {
    Surface flat(48, 38, Px(90, 120, 150, 100)), tilted(48, 38, Px(90, 120, 150, 100));
    ASSERT_EQ(rx_DrawQuad(&flat, &layer, straight, &whole, 0, mode, 0, nullptr, nullptr), 1);
    ASSERT_EQ(rx_DrawQuad(&tilted, &layer, turned, &whole, 0, mode, 0, nullptr, nullptr), 1);
    double sum = 0;
    int n = 0, worst = 0;
    for (int y = 6; y <= 31; ++y)
      for (int x = 6; x <= 41; ++x)
        for (int c = 0; c < 4; ++c, ++n) {
          int d = std::abs(Ch(flat.At(x, y), c) - Ch(tilted.At(x, y), c));
          sum += d;
          worst = std::max(worst, d);
        }
    EXPECT_LT(sum / n, 3.0) << "mode " << mode;
    EXPECT_LE(worst, 24) << "mode " << mode;
  }
  rx_SetClipRect(nullptr);
}

}  // namespace
