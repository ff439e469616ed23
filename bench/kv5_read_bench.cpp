// Reading a 3-layer 4000 x 3000 document (a photo, a screenshot-like image
// and an image with alpha from tests/data/kv5, repeated to fill the layer;
// planar pixels, compression level 4) with kv5_Read, against inflating the
// same planes compressed by zlib at level 6 into fresh BGRA buffers.
// Throughput counts the BGRA bytes produced; times are CPU times, which
// stay comparable on a shared machine.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "../tests/kv5/kv5_doc_writer.h"
#include "kv5/kv5_reader.h"
#include "platform/os.h"
#include "raster/layers/layers.h"
#include "sample_images.h"

namespace {

constexpr int kWidth = 4000, kHeight = 3000;

struct Layer {
  int channels;
  kv5doc::Bytes planes;  // blue, green, red (, T) planes of the whole layer
};

struct Fixture {
  std::vector<Layer> layers;
  std::vector<kv5doc::Bytes> zlibbed;
  std::string path;
  size_t documentBytes = 0;
};

Fixture &fixture() {
  static Fixture f = [] {
    Fixture out;
    std::filesystem::path folder = std::filesystem::path(VGM_SOURCE_DIR) / "tests" / "data" / "kv5";
    kv5doc::Doc doc;
    for (const char *file : {"paris_icc_exif_xmp.png", "shapes_deflate.tif", "basn6a08.png"}) {
      kv5sample::Image image;
      if (!kv5sample::loadImage((folder / file).string(), &image)) {
        std::fprintf(stderr, "cannot read %s\n", file);
        std::exit(1);
      }
      std::vector<std::vector<uint8_t>> small = kv5sample::planesOf(image);
      Layer layer{image.channels, {}};
      layer.planes.resize(size_t{kWidth} * kHeight * image.channels);
      // Scaled up bilinearly: smooth like a large photo, not a repeated tile.
      for (int k = 0; k < image.channels; ++k)
        for (int y = 0; y < kHeight; ++y) {
          double fy = (y + 0.5) * image.height / kHeight - 0.5;
          int y0 = std::clamp(static_cast<int>(fy), 0, image.height - 1), y1 = std::min(y0 + 1, image.height - 1);
          double wy = std::clamp(fy - y0, 0.0, 1.0);
          for (int x = 0; x < kWidth; ++x) {
            double fx = (x + 0.5) * image.width / kWidth - 0.5;
            int x0 = std::clamp(static_cast<int>(fx), 0, image.width - 1), x1 = std::min(x0 + 1, image.width - 1);
            double wx = std::clamp(fx - x0, 0.0, 1.0);
            auto at = [&](int yy, int xx) { return small[k][size_t(yy) * image.width + xx]; };
            double v = (at(y0, x0) * (1 - wx) + at(y0, x1) * wx) * (1 - wy) + (at(y1, x0) * (1 - wx) + at(y1, x1) * wx) * wy;
            layer.planes[(size_t(k) * kHeight + y) * kWidth + x] = static_cast<uint8_t>(v + 0.5);
          }
        }
      kv5doc::Item item;
      item.width = kWidth, item.height = kHeight, item.channels = static_cast<uint8_t>(image.channels);
      item.pixels = layer.planes, item.compress = true;
      doc.items.push_back(std::move(item));
      uLongf packed = compressBound(layer.planes.size());
      kv5doc::Bytes z(packed);
      compress2(z.data(), &packed, layer.planes.data(), layer.planes.size(), 6);
      z.resize(packed);
      out.zlibbed.push_back(std::move(z));
      out.layers.push_back(std::move(layer));
    }
    trvc_SetCompressionLevel(4);
    kv5doc::Bytes bytes = kv5doc::writeV4(doc);
    out.documentBytes = bytes.size();
    out.path = (std::filesystem::temp_directory_path() / ("kv5_read_bench_" + std::to_string(getpid()) + ".kv5")).string();
    FILE *file = std::fopen(out.path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    return out;
  }();
  return f;
}

constexpr int64_t kOutputBytes = int64_t{3} * kWidth * kHeight * 4;

void BM_Kv5Read(benchmark::State &state) {
  Fixture &f = fixture();
  std::u16string path = os_Utf8ToUtf16(f.path);
  rx_LayerEntry *table = rx_LayerTableCreate();
  for (auto _ : state) {
    LoadSaveOptions options{};
    options.quiet = 1;
    if (kv5_Read(table, &options, path.c_str()) != 3) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(table[2].surface.bits);
    rx_LayersRelease(table, rx_LayerTableEntries);
  }
  rx_LayerTableFree(table);
  state.SetBytesProcessed(state.iterations() * kOutputBytes);
  state.counters["file_MB"] = static_cast<double>(f.documentBytes) / 1e6;
}

// The reference: zlib planes inflated and interleaved into new BGRA buffers.
void BM_ZlibPlanesToBgra(benchmark::State &state) {
  Fixture &f = fixture();
  size_t zlibBytes = 0;
  for (const auto &z : f.zlibbed) zlibBytes += z.size();
  for (auto _ : state) {
    for (size_t i = 0; i < f.layers.size(); ++i) {
      const size_t n = size_t{kWidth} * kHeight;
      kv5doc::Bytes planes(n * f.layers[i].channels);
      uLongf size = planes.size();
      if (uncompress(planes.data(), &size, f.zlibbed[i].data(), f.zlibbed[i].size()) != Z_OK)
        state.SkipWithError("inflate failed");
      std::vector<uint32_t> bgra(n);
      const bool alpha = f.layers[i].channels == 4;
      for (size_t p = 0; p < n; ++p)
        bgra[p] = planes[p] | planes[n + p] << 8 | planes[2 * n + p] << 16 | (alpha ? uint32_t{planes[3 * n + p]} << 24 : 0);
      benchmark::DoNotOptimize(bgra.data());
    }
  }
  state.SetBytesProcessed(state.iterations() * kOutputBytes);
  state.counters["file_MB"] = static_cast<double>(zlibBytes) / 1e6;
}

BENCHMARK(BM_Kv5Read)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibPlanesToBgra)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  fixture();
  benchmark::RunSpecifiedBenchmarks();
  std::remove(fixture().path.c_str());
  return 0;
}
