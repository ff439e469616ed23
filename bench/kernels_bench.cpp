// Kernel throughput on a 4000 x 3000 photo-like surface, each next to the
// plain scalar loop a user would otherwise write.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "raster/kernels/kernels.h"
#include "raster/kernels/resample_fast.h"

#ifdef VGM_BENCH_VIPS
#include <vips/vips.h>
#endif

namespace {

constexpr int W = 4000, H = 3000;

struct Photo {
  rx_Surface s{};
  Photo(int w, int h, uint8_t t) {
    rx_SurfaceCreate(&s, w, h, rx_CreateMemory | rx_CreateNoShrink);
    rx_SurfaceLock(&s, 0);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        uint32_t b = static_cast<uint32_t>(128 + 100 * std::sin(x * 0.01 + y * 0.003));
        uint32_t g = static_cast<uint32_t>((x ^ y) & 255), r = static_cast<uint32_t>((x * 3 + y) >> 4 & 255);
        s.bits[static_cast<size_t>(y) * s.stride + x] = b | g << 8 | r << 16 | static_cast<uint32_t>(t) << 24;
      }
    rx_SurfaceUnlock(&s, 0);
  }
  ~Photo() { rx_SurfaceFree(&s); }
};

void Report(benchmark::State &state, double pixels) {
  state.counters["MPixel/s"] = benchmark::Counter(pixels / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_CopyKernel(benchmark::State &state) {
  Photo a(W, H, 0), b(W, H, 0);
  for (auto _ : state) rx_CopyRect(&b.s, 0, 0, W - 1, H - 1, &a.s, 0, 0, W - 1, H - 1, 0);
  Report(state, double(W) * H);
}
void BM_CopyMemcpy(benchmark::State &state) {
  Photo a(W, H, 0), b(W, H, 0);
  for (auto _ : state) {
    std::memcpy(b.s.bits, a.s.bits, size_t(W) * H * 4);
    benchmark::ClobberMemory();
  }
  Report(state, double(W) * H);
}

void BM_BlendKernel(benchmark::State &state) {
  Photo src(W, H, 128), dst(W, H, 0);
  for (auto _ : state) rx_OpRect(&dst.s, 0, 0, W - 1, H - 1, &src.s, 0, 0, W - 1, H - 1, 0, 0, 256);
  Report(state, double(W) * H);
}
void BM_BlendScalarLoop(benchmark::State &state) {
  Photo src(W, H, 128), dst(W, H, 0);
  for (auto _ : state) {
    const uint32_t *s = src.s.bits;
    uint32_t *d = dst.s.bits;
    for (size_t i = 0; i < size_t(W) * H; ++i) {
      uint32_t ts = s[i] >> 24;
      int w = static_cast<int>(ts + (ts >> 7));
      uint32_t out = 0;
      for (int sh = 0; sh < 24; sh += 8) {
        int sc = (s[i] >> sh) & 255, dc = (d[i] >> sh) & 255;
        out |= static_cast<uint32_t>(sc + (((dc - sc) * w) >> 8)) << sh;
      }
      d[i] = out;
    }
    benchmark::ClobberMemory();
  }
  Report(state, double(W) * H);
}

// The resampling kernels weight colours by opacity (so transparent pixels
// do not darken their neighbours) and divide by the summed opacity per
// output pixel; the plain loops below do neither, so they do less work per
// pixel than the kernels. The kernels take no shortcut for opaque input: the
// translucent variants run the same code and show it. The general variants
// run the two-pass filter the fast paths replace.
void Shrink(benchmark::State &state, uint8_t t, bool general) {
  int f = static_cast<int>(state.range(0));
  Photo src(W, H, t), dst(W / f, H / f, 0);
  rx_kernel::gResampleGeneralOnly = general;
  for (auto _ : state)
    rx_ResampleRect(&dst.s, 0, 0, W / f - 1, H / f - 1, &src.s, 0, 0, W - 1, H - 1, rx_OptScaleCase);
  rx_kernel::gResampleGeneralOnly = false;
  Report(state, double(W) * H);  // input pixels
}
void BM_BoxShrinkKernel(benchmark::State &state) { Shrink(state, 0, false); }
void BM_BoxShrinkKernelTranslucent(benchmark::State &state) { Shrink(state, 100, false); }
void BM_BoxShrinkGeneralFilter(benchmark::State &state) { Shrink(state, 0, true); }
void BM_BoxShrinkScalarLoop(benchmark::State &state) {
  int f = static_cast<int>(state.range(0));
  Photo src(W, H, 0), dst(W / f, H / f, 0);
  const size_t ss = src.s.stride, ds = dst.s.stride;
  for (auto _ : state) {
    for (int y = 0; y < H / f; ++y)
      for (int x = 0; x < W / f; ++x) {
        uint32_t acc[4] = {0, 0, 0, 0};
        for (int j = 0; j < f; ++j)
          for (int i = 0; i < f; ++i) {
            uint32_t p = src.s.bits[size_t(y * f + j) * ss + size_t(x * f + i)];
            for (int c = 0; c < 4; ++c) acc[c] += (p >> (8 * c)) & 255;
          }
        uint32_t out = 0;
        for (int c = 0; c < 4; ++c) out |= (acc[c] / (f * f)) << (8 * c);
        dst.s.bits[size_t(y) * ds + x] = out;
      }
    benchmark::ClobberMemory();
  }
  Report(state, double(W) * H);
}

void Enlarge(benchmark::State &state, uint8_t t, bool general) {
  Photo src(W / 2, H / 2, t), dst(W, H, 0);
  rx_kernel::gResampleGeneralOnly = general;
  for (auto _ : state) rx_ResampleRect(&dst.s, 0, 0, W - 1, H - 1, &src.s, 0, 0, W / 2 - 1, H / 2 - 1, rx_OptScaleCase);
  rx_kernel::gResampleGeneralOnly = false;
  Report(state, double(W) * H);  // output pixels
}
void BM_BilinearEnlargeKernel(benchmark::State &state) { Enlarge(state, 0, false); }
void BM_BilinearEnlargeKernelTranslucent(benchmark::State &state) { Enlarge(state, 100, false); }
void BM_BilinearEnlargeGeneralFilter(benchmark::State &state) { Enlarge(state, 0, true); }
// Column positions and weights are worked out once per call, as anyone
// writing this loop for speed would; only the row terms are per row.
void BM_BilinearEnlargeScalarLoop(benchmark::State &state) {
  Photo src(W / 2, H / 2, 0), dst(W, H, 0);
  const int sw = W / 2, sh = H / 2;
  const size_t ss = src.s.stride, ds = dst.s.stride;
  std::vector<int> x0s(W), x1s(W);
  std::vector<uint32_t> wxs(W);
  for (int x = 0; x < W; ++x) {
    double fx = std::max(0.0, (x + 0.5) / 2 - 0.5);
    x0s[x] = std::min(static_cast<int>(fx), sw - 1);
    x1s[x] = std::min(x0s[x] + 1, sw - 1);
    wxs[x] = static_cast<uint32_t>((fx - x0s[x]) * 256);
  }
  for (auto _ : state) {
    for (int y = 0; y < H; ++y) {
      double fy = std::max(0.0, (y + 0.5) / 2 - 0.5);
      int y0 = std::min(static_cast<int>(fy), sh - 1), y1 = std::min(y0 + 1, sh - 1);
      uint32_t wy = static_cast<uint32_t>((fy - y0) * 256);
      const uint32_t *r0 = src.s.bits + size_t(y0) * ss, *r1 = src.s.bits + size_t(y1) * ss;
      uint32_t *out = dst.s.bits + size_t(y) * ds;
      for (int x = 0; x < W; ++x) {
        const int x0 = x0s[x], x1 = x1s[x];
        const uint32_t wx = wxs[x];
        uint32_t pixel = 0;
        for (int c = 0; c < 32; c += 8) {
          uint32_t a = (r0[x0] >> c & 255) * (256 - wx) + (r0[x1] >> c & 255) * wx;
          uint32_t b = (r1[x0] >> c & 255) * (256 - wx) + (r1[x1] >> c & 255) * wx;
          pixel |= ((a * (256 - wy) + b * wy) >> 16) << c;
        }
        out[x] = pixel;
      }
    }
    benchmark::ClobberMemory();
  }
  Report(state, double(W) * H);
}


// Arbitrary factors (argument: shrinking factor x 1000, negative to enlarge): the
// general filter against the plain scalar loops above, generalised to any
// factor, and against libvips on the same image to the same size. Timed by
// the clock: libvips works in a thread of its own even when limited to one.
struct Scaled {
  int sw, sh, dw, dh;
  explicit Scaled(int64_t arg) {
    const double f = static_cast<double>(-arg) / 1000;  // above 1 enlarges
    sw = W, sh = H;
    dw = static_cast<int>(std::lround(f > 0 ? W * f : W / -f)), dh = static_cast<int>(std::lround(f > 0 ? H * f : H / -f));
  }
  bool enlarging() const { return dw > sw; }
  double pixels() const { return enlarging() ? double(dw) * dh : double(sw) * sh; }  // the larger side, as above
};

void General(benchmark::State &state, uint8_t t) {
  const Scaled z(state.range(0));
  Photo src(z.sw, z.sh, t), dst(z.dw, z.dh, 0);
  rx_kernel::gResampleGeneralOnly = true;
  for (auto _ : state)
    rx_ResampleRect(&dst.s, 0, 0, z.dw - 1, z.dh - 1, &src.s, 0, 0, z.sw - 1, z.sh - 1, rx_OptScaleCase);
  rx_kernel::gResampleGeneralOnly = false;
  Report(state, z.pixels());
}
void BM_ScaleGeneralFilter(benchmark::State &state) { General(state, 0); }
void BM_ScaleGeneralFilterTranslucent(benchmark::State &state) { General(state, 100); }

// Shrinking: each output pixel averages the source pixels whose index falls
// in its footprint; enlarging: the bilinear loop above at this factor.
void BM_ScaleScalarLoop(benchmark::State &state) {
  const Scaled z(state.range(0));
  Photo src(z.sw, z.sh, 0), dst(z.dw, z.dh, 0);
  const size_t ss = src.s.stride, ds = dst.s.stride;
  const double fx = double(z.sw) / z.dw, fy = double(z.sh) / z.dh;
  std::vector<int> x0s(size_t(z.dw) + 1), x1s(size_t(z.dw)), y0s(size_t(z.dh) + 1);
  std::vector<uint32_t> wxs(size_t(z.dw));
  for (int x = 0; x <= z.dw; ++x) x0s[size_t(x)] = std::min(static_cast<int>(x * fx), z.sw);
  for (int y = 0; y <= z.dh; ++y) y0s[size_t(y)] = std::min(static_cast<int>(y * fy), z.sh);
  if (z.enlarging()) {
    for (int x = 0; x < z.dw; ++x) {
      double p = std::max(0.0, (x + 0.5) * fx - 0.5);
      x0s[size_t(x)] = std::min(static_cast<int>(p), z.sw - 1);
      x1s[size_t(x)] = std::min(x0s[size_t(x)] + 1, z.sw - 1);
      wxs[size_t(x)] = static_cast<uint32_t>((p - x0s[size_t(x)]) * 256);
    }
  }
  for (auto _ : state) {
    for (int y = 0; y < z.dh; ++y) {
      uint32_t *out = dst.s.bits + size_t(y) * ds;
      if (z.enlarging()) {
        double fy0 = std::max(0.0, (y + 0.5) * fy - 0.5);
        int y0 = std::min(static_cast<int>(fy0), z.sh - 1), y1 = std::min(y0 + 1, z.sh - 1);
        uint32_t wy = static_cast<uint32_t>((fy0 - y0) * 256);
        const uint32_t *r0 = src.s.bits + size_t(y0) * ss, *r1 = src.s.bits + size_t(y1) * ss;
        for (int x = 0; x < z.dw; ++x) {
          const int a0 = x0s[size_t(x)], a1 = x1s[size_t(x)];
          const uint32_t wx = wxs[size_t(x)];
          uint32_t pixel = 0;
          for (int c = 0; c < 32; c += 8) {
            uint32_t a = (r0[a0] >> c & 255) * (256 - wx) + (r0[a1] >> c & 255) * wx;
            uint32_t b = (r1[a0] >> c & 255) * (256 - wx) + (r1[a1] >> c & 255) * wx;
            pixel |= ((a * (256 - wy) + b * wy) >> 16) << c;
          }
          out[x] = pixel;
        }
        continue;
      }
      for (int x = 0; x < z.dw; ++x) {
        uint32_t acc[4] = {0, 0, 0, 0};
        for (int sy = y0s[size_t(y)]; sy < y0s[size_t(y) + 1]; ++sy)
          for (int sx = x0s[size_t(x)]; sx < x0s[size_t(x) + 1]; ++sx) {
            uint32_t p = src.s.bits[size_t(sy) * ss + size_t(sx)];
            for (int c = 0; c < 4; ++c) acc[c] += (p >> (8 * c)) & 255;
          }
        const uint32_t n = uint32_t(x0s[size_t(x) + 1] - x0s[size_t(x)]) * uint32_t(y0s[size_t(y) + 1] - y0s[size_t(y)]);
        uint32_t pixel = 0;
        for (int c = 0; c < 4; ++c) pixel |= (acc[c] / n) << (8 * c);
        out[x] = pixel;
      }
    }
    benchmark::ClobberMemory();
  }
  Report(state, z.pixels());
}

#ifdef VGM_BENCH_VIPS
// One thread, no operation cache; the image wraps the surface's memory and
// the timed work runs to a memory buffer of the result.
void Vips(benchmark::State &state, bool reduce) {
  const Scaled z(state.range(0));
  if (reduce && z.enlarging()) {
    state.SkipWithError("vips_reduce only shrinks");
    return;
  }
  Photo src(z.sw, z.sh, 0);
  vips_concurrency_set(1);
  vips_cache_set_max(0);
  VipsImage *in = vips_image_new_from_memory(src.s.bits, size_t(z.sw) * z.sh * 4, z.sw, z.sh, 4, VIPS_FORMAT_UCHAR);
  int width = 0;
  for (auto _ : state) {
    VipsImage *out = nullptr;
    const int failed =
        reduce ? vips_reduce(in, &out, double(z.sw) / z.dw, double(z.sh) / z.dh, "kernel", VIPS_KERNEL_LINEAR, nullptr)
               : vips_resize(in, &out, double(z.dw) / z.sw, "vscale", double(z.dh) / z.sh, "kernel",
                             VIPS_KERNEL_LINEAR, nullptr);
    size_t bytes = 0;
    void *memory = failed ? nullptr : vips_image_write_to_memory(out, &bytes);
    if (memory == nullptr) state.SkipWithError(vips_error_buffer());
    width = out != nullptr ? vips_image_get_width(out) : 0;
    g_free(memory);
    if (out != nullptr) g_object_unref(out);
  }
  g_object_unref(in);
  state.counters["width"] = width;  // the same size as ours
  Report(state, z.pixels());
}
void BM_ScaleVipsReduce(benchmark::State &state) { Vips(state, true); }
void BM_ScaleVipsResize(benchmark::State &state) { Vips(state, false); }
#endif

BENCHMARK(BM_CopyKernel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyMemcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BlendKernel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BlendScalarLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BoxShrinkKernel)->Arg(2)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BoxShrinkKernelTranslucent)->Arg(2)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BoxShrinkGeneralFilter)->Arg(2)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BoxShrinkScalarLoop)->Arg(2)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BilinearEnlargeKernel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BilinearEnlargeKernelTranslucent)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BilinearEnlargeGeneralFilter)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BilinearEnlargeScalarLoop)->Unit(benchmark::kMillisecond);
#define FACTORS Arg(2997)->Arg(7300)->Arg(15600)->Arg(-1700)->Unit(benchmark::kMillisecond)->UseRealTime()
BENCHMARK(BM_ScaleGeneralFilter)->FACTORS;
BENCHMARK(BM_ScaleGeneralFilterTranslucent)->FACTORS;
BENCHMARK(BM_ScaleScalarLoop)->FACTORS;
#ifdef VGM_BENCH_VIPS
BENCHMARK(BM_ScaleVipsReduce)->Arg(2997)->Arg(7300)->Arg(15600)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ScaleVipsResize)->FACTORS;
#endif

}  // namespace

int main(int argc, char **argv) {
#ifdef VGM_BENCH_VIPS
  if (VIPS_INIT(argv[0]) != 0) return 1;
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
