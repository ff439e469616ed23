// Access lists, the system attribute and the account's names on Windows.
#include <windows.h>

#include <aclapi.h>
#define SECURITY_WIN32
#include <secext.h>

#include "platform/os.h"
#include "platform/win32/windows_facts.h"

namespace {

int failWith(DWORD code) {
  os_Error error = os_Error::other;
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: error = os_Error::notFound; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD: error = os_Error::accessDenied; break;
    case ERROR_SHARING_VIOLATION: error = os_Error::sharingViolation; break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: error = os_Error::outOfMemory; break;
    case ERROR_INVALID_PARAMETER: error = os_Error::invalidArgument; break;
    default: break;
  }
  os_SetLastError(error);
  return 0;
}

// The path as the system takes it; null (with the error set) when empty or too long.
const wchar_t *systemPath(const char16_t *path) {
  size_t length = os_Utf16Length(path);
  if (length == 0 || length >= os_MaxPath) {
    os_SetLastError(length == 0 ? os_Error::invalidArgument : os_Error::pathTooLong);
    return nullptr;
  }
  return reinterpret_cast<const wchar_t *>(path);
}

std::u16string fromWide(const wchar_t *text, size_t length) {
  return std::u16string(reinterpret_cast<const char16_t *>(text), length);
}

// Calls `query(buffer, &size)` with a buffer that grows while the system
// asks for more; empty when it fails.
template <typename Query>
std::u16string askGrowing(Query &&query) {
  std::wstring buffer(64, L'\0');
  for (int tries = 0; tries < 4; ++tries) {
    ULONG size = static_cast<ULONG>(buffer.size());
    if (query(buffer.data(), &size)) return fromWide(buffer.data(), wcsnlen(buffer.data(), buffer.size()));
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
  const wchar_t *name = systemPath(path);
  if (name == nullptr) return 0;
  DWORD attributes = GetFileAttributesW(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) return failWith(GetLastError());
  PACL current = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD code = GetNamedSecurityInfoW(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &current,
                                     nullptr, &descriptor);
  if (code != ERROR_SUCCESS) return failWith(code);
  PACL updated = os_AclGrantingUsers(current, (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, &code);
  if (updated != nullptr)
    code = SetNamedSecurityInfoW(const_cast<wchar_t *>(name), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                 nullptr, updated, nullptr);
  LocalFree(updated);
  LocalFree(descriptor);
  return code == ERROR_SUCCESS ? 1 : failWith(code);
}

int os_SetSystemAttribute(const char16_t *path) {
  const wchar_t *name = systemPath(path);
  if (name == nullptr) return 0;
  DWORD attributes = GetFileAttributesW(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) return failWith(GetLastError());
  if ((attributes & FILE_ATTRIBUTE_SYSTEM) != 0) return 1;
  return SetFileAttributesW(name, attributes | FILE_ATTRIBUTE_SYSTEM) ? 1 : failWith(GetLastError());
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
