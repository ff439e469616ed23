// Reads arbitrary bytes as the blacklist file, then adds a path to it.
// The copy in memory must match the file read back, a path already listed
// must leave the file byte for byte, and an added path must be listed.
//
// Input: the file's bytes, a NUL byte, then the path as UTF-16LE.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hostenv/folders.h"
#include "imageio/plugin_blacklist.h"
#include "imageio/plugin_files.h"

namespace {

std::string gFile;

void check(bool condition) {
  if (!condition) std::abort();
}

bool setUp() {
  static char folder[] = "/tmp/vgmfuzz-blacklist-XXXXXX";
  if (::mkdtemp(folder) == nullptr) std::abort();
  ::setenv("VGM_APPDATA_DIR", folder, 1);
  char16_t appData[os_MaxPath];
  check(env_GetAppDataFolder(appData) != 0);
  gFile = os_Utf16ToUtf8(appData) + "/plugin_blacklist.txt";
  return true;
}

std::string readAll() {
  std::string bytes;
  if (FILE *file = std::fopen(gFile.c_str(), "rb")) {
    char chunk[4096];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.append(chunk, got);
    std::fclose(file);
  }
  return bytes;
}

bool blank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = setUp();
  check(ready);
  const uint8_t *split = static_cast<const uint8_t *>(std::memchr(data, 0, size));
  size_t fileSize = split != nullptr ? static_cast<size_t>(split - data) : size;
  std::string content(reinterpret_cast<const char *>(data), fileSize);
  std::u16string path;
  for (size_t i = fileSize + 1; i + 1 < size; i += 2) path += static_cast<char16_t>(data[i] | (data[i + 1] << 8));

  if (FILE *file = std::fopen(gFile.c_str(), "wb")) {
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
  }
  io_BlacklistForget();
  std::u16string text = io_BlacklistDecode(content.data(), content.size());
  check(*io_BlacklistText() == text);
  bool listed = io_BlacklistContains(path);
  check(listed == (!path.empty() && text.find(path) != std::u16string::npos));

  io_BlacklistAdd(path);
  std::string after = readAll();
  if (listed || path.empty()) check(after == content);
  std::u16string kept = *io_BlacklistText();
  check(io_BlacklistDecode(after.data(), after.size()) == kept);
  size_t first = 0, last = path.size();
  while (first < last && blank(path[first])) ++first;
  while (last > first && blank(path[last - 1])) --last;
  if (first < last) check(kept.find(path.substr(first, last - first)) != std::u16string::npos);
  return 0;
}
