// The engine operations against independently written references.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>

#include "kernel_test_util.h"
#include "raster/kernels/kernel_internal.h"

using namespace kt;

namespace {

// The normal blend written from its definition, in floating point.
uint32_t ReferenceNormal(uint32_t d, uint32_t s) {
  int ts = Ch(s, 3), td = Ch(d, 3);
  if (ts == 0) return s;
  if (ts == 255) return d;
  if (td == 0) {
    int w = ts + ts / 128;
    int c[3];
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
  const int ts[] = {0, 1, 64, 127, 128, 200, 254, 255};
  const int td[] = {0, 1, 90, 128, 254, 255};
  const uint32_t colours[] = {Px(0, 0, 0, 0), Px(255, 255, 255, 0), Px(10, 128, 250, 0), Px(200, 3, 77, 0)};
  Surface dst(1, 1), src(1, 1);
  for (int a : ts)
    for (int b : td)
      for (uint32_t cs : colours)
        for (uint32_t cd : colours) {
          uint32_t s = cs | static_cast<uint32_t>(a) << 24, d = cd | static_cast<uint32_t>(b) << 24;
          dst.Fill([d](int, int) { return d; });
          src.Fill([s](int, int) { return s; });
          ASSERT_EQ(rx_OpRect(&dst, 0, 0, 0, 0, &src, 0, 0, 0, 0, 0, rx_OpNormal, rx_ClassNormal), 1);
          ASSERT_EQ(dst.At(0, 0), ReferenceNormal(d, s)) << std::hex << d << " " << s;
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

TEST(NormalBlend, KindOneAndClippedClassKeepDestinationT) {
  Surface dst(1, 1, Px(10, 10, 10, 100)), src(1, 1, Px(200, 200, 200, 0));
  ASSERT_EQ(rx_BlendRect(&dst, 0, 0, 0, 0, &src, 0, 0, 0, 0, 1), 1);
  EXPECT_EQ(dst.At(0, 0), Px(200, 200, 200, 100));
  dst.Fill([](int, int) { return Px(10, 10, 10, 100); });
  ASSERT_EQ(rx_BlendRect(&dst, 0, 0, 0, 0, &src, 0, 0, 0, 0, 2), 1);
  EXPECT_EQ(dst.At(0, 0), Px(200, 200, 200, 0));
  dst.Fill([](int, int) { return Px(10, 10, 10, 100); });
  ASSERT_EQ(rx_OpRect(&dst, 0, 0, 0, 0, &src, 0, 0, 0, 0, 0, rx_OpNormal, rx_ClassClipped), 1);
  EXPECT_EQ(Ch(dst.At(0, 0), 3), 100);
}

TEST(LayerTransparency, ZeroHalfAndInvisible) {
  Surface dst(4, 1, Grey(0)), src(4, 1, Grey(200));
  ASSERT_EQ(rx_OpRect(&dst, 0, 0, 3, 0, &src, 0, 0, 3, 0, 255, rx_OpNormal, rx_ClassNormal), 1);
  EXPECT_EQ(dst.At(0, 0), Grey(0));
  ASSERT_EQ(rx_OpRect(&dst, 0, 0, 3, 0, &src, 0, 0, 3, 0, 300, rx_OpMultiply, rx_ClassNormal), 1);
  EXPECT_EQ(dst.At(1, 0), Grey(0));
  ASSERT_EQ(rx_OpRect(&dst, 0, 0, 3, 0, &src, 0, 0, 3, 0, 128, rx_OpNormal, rx_ClassNormal), 1);
  EXPECT_NEAR(Ch(dst.At(2, 0), 0), 100, 1);
  EXPECT_EQ(Ch(dst.At(2, 0), 3), 0);
  ASSERT_EQ(rx_OpRect(&dst, 0, 0, 3, 0, &src, 0, 0, 3, 0, 0, rx_OpNormal, rx_ClassNormal), 1);
  EXPECT_EQ(dst.At(3, 0), Grey(200));
  // A half-strength colour operation lands halfway between before and after.
  dst.Fill([](int, int) { return Grey(100); });
  ASSERT_EQ(rx_OpRect(&dst, 0, 0, 3, 0, &src, 0, 0, 3, 0, 128, rx_OpAdd, rx_ClassNormal), 1);
  EXPECT_NEAR(Ch(dst.At(0, 0), 1), 177, 1);
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
  // Destination value along x, source value along y, in the blue channel;
  // green and red carry the exchanged pair so both positions are checked.
  // The destination's T, any value, stays as it was.
  Surface dst(256, 256), src(256, 256);
  for (int op : {6, 7, 8, 9, 10, 11, 12, 13, 14, 17, 18, 19, 20, 23, 24, 25}) {
    dst.Fill([](int x, int y) { return Px(x, y, 0, (x + 3 * y) & 255); });
    src.Fill([](int x, int y) { return Px(y, x, 255, 0); });
    ASSERT_EQ(rx_OpRect(&dst, 0, 0, 255, 255, &src, 0, 0, 255, 255, 0, op, rx_ClassNormal), 1);
    std::vector<uint32_t> all = dst.Pixels();
    for (int y = 0; y < 256; ++y)
      for (int x = 0; x < 256; ++x) {
        uint32_t p = all[static_cast<size_t>(y) * 256 + static_cast<size_t>(x)];
        ASSERT_EQ(Ch(p, 0), Reference(op, x, y)) << "op " << op << " d " << x << " s " << y;
        ASSERT_EQ(Ch(p, 1), Reference(op, y, x)) << "op " << op;
        ASSERT_EQ(Ch(p, 2), Reference(op, 0, 255)) << "op " << op;
        ASSERT_EQ(Ch(p, 3), (x + 3 * y) & 255);
      }
  }
}

TEST(WholePixelOperations, AllFourBytes) {
  Surface dst(256, 1), src(256, 1);
  for (int op : {1, 2, 3, 4, 5, 27}) {
    dst.Fill([](int x, int) { return Px(x, 255 - x, 17, x / 2); });
    src.Fill([](int x, int) { return Px(200, x, 3, 9); });
    ASSERT_EQ(rx_OpRect(&dst, 0, 0, 255, 0, &src, 0, 0, 255, 0, 0, op, rx_ClassNormal), 1);
    for (int x = 0; x < 256; ++x) {
      uint32_t d = Px(x, 255 - x, 17, x / 2), s = Px(200, x, 3, 9), want = 0;
      for (int c = 0; c < 4; ++c) {
        int a = Ch(d, c), b = Ch(s, c), r = 0;
        switch (op) {
          case 1: r = a | b; break;
          case 2: r = a & b; break;
          case 3: r = a ^ b; break;
          case 4: r = std::min(255, a + b); break;
          case 5: r = std::max(0, a - b); break;
          case 27: r = b; break;
        }
        want |= static_cast<uint32_t>(r) << (8 * c);
      }
      ASSERT_EQ(dst.At(x, 0), want) << "op " << op << " x " << x;
    }
  }
}

TEST(LumaChromaAndLightness, FixedPointFormulas) {
  Surface dst(1, 1), src(1, 1);
  auto yOf = [](uint32_t p) { return (19595 * Ch(p, 2) + 38470 * Ch(p, 1) + 7471 * Ch(p, 0) + 32768) >> 16; };
  const uint32_t d = Px(100, 140, 160, 40), s = Px(120, 60, 110, 0);
  dst.Fill([&](int, int) { return d; });
  src.Fill([&](int, int) { return s; });
  ASSERT_EQ(rx_OpRect(&dst, 0, 0, 0, 0, &src, 0, 0, 0, 0, 0, rx_OpLuminosity, rx_ClassNormal), 1);
  uint32_t r = dst.At(0, 0);
  EXPECT_EQ(Ch(r, 3), 40);
  EXPECT_NEAR(yOf(r), yOf(s), 2);
  // Grey source luminosity over grey stays that grey.
  dst.Fill([](int, int) { return Grey(50); });
  src.Fill([](int, int) { return Grey(180); });
  ASSERT_EQ(rx_OpRect(&dst, 0, 0, 0, 0, &src, 0, 0, 0, 0, 0, rx_OpLuminosity, rx_ClassNormal), 1);
  EXPECT_EQ(dst.At(0, 0), Grey(180));
  dst.Fill([&](int, int) { return d; });
  src.Fill([&](int, int) { return s; });
  ASSERT_EQ(rx_OpRect(&dst, 0, 0, 0, 0, &src, 0, 0, 0, 0, 0, rx_OpColor, rx_ClassNormal), 1);
  EXPECT_NEAR(yOf(dst.At(0, 0)), yOf(d), 2);
  // Lightness: a grey source's lightness on a saturated red.
  dst.Fill([](int, int) { return Px(0, 0, 255, 0); });
  src.Fill([](int, int) { return Grey(255); });
  ASSERT_EQ(rx_OpRect(&dst, 0, 0, 0, 0, &src, 0, 0, 0, 0, 0, rx_OpLightness, rx_ClassNormal), 1);
  EXPECT_EQ(dst.At(0, 0), Grey(255));
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
  EXPECT_EQ(rx_OpRect(&dst, 0, 0, 2, 0, &src, 0, 0, 2, 0, 0, 77, rx_ClassNormal), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrArgument);
}

TEST(PatternOperations, CheckerboardAndTiles) {
  ASSERT_EQ(rx_SetThumbnailPattern(), 1);
  Surface dst(16, 16), src(16, 16, Px(0, 0, 0, 255));  // wholly transparent source
  ASSERT_EQ(rx_DrawOverPattern(&dst, &src), 1);
  EXPECT_EQ(dst.At(0, 0), 0xFFFFFFu);
  EXPECT_EQ(dst.At(3, 0), 0xFFFFFFu);
  EXPECT_EQ(dst.At(4, 0), 0xF0F0FFu);
  EXPECT_EQ(dst.At(4, 4), 0xFFFFFFu);
  // Opaque source covers the background.
  src.Fill([](int, int) { return Grey(9); });
  ASSERT_EQ(rx_OpRect(&dst, 0, 0, 15, 15, &src, 0, 0, 15, 15, 0, rx_OpChecker, rx_ClassNormal), 1);
  EXPECT_EQ(dst.At(5, 5), Grey(9));
  // A tiled pattern surface.
  Surface tile(2, 2);
  tile.Fill([](int x, int y) { return Grey(x + 2 * y + 1); });
  rx_ThreadState *state = rx_GetThreadState();
  state->patternSurface = &tile;
  src.Fill([](int, int) { return Px(0, 0, 0, 255); });
  ASSERT_EQ(rx_OpRect(&dst, 0, 0, 15, 15, &src, 0, 0, 15, 15, 0, rx_OpPattern, rx_ClassNormal), 1);
  state->patternSurface = nullptr;
  EXPECT_EQ(dst.At(0, 0), Grey(1));
  EXPECT_EQ(dst.At(3, 2), Grey(2));
  EXPECT_EQ(dst.At(4, 5), Grey(3));
  rx_SetCheckerPattern(rx_DefaultChecker1, rx_DefaultChecker2, 1, 2);
}

TEST(Adjustment, CurvesTablesRoutingAndMissing) {
  Surface dst(1, 1, Px(10, 100, 200, 7)), src(1, 1, Px(50, 60, 70, 0));
  rx_SetAdjustment(nullptr);
  EXPECT_EQ(rx_OpRect(&dst, 0, 0, 0, 0, &src, 0, 0, 0, 0, 0, rx_OpAdjust, rx_ClassNormal), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrNoAdjustment);

  // Modes 1 and 2 pass the destination through the curves: blue 10 of an
  // inverting 2-entry curve is (236 x 255) >> 8 = 235; green and red keep theirs.
  const uint8_t invert[2] = {255, 0};
  rx_Adjustment a{};
  a.count = 2;
  a.tables[0] = invert;
  for (uint32_t mode : {1u, 2u}) {
    a.mode = mode;
    ASSERT_EQ(rx_SetAdjustment(&a), 1);
    dst.Fill([](int, int) { return Px(10, 100, 200, 7); });
    ASSERT_EQ(rx_OpRect(&dst, 0, 0, 0, 0, &src, 0, 0, 0, 0, 0, rx_OpAdjust, rx_ClassNormal), 1);
    EXPECT_EQ(dst.At(0, 0), Px(235, 100, 200, 7)) << mode;
  }

  // Callbacks, each told the user value once at set-up: 17 maps the
  // destination pixel, 18 one channel each, 19 the source pixel.
  static int setUps;
  setUps = 0;
  auto invertAll = [](uint32_t v, uintptr_t user) -> uint32_t { return v == 0 && user == 42 ? ++setUps : v ^ 0xFFFFFFu; };
  auto one = [](uint32_t v, uintptr_t) -> uint32_t { return v == 0 ? 0 : 1; };
  auto halfRed = [](uint32_t v, uintptr_t) -> uint32_t { return (v >> 16 & 255) / 2; };
  const struct {
    uint32_t mode;
    rx_AdjustCallback callbacks[3];
    uint32_t want;
  } calls[] = {{17, {invertAll}, Px(245, 155, 55, 7)}, {18, {one, nullptr, halfRed}, Px(1, 100, 100, 7)}, {19, {invertAll}, Px(205, 195, 185, 7)}};
  for (const auto &c : calls) {
    a = rx_Adjustment{};
    a.mode = c.mode;
    a.user = 42;
    std::copy(c.callbacks, c.callbacks + 3, a.callbacks);
    ASSERT_EQ(rx_SetAdjustment(&a), 1);
    dst.Fill([](int, int) { return Px(10, 100, 200, 7); });
    ASSERT_EQ(rx_OpRect(&dst, 0, 0, 0, 0, &src, 0, 0, 0, 0, 0, rx_OpAdjust, rx_ClassNormal), 1);
    EXPECT_EQ(dst.At(0, 0), c.want) << c.mode;
  }
  EXPECT_EQ(setUps, 2);
  a.callbacks[0] = nullptr;  // 19 without its callback
  EXPECT_EQ(rx_SetAdjustment(&a), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrArgument);

  a = rx_Adjustment{};
  a.mode = 4;
  a.selectors[0] = 4, a.selectors[1] = 5, a.selectors[2] = 2;
  ASSERT_EQ(rx_SetAdjustment(&a), 1);
  dst.Fill([](int, int) { return Px(10, 100, 200, 7); });
  ASSERT_EQ(rx_OpRect(&dst, 0, 0, 0, 0, &src, 0, 0, 0, 0, 0, rx_OpAdjust, rx_ClassNormal), 1);
  EXPECT_EQ(dst.At(0, 0), Px(50, 60, 200, 7));

  // Mode 3: a 2 x 2 table [d][s] with corners 0, 255 (s high), 255 (d high), 0.
  const uint8_t grid[4] = {0, 255, 255, 0};
  a = rx_Adjustment{};
  a.mode = 3;
  a.count = 2;
  a.tables[0] = a.tables[1] = a.tables[2] = grid;
  ASSERT_EQ(rx_SetAdjustment(&a), 1);
  dst.Fill([](int, int) { return Grey(0); });
  src.Fill([](int, int) { return Grey(0); });
  ASSERT_EQ(rx_OpRect(&dst, 0, 0, 0, 0, &src, 0, 0, 0, 0, 0, rx_OpAdjust, rx_ClassNormal), 1);
  EXPECT_EQ(dst.At(0, 0), Grey(0));
  dst.Fill([](int, int) { return Grey(255); });
  ASSERT_EQ(rx_OpRect(&dst, 0, 0, 0, 0, &src, 0, 0, 0, 0, 0, rx_OpAdjust, rx_ClassNormal), 1);
  EXPECT_EQ(dst.At(0, 0), Grey(255));

  a.count = 1;
  EXPECT_EQ(rx_SetAdjustment(&a), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrArgument);
  a = rx_Adjustment{};
  a.mode = 1;
  a.count = 4;
  EXPECT_EQ(rx_SetAdjustment(&a), 0);  // no table at all
  EXPECT_EQ(rx_SetAdjustment(nullptr), 1);
}

}  // namespace
