// Shortcuts: a symbolic link stands in for the shell's shortcut files.
#include <climits>
#include <cstdlib>

#include "platform/os.h"
#include "platform/posix/native_names.h"

std::u16string os_LinkTarget(const char16_t *path) {
  if (path == nullptr || !os_PathIsLink(path)) return {};
  char *resolved = ::realpath(os_NativeName(path).c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::u16string target = os_NameFromNative(resolved);
  std::free(resolved);
  return target.size() < os_MaxPath ? target : std::u16string();
}
