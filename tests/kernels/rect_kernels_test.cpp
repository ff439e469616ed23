// Copying, clipping, views, the coordinate maps and the fills.
#include <climits>
#include <cmath>
#include <cstring>
#include <numbers>

#include "kernel_test_util.h"
#include "raster/kernels/kernel_driver.h"

using namespace kt;

namespace {

uint32_t Pattern(int x, int y) { return Px(x * 7 & 255, y * 13 & 255, (x + y) & 255, 0); }

TEST(CoordinateMaps, IdentityScaledAndSpans) {
  static uint32_t index[65536];
  static uint8_t fraction[65536];
  rx_AxisSpan span;
  rx_BuildAxisMap(0, 9, 0, 9, 10, 10, 0, false, index, fraction, &span);
  EXPECT_TRUE(span.identity);
  EXPECT_FALSE(span.empty);
  EXPECT_EQ(span.first, 0);
  EXPECT_EQ(span.last, 9);
  for (int x = 0; x < 10; ++x) EXPECT_EQ(index[x], static_cast<uint32_t>(x));

  // Doubling without centring: x maps to x / 2, fraction 0 or 128.
  rx_BuildAxisMap(0, 19, 0, 9, 10, 20, 0, false, index, fraction, &span);
  EXPECT_FALSE(span.identity);
  EXPECT_EQ(index[5], 2u);
  EXPECT_EQ(fraction[5], 128);
  // More than double: c = 0.5 moves every position half a source pixel.
  rx_BuildAxisMap(0, 29, 0, 9, 10, 30, 0, false, index, fraction, &span);
  EXPECT_EQ(index[0], 0u);
  EXPECT_EQ(fraction[0], 128);
  // A source offset of a quarter pixel: the destination shifts right.
  rx_BuildAxisMap(0, 9, 0, 9, 10, 10, 64, false, index, fraction, &span);
  EXPECT_FALSE(span.identity);
  EXPECT_EQ(index[3], 2u);
  EXPECT_EQ(fraction[3], 192);

  // Source starting 3 left of the surface: the first 3 destination columns have nothing.
  rx_BuildAxisMap(0, 9, -3, 6, 10, 10, 0, false, index, fraction, &span);
  EXPECT_EQ(span.first, 3);
  EXPECT_EQ(span.last, 9);
  EXPECT_EQ(index[3], 0u);
  // Indexes are clamped into the source.
  rx_BuildAxisMap(0, 9, 5, 14, 10, 10, 0, false, index, fraction, &span);
  EXPECT_EQ(span.last, 4);
  EXPECT_EQ(index[9], 9u);
  // Destination beyond the surface: empty.
  rx_BuildAxisMap(20, 29, 0, 9, 10, 10, 0, false, index, fraction, &span);
  EXPECT_TRUE(span.empty);

  EXPECT_EQ(rx_ScalingCase(100, 100, 50, 50, false, 0), rx_CaseShrinkSharp);
  EXPECT_EQ(rx_ScalingCase(100, 100, 50, 50, false, rx_OptScaleCase), rx_CaseShrinkBox);
  EXPECT_EQ(rx_ScalingCase(100, 100, 70, 70, false, rx_OptScaleCase), rx_CaseShrinkMild);
  EXPECT_EQ(rx_ScalingCase(50, 100, 100, 100, false, rx_OptScaleCase), rx_CaseEnlarge);
  EXPECT_EQ(rx_ScalingCase(50, 50, 100, 100, false, 0), rx_CaseNearest);
  EXPECT_EQ(rx_ScalingCase(100, 100, 50, 50, true, 0), rx_CaseNearest);
}

// Every rectangle and quadrilateral kernel, one rectangle given as a source or destination.
using Kernel = std::function<int32_t(rx_Surface *, rx_Surface *, const int32_t (&)[8])>;
std::vector<Kernel> AllKernels() {
  auto rect = [](auto f) {
    return [f](rx_Surface *d, rx_Surface *s, const int32_t (&c)[8]) { return f(d, c[0], c[1], c[2], c[3], s, c[4], c[5], c[6], c[7]); };
  };
  auto quad = [](auto f) {
    return [f](rx_Surface *d, rx_Surface *s, const int32_t (&c)[8]) {
      const rx_PointF q[4] = {{0.3f, 0}, {5, 0.6f}, {4.7f, 3}, {0, 2.5f}};
      const rx_Rect r{c[4], c[5], c[6], c[7], 1};
      return f(d, s, q, &r);
    };
  };
  using R = rx_Surface *;
  using I = int32_t;
  using Q = const rx_PointF *;
  using S = const rx_Rect *;
  return {
      rect([](R d, I a, I b, I c, I e, R s, I f, I g, I h, I i) { return rx_CopyRect(d, a, b, c, e, s, f, g, h, i, 0); }),
      rect([](R d, I a, I b, I c, I e, R s, I f, I g, I h, I i) { return rx_BlendRect(d, a, b, c, e, s, f, g, h, i, 2); }),
      rect([](R d, I a, I b, I c, I e, R s, I f, I g, I h, I i) { return rx_ResampleRect(d, a, b, c, e, s, f, g, h, i, rx_OptScaleCase); }),
      rect([](R d, I a, I b, I c, I e, R s, I f, I g, I h, I i) { return rx_ResampleBlendRect(d, a, b, c, e, s, f, g, h, i, 1); }),
      rect([](R d, I a, I b, I c, I e, R s, I f, I g, I h, I i) { return rx_OpRect(d, a, b, c, e, s, f, g, h, i, 9, 8, 256); }),
      rect([](R d, I a, I b, I c, I e, R s, I f, I g, I h, I i) { return rx_OpRectSubpixel(d, a, b, c, e, s, f, g, h, i, 0, 0, 256); }),
      rect([](R d, I a, I b, I c, I e, R s, I f, I g, I h, I i) { return rx_MaskRect(d, a, b, c, e, s, f, g, h, i, 123, 256); }),
      rect([](R d, I a, I b, I c, I e, R s, I f, I g, I h, I i) { return rx_MaskRectScaled(d, a, b, c, e, s, f, g, h, i, 125, 256); }),
      quad([](R d, R s, Q q, S r) { return rx_CopyQuad(d, s, q, r); }),
      quad([](R d, R s, Q q, S r) { return rx_MaskQuad(d, s, q, r, 124, 256); }),
      quad([](R d, R s, Q q, S r) { return rx_OpQuad(d, s, q, r, 10, 0, 256); }),
      quad([](R d, R s, Q q, S r) { return rx_DrawQuad(d, s, q, r, 0, 255, 0, nullptr, nullptr); }),
  };
}

TEST(Kernels, SourceBeyondEachEdgeReadsAndDrawsNothing) {
  // A wrapped source of exactly its pixels: any read past them shows under the sanitizer.
  std::vector<uint32_t> pixels(8, Grey(9));
  rx_Surface src{};
  ASSERT_EQ(rx_SurfaceWrap(&src, 8, 1, 8, pixels.data()), 1);
  Surface dst(6, 4);
  rx_ThreadState *state = rx_GetThreadState();
  const int32_t beyond[][4] = {{-9, 0, -3, 0}, {8, 0, 12, 0}, {0, -6, 7, -1}, {0, 1, 7, 5}, {-5, -3, -1, -1}};
  const std::vector<Kernel> kernels = AllKernels();
  for (int offset : {0, 100})
    for (size_t k = 0; k < kernels.size(); ++k)
      for (const auto &b : beyond) {
        dst.Fill([](int, int) { return Grey(1); });
        state->sourceOffsetX = state->sourceOffsetY = offset;
        int32_t result = kernels[k](&dst, &src, {0, 0, 5, 3, b[0], b[1], b[2], b[3]});
        int32_t code = rx_GetLastError();
        state->sourceOffsetX = state->sourceOffsetY = 0;
        EXPECT_TRUE(result == 1 || code == rx_ErrArgument) << k;
        EXPECT_EQ(dst.Pixels(), std::vector<uint32_t>(24, Grey(1))) << "kernel " << k << " from " << b[0] << "," << b[1];
      }
  rx_SurfaceFree(&src);
  rx_SetClipRect(nullptr);
}

TEST(Kernels, CoordinatesNearTheIntegerLimits) {
  Surface src(4, 4, Grey(9)), dst(4, 4, Grey(1));
  const std::vector<Kernel> kernels = AllKernels();
  const int32_t limit = (1 << 30) - 1;
  for (int32_t v : {INT32_MIN, INT32_MAX, -limit - 1, limit + 1})
    for (int at = 0; at < 8; ++at)
      for (size_t k = 0; k < kernels.size(); ++k) {
        int32_t c[8] = {0, 0, 3, 3, 0, 0, 3, 3};
        c[at] = v;
        if (k >= 8 && at < 4) continue;  // quadrilaterals take corners, not a destination rectangle
        rx_SetLastError(0);
        EXPECT_EQ(kernels[k](&dst, &src, c), 0) << k << " " << at << " " << v;
        EXPECT_EQ(rx_GetLastError(), rx_ErrArgument) << k << " " << at << " " << v;
      }
  EXPECT_EQ(dst.Pixels(), std::vector<uint32_t>(16, Grey(1)));
  // The edges of the range are taken: spans of 2^31 - 1 pixels either way.
  for (size_t k = 0; k < kernels.size(); ++k) {
    EXPECT_EQ(kernels[k](&dst, &src, {-limit, -limit, limit, limit, 0, 0, 3, 3}), 1) << k;
    EXPECT_EQ(kernels[k](&dst, &src, {0, 0, 3, 3, -limit, -limit, limit, limit}), 1) << k;
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
  ASSERT_EQ(rx_FillPolygon(&dst, &list, Grey(5), rx_OpReplace, rx_ClassNormal), 1);
  EXPECT_EQ(dst.Pixels(), std::vector<uint32_t>(16, Grey(5)));
  int32_t far = INT32_MAX;
  std::memcpy(list.points + 12, &far, 4);  // a list written by hand
  EXPECT_EQ(rx_FillPolygon(&dst, &list, Grey(6), rx_OpReplace, rx_ClassNormal), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrArgument);
  rx_PointListFree(&list);
  uint32_t row[4] = {};
  EXPECT_EQ(rx_SpanOp(row, 0, INT32_MAX, 0, rx_OpReplace, nullptr), 0);
  rx_SetClipRect(nullptr);
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

TEST(CopyRect, IdentityOutsideAndClipped) {
  Surface src(10, 10), dst(10, 10, 0x11111111);
  src.Fill(Pattern);
  ASSERT_EQ(rx_CopyRect(&dst, 0, 0, 9, 9, &src, 0, 0, 9, 9, 0), 1);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) ASSERT_EQ(dst.At(x, y), Pattern(x, y));

  // Wholly left or right of the source: code 5, nothing drawn.
  dst.Fill([](int, int) { return 0x11111111u; });
  EXPECT_EQ(rx_CopyRect(&dst, 0, 0, 4, 4, &src, -8, 0, -4, 4, 0), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrArgument);
  EXPECT_EQ(rx_CopyRect(&dst, 0, 0, 4, 4, &src, 10, 0, 14, 4, 0), 0);
  EXPECT_EQ(dst.At(0, 0), 0x11111111u);
  // Inverted rectangles and bad records.
  EXPECT_EQ(rx_CopyRect(&dst, 5, 0, 4, 4, &src, 0, 0, 4, 4, 0), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrArgument);
  rx_Surface empty{};
  EXPECT_EQ(rx_CopyRect(&dst, 0, 0, 4, 4, &empty, 0, 0, 4, 4, 0), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrNotSurface);
  EXPECT_EQ(rx_CopyRect(nullptr, 0, 0, 4, 4, &src, 0, 0, 4, 4, 0), 0);

  // Partly outside: the part that exists is copied, the rest left alone.
  ASSERT_EQ(rx_CopyRect(&dst, 0, 0, 9, 9, &src, -3, -2, 6, 7, 0), 1);
  EXPECT_EQ(dst.At(2, 5), 0x11111111u);
  EXPECT_EQ(dst.At(5, 1), 0x11111111u);
  EXPECT_EQ(dst.At(3, 2), Pattern(0, 0));
  EXPECT_EQ(dst.At(9, 9), Pattern(6, 7));
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
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) ASSERT_EQ(viaView.At(x, y), dst.At(x, y));
  // Scaled through a view matches scaled directly.
  ASSERT_EQ(rx_ResampleRect(&dst, 0, 0, 15, 15, &src, 4, 4, 11, 11, rx_OptScaleCase), 1);
  ASSERT_EQ(rx_ResampleRect(&viaView, 0, 0, 15, 15, &src, 4, 4, 11, 11, rx_OptScaleCase | rx_OptSourceView), 1);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) ASSERT_EQ(viaView.At(x, y), dst.At(x, y));
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
  EXPECT_EQ(s.At(2, 1), 0xAABBCCDDu);
  EXPECT_EQ(s.At(5, 6), 0xAABBCCDDu);
  EXPECT_EQ(s.At(6, 6), 0u);
  s.Fill([](int, int) { return 0u; });
  ASSERT_EQ(rx_FillRect(&s, 0, 0, 3, 3, 7, rx_FillExclusive), 1);
  EXPECT_EQ(s.At(2, 2), 7u);
  EXPECT_EQ(s.At(3, 3), 0u);
  rx_Rect clip{1, 1, 1, 1, 1};
  rx_SetClipRect(&clip);
  ASSERT_EQ(rx_FillRect(&s, 0, 0, 7, 7, 9, rx_FillClip), 1);
  rx_SetClipRect(nullptr);
  EXPECT_EQ(s.At(1, 1), 9u);
  EXPECT_EQ(s.At(4, 4), 0u);
  EXPECT_EQ(rx_FillRect(&s, 10, 10, 20, 20, 1, 0), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrArgument);
  // Partly outside is clipped to the surface.
  ASSERT_EQ(rx_FillRect(&s, -5, -5, 100, 0, 3, 0), 1);
  EXPECT_EQ(s.At(7, 0), 3u);
}

TEST(SurfaceHelpers, CarryOverStridedCopyAndStretch) {
  Surface from(8, 6), to(12, 4, 0);
  from.Fill(Pattern);
  ASSERT_EQ(rx_KernelResizeCarryOver(&to, &from, true, false), 1);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 12; ++x) ASSERT_EQ(to.At(x, y), x < 8 ? Pattern(x, y) : 0u);
  // Resampled carry-over of a constant image stays constant.
  Surface flat(9, 7, Grey(77)), big(20, 15, 0);
  ASSERT_EQ(rx_KernelResizeCarryOver(&big, &flat, false, true), 1);
  EXPECT_EQ(big.At(0, 0), Grey(77));
  EXPECT_EQ(big.At(19, 14), Grey(77));

  // A strided copy between a view (stride 16) and a packed surface.
  Surface parent(16, 16);
  parent.Fill(Pattern);
  rx_Surface view{};
  ASSERT_EQ(rx_SurfaceView(&view, &parent, 3, 2, 10, 9), 1);
  Surface packed(8, 8, 0);
  ASSERT_EQ(rx_KernelCopyStrided(&packed, &view), 1);
  EXPECT_EQ(packed.At(0, 0), Pattern(3, 2));
  EXPECT_EQ(packed.At(7, 7), Pattern(10, 9));
  Surface wrong(5, 5);
  EXPECT_EQ(rx_KernelCopyStrided(&wrong, &view), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrArgument);
  rx_SurfaceFree(&view);

  // Raw-buffer stretch with a clip, and its refusals.
  uint32_t src[4] = {Grey(10), Grey(10), Grey(10), Grey(10)};
  uint32_t dst[8 * 8] = {};
  int32_t clip[4] = {0, 0, 4, 8};
  ASSERT_EQ(rx_KernelStretchPixels(dst, 8, 8, 8, 0, 0, 8, 8, src, 2, 2, 2, 0, 0, 2, 2, clip), 1);
  EXPECT_EQ(dst[3], Grey(10));
  EXPECT_EQ(dst[4], 0u);
  EXPECT_EQ(rx_KernelStretchPixels(dst, 8, 8, 8, 0, 0, 8, 8, src, 2, 2, 2, 1, 0, 2, 2, nullptr), 0);
  EXPECT_EQ(rx_KernelStretchPixels(nullptr, 8, 8, 8, 0, 0, 8, 8, src, 2, 2, 2, 0, 0, 2, 2, nullptr), 0);
}

TEST(SurfaceResize, SameSizeDiscardAndWrappedRefused) {
  Surface s(10, 10, Grey(5));
  EXPECT_EQ(rx_SurfaceResize(&s, 10, 10, 0), 1);
  EXPECT_EQ(s.At(9, 9), Grey(5));
  EXPECT_EQ(rx_SurfaceResize(&s, 4, 4, 1), 1);  // discard
  EXPECT_EQ(s.W(), 4);
  static int32_t seen = 0;
  seen = 0;
  rx_SetNotifyHook([](int32_t code, uintptr_t) { seen = code; }, 0);
  uint32_t buffer[16] = {};
  rx_Surface wrapped{};
  ASSERT_EQ(rx_SurfaceWrap(&wrapped, 4, 4, 4, buffer), 1);
  EXPECT_EQ(rx_SurfaceResize(&wrapped, 8, 8, 0), 0);
  EXPECT_EQ(seen, rx_DiagResizeRefused);
  rx_SetNotifyHook(nullptr, 0);
  rx_SurfaceFree(&wrapped);
}

}  // namespace
