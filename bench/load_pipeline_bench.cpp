// Loading a 64 x 64 ".tst" file through cmio_LoadImage against the test
// plug-in's own flt_LoadImage called with a minimal host: what the pipeline
// adds per load. Beside them: the probing route (an extension that is never
// remembered), the registry route without the plug-in cache, and the header
// look alone.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "imageio/plugin_list.h"
#include "imageio/plugin_registry.h"
#include "platform/os.h"
#include "plugins/test_plugins.h"
#include "vgm/vgm_common.h"
#include "vgm/vgm_plugin.h"

namespace fs = std::filesystem;

namespace {

struct Setup {
  std::string root;
  std::u16string tst, png;
  Setup() {
    char pattern[] = "/tmp/vgm_load_bench_XXXXXX";
    root = mkdtemp(pattern);
    for (const char *folder : {"Plugins", "appdata", "tmp"}) fs::create_directories(root + "/" + folder);
    setenv("VGM_APPDATA_DIR", (root + "/appdata").c_str(), 1);
    setenv("VGM_TEMP_DIR", (root + "/tmp").c_str(), 1);
    fs::copy_file(VGM_TEST_PLUGIN("TestGood"), root + "/Plugins/flt_TestGood.dll");
    vgmtest::TstFile file;
    file.layers.resize(1);
    file.layers[0].width = file.layers[0].height = 64;
    file.layers[0].color = 0x00336699;
    for (const char *name : {"/image.tst", "/image.png"}) {
      FILE *out = std::fopen((root + name).c_str(), "wb");
      std::string bytes = file.bytes();
      std::fwrite(bytes.data(), 1, bytes.size(), out);
      std::fclose(out);
    }
    tst = os_Utf8ToUtf16(root + "/image.tst");
    png = os_Utf8ToUtf16(root + "/image.png");
    io_RegistriesAttach(os_Utf8ToUtf16(root + "/Plugins").c_str());
  }
  ~Setup() {
    io_RegistriesDetach();
    fs::remove_all(root);
  }
};

Setup &setup() {
  static Setup instance;
  return instance;
}

void loadOnce(benchmark::State &state, const std::u16string &path) {
  CmioRequest request{};
  CmioImage image{};
  if (cmio_LoadImage(&image, path.c_str(), &request) != 1) {
    state.SkipWithError("load failed");
    return;
  }
  benchmark::DoNotOptimize(image.pixels);
  GlobalFree(image.pixels);
}

void BM_ExportRegistryRoute(benchmark::State &state) {
  Setup &s = setup();
  loadOnce(state, s.tst);  // remembered and cached from here on
  for (auto _ : state) loadOnce(state, s.tst);
}
BENCHMARK(BM_ExportRegistryRoute);

void BM_ExportProbingRoute(benchmark::State &state) {
  Setup &s = setup();
  for (auto _ : state) loadOnce(state, s.png);
}
BENCHMARK(BM_ExportProbingRoute);

void BM_ExportWithoutCache(benchmark::State &state) {
  Setup &s = setup();
  loadOnce(state, s.tst);
  for (auto _ : state) {
    io_PluginCacheRelease();
    loadOnce(state, s.tst);
  }
}
BENCHMARK(BM_ExportWithoutCache);

// What the registry route cannot shed: the header look every load makes
// before a plug-in runs (open, read 32 bytes, close; one system call where
// the submission ring serves). The route's cost over
// the direct call, less this, is the pipeline's own work.
void BM_HeaderLook(benchmark::State &state) {
  Setup &s = setup();
  uint8_t head[32];
  for (auto _ : state) {
    size_t done = 0;
    if (os_FileReadHead(s.tst.c_str(), head, sizeof head, &done) != 1) state.SkipWithError("header look failed");
    benchmark::DoNotOptimize(head);
  }
}
BENCHMARK(BM_HeaderLook);

// The same look made of three plain system calls, as it was before the
// submission ring: what the ring saves.
void BM_HeaderLookPlainCalls(benchmark::State &state) {
  Setup &s = setup();
  std::string name = os_Utf16ToUtf8(s.tst);
  uint8_t head[32];
  for (auto _ : state) {
    int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || read(fd, head, sizeof head) != static_cast<ssize_t>(sizeof head)) state.SkipWithError("plain look failed");
    if (fd >= 0) close(fd);
    benchmark::DoNotOptimize(head);
  }
}
BENCHMARK(BM_HeaderLookPlainCalls);

// The reference: the plug-in's entry point with a host that does the least
// a host can do (one heap buffer per layer).
struct MinimalHost {
  FltLoadRequest request{};
  std::vector<uint32_t> pixels;
};

int32_t VGM_API minimalBegin(FltLoadRequest *request, uint32_t) {
  auto *host = reinterpret_cast<MinimalHost *>(request);
  host->pixels.assign(size_t{request->width} * request->height, 0);
  request->stride = request->width;
  request->pixels = host->pixels.data();
  request->layers_begun++;
  return 1;
}

void BM_PluginDirect(benchmark::State &state) {
  Setup &s = setup();
  void *module = dlopen(VGM_TEST_PLUGIN("TestGood"), RTLD_NOW | RTLD_LOCAL);
  auto load = reinterpret_cast<int32_t(VGM_API *)(FltLoadRequest *)>(dlsym(module, "flt_LoadImage"));
  for (auto _ : state) {
    MinimalHost host;
    host.request.path = s.tst.c_str();
    host.request.begin_layer = minimalBegin;
    host.request.last_layer_index = FLT_LAST_LAYER_INDEX;
    if (load(&host.request) != FLT_OK) state.SkipWithError("direct load failed");
    benchmark::DoNotOptimize(host.pixels.data());
  }
  dlclose(module);
}
BENCHMARK(BM_PluginDirect);

}  // namespace

BENCHMARK_MAIN();
