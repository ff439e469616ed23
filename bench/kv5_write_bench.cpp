// Saving a 3-layer 4000 x 3000 document (a photo and an image with alpha
// from tests/data/kv5 scaled up smoothly, a screenshot-like image scaled up
// without smoothing so its flat colours stay flat) with kv5_WriteLayers at
// compression levels 1, 4 and 9, against deflating the same raw planes
// (blue, green, red, and transparency where the layer has it) with zlib at
// levels 1, 6 and 9. Both write their output to a file in the same folder
// through the platform layer, without a flush. Times are CPU times, which
// stay comparable on a shared machine. Throughput counts the raw
// plane bytes; the counters give the bytes each layer takes in the file.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "hostenv/config_record.h"
#include "kv5/kv5_writer.h"
#include "platform/os.h"
#include "raster/layers/layers.h"
#include "sample_images.h"

namespace {

constexpr int kWidth = 4000, kHeight = 3000;
constexpr size_t kPixels = size_t{kWidth} * kHeight;
const char *const kLabels[3] = {"photo", "screenshot", "alpha"};

struct Fixture {
  std::filesystem::path folder;
  rx_LayerEntry *table = rx_LayerTableCreate();
  std::vector<std::vector<uint8_t>> planes;  // per layer, as zlib gets them
  int64_t rawBytes = 0;
};

// Scaled to kWidth x kHeight, bilinearly or by nearest neighbour; BGRT.
std::vector<uint32_t> scaleUp(const kv5sample::Image &image, bool smooth) {
  std::vector<uint32_t> out(kPixels);
  auto at = [&](int y, int x, int k) { return double(image.data[(size_t(y) * image.width + x) * image.channels + k]); };
  for (int y = 0; y < kHeight; ++y) {
    double fy = (y + 0.5) * image.height / kHeight - 0.5;
    int y0 = std::clamp(int(fy), 0, image.height - 1), y1 = std::min(y0 + 1, image.height - 1);
    double wy = smooth ? std::clamp(fy - y0, 0.0, 1.0) : 0.0;
    for (int x = 0; x < kWidth; ++x) {
      double fx = (x + 0.5) * image.width / kWidth - 0.5;
      int x0 = std::clamp(int(fx), 0, image.width - 1), x1 = std::min(x0 + 1, image.width - 1);
      double wx = smooth ? std::clamp(fx - x0, 0.0, 1.0) : 0.0;
      uint8_t rgba[4] = {0, 0, 0, 255};
      for (int k = 0; k < image.channels; ++k) {
        double v = (at(y0, x0, k) * (1 - wx) + at(y0, x1, k) * wx) * (1 - wy) +
                   (at(y1, x0, k) * (1 - wx) + at(y1, x1, k) * wx) * wy;
        rgba[k] = static_cast<uint8_t>(v + 0.5);
      }
      out[size_t(y) * kWidth + x] = rgba[2] | rgba[1] << 8 | rgba[0] << 16 | uint32_t(255 - rgba[3]) << 24;
    }
  }
  return out;
}

Fixture &fixture() {
  static Fixture f = [] {
    Fixture out;
    out.folder = std::filesystem::temp_directory_path() / ("kv5_write_bench_" + std::to_string(getpid()));
    std::filesystem::create_directories(out.folder);
    setenv("VGM_APPDATA_DIR", out.folder.c_str(), 1);  // the level goes through the settings, as in a save
    std::filesystem::path data = std::filesystem::path(VGM_SOURCE_DIR) / "tests" / "data" / "kv5";
    const char *files[3] = {"paris_icc_exif_xmp.png", "shapes_deflate.tif", "basn6a08.png"};
    for (int i = 0; i < 3; ++i) {
      kv5sample::Image image;
      if (!kv5sample::loadImage((data / files[i]).string(), &image)) {
        std::fprintf(stderr, "cannot read %s\n", files[i]);
        std::exit(1);
      }
      std::vector<uint32_t> px = scaleUp(image, i != 1);
      rx_Surface *s = &out.table[i].surface;
      if (rx_SurfaceCreate(s, kWidth, kHeight, rx_CreateMemory | rx_CreateNoShrink) != 1) std::exit(1);
      rx_SurfaceLock(s, rx_LockExclusive);
      for (int y = 0; y < kHeight; ++y) std::copy_n(&px[size_t(y) * kWidth], kWidth, s->bits + size_t(y) * s->stride);
      rx_SurfaceUnlock(s, rx_LockExclusive);
      int channels = image.channels;
      std::vector<uint8_t> planes(kPixels * channels);
      for (int k = 0; k < channels; ++k)
        for (size_t p = 0; p < kPixels; ++p) planes[k * kPixels + p] = static_cast<uint8_t>(px[p] >> (8 * k));
      out.rawBytes += static_cast<int64_t>(planes.size());
      out.planes.push_back(std::move(planes));
    }
    return out;
  }();
  return f;
}

// Bytes of each layer's record and data chunks in a written document.
std::vector<size_t> layerBytes(const std::string &path) {
  std::vector<uint8_t> file = kv5sample::readFile(path);
  std::vector<size_t> out;
  for (size_t at = 32; at + 8 <= file.size();) {
    size_t chunk = 8 + (file[at + 4] | file[at + 5] << 8 | file[at + 6] << 16 | size_t(file[at + 7]) << 24);
    if (file[at] == 1) out.push_back(0);
    if ((file[at] == 1 || file[at] == 2) && !out.empty()) out.back() += chunk;
    at += chunk;
  }
  return out;
}

void BM_Kv5WriteLayers(benchmark::State &state) {
  Fixture &f = fixture();
  cfg_Load(1);
  cfg_Live()->kv5_level = static_cast<uint8_t>(state.range(0));
  cfg_Save();
  std::string path = (f.folder / "doc.kv5").string();
  std::u16string path16 = os_Utf8ToUtf16(path);
  for (auto _ : state) {
    LoadSaveOptions options{};
    options.quiet = 1;
    if (kv5_WriteLayers(f.table, 3, &options, path16.c_str(), false) != 3) state.SkipWithError("save failed");
  }
  state.SetBytesProcessed(state.iterations() * f.rawBytes);
  std::vector<size_t> sizes = layerBytes(path);
  for (size_t i = 0; i < sizes.size() && i < 3; ++i) state.counters[std::string(kLabels[i]) + "_MB"] = sizes[i] / 1e6;
}

void BM_ZlibPlanes(benchmark::State &state) {
  Fixture &f = fixture();
  std::u16string path16 = os_Utf8ToUtf16((f.folder / "planes.z").string());
  std::vector<size_t> sizes(3);
  std::vector<uint8_t> out(1 << 16);
  for (auto _ : state) {
    os_File *file = os_FileOpen(path16.c_str(), os_AccessWrite, os_ShareNone, os_Disposition::createAlways);
    if (file == nullptr) state.SkipWithError("cannot create the file");
    for (size_t i = 0; file != nullptr && i < 3; ++i) {
      z_stream z{};
      deflateInit(&z, static_cast<int>(state.range(0)));
      z.next_in = f.planes[i].data();
      z.avail_in = static_cast<uInt>(f.planes[i].size());
      int rc;
      do {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        rc = deflate(&z, Z_FINISH);
        if (!os_FileWrite(file, out.data(), out.size() - z.avail_out)) state.SkipWithError("write failed");
      } while (rc == Z_OK);
      sizes[i] = z.total_out;
      deflateEnd(&z);
    }
    if (file != nullptr) os_FileClose(file);
  }
  state.SetBytesProcessed(state.iterations() * f.rawBytes);
  for (size_t i = 0; i < 3; ++i) state.counters[std::string(kLabels[i]) + "_MB"] = sizes[i] / 1e6;
}

BENCHMARK(BM_Kv5WriteLayers)->Arg(1)->Arg(4)->Arg(9)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZlibPlanes)->Arg(1)->Arg(6)->Arg(9)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  fixture();
  benchmark::RunSpecifiedBenchmarks();
  std::filesystem::remove_all(fixture().folder);
  return 0;
}
