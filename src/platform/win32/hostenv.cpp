// Access lists, the system attribute and the account's names on Windows.
#include <windows.h>

#include <aclapi.h>
#define SECURITY_WIN32
#include <secext.h>

#include "platform/os.h"
#include "platform/win32/win_support.h"
#include "platform/win32/windows_facts.h"

namespace {

int failWith(DWORD code) {
  os_SetLastError(os_ErrorFromWin32(code));
  return 0;
}

// Calls `query(buffer, &size)` with a buffer that grows while the system
// asks for more; empty when it fails.
template <typename Query>
std::u16string askGrowing(Query &&query) {
  std::wstring buffer(64, L'\0');
  for (int tries = 0; tries < 4; ++tries) {
    ULONG size = static_cast<ULONG>(buffer.size());
    if (query(buffer.data(), &size))
      return std::u16string(os_U16(buffer.data()), wcsnlen(buffer.data(), buffer.size()));
    DWORD code = GetLastError();
    if ((code != ERROR_INSUFFICIENT_BUFFER && code != ERROR_MORE_DATA) || size <= buffer.size()) return {};
    buffer.assign(size + 1, L'\0');
  }
  return {};
}

}  // namespace

PACL os_AclGrantingUsers(PACL current, bool folder, DWORD *code) {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof sid;
  if (!CreateWellKnownSid(WinBuiltinUsersSid, nullptr, sid, &sidSize)) {
    *code = GetLastError();
    return nullptr;
  }
  // Added to what the object already grants; a folder passes it on to
  // everything created below it.
  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = FILE_ALL_ACCESS;
  access.grfAccessMode = GRANT_ACCESS;
  access.grfInheritance = folder ? SUB_CONTAINERS_AND_OBJECTS_INHERIT : NO_INHERITANCE;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
  access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sid);
  PACL updated = nullptr;
  *code = SetEntriesInAclW(1, &access, current, &updated);
  return *code == ERROR_SUCCESS ? updated : nullptr;
}

int os_FolderGrantUsers(const char16_t *path) {
  std::wstring name;
  if (!os_SystemPath(path, &name)) return 0;
  DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return os_FailWin32();
  PACL current = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD code = GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                     &current, nullptr, &descriptor);
  if (code != ERROR_SUCCESS) return failWith(code);
  PACL updated = os_AclGrantingUsers(current, (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, &code);
  if (updated != nullptr)
    code = SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                 nullptr, updated, nullptr);
  LocalFree(updated);
  LocalFree(descriptor);
  return code == ERROR_SUCCESS ? 1 : failWith(code);
}

int os_SetSystemAttribute(const char16_t *path) {
  std::wstring name;
  if (!os_SystemPath(path, &name)) return 0;
  DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return os_FailWin32();
  if ((attributes & FILE_ATTRIBUTE_SYSTEM) != 0) return 1;
  return SetFileAttributesW(name.c_str(), attributes | FILE_ATTRIBUTE_SYSTEM) ? 1 : os_FailWin32();
}

std::u16string os_UserLoginName() {
  std::u16string name = askGrowing([](wchar_t *buffer, ULONG *size) {
    DWORD units = *size;
    BOOL ok = GetUserNameW(buffer, &units);
    *size = units;
    return ok != FALSE;
  });
  return name.empty() ? os_GetEnvironment("USERNAME") : name;
}

std::u16string os_UserFullName() {
  // Local accounts often have no display name: the system answers "none mapped", which is empty here.
  return askGrowing([](wchar_t *buffer, ULONG *size) { return GetUserNameExW(NameDisplay, buffer, size) != FALSE; });
}
