// The engine operations against independently written references; copying, clipping, views, coordinate maps, fills,
// sources beyond the edges and coordinates near the integer limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <random>

#include "kernel_test_util.h"
#include "raster/kernels/kernel_internal.h"

using namespace kt;

namespace {

// One operation on one destination pixel under one source pixel.
uint32_t Apply(uint32_t d, uint32_t s, int32_t op, int32_t t = 0, int32_t cls = rx_ClassNormal) {
  Surface dst(1, 1, d), src(1, 1, s);
  EXPECT_EQ(rx_OpRect(&dst, 0, 0, 0, 0, &src, 0, 0, 0, 0, t, op, cls), 1);
  return dst.At(0, 0);
}

// The normal blend written from its definition, in floating point.
uint32_t ReferenceNormal(uint32_t d, uint32_t s) {
  int ts = Ch(s, 3), td = Ch(d, 3);
  if (ts == 0) return s;
  if (ts == 255) return d;
  if (td == 0) {
    int w = ts + ts / 128, c[3];
    for (int k = 0; k < 3; ++k) c[k] = Ch(s, k) + static_cast<int>(std::floor((Ch(d, k) - Ch(s, k)) * w / 256.0));
    return Px(c[0], c[1], c[2], 0);
  }
  if (td == 255) return s;
  double os = 1 - ts / 255.0, od = 1 - td / 255.0, o = os + od * (1 - os);
  int c[3];
  for (int k = 0; k < 3; ++k)
    c[k] = std::clamp(static_cast<int>(std::floor((Ch(d, k) * od * (1 - os) + Ch(s, k) * os) / o + 0.5)), 0, 255);
  return Px(c[0], c[1], c[2], 255 - static_cast<int>(std::lround(o * 255)));
}

TEST(NormalBlend, MatchesReferenceOverGrid) {
  const int ts[] = {0, 1, 64, 127, 128, 200, 254, 255}, td[] = {0, 1, 90, 128, 254, 255};
  const uint32_t colours[] = {Px(0, 0, 0, 0), Px(255, 255, 255, 0), Px(10, 128, 250, 0), Px(200, 3, 77, 0)};
  for (int a : ts)
    for (int b : td)
      for (uint32_t cs : colours)
        for (uint32_t cd : colours) {
          uint32_t s = cs | static_cast<uint32_t>(a) << 24, d = cd | static_cast<uint32_t>(b) << 24;
          ASSERT_EQ(Apply(d, s, rx_OpNormal), ReferenceNormal(d, s)) << std::hex << d << " " << s;
        }
}

TEST(NormalBlend, PackedPathGivesTheScalarBytes) {
  std::mt19937 rng(7);
  std::vector<uint32_t> src(1003), a(1003), b(1003);
  for (int layer : {0, 1, 100, 254}) {
    for (size_t i = 0; i < src.size(); ++i) {
      uint32_t t = (i % 5 == 0) ? 0 : (i % 7 == 0) ? 255 : rng() & 255;
      src[i] = (rng() & 0xFFFFFF) | t << 24;
      // Mostly opaque destinations, some transparent ones in between.
      a[i] = b[i] = (rng() & 0xFFFFFF) | ((i % 11 == 0) ? (rng() & 255) << 24 : 0);
    }
    rx_kernel::BlendNormalRowScalar(a.data(), src.data(), 1003, layer, false);
    rx_kernel::BlendNormalRowSse2(b.data(), src.data(), 1003, layer, false);
    ASSERT_EQ(a, b) << "layer " << layer;
  }
}

TEST(NormalBlend, LayerTransparencyKindAndClass) {
  Surface dst(1, 1, Px(10, 10, 10, 100)), src(1, 1, Px(200, 200, 200, 0));
  for (auto [kind, t] : {std::pair{1, 100}, {2, 0}}) {  // kind 1 keeps the destination's T
    dst.Fill([](int, int) { return Px(10, 10, 10, 100); });
    ASSERT_EQ(rx_BlendRect(&dst, 0, 0, 0, 0, &src, 0, 0, 0, 0, kind), 1);
    EXPECT_EQ(dst.At(0, 0), Px(200, 200, 200, t)) << kind;
  }
  EXPECT_EQ(Ch(Apply(Px(10, 10, 10, 100), Px(200, 200, 200, 0), rx_OpNormal, 0, rx_ClassClipped), 3), 100);
  // Invisible at 255 and beyond, full strength at 0.
  EXPECT_EQ(std::tuple(Apply(Grey(0), Grey(200), rx_OpNormal, 255), Apply(Grey(0), Grey(200), rx_OpMultiply, 300),
                       Apply(Grey(0), Grey(200), rx_OpNormal, 0)), std::tuple(Grey(0), Grey(0), Grey(200)));
  const uint32_t half = Apply(Grey(0), Grey(200), rx_OpNormal, 128);
  EXPECT_TRUE(std::abs(Ch(half, 0) - 100) <= 1 && Ch(half, 3) == 0) << std::hex << half;
  // A half-strength colour operation lands halfway between before and after.
  EXPECT_NEAR(Ch(Apply(Grey(100), Grey(200), rx_OpAdd, 128), 1), 177, 1);
}

int DivTable(int d, int s) { return std::min(255, 256 * d / (s + 1)); }
int OverlayTable(int d, int s) {
  return d <= 127 ? (2 * d * s + 127) / 255 : (65025 - 2 * (255 - d) * (255 - s) + 127) / 255;
}
int Reference(int op, int d, int s) {
  double D = d / 255.0, S = s / 255.0;
  auto q = [](double v) { return std::clamp(static_cast<int>(std::floor(v * 255 + 0.5)), 0, 255); };
  switch (op) {
    case 6: return std::min(255, d + s);
    case 7: return std::max(0, d + s - 255);
    case 8: return d * (s + s / 128) / 256;
    case 9: return DivTable(d, s);
    case 10: return q(1 - (1 - D) * (1 - S));
    case 11: return std::min(d, s);
    case 12: return std::max(d, s);
    case 13: return std::abs(d - s);
    case 14: return q(D + S - 2 * D * S);
    case 17: {
      if (S <= 0.5) return q(D - (1 - 2 * S) * D * (1 - D));
      double g = D <= 0.25 ? ((16 * D - 12) * D + 4) * D : std::sqrt(D);
      return q(D + (2 * S - 1) * (g - D));
    }
    case 18: return OverlayTable(d, s);
    case 19: return std::min(255, 256 * d / (256 - s));
    case 20: return s == 0 ? 0 : std::clamp(255 - (255 - d) * 256 / s, 0, 255);
    case 23: return OverlayTable(s, d);
    case 24: return std::clamp(d + 2 * s - 255, 0, 255);
    case 25: return s < 128 ? std::min(d, 2 * s) : std::max(d, 2 * s - 255);
  }
  return -1;
}

TEST(ChannelOperations, EveryPairOfOneChannel) {
  // Destination value along x, source value along y, in the blue channel; green and red carry the exchanged pair so
  // both positions are checked. The destination's T, any value, stays as it was.
  Surface dst(256, 256), src(256, 256);
  for (int op : {6, 7, 8, 9, 10, 11, 12, 13, 14, 17, 18, 19, 20, 23, 24, 25}) {
    dst.Fill([](int x, int y) { return Px(x, y, 0, (x + 3 * y) & 255); });
    src.Fill([](int x, int y) { return Px(y, x, 255, 0); });
    ASSERT_EQ(rx_OpRect(&dst, 0, 0, 255, 255, &src, 0, 0, 255, 255, 0, op, rx_ClassNormal), 1);
    std::vector<uint32_t> all = dst.Pixels();
    for (int y = 0; y < 256; ++y)
      for (int x = 0; x < 256; ++x) {
        ASSERT_EQ(all[static_cast<size_t>(y) * 256 + static_cast<size_t>(x)],
                  Px(Reference(op, x, y), Reference(op, y, x), Reference(op, 0, 255), (x + 3 * y) & 255))
            << "op " << op << " d " << x << " s " << y;
      }
  }
}

TEST(WholePixelOperations, AllFourBytes) {
  Surface dst(256, 1), src(256, 1);
  const std::pair<int, int (*)(int, int)> ops[] = {{1, [](int a, int b) { return a | b; }},
                                                   {2, [](int a, int b) { return a & b; }},
                                                   {3, [](int a, int b) { return a ^ b; }},
                                                   {4, [](int a, int b) { return std::min(255, a + b); }},
                                                   {5, [](int a, int b) { return std::max(0, a - b); }},
                                                   {27, [](int, int b) { return b; }}};
  auto d = [](int x, int) { return Px(x, 255 - x, 17, x / 2); };
  auto s = [](int x, int) { return Px(200, x, 3, 9); };
  for (auto [op, f] : ops) {
    dst.Fill(d);
    src.Fill(s);
    ASSERT_EQ(rx_OpRect(&dst, 0, 0, 255, 0, &src, 0, 0, 255, 0, 0, op, rx_ClassNormal), 1);
    for (int x = 0; x < 256; ++x)
      ASSERT_EQ(dst.At(x, 0), Px(f(Ch(d(x, 0), 0), Ch(s(x, 0), 0)), f(Ch(d(x, 0), 1), Ch(s(x, 0), 1)),
                                 f(Ch(d(x, 0), 2), Ch(s(x, 0), 2)), f(Ch(d(x, 0), 3), Ch(s(x, 0), 3))))
          << "op " << op << " x " << x;
  }
}

TEST(LumaChromaAndLightness, FixedPointFormulas) {
  auto yOf = [](uint32_t p) { return (19595 * Ch(p, 2) + 38470 * Ch(p, 1) + 7471 * Ch(p, 0) + 32768) >> 16; };
  const uint32_t d = Px(100, 140, 160, 40), s = Px(120, 60, 110, 0), r = Apply(d, s, rx_OpLuminosity);
  EXPECT_TRUE(Ch(r, 3) == 40 && std::abs(yOf(r) - yOf(s)) <= 2) << std::hex << r;
  EXPECT_EQ(Apply(Grey(50), Grey(180), rx_OpLuminosity), Grey(180));  // grey over grey stays that grey
  EXPECT_NEAR(yOf(Apply(d, s, rx_OpColor)), yOf(d), 2);
  // Lightness: a white source's lightness on a saturated red.
  EXPECT_EQ(Apply(Px(0, 0, 255, 0), Grey(255), rx_OpLightness), Grey(255));
}

TEST(MaskOperations, OnlyTransparencyChanges) {
  Surface dst(3, 1), src(3, 1);
  for (int op : {123, 124, 125}) {
    dst.Fill([](int x, int) { return Px(1, 2, 3, x == 0 ? 0 : x == 1 ? 128 : 255); });
    src.Fill([](int, int) { return Px(9, 9, 9, 64); });  // source opacity 191
    ASSERT_EQ(rx_MaskRect(&dst, 0, 0, 2, 0, &src, 0, 0, 2, 0, op, rx_ClassNormal), 1);
    for (int x = 0; x < 3; ++x) {
      int od = 255 - (x == 0 ? 0 : x == 1 ? 128 : 255), os = 191, o;
      if (op == 123) o = od + os - (od * os + 127) / 255;
      else if (op == 124) o = (od * (255 - os) + 127) / 255;
      else o = (od * os + 127) / 255;
      uint32_t p = dst.At(x, 0);
      EXPECT_EQ(p & 0xFFFFFF, Px(1, 2, 3, 0));
      EXPECT_NEAR(255 - Ch(p, 3), o, 1) << op << " " << x;
    }
  }
  EXPECT_EQ(rx_MaskRect(&dst, 0, 0, 2, 0, &src, 0, 0, 2, 0, rx_OpMultiply, rx_ClassNormal), 0);
  EXPECT_EQ(FailureOf(rx_OpRect(&dst, 0, 0, 2, 0, &src, 0, 0, 2, 0, 0, 77, rx_ClassNormal)), rx_ErrArgument);
}

TEST(PatternOperations, CheckerboardAndTiles) {
  ASSERT_EQ(rx_SetThumbnailPattern(), 1);
  Surface dst(16, 16), src(16, 16, Px(0, 0, 0, 255)), tile(2, 2);  // wholly transparent source
  ASSERT_EQ(rx_DrawOverPattern(&dst, &src), 1);
  ExpectAt(&dst, {{0, 0, 0xFFFFFFu}, {3, 0, 0xFFFFFFu}, {4, 0, 0xF0F0FFu}, {4, 4, 0xFFFFFFu}});
  // Opaque source covers the background.
  src.Fill([](int, int) { return Grey(9); });
  ASSERT_EQ(rx_OpRect(&dst, 0, 0, 15, 15, &src, 0, 0, 15, 15, 0, rx_OpChecker, rx_ClassNormal), 1);
  EXPECT_EQ(dst.At(5, 5), Grey(9));
  // A tiled pattern surface.
  tile.Fill([](int x, int y) { return Grey(x + 2 * y + 1); });
  rx_ThreadState *state = rx_GetThreadState();
  state->patternSurface = &tile;
  src.Fill([](int, int) { return Px(0, 0, 0, 255); });
  ASSERT_EQ(rx_OpRect(&dst, 0, 0, 15, 15, &src, 0, 0, 15, 15, 0, rx_OpPattern, rx_ClassNormal), 1);
  state->patternSurface = nullptr;
  ExpectAt(&dst, {{0, 0, Grey(1)}, {3, 2, Grey(2)}, {4, 5, Grey(3)}});
  rx_SetCheckerPattern(rx_DefaultChecker1, rx_DefaultChecker2, 1, 2);
}

// An adjustment record with the user value 42.
rx_Adjustment Adjust(uint32_t mode, uint32_t count, std::array<const uint8_t *, 3> tables = {},
                     std::array<rx_AdjustCallback, 3> callbacks = {}, std::array<uint8_t, 3> selectors = {}) {
  rx_Adjustment a{};
  a.mode = mode, a.count = count, a.user = 42;
  for (int c = 0; c < 3; ++c) a.tables[c] = tables[c], a.callbacks[c] = callbacks[c], a.selectors[c] = selectors[c];
  return a;
}

TEST(Adjustment, CurvesTablesRoutingCallbacksAndMissing) {
  const uint32_t d = Px(10, 100, 200, 7), s = Px(50, 60, 70, 0);
  rx_SetAdjustment(nullptr);
  Surface dst(1, 1, d), src(1, 1, s);
  EXPECT_EQ(FailureOf(rx_OpRect(&dst, 0, 0, 0, 0, &src, 0, 0, 0, 0, 0, rx_OpAdjust, rx_ClassNormal)), rx_ErrNoAdjustment);

  // Modes 1 and 2 pass the destination through the curves: blue 10 of an inverting 2-entry curve is
  // (236 x 255) >> 8 = 235; green and red keep theirs. Mode 4 routes the source's blue and green over the destination's
  // red. Mode 3: a 2 x 2 table [d][s] of corners 0, 255 (s high), 255 (d high), 0. Callbacks, each told the user value
  // once at set-up: 17 maps the destination pixel, 18 one channel each, 19 the source pixel.
  static int setUps;
  setUps = 0;
  auto invert = [](uint32_t v, uintptr_t user) -> uint32_t { return v == 0 && user == 42 ? ++setUps : v ^ 0xFFFFFFu; };
  auto one = [](uint32_t v, uintptr_t) -> uint32_t { return v == 0 ? 0 : 1; };
  auto halfRed = [](uint32_t v, uintptr_t) -> uint32_t { return (v >> 16 & 255) / 2; };
  const uint8_t curve[2] = {255, 0}, grid[4] = {0, 255, 255, 0};
  const struct { rx_Adjustment a; uint32_t d, s, want; } cases[] = {
      {Adjust(1, 2, {curve}), d, s, Px(235, 100, 200, 7)},
      {Adjust(2, 2, {curve}), d, s, Px(235, 100, 200, 7)},
      {Adjust(4, 0, {}, {}, {4, 5, 2}), d, s, Px(50, 60, 200, 7)},
      {Adjust(3, 2, {grid, grid, grid}), Grey(0), Grey(0), Grey(0)},
      {Adjust(3, 2, {grid, grid, grid}), Grey(255), Grey(0), Grey(255)},
      {Adjust(17, 0, {}, {invert}), d, s, Px(245, 155, 55, 7)},
      {Adjust(18, 0, {}, {one, nullptr, halfRed}), d, s, Px(1, 100, 100, 7)},
      {Adjust(19, 0, {}, {invert}), d, s, Px(205, 195, 185, 7)},
  };
  for (const auto &c : cases) {
    ASSERT_EQ(rx_SetAdjustment(&c.a), 1);
    EXPECT_EQ(Apply(c.d, c.s, rx_OpAdjust), c.want) << "mode " << c.a.mode;
  }
  EXPECT_EQ(setUps, 2);

  // Refused: a 1-entry table, curves without any table, 19 without its callback.
  const rx_Adjustment bad[3] = {Adjust(3, 1, {grid, grid, grid}), Adjust(1, 4), Adjust(19, 0)};
  for (const rx_Adjustment &a : bad) EXPECT_EQ(FailureOf(rx_SetAdjustment(&a)), rx_ErrArgument) << a.mode;
  EXPECT_EQ(rx_SetAdjustment(nullptr), 1);
}

uint32_t Pattern(int x, int y) { return Px(x * 7 & 255, y * 13 & 255, (x + y) & 255, 0); }
uint32_t gIndex[65536];  // the axis maps' outputs
uint8_t gFraction[65536];

TEST(CoordinateMaps, PositionsAndSpans) {
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
    ASSERT_EQ(rx_BuildAxisMap(c[0], c[1], c[2], c[3], 10, c[4], c[5], false, gIndex, gFraction, &span), 1);
    EXPECT_EQ(span.empty, c[9] < 0) << c[1] << " " << c[2];
    if (c[9] < 0) continue;
    EXPECT_EQ(std::tuple(int(gIndex[c[6]]), int(gFraction[c[6]]), span.first, span.last), std::tuple(c[7], c[8], c[9], c[10]))
        << c[1] << " " << c[2];
  }
  // The factor-2 threshold of the resampling cases, and the offset that forces nearest.
  EXPECT_EQ(std::tuple(rx_ScalingCase(100, 100, 50, 50, false, rx_OptScaleCase), rx_ScalingCase(100, 100, 51, 51, false, rx_OptScaleCase),
                       rx_ScalingCase(100, 100, 50, 50, true, 0)), std::tuple(rx_CaseShrinkBox, rx_CaseShrinkMild, rx_CaseNearest));
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
  rx_SurfaceFree(&src), rx_SetClipRect(nullptr);
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
        EXPECT_EQ(FailureOf(RunKernel(k, &dst, &src, c)), rx_ErrArgument) << k << " " << at << " " << v;
      }
  EXPECT_EQ(dst.Pixels(), std::vector<uint32_t>(16, Grey(1)));
  for (int k = 0; k < kKernels; ++k) {
    // The edges of the range are taken: spans of 2^31 - 1 pixels either way; inverted ones are refused.
    EXPECT_EQ(RunKernel(k, &dst, &src, {-limit, -limit, limit, limit, 0, 0, 3, 3}), 1) << k;
    EXPECT_EQ(RunKernel(k, &dst, &src, {0, 0, 3, 3, -limit, -limit, limit, limit}), 1) << k;
    EXPECT_EQ(RunKernel(k, &dst, &src, {0, 0, 3, 3, limit, limit, -limit, -limit}), 0) << k;
    EXPECT_EQ(RunKernel(k, &dst, &src, {limit, limit, -limit, -limit, 0, 0, 3, 3}), k < 8 ? 0 : 1) << k;
  }
  rx_AxisSpan span;
  EXPECT_TRUE(rx_BuildAxisMap(INT32_MIN, 0, 0, 9, 10, 10, 0, false, gIndex, gFraction, &span) == 0 && span.empty);

  // The polygon fill: points beyond the range are refused, the range's corners fill the surface.
  rx_PointList list{};
  ASSERT_EQ(rx_PointListInit(&list), 1);
  EXPECT_EQ(FailureOf(rx_PointListAdd(&list, INT32_MIN, 0, 0)), rx_ErrArgument);
  EXPECT_EQ(rx_PointListAdd(&list, 0, limit + 1, 0), 0);
  for (auto [x, y] : {std::pair{-limit, -limit}, {limit, 0}, {-limit, limit}}) ASSERT_EQ(rx_PointListAdd(&list, x, y, 0), 1);
  rx_SetClipRect(nullptr);
  ASSERT_EQ(rx_FillPolygon(&dst, &list, Grey(5), rx_OpReplace, rx_ClassNormal), 1);
  EXPECT_EQ(dst.Pixels(), std::vector<uint32_t>(16, Grey(5)));
  int32_t farOut = INT32_MAX;
  std::memcpy(list.points + 12, &farOut, 4);  // a list written by hand
  EXPECT_EQ(FailureOf(rx_FillPolygon(&dst, &list, Grey(6), rx_OpReplace, rx_ClassNormal)), rx_ErrArgument);
  rx_PointListFree(&list);
  uint32_t row[4] = {};
  EXPECT_EQ(rx_SpanOp(row, 0, INT32_MAX, 0, rx_OpReplace, nullptr), 0);
}

TEST(CopyRect, IdentityOutsideAndClipped) {
  Surface src(10, 10), dst(10, 10, 0x11111111);
  src.Fill(Pattern);
  ASSERT_EQ(rx_CopyRect(&dst, 0, 0, 9, 9, &src, 0, 0, 9, 9, 0), 1);
  EXPECT_EQ(dst.Pixels(), src.Pixels());

  // Inverted rectangles and bad records.
  dst.Fill([](int, int) { return 0x11111111u; });
  EXPECT_EQ(FailureOf(rx_CopyRect(&dst, 5, 0, 4, 4, &src, 0, 0, 4, 4, 0)), rx_ErrArgument);
  rx_Surface empty{};
  EXPECT_EQ(FailureOf(rx_CopyRect(&dst, 0, 0, 4, 4, &empty, 0, 0, 4, 4, 0)), rx_ErrNotSurface);
  EXPECT_EQ(rx_CopyRect(nullptr, 0, 0, 4, 4, &src, 0, 0, 4, 4, 0), 0);

  // Partly outside: the part that exists is copied, the rest left alone.
  ASSERT_EQ(rx_CopyRect(&dst, 0, 0, 9, 9, &src, -3, -2, 6, 7, 0), 1);
  ExpectAt(&dst, {{2, 5, 0x11111111u}, {5, 1, 0x11111111u}, {3, 2, Pattern(0, 0)}, {9, 9, Pattern(6, 7)}});
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
  ExpectAt(&s, {{2, 1, 0xAABBCCDDu}, {5, 6, 0xAABBCCDDu}, {6, 6, 0u}});
  s.Fill([](int, int) { return 0u; });
  ASSERT_EQ(rx_FillRect(&s, 0, 0, 3, 3, 7, rx_FillExclusive), 1);
  ExpectAt(&s, {{2, 2, 7u}, {3, 3, 0u}});
  rx_Rect clip{1, 1, 1, 1, 1};
  rx_SetClipRect(&clip);
  ASSERT_EQ(rx_FillRect(&s, 0, 0, 7, 7, 9, rx_FillClip), 1);
  rx_SetClipRect(nullptr);
  ExpectAt(&s, {{1, 1, 9u}, {4, 4, 0u}});
  EXPECT_EQ(FailureOf(rx_FillRect(&s, 10, 10, 20, 20, 1, 0)), rx_ErrArgument);
  // Partly outside is clipped to the surface.
  ASSERT_EQ(rx_FillRect(&s, -5, -5, 100, 0, 3, 0), 1);
  EXPECT_EQ(s.At(7, 0), 3u);
}

// The raw-buffer stretch behind the bitmap layer: a clip, and its refusals.
TEST(SurfaceHelpers, StretchPixels) {
  uint32_t src[4] = {Grey(10), Grey(10), Grey(10), Grey(10)}, dst[8 * 8] = {};
  int32_t clip[4] = {0, 0, 4, 8};
  ASSERT_EQ(rx_KernelStretchPixels(dst, 8, 8, 8, 0, 0, 8, 8, src, 2, 2, 2, 0, 0, 2, 2, clip), 1);
  EXPECT_TRUE(dst[3] == Grey(10) && dst[4] == 0u);
  EXPECT_EQ(std::pair(rx_KernelStretchPixels(dst, 8, 8, 8, 0, 0, 8, 8, src, 2, 2, 2, 1, 0, 2, 2, nullptr),
                      rx_KernelStretchPixels(nullptr, 8, 8, 8, 0, 0, 8, 8, src, 2, 2, 2, 0, 0, 2, 2, nullptr)), std::pair(0, 0));
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
