// Colour conversion of a 12-MPixel buffer: clr_ConvertPixels next to lcms2's
// cmsDoTransform with the same buffer, profiles, intent and formats, in runs
// of 4,000 and 512 pixels; the formula paths next to a plain scalar loop.
#include <benchmark/benchmark.h>
#include <lcms2.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "raster/colour.h"

namespace {

constexpr size_t kPixels = 4000 * 3000;
const std::string kIcc = "/usr/share/color/icc/";

std::vector<uint32_t> &Buffer() {
  static std::vector<uint32_t> pixels = [] {
    std::vector<uint32_t> p(kPixels);
    std::mt19937 random(1);
    // Smooth content with noise, so that caches see what photos give them.
    for (size_t i = 0; i < kPixels; ++i) p[i] = static_cast<uint32_t>(i * 2654435761u >> 8) ^ (random() & 0x0F0F0F0F);
    return p;
  }();
  return pixels;
}

void Report(benchmark::State &state) {
  state.counters["MPixel/s"] =
      benchmark::Counter(static_cast<double>(kPixels) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

// Both sides convert the same content every time; the copy is not timed.
void Restore(benchmark::State &state, std::vector<uint32_t> *work) {
  state.PauseTiming();
  std::copy(Buffer().begin(), Buffer().end(), work->begin());
  state.ResumeTiming();
}

struct Profile {
  std::u16string path16;
  std::string path;
  cmsUInt32Number format;
  uint32_t model;
};

Profile ProfileOf(int which) {
  std::string name = which == 0 ? "ghostscript/default_cmyk.icc" : "compatibleWithAdobeRGB1998.icc";
  std::string path = kIcc + name;
  return {std::u16string(path.begin(), path.end()), path,
          static_cast<cmsUInt32Number>(which == 0 ? TYPE_KYMC_8 : TYPE_BGRA_8), which == 0 ? 3u : 0u};
}

// Arguments: profile (0 CMYK, 1 RGB), run length.
void BM_ClrTransform(benchmark::State &state) {
  Profile p = ProfileOf(static_cast<int>(state.range(0)));
  size_t run = static_cast<size_t>(state.range(1));
  void *t = clr_CreateTransform(nullptr, 0, p.path16.c_str());
  if (t == nullptr) {
    state.SkipWithError("profile missing");
    return;
  }
  std::vector<uint32_t> work = Buffer();
  for (auto _ : state) {
    Restore(state, &work);
    for (size_t at = 0; at < kPixels; at += run)
      clr_ConvertPixels(work.data() + at, static_cast<int32_t>(std::min(run, kPixels - at)), p.model, t, 0);
    benchmark::DoNotOptimize(work.data());
  }
  clr_DeleteTransform(t);
  Report(state);
}

void BM_LcmsTransform(benchmark::State &state) {
  Profile p = ProfileOf(static_cast<int>(state.range(0)));
  size_t run = static_cast<size_t>(state.range(1));
  cmsHPROFILE source = cmsOpenProfileFromFile(p.path.c_str(), "r"), srgb = cmsCreate_sRGBProfile();
  cmsHTRANSFORM t = source != nullptr ? cmsCreateTransform(source, p.format, srgb, TYPE_BGRA_8,
                                                           INTENT_RELATIVE_COLORIMETRIC, cmsFLAGS_HIGHRESPRECALC)
                                      : nullptr;
  if (t == nullptr) {
    state.SkipWithError("profile missing");
    return;
  }
  std::vector<uint32_t> work = Buffer();
  for (auto _ : state) {
    Restore(state, &work);
    for (size_t at = 0; at < kPixels; at += run)
      cmsDoTransform(t, work.data() + at, work.data() + at, static_cast<cmsUInt32Number>(std::min(run, kPixels - at)));
    benchmark::DoNotOptimize(work.data());
  }
  cmsDeleteTransform(t);
  cmsCloseProfile(source);
  cmsCloseProfile(srgb);
  Report(state);
}

// Formula paths without a transform: model 1, 2 or 3 to surface pixels.
void BM_ClrFormula(benchmark::State &state) {
  std::vector<uint32_t> work = Buffer();
  auto model = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    std::copy(Buffer().begin(), Buffer().end(), work.begin());
    for (size_t at = 0; at < kPixels; at += 4000) clr_ConvertPixels(work.data() + at, 4000, model, nullptr, 0);
    benchmark::DoNotOptimize(work.data());
  }
  Report(state);
}

inline uint32_t Clamp(int32_t v) { return static_cast<uint32_t>(std::clamp(v, 0, 255)); }

// The loop a user would write for the same formulas.
void BM_ScalarFormula(benchmark::State &state) {
  std::vector<uint32_t> work = Buffer();
  auto model = static_cast<uint32_t>(state.range(0));
  for (auto _ : state) {
    std::copy(Buffer().begin(), Buffer().end(), work.begin());
    for (uint32_t &v : work) {
      uint32_t a = v & 255, b = v >> 8 & 255, c = v >> 16 & 255, d = v >> 24;
      if (model == 1) {
        int32_t cr = static_cast<int32_t>(a), cb = static_cast<int32_t>(b), y = static_cast<int32_t>(c) << 16;
        v = Clamp((116130 * cb - 14831872 + y) >> 16) | Clamp((-22553 * cb - 46802 * cr + 8910208 + y) >> 16) << 8 |
            Clamp((91881 * cr - 11728000 + y) >> 16) << 16 | d << 24;
      } else {
        // Model 2 holds C, M, Y, K from the lowest byte, model 3 K, Y, M, C.
        uint32_t cy = model == 2 ? a : d, ma = b, ye = model == 2 ? c : b, k = model == 2 ? d : a;
        if (model == 3) ma = c;
        v = (255 - std::min(ye + k, 255u)) | (255 - std::min(ma + k, 255u)) << 8 | (255 - std::min(cy + k, 255u)) << 16;
      }
    }
    benchmark::DoNotOptimize(work.data());
  }
  Report(state);
}

}  // namespace

// Each case next to its reference, so that both see the same machine load.
BENCHMARK(BM_ClrTransform)->Args({0, 4000})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LcmsTransform)->Args({0, 4000})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClrTransform)->Args({0, 512})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LcmsTransform)->Args({0, 512})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClrTransform)->Args({1, 4000})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LcmsTransform)->Args({1, 4000})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClrTransform)->Args({1, 512})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LcmsTransform)->Args({1, 512})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ClrFormula)->DenseRange(1, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScalarFormula)->DenseRange(1, 3)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
