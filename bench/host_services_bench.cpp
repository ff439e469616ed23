// The scrambled state store against a plain write and read of the same
// 256 KiB in the same folder: the scrambling must cost little beside the
// file work (the key is applied a word at a time).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "hostenv/config_record.h"
#include "hostenv/folders.h"
#include "imageio/host_services.h"

namespace {

constexpr size_t kBytes = 256 * 1024;

// A private application-data folder for the whole run, removed at exit.
struct BenchRoot {
  std::string root;
  BenchRoot() {
    char base[] = "/tmp/vgm_bench_store_XXXXXX";
    root = mkdtemp(base) ? base : "/tmp";
    setenv("VGM_APPDATA_DIR", root.c_str(), 1);
    env_ResetForTests(nullptr);
    // An installed suite has its settings file: loads of it are then cached.
    cfg_Load(1);
    cfg_Save();
  }
  ~BenchRoot() {
    std::error_code ignored;
    if (root != "/tmp") std::filesystem::remove_all(root, ignored);
  }
};

const std::string &storeFolder() {
  static const BenchRoot bench;
  static const std::string folder = bench.root + "/Orvine Photo/Common/Plugins";
  return folder;
}

std::vector<uint8_t> payload() {
  std::vector<uint8_t> data(kBytes);
  for (size_t i = 0; i < kBytes; ++i) data[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
  return data;
}

void BM_SecureSetGet(benchmark::State &state) {
  storeFolder();
  const pi_StateStore *store = io_StateStoreTable();
  std::vector<uint8_t> data = payload(), back(kBytes);
  const auto *name = reinterpret_cast<const WCHAR *>(u"bench");
  for (auto _ : state) {
    if (store->SecureSet(name, data.data(), kBytes) != static_cast<int32_t>(kBytes) ||
        store->SecureGet(name, back.data(), kBytes) != static_cast<int32_t>(kBytes))
      state.SkipWithError("store failed");
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes * 2));
}

// The reference: the same bytes written and read back with stdio.
void BM_PlainWriteRead(benchmark::State &state) {
  const std::string path = storeFolder() + "/plain.dat";
  std::filesystem::create_directories(storeFolder());
  std::vector<uint8_t> data = payload(), back(kBytes);
  for (auto _ : state) {
    std::FILE *out = std::fopen(path.c_str(), "wb");
    size_t wrote = out ? std::fwrite(data.data(), 1, kBytes, out) : 0;
    if (out) std::fclose(out);
    std::FILE *in = std::fopen(path.c_str(), "rb");
    size_t read = in ? std::fread(back.data(), 1, kBytes, in) : 0;
    if (in) std::fclose(in);
    if (wrote != kBytes || read != kBytes) state.SkipWithError("plain file failed");
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBytes * 2));
}

BENCHMARK(BM_PlainWriteRead);
BENCHMARK(BM_SecureSetGet);

}  // namespace

BENCHMARK_MAIN();
