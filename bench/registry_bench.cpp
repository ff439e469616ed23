// The installed-plug-in scan against std::filesystem::recursive_directory_iterator
// collecting the same "*.dll" paths from the same tree (300 files below 60
// folders, three levels), and a lookup in a full load registry.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "imageio/plugin_files.h"
#include "imageio/plugin_list.h"
#include "imageio/plugin_registry.h"

namespace {

namespace fs = std::filesystem;

const fs::path &tree() {
  static const fs::path root = [] {
    std::string pattern = (fs::temp_directory_path() / "vgmbench-registry-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    fs::path base = pattern;
    ::setenv("VGM_APPDATA_DIR", (base / "appdata").c_str(), 1);
    for (int a = 0; a < 10; ++a)
      for (int b = 0; b < 5; ++b) {
        fs::path folder = base / "Plugins" / ("group" + std::to_string(a)) / ("set" + std::to_string(b));
        fs::create_directories(folder);
        for (int c = 0; c < 6; ++c)
          std::ofstream(folder / ("flt_P" + std::to_string(a * 30 + b * 6 + c) + (c == 5 ? ".txt" : ".dll")));
      }
    std::atexit([] { fs::remove_all(tree().parent_path()); });
    return base / "Plugins";
  }();
  return root;
}

void BM_PluginScan(benchmark::State &state) {
  std::u16string folder = os_Utf8ToUtf16(tree().string());
  size_t count = 0;
  for (auto _ : state) count = io_ScanPluginFolder(folder, u"")->count();
  state.counters["plugins"] = static_cast<double>(count);
}

void BM_RecursiveDirectoryIterator(benchmark::State &state) {
  size_t count = 0;
  for (auto _ : state) {
    std::vector<std::u16string> paths;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(tree()))
      if (entry.path().extension() == ".dll") paths.push_back(entry.path().u16string());
    count = paths.size();
  }
  state.counters["plugins"] = static_cast<double>(count);
}

void BM_RegistryLookupFull(benchmark::State &state) {
  io_RegistriesAttach(os_Utf8ToUtf16(tree().string()).c_str());
  const char16_t *extensions[] = {u".e3", u".E17", u".tif", u".e24"};
  for (int i = 0; i < 25; ++i)
    io_RegistryRemember(kRegistryLoad, u".e" + os_Utf8ToUtf16(std::to_string(i)), u"/p/flt_E.dll", false);
  io_RegistryRemember(kRegistryLoad, u".tif", u"/p/flt_TIFF.dll", false);
  std::u16string path;
  size_t i = 0, found = 0;
  for (auto _ : state) {
    found += io_RegistryLookup(kRegistryLoad, extensions[i++ & 3], &path);
    benchmark::DoNotOptimize(path.data());
  }
  state.counters["found"] = static_cast<double>(found) / static_cast<double>(state.iterations());
  io_RegistriesDetach();
}

}  // namespace

BENCHMARK(BM_PluginScan)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RecursiveDirectoryIterator)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RegistryLookupFull);

BENCHMARK_MAIN();
