// Drives cmio_MarkupToEXIF's writer with random markup, alone or with a
// caller's block. Every block it hands out must be one the suite can embed
// and read again: 5..32767 bytes, "Exif\0\0II", loadable by libexif and
// readable by our own reader.
//
// Input: one control byte (bit 0: the bytes after the markup are the
// caller's block), the markup up to its first zero byte, then the block.
#include <libexif/exif-data.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "hostenv/config_record.h"
#include "markup/exif_to_markup.h"
#include "markup/markup_to_exif.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// The reader checks every block with maker notes and unknown entries on,
// from a configuration record of our own (without one it rebuilds the
// defaults at every call).
void useSettings() {
  static bool done = false;
  if (done) return;
  const std::string folder = (std::filesystem::temp_directory_path() / "vgm_markup_to_exif_fuzz").string();
  std::filesystem::create_directories(folder);
  setenv("VGM_APPDATA_DIR", folder.c_str(), 1);
  cfg_Load(1);
  cfg_Live()->exif_add_structure = 1;
  cfg_Live()->exif_add_unlisted = 1;
  cfg_Save();
  done = true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  useSettings();
  const auto *text = reinterpret_cast<const char *>(data + 1);
  const size_t length = strnlen(text, size - 1);
  const std::string markup(text, length);
  const bool with_block = (data[0] & 1) != 0 && length + 2 < size;
  std::vector<uint8_t> original;
  if (with_block) original.assign(data + length + 2, data + size);
  HGLOBAL block = nullptr;
  uint32_t block_size = 0;
  if (with_block) {
    block = GlobalAlloc(GPTR, original.size());
    std::memcpy(block, original.data(), original.size());
    block_size = static_cast<uint32_t>(original.size());
  }
  HGLOBAL given = block;
  const int result = markup_ToEXIF(markup.c_str(), &block, &block_size);
  if (given != nullptr) {
    check(std::memcmp(given, original.data(), original.size()) == 0);  // the caller's block stays as it was
    GlobalFree(given);
  }
  if (result != 1) {
    check(result == 0 && (block == nullptr || block == given) && (block_size == 0 || block == given));
    return 0;
  }
  check(block != nullptr && block != given && block_size >= 5 && block_size <= 32767);
  const auto *bytes = static_cast<const unsigned char *>(block);
  check(std::memcmp(bytes, "Exif\0\0II", 8) == 0);
  ExifData *loaded = exif_data_new_from_data(bytes, block_size);
  check(loaded != nullptr);
  exif_data_unref(loaded);
  std::vector<char> out(65536);
  check(markup_FromEXIF(out.data(), static_cast<int32_t>(out.size()), bytes, static_cast<int32_t>(block_size)) == 1);
  GlobalFree(block);
  return 0;
}
