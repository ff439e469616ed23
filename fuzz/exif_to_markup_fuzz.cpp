// Drives cmio_MarkupFromEXIF's converter over raw EXIF blocks, with and
// without the "Exif\0\0" header. Every buffer is a heap block of exactly the
// size the converter is told, so the sanitizers see any access past it.
//
// Input: one control byte, then the block. Control bits: 0 image-structure
// keys, 1 unlisted entries, 2..7 a small output size (0: 64 KiB).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "hostenv/config_record.h"
#include "markup/exif_to_markup.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

int gSettings = -1;

// The converter reads its two settings from the configuration record at
// every call: keep a record of our own in a scratch folder.
void useSettings(int settings) {
  if (settings == gSettings) return;
  if (gSettings < 0) {
    const std::string folder = (std::filesystem::temp_directory_path() / "vgm_exif_fuzz").string();
    std::filesystem::create_directories(folder);
    setenv("VGM_APPDATA_DIR", folder.c_str(), 1);
    cfg_Load(1);
  }
  cfg_Live()->exif_add_structure = settings & 1;
  cfg_Live()->exif_add_unlisted = (settings >> 1) & 1;
  cfg_Save();
  gSettings = settings;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  useSettings(data[0] & 3);
  const int out_size = (data[0] >> 2) == 0 ? 65536 : 3 + (data[0] >> 2);
  std::vector<uint8_t> block(data + 1, data + size);
  std::vector<char> out(static_cast<size_t>(out_size), 'x');
  const int32_t block_size = static_cast<int32_t>(block.size());
  const int result = markup_FromEXIF(out.data(), out_size, block.empty() ? nullptr : block.data(), block_size);
  check(result == (block_size >= 4 && out_size >= 4 ? 1 : 0));
  const void *end = std::memchr(out.data(), '\0', out.size());
  check(end != nullptr);
  const size_t length = static_cast<size_t>(static_cast<const char *>(end) - out.data());
  if (result == 1 && length > 0 && out_size >= 8) check(std::strncmp(out.data(), "exif.", length < 5 ? length : 5) == 0);
  if (length > 0 && length + 1 < static_cast<size_t>(out_size)) check(length >= 3 && std::strcmp(out.data() + length - 3, ";\r\n") == 0);
  return 0;
}
