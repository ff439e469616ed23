// The resampling paths: vector rows against scalar twins byte for byte, the
// fast paths (box, bilinear) against the general filter within a tolerance.

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>

#include "kernel_test_util.h"
#include "platform/os.h"
#include "raster/kernels/kernel_driver.h"
#include "raster/kernels/resample_fast.h"
#include "raster/kernels/resample_simd.h"

using namespace kt;
using namespace rx_kernel;

namespace {

// Restores the general-only switch on scope exit.
struct GeneralOnly {
  explicit GeneralOnly(bool on) { gResampleGeneralOnly = on; }
  ~GeneralOnly() { gResampleGeneralOnly = false; }
};

// The scaled copy rx_ResampleRect runs with the scaling-case option, with the SIMD choice open.
int32_t Resample(rx_Surface *dst, const int d[4], rx_Surface *src, const int s[4], bool simd, uint32_t options = 0) {
  RectJob j;
  j.dst = dst, j.src = src, j.options = rx_OptScaleCase | options, j.noSimd = !simd;
  j.dl = d[0], j.dt = d[1], j.dr = d[2], j.db = d[3];
  j.sl = s[0], j.st = s[1], j.sr = s[2], j.sb = s[3];
  j.useOffset = j.fullSpan = true, j.sampling = Sampling::filtered;
  const int nsx = s[2] - s[0] + 1, nsy = s[3] - s[1] + 1, ndx = d[2] - d[0] + 1, ndy = d[3] - d[1] + 1;
  const int32_t scaleCase = rx_ScalingCase(nsx, nsy, ndx, ndy, false, rx_OptScaleCase);
  j.columnFilter = FilterForAxis(scaleCase, nsx, ndx);
  j.rowFilter = FilterForAxis(scaleCase, nsy, ndy);
  return RunRect(j);
}

// The fast path the driver's tap tables select for a whole-surface scale.
int32_t KindFor(int nsx, int nsy, int ndx, int ndy) {
  const int32_t scaleCase = rx_ScalingCase(nsx, nsy, ndx, ndy, false, rx_OptScaleCase);
  AxisTaps cols, rows;
  EXPECT_TRUE(BuildTaps(&cols, FilterForAxis(scaleCase, nsx, ndx), 0, ndx - 1, 0, ndx - 1, 0, nsx - 1, nsx, 0));
  EXPECT_TRUE(BuildTaps(&rows, FilterForAxis(scaleCase, nsy, ndy), 0, ndy - 1, 0, ndy - 1, 0, nsy - 1, nsy, 0));
  return ClassifyFastResample(cols, rows);
}

// Random colours; every fifth pixel opaque, every seventh invisible, the rest anything.
void FillRandom(Surface &s, uint32_t seed, bool opaque) {
  std::mt19937 rng(seed);
  s.Fill([&rng, opaque](int x, int) {
    uint32_t t = opaque || x % 5 == 0 ? 0 : x % 7 == 0 ? 255 : rng() & 255;
    return (rng() & 0xFFFFFF) | t << 24;
  });
}

struct Case { int sw, sh, dw, dh; int32_t kind; };
const Case kCases[] = {
    {64, 48, 32, 24, rx_FastBox},       {66, 50, 33, 25, rx_FastBox},       {99, 45, 33, 15, rx_FastBox},
    {128, 64, 32, 16, rx_FastBox},      {200, 88, 25, 11, rx_FastBox},      {160, 48, 10, 3, rx_FastBox},
    {70, 40, 35, 8, rx_FastBox},        {30, 64, 30, 16, rx_FastBox},       {31, 21, 62, 42, rx_FastBilinear},
    {20, 13, 60, 39, rx_FastBilinear},  {20, 14, 30, 21, rx_FastBilinear},  {1, 5, 7, 11, rx_FastBilinear},
    {17, 1, 51, 3, rx_FastBilinear},    {40, 30, 20, 45, rx_FastNone}, {8, 8, 13, 13, rx_FastBilinear},
};

TEST(FastResample, TablesSelectThePaths) {
  for (const Case &c : kCases) EXPECT_EQ(KindFor(c.sw, c.sh, c.dw, c.dh), c.kind) << c.sw << "x" << c.sh << " " << c.dw;
  EXPECT_EQ(KindFor(30, 30, 20, 20), rx_FastNone);    // mild shrink: wider tents
  EXPECT_EQ(KindFor(100, 100, 40, 40), rx_FastNone);  // 2.5: partial pixels at the box edges
  EXPECT_EQ(KindFor(340, 34, 20, 2), rx_FastNone);    // 17 x 17 would overflow the 16-bit sums
  EXPECT_EQ(KindFor(64, 16, 4, 1), rx_FastBox);       // 16 x 16 still fits
  // A sub-pixel offset breaks the whole runs of the box (three taps, the outer ones halved).
  AxisTaps cols, rows;
  ASSERT_TRUE(BuildTaps(&rows, Filter::box, 0, 9, 0, 9, 0, 19, 20, 0));
  for (int n : {20, 40}) {
    ASSERT_TRUE(BuildTaps(&cols, Filter::box, 0, 9, 0, 9, 0, n - 1, n, 64));
    EXPECT_EQ(ClassifyFastResample(cols, rows), rx_FastNone) << n;
  }
}

// The general filter's vector rows against its scalar rows over factors, narrow
// sizes, wide strides, offsets, clips and (partly) translucent images.
TEST(GeneralResample, VectorRowsMatchTheScalarRows) {
  const double factors[] = {0.1, 0.37, 0.5, 0.77, 1.0, 1.3, 1.7, 2, 3.3, 8.1};
  const int sizes[] = {1, 2, 3, 15, 16, 17};
  GeneralOnly general(true);
  std::mt19937 rng(42);
  int n = 0;
  for (double fx : factors)
    for (double fy : factors)
      for (int size : sizes)
        for (bool sizeOfSource : {true, false}) {
          const int other = sizes[(n++ * 7) % 6];
          auto scaled = [](int v, double f) { return std::max(1, int(std::lround(v * f))); };
          const int sw = sizeOfSource ? size : scaled(size, 1 / fx), dw = sizeOfSource ? scaled(size, fx) : size;
          const int sh = sizeOfSource ? other : scaled(other, 1 / fy), dh = sizeOfSource ? scaled(other, fy) : other;
          const int stride = sw + 1 + 2 * (n % 3), kind = n % 3;
          std::vector<uint32_t> pixels(size_t(stride) * sh);
          for (size_t i = 0; i < pixels.size(); ++i) {
            const uint32_t t = kind == 0 || (kind == 2 && (i / stride) % 3 != 1) ? 0 : i % 7 == 0 ? 255 : rng() & 255;
            pixels[i] = (rng() & 0xFFFFFF) | t << 24;
          }
          rx_Surface src{};
          ASSERT_EQ(rx_SurfaceWrap(&src, sw, sh, stride, pixels.data()), 1);
          const bool clip = n % 4 == 1;
          const int d[4] = {1, 2, dw, dh + 1}, s[4] = {0, 0, sw - 1, sh - 1};
          rx_Rect clipRect{2, 2, dw / 2 + 1, dh, 1};
          std::vector<uint32_t> results[3];
          for (int level : {0, 1, 2}) {
            Surface dst(dw + 3, dh + 3, 0x5A5A5A5A);
            gResampleSimdLimit = level;
            rx_SetSourceOffset(n % 5 == 2 ? 77 : 0, n % 5 == 2 ? -130 : 0);
            if (clip) rx_SetClipRect(&clipRect);
            ASSERT_EQ(Resample(&dst.s, d, &src, s, level > 0, clip ? uint32_t{rx_OptClip} : 0u), 1);
            rx_SetClipRect(nullptr), rx_SetSourceOffset(0, 0);
            results[level] = dst.Pixels();
          }
          gResampleSimdLimit = 2;
          rx_SurfaceFree(&src);
          for (int level : {1, 2}) ASSERT_EQ(results[0], results[level]) << sw << "x" << sh << " -> " << dw << "x" << dh;
        }
}

// Bytes of global memory the calling thread holds, and the most it held.
thread_local int64_t gLive = 0, gPeak = 0;
void Count(int64_t bytes) { gPeak = std::max(gPeak, gLive += bytes); }

TEST(GeneralResample, HugeShrinkKeepsToAFewMegabytes) {
  rx_Surface src{}, dst{};
  ASSERT_EQ(std::pair(rx_SurfaceCreate(&src, 20000, 20000, rx_CreateMemory | rx_CreateNoShrink | rx_CreateNoTotalLimit),
                      rx_SurfaceCreate(&dst, 100, 100, rx_CreateMemory | rx_CreateNoShrink)), std::pair(1, 1));
  rx_SurfaceLock(&src, 0);
  for (int y = 0; y < 200; ++y) std::fill_n(src.bits + size_t(y) * src.stride, 200, 0x00FFFFFFu);  // a white corner
  rx_SurfaceUnlock(&src, 0);
  os_SetAllocationHook(Count);
  EXPECT_EQ(rx_ResampleRect(&dst, 0, 0, 99, 99, &src, 0, 0, 19999, 19999, rx_OptScaleCase), 1);
  os_SetAllocationHook(nullptr);
  EXPECT_LT(gPeak, 3 << 20) << gPeak;  // the whole intermediate image alone would be 16 MB
  // Each destination pixel averages 200 x 200 source pixels exactly.
  EXPECT_TRUE(dst.bits[0] == 0x00FFFFFFu && dst.bits[1] == 0 && dst.bits[dst.stride] == 0);
  rx_SurfaceFree(&src), rx_SurfaceFree(&dst);
}

// Packed and scalar give the same bytes. Fast against general: opaque images within 1 per channel; translucent ones
// within 1 in T and 2 in colour times opacity (what a viewer sees), since the fast paths weight colours on 8 bits.
TEST(FastResample, PackedMatchesScalarAndCloseToTheGeneralFilter) {
  uint32_t seed = 50;
  for (const Case &c : kCases) {
    for (bool opaque : {true, false}) {
      Surface src(c.sw, c.sh), fast(c.dw, c.dh, 0x11223344), scalar(c.dw, c.dh, 0x11223344), general(c.dw, c.dh);
      FillRandom(src, seed++, opaque);
      const int d[4] = {0, 0, c.dw - 1, c.dh - 1}, s[4] = {0, 0, c.sw - 1, c.sh - 1};
      ASSERT_EQ(std::pair(Resample(&fast, d, &src, s, true), Resample(&scalar, d, &src, s, false)), std::pair(1, 1));
      ASSERT_EQ(fast.Pixels(), scalar.Pixels()) << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh;
      GeneralOnly off(true);  // to the end of this pass
      ASSERT_EQ(Resample(&general, d, &src, s, true), 1);
      std::vector<uint32_t> f = fast.Pixels(), g = general.Pixels();
      for (size_t i = 0; i < f.size(); ++i) {
        const int tf = Ch(f[i], 3), tg = Ch(g[i], 3);
        ASSERT_LE(std::abs(tf - tg), 1) << i;
        for (int ch = 0; ch < 3; ++ch) {
          if (opaque) {
            ASSERT_EQ(tf, 0);
            ASSERT_LE(std::abs(Ch(f[i], ch) - Ch(g[i], ch)), 1) << c.sw << " -> " << c.dw << " at " << i;
          } else {
            const int seenF = Ch(f[i], ch) * (255 - tf), seenG = Ch(g[i], ch) * (255 - tg);
            ASSERT_LE(std::abs(seenF - seenG), 2 * 255) << c.sw << " -> " << c.dw << " at " << i;
          }
        }
      }
    }
  }
}

TEST(FastResample, SubRectanglesAndClipping) {
  Surface src(90, 60);
  FillRandom(src, 7, false);
  // 80 x 30 -> 40 x 30 (box 2 x 1) from and into the middle of the surfaces.
  Surface a(50, 40, 0x55555555), b(50, 40, 0x55555555);
  const int d[4] = {5, 3, 44, 32}, s[4] = {10, 6, 89, 35};
  ASSERT_EQ(std::pair(Resample(&a, d, &src, s, true), Resample(&b, d, &src, s, false)), std::pair(1, 1));
  EXPECT_EQ(a.Pixels(), b.Pixels());
  // Outside the destination rectangle nothing changed.
  for (auto [x, y] : {std::pair{4, 3}, {45, 32}, {5, 33}}) EXPECT_EQ(a.At(x, y), 0x55555555u) << x << "," << y;
  EXPECT_NE(a.At(20, 10), 0x55555555u);

  // The clip narrows what is drawn through the fast path too.
  Surface c(50, 40, 0x55555555);
  rx_Rect clip{13, 4, 40, 25, 1};
  rx_SetClipRect(&clip);
  ASSERT_EQ(Resample(&c, d, &src, s, true, rx_OptClip), 1);
  rx_SetClipRect(nullptr);
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 50; ++x) {
      const bool inside = x >= 13 && x <= 40 && y >= 4 && y <= 25;
      ASSERT_EQ(c.At(x, y), inside ? a.At(x, y) : 0x55555555u) << x << "," << y;
    }
}

TEST(FastResample, CheckerboardsAverageToGreyAtEveryFactor) {
  for (int f : {2, 4, 8, 16})
    for (uint32_t options : {0u, static_cast<uint32_t>(rx_OptScaleCase)}) {
      Surface src(16 * f, 8 * f), dst(16, 8);
      // Black and white cells, the black ones half transparent: the average
      // is white weighted 2:1 over black, at three quarters opacity.
      src.Fill([](int x, int y) { return ((x + y) & 1) ? Grey(255) : Grey(0, 128); });
      ASSERT_EQ(rx_ResampleRect(&dst, 0, 0, 15, 7, &src, 0, 0, 16 * f - 1, 8 * f - 1, options), 1);
      for (uint32_t p : dst.Pixels()) ASSERT_TRUE(std::abs(Ch(p, 0) - 170) <= 1 && std::abs(Ch(p, 3) - 64) <= 1) << f << " " << std::hex << p;
    }
}

TEST(FastResample, EnlargingKeepsEdgesInPlace) {
  // A step at x = 10 of 20 columns, doubled: the step's midpoint stays at x = 20.
  Surface src(20, 4), dst(40, 8);
  src.Fill([](int x, int) { return Grey(x < 10 ? 0 : 200); });
  ASSERT_EQ(rx_ResampleRect(&dst, 0, 0, 39, 7, &src, 0, 0, 19, 3, rx_OptScaleCase), 1);
  for (int x = 0; x < 40; ++x) EXPECT_EQ(Ch(dst.At(x, 3), 1) + Ch(dst.At(39 - x, 3), 1), 200) << x;
  for (int x : {18, 19, 20, 21}) EXPECT_EQ(dst.At(x, 0), Grey(std::vector{0, 50, 150, 200}[x - 18])) << x;
}

TEST(FastResample, ResolveTwinsAgreeOnEverySum) {
  // The packed path divides in single precision: every opacity sum and the
  // edge colour sums around it must come out as the integer division does.
  std::mt19937 rng(3);
  for (int n : {1, 2, 3, 4, 9, 64, 100, 256}) {
    const int top = 255 * n;
    std::vector<uint16_t> sums;
    for (int a = 0; a <= top; ++a) {
      const int cs[] = {0, a / 3, a / 2, std::max(a - 1, 0), a, std::min(a + 1, 65535),
                        static_cast<int>(rng() % (a + 1))};
      for (int c : cs) {
        sums.push_back(static_cast<uint16_t>(c));
        sums.push_back(static_cast<uint16_t>(cs[static_cast<size_t>(c) % 7]));
        sums.push_back(static_cast<uint16_t>(a));
        sums.push_back(static_cast<uint16_t>(top - a));
      }
    }
    const int32_t count = static_cast<int32_t>(sums.size() / 4) - 1;  // odd tails too
    std::vector<uint32_t> x(static_cast<size_t>(count)), y(static_cast<size_t>(count));
    ResolveSumsScalar(sums.data(), count, n, x.data());
    ResolveSumsSse2(sums.data(), count, n, y.data());
    ASSERT_EQ(x, y) << n;
    // Spot checks of the meaning: full opacity, white stays white, nothing stays nothing.
    uint16_t opaque[4] = {static_cast<uint16_t>(100 * n), static_cast<uint16_t>(255 * n), 0, 0};
    uint16_t none[4] = {0, 0, 0, static_cast<uint16_t>(top)};
    uint32_t p[2];
    ResolveSumsSse2(opaque, 1, n, &p[0]), ResolveSumsSse2(none, 1, n, &p[1]);
    EXPECT_TRUE(p[0] == Px(100, 255, 0, 0) && p[1] == 0xFF000000u) << n;
  }
}

TEST(FastResample, VerticalTwinsAgree) {
  std::mt19937 rng(5);
  std::vector<uint16_t> h0(4 * 37), h1(h0.size());
  for (size_t i = 0; i < h0.size(); ++i) {
    h0[i] = static_cast<uint16_t>(i < 8 ? 32640 : rng() % 32641);  // the largest sums too
    h1[i] = static_cast<uint16_t>(i < 8 ? 32640 - 32 * i : rng() % 32641);
  }
  for (int32_t w1 = 0; w1 <= 128; ++w1)
    for (int32_t lanes : {4 * 37, 4 * 36, 4}) {
      std::vector<uint16_t> a(h0.size() + 4, 7), b(a);
      VerticalScalar(h0.data(), h1.data(), w1, lanes, a.data());
      VerticalSse2(h0.data(), h1.data(), w1, lanes, b.data());
      ASSERT_EQ(a, b) << w1 << " " << lanes;
      EXPECT_EQ(std::pair(int(a[0]), int(a[static_cast<size_t>(lanes)])), std::pair((32640 * 128 + 32) >> 6, 7));  // nothing past the end
    }
}

// Resampling quality, quadrilaterals, the point list and the dispatcher.
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
    for (int x = 0; x < w; ++x) sum += Ch(dst.At(x, 4), 1), moment += Ch(dst.At(x, 4), 1) * (x + 0.5);
    ASSERT_GT(sum, 0);
    EXPECT_NEAR(moment / sum, w / 2.0, 0.05) << w;
    for (int x = 0; x < w; ++x) EXPECT_EQ(dst.At(x, 4), dst.At(w - 1 - x, 4)) << w;  // symmetric
  }
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
  // Each copy within one surface must match the same copy from a twin surface: enlarging down and right, shrinking up
  // and left, enlarging in place, and shifted by a sub-pixel offset.
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
  ExpectAt(&dst, {{9, 0, src.At(0, 0)}, {9, 9, src.At(9, 0)}, {0, 9, src.At(9, 9)}, {0, 0, src.At(0, 9)}, {5, 2, src.At(2, 4)}});
  // A 45-degree diamond leaves the outside corners alone.
  Surface dst2(21, 21, 0x12345678);
  rx_PointF d[4] = {{10, 0}, {20, 10}, {10, 20}, {0, 10}};
  ASSERT_EQ(rx_OpQuad(&dst2, &src, d, &whole, 0, rx_OpNormal, rx_ClassNormal), 1);
  ExpectAt(&dst2, {{0, 0, 0x12345678u}, {10, 0, src.At(0, 0)}});
  EXPECT_EQ(dst2.At(10, 10) >> 24, 0u);
  // Bad input.
  EXPECT_EQ(rx_CopyQuad(&dst, &src, nullptr, &whole), 0);
  rx_Rect bad{5, 0, 4, 9, 1};
  EXPECT_EQ(FailureOf(rx_CopyQuad(&dst, &src, c, &bad)), rx_ErrArgument);
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
  rx_SetClipRect(&box), rx_SetSourceOffset(64, 128);
  ASSERT_EQ(rx_OpRectSubpixel(&direct, 3, 2, 10, 9, &src, 0, 0, 7, 7, 0, rx_OpNormal, rx_ClassNormal), 1);
  rx_SetSourceOffset(0, 0), rx_SetClipRect(nullptr);
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
  EXPECT_EQ(dst.Pixels(), std::vector<uint32_t>(36, Px(1, 2, 3, 0)));
  ASSERT_EQ(rx_DrawQuad(&dst, &src, c, &whole, 0, 3, 0, nullptr, nullptr), 1);  // multiply
  ExpectAt(&dst, {{2, 2, Px(0, 1, 2, 0)}, {0, 0, Px(1, 2, 3, 0)}});
  ASSERT_EQ(rx_DrawQuad(&dst, &src, c, &whole, 0, 255, 0, nullptr, nullptr), 1);  // replace
  EXPECT_EQ(dst.At(4, 4), Grey(200));
  src.Fill([](int, int) { return Px(0, 0, 0, 255); });
  ASSERT_EQ(rx_DrawQuad(&dst, &src, c, &whole, 0, 9, 0, nullptr, nullptr), 1);  // intersect mask
  ExpectAt(&dst, {{2, 2, Grey(200, 255)}, {0, 0, Px(1, 2, 3, 0)}});
  rx_SetClipRect(nullptr);
  EXPECT_TRUE(rx_LayerModeToOp(18) == rx_OpPinLight && rx_LayerModeToOp(200) == rx_OpNormal);
  EXPECT_EQ(rx_DrawQuad(&dst, &src, nullptr, &whole, 0, 0, 0, nullptr, nullptr), 0);
}

TEST(PointList, GrowthRepeatsAndBadRecords) {
  rx_PointList list{};
  ASSERT_EQ(rx_PointListInit(&list), 1);
  EXPECT_EQ(list.capacity, 1024u);
  EXPECT_EQ(rx_PointListAdd(&list, 1, 2, 0), 1);
  EXPECT_TRUE(rx_PointListAdd(&list, 1, 2, 0) == -1 && list.count == 1);  // a repeat is not stored
  EXPECT_EQ(rx_PointListAdd(&list, 1, 2, 1), 1);  // another flag is another point
  for (int i = 0; i < 200; ++i) ASSERT_EQ(rx_PointListAdd(&list, i, i * 2, 0), 1);
  EXPECT_TRUE(list.count == 202 && list.capacity % 1024 == 0 && list.capacity >= (202u + 1) * 12) << list.capacity;
  int32_t x, y;
  uint8_t flag;
  EXPECT_TRUE(rx_PointListGet(&list, 150, &x, &y, &flag) == 1 && x == 148 && y == 296);
  EXPECT_EQ(list.points[202 * 12 + 8], 1);  // the slot after the last is marked
  ASSERT_EQ(rx_PointListFree(&list), 1);
  EXPECT_EQ(std::pair(FailureOf(rx_PointListAdd(&list, 0, 0, 0)), FailureOf(rx_PointListAdd(nullptr, 0, 0, 0))), std::pair(4, int(rx_ErrArgument)));
}

TEST(FillPolygon, TriangleWithSpanOperation) {
  Surface dst(10, 10, Grey(100));
  rx_PointList list{};
  ASSERT_EQ(rx_PointListInit(&list), 1);
  for (auto [x, y] : {std::pair{0, 0}, {9, 0}, {0, 9}}) ASSERT_EQ(rx_PointListAdd(&list, x, y, 0), 1);
  ASSERT_EQ(rx_FillPolygon(&dst, &list, Grey(50), rx_OpDarken, rx_ClassNormal), 1);
  rx_PointListFree(&list);
  ExpectAt(&dst, {{1, 1, Grey(50)}, {8, 8, Grey(100)}});
  uint32_t row[8] = {};
  EXPECT_TRUE(rx_SpanOp(row, 2, 5, 0xFF, rx_OpOr, nullptr) == 1 && row[2] == 0xFFu && row[5] == 0xFFu && row[6] == 0u);
  EXPECT_EQ(rx_SpanOp(row, 5, 2, 0xFF, rx_OpOr, nullptr), 0);
}

}  // namespace
