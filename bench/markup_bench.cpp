// Markup to EXIF with the original block passed (the save path), against
// libexif alone loading and saving the same blocks.
//
// EXIF to markup against libexif alone doing what its own command-line tool
// does with a block (parse it, describe every entry), on the APP1 blocks of
// the camera files in tests/data/exif. Throughput is MB/s of EXIF blocks.
#include <benchmark/benchmark.h>
#include <libexif/exif-data.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "../tests/support/jpeg_app1.h"
#include "hostenv/config_record.h"
#include "markup/exif_to_markup.h"
#include "markup/markup_to_exif.h"

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> &blocks() {
  static std::vector<std::string> list = [] {
    std::vector<std::string> found;
    const fs::path folder = fs::path(VGM_SOURCE_DIR) / "tests" / "data" / "exif";
    for (const auto &item : fs::directory_iterator(folder)) {
      if (item.path().extension() != ".jpg") continue;
      std::string jpeg(fs::file_size(item.path()), '\0');
      if (FILE *file = std::fopen(item.path().c_str(), "rb")) {
        jpeg.resize(std::fread(jpeg.data(), 1, jpeg.size(), file));
        std::fclose(file);
      }
      std::string block = vgmtest::jpegExifPayload(jpeg);
      if (!block.empty()) found.push_back(std::move(block));
    }
    return found;
  }();
  return list;
}

int64_t totalBytes() {
  int64_t total = 0;
  for (const std::string &block : blocks()) total += static_cast<int64_t>(block.size());
  return total;
}

// A configuration record of its own (so the converter's settings come from
// the 5-second cache), or none at all (the defaults are rebuilt per call).
void useConfiguration(bool with_file, bool settings_on) {
  static const std::string folder = (fs::temp_directory_path() / "vgm_markup_bench").string();
  fs::remove_all(folder);
  fs::create_directories(folder);
  setenv("VGM_APPDATA_DIR", folder.c_str(), 1);
  cfg_ResetForTests();
  if (!with_file) return;
  cfg_Load(1);
  cfg_Live()->exif_add_structure = settings_on;
  cfg_Live()->exif_add_unlisted = settings_on;
  cfg_Save();
  cfg_Load(1);
}

void BM_MarkupFromEXIF(benchmark::State &state) {
  useConfiguration(state.range(0) != 0, state.range(1) != 0);
  std::vector<char> out(65536);
  for (auto _ : state) {
    for (const std::string &block : blocks()) {
      markup_FromEXIF(out.data(), static_cast<int32_t>(out.size()), block.data(), static_cast<int32_t>(block.size()));
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(state.iterations() * totalBytes());
}
BENCHMARK(BM_MarkupFromEXIF)->ArgNames({"config_file", "settings_on"})->Args({1, 0})->Args({1, 1})->Args({0, 0});

// The reference: parse with libexif's defaults and describe every entry.
void BM_LibexifDescribeAll(benchmark::State &state) {
  char value[1024];
  for (auto _ : state) {
    for (const std::string &block : blocks()) {
      ExifData *data =
          exif_data_new_from_data(reinterpret_cast<const unsigned char *>(block.data()), static_cast<unsigned>(block.size()));
      for (ExifContent *content : data->ifd)
        for (unsigned i = 0; i < content->count; ++i) exif_entry_get_value(content->entries[i], value, sizeof value);
      benchmark::DoNotOptimize(value);
      exif_data_unref(data);
    }
  }
  state.SetBytesProcessed(state.iterations() * totalBytes());
}
BENCHMARK(BM_LibexifDescribeAll);


// The markups of the camera blocks, with every key the reader can give.
const std::vector<std::string> &markups() {
  static std::vector<std::string> list = [] {
    useConfiguration(true, true);
    std::vector<std::string> found;
    std::vector<char> out(65536);
    for (const std::string &block : blocks()) {
      markup_FromEXIF(out.data(), static_cast<int32_t>(out.size()), block.data(), static_cast<int32_t>(block.size()));
      found.emplace_back(out.data());
    }
    return found;
  }();
  return list;
}

void BM_MarkupToEXIF(benchmark::State &state) {
  const auto &texts = markups();
  std::vector<HGLOBAL> originals;
  for (const std::string &block : blocks()) {
    originals.push_back(GlobalAlloc(GPTR, block.size()));
    std::memcpy(originals.back(), block.data(), block.size());
  }
  for (auto _ : state) {
    for (size_t i = 0; i < texts.size(); ++i) {
      HGLOBAL data = originals[i];
      uint32_t size = static_cast<uint32_t>(blocks()[i].size());
      markup_ToEXIF(texts[i].c_str(), &data, &size);
      benchmark::DoNotOptimize(data);
      GlobalFree(data);
    }
  }
  for (HGLOBAL block : originals) GlobalFree(block);
  state.SetBytesProcessed(state.iterations() * totalBytes());
}
BENCHMARK(BM_MarkupToEXIF);

// The reference: libexif loads each block and saves it again.
void BM_LibexifLoadSave(benchmark::State &state) {
  for (auto _ : state) {
    for (const std::string &block : blocks()) {
      ExifData *data =
          exif_data_new_from_data(reinterpret_cast<const unsigned char *>(block.data()), static_cast<unsigned>(block.size()));
      unsigned char *saved = nullptr;
      unsigned size = 0;
      exif_data_save_data(data, &saved, &size);
      benchmark::DoNotOptimize(saved);
      std::free(saved);
      exif_data_unref(data);
    }
  }
  state.SetBytesProcessed(state.iterations() * totalBytes());
}
BENCHMARK(BM_LibexifLoadSave);

}  // namespace

BENCHMARK_MAIN();
