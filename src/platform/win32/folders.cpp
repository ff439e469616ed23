// Environment, the install-path setting and the well-known folders on
// Windows. Every folder can be redirected for tests as on POSIX.
#include <windows.h>

// The folder identifiers defined here rather than taken from a GUID library.
#include <initguid.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "platform/os.h"
#include "platform/win32/win_support.h"

namespace {

std::u16string withoutTrailingSeparator(std::u16string path) {
  // "C:\" keeps its separator: without it the path would name the drive's current folder.
  while (path.size() > 1 && os_IsPathSeparator(path.back()) && !(path.size() == 3 && path[1] == u':'))
    path.pop_back();
  return path;
}

std::u16string knownFolder(REFKNOWNFOLDERID id) {
  wchar_t *path = nullptr;
  std::u16string folder;
  if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path)) && path != nullptr)
    folder = std::u16string(os_U16(path), wcslen(path));
  CoTaskMemFree(path);
  return withoutTrailingSeparator(folder);
}

// The variable's value when set, else the system's folder.
std::u16string overrideOr(const char *variable, REFKNOWNFOLDERID id) {
  std::u16string value = os_GetEnvironment(variable);
  return value.empty() ? knownFolder(id) : withoutTrailingSeparator(value);
}

std::u16string defaultValue(REGSAM view) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"OrvinePhoto.Path", 0, KEY_READ | view, &key) != ERROR_SUCCESS) return {};
  wchar_t value[os_MaxPath];
  DWORD bytes = sizeof value;
  LSTATUS status = RegGetValueW(key, nullptr, nullptr, RRF_RT_REG_SZ, nullptr, value, &bytes);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || bytes < sizeof(wchar_t)) return {};
  return std::u16string(os_U16(value), wcsnlen(value, bytes / sizeof(wchar_t)));
}

}  // namespace

std::u16string os_GetEnvironment(const char *name) {
  if (name == nullptr) return {};
  std::wstring wideName(name, name + strlen(name));  // variable names are ASCII
  DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  while (size > 0) {
    std::wstring value(size, L'\0');
    DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(), size);
    if (length < size) return std::u16string(os_U16(value.data()), length);
    size = length;  // it grew in between
  }
  return {};
}

std::u16string os_InstallPathSetting() {
  // The plain view first; a 64-bit system keeps a 32-bit installer's key in the 32-bit view.
  std::u16string path = defaultValue(0);
  return path.empty() ? defaultValue(KEY_WOW64_32KEY) : path;
}

std::u16string os_GetKnownFolder(os_KnownFolder folder) {
  switch (folder) {
    case os_KnownFolder::commonAppData: return overrideOr("VGM_APPDATA_DIR", FOLDERID_ProgramData);
    case os_KnownFolder::publicDocuments: return overrideOr("VGM_CONTENT_DIR", FOLDERID_PublicDocuments);
    case os_KnownFolder::temp: {
      std::u16string value = os_GetEnvironment("VGM_TEMP_DIR");
      if (!value.empty()) return withoutTrailingSeparator(value);
      wchar_t path[MAX_PATH + 1];
      DWORD length = GetTempPathW(MAX_PATH + 1, path);
      if (length == 0 || length > MAX_PATH) return {};
      return withoutTrailingSeparator(std::u16string(os_U16(path), length));
    }
    case os_KnownFolder::home: return knownFolder(FOLDERID_Profile);
  }
  return {};
}

std::u16string os_GetUserAppDataFolder() { return overrideOr("VGM_APPDATA_DIR", FOLDERID_RoamingAppData); }
