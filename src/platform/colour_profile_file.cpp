// Reading a profile file is the same on every platform: through the file
// layer, so that the path rules and share modes are the library's own.
#include <vector>

#include "platform/os.h"
#include "platform/os_colour.h"

os_ColourProfile *os_ColourProfileFromFile(const char16_t *path) {
  os_File *file = os_FileOpen(path, os_AccessRead, os_ShareRead, os_Disposition::openExisting);
  if (file == nullptr) return nullptr;
  int64_t size = os_FileSize(file);
  std::vector<unsigned char> bytes;
  bool ok = size >= 128 && size <= os_MaxColourProfileBytes;
  if (ok) {
    bytes.resize(static_cast<size_t>(size));
    size_t done = 0;  // the read goes on until the size or the end
    ok = os_FileRead(file, bytes.data(), bytes.size(), &done) && done == bytes.size();
  }
  os_FileClose(file);
  return ok ? os_ColourProfileFromMemory(bytes.data(), bytes.size()) : nullptr;
}
