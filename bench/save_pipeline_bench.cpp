// What the save pipeline adds to writing a native document: cmio_SaveImage
// (options, wrapping, path checks, the markup rules, backup and flush) over
// kv5_Write called directly, to a new file and over an existing one, on the
// same 1024 x 768 image in the same folder.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "kv5/kv5_writer.h"
#include "platform/os.h"
#include "raster/layers/layers.h"
#include "vgm/vgm_common.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kWidth = 1024, kHeight = 768;

struct Setup {
  std::string root;
  std::vector<uint32_t> pixels = std::vector<uint32_t>(size_t{kWidth} * kHeight);
  Setup() {
    char pattern[] = "/tmp/vgm_save_bench_XXXXXX";
    root = mkdtemp(pattern);
    for (const char *folder : {"appdata", "tmp"}) fs::create_directories(root + "/" + folder);
    setenv("VGM_APPDATA_DIR", (root + "/appdata").c_str(), 1);
    setenv("VGM_TEMP_DIR", (root + "/tmp").c_str(), 1);
    // A photo-like gradient with noise: neither trivial nor incompressible.
    std::mt19937 random(7);
    for (uint32_t y = 0; y < kHeight; ++y)
      for (uint32_t x = 0; x < kWidth; ++x)
        pixels[size_t{y} * kWidth + x] = ((x / 4) & 0xFF) << 16 | ((y / 3) & 0xFF) << 8 | (random() & 0x0F);
  }
  ~Setup() { fs::remove_all(root); }
  std::u16string path(const char *name) const { return os_Utf8ToUtf16(root + "/" + name); }
};

Setup &setup() {
  static Setup s;
  return s;
}

void BM_Kv5WriteDirect(benchmark::State &state) {
  Setup &s = setup();
  std::u16string path = s.path("direct.kv5");
  rx_LayerEntry layers[2]{};
  rx_SurfaceWrap(&layers[0].surface, kWidth, kHeight, kWidth, s.pixels.data());
  for (auto _ : state) {
    LoadSaveOptions options{};
    options.quiet = 1;
    if (kv5_Write(layers, &options, path.c_str()) < 1) {
      state.SkipWithError("the native writer failed");
      break;
    }
  }
  rx_SurfaceFree(&layers[0].surface);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kWidth * kHeight * 4);
}

// range(0): 0 a new file each time, 1 over the previous one (backup and delete).
void BM_SaveImageExport(benchmark::State &state) {
  Setup &s = setup();
  std::u16string path = s.path("export.kv5");
  CmioImage image{kWidth, kHeight, kWidth, s.pixels.data()};
  for (auto _ : state) {
    if (state.range(0) == 0) {
      state.PauseTiming();
      fs::remove(s.root + "/export.kv5");
      state.ResumeTiming();
    }
    CmioRequest request{};
    if (cmio_SaveImage(&image, path.c_str(), &request) < 1) {
      state.SkipWithError("the save failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kWidth * kHeight * 4);
}

}  // namespace

BENCHMARK(BM_Kv5WriteDirect)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveImageExport)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
