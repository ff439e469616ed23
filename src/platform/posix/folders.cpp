#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/os.h"
#include "platform/posix/native_names.h"

namespace {

std::u16string withoutTrailingSeparator(std::u16string path) {
  while (path.size() > 1 && os_IsPathSeparator(path.back())) path.pop_back();
  return path;
}

std::u16string homeFolder() {
  std::u16string home = os_GetEnvironment("HOME");
  if (home.empty()) {
    if (const passwd *entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr)
      home = os_NameFromNative(entry->pw_dir);
  }
  return withoutTrailingSeparator(home);
}

// The first set variable, else `fallback` below the home folder.
std::u16string overrideOr(const char *variable, const char *xdg_variable, const char16_t *home_relative) {
  std::u16string value = os_GetEnvironment(variable);
  if (value.empty() && xdg_variable != nullptr) value = os_GetEnvironment(xdg_variable);
  if (value.empty()) {
    std::u16string home = homeFolder();
    if (home.empty()) return {};
    value = home + u"/" + home_relative;
  }
  return withoutTrailingSeparator(value);
}

}  // namespace

std::u16string os_GetEnvironment(const char *name) {
  const char *value = name != nullptr ? std::getenv(name) : nullptr;
  return value != nullptr ? os_NameFromNative(value) : std::u16string();
}

std::u16string os_InstallPathSetting() { return os_GetEnvironment("ORVINEPHOTO_PATH"); }

std::u16string os_GetKnownFolder(os_KnownFolder folder) {
  switch (folder) {
    case os_KnownFolder::commonAppData: return overrideOr("VGM_APPDATA_DIR", "XDG_DATA_HOME", u".local/share");
    case os_KnownFolder::publicDocuments: return overrideOr("VGM_CONTENT_DIR", "XDG_DOCUMENTS_DIR", u"Documents");
    case os_KnownFolder::temp: {
      std::u16string value = os_GetEnvironment("VGM_TEMP_DIR");
      if (value.empty()) value = os_GetEnvironment("TMPDIR");
      if (value.empty()) value = u"/tmp";
      return withoutTrailingSeparator(value);
    }
    case os_KnownFolder::home: return homeFolder();
  }
  return {};
}
