// Files and folders on Windows. Share modes are the system's own; the file
// position is kept in the record and every transfer names its offset, so
// that reads at an offset never disturb it.
#include "platform/win32/win_support.h"

#include <shellapi.h>

#include <new>

#include "platform/os_text.h"

struct os_File {
  HANDLE handle;
  int64_t position;
};

namespace {

thread_local uint64_t tBytesRead = 0;
constexpr DWORD kChunk = 1u << 30;  // one ReadFile/WriteFile moves at most this

int fail(os_Error error) {
  os_SetLastError(error);
  return 0;
}

OVERLAPPED at(int64_t offset) {
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
  overlapped.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return overlapped;
}

int readFully(os_File *file, int64_t offset, void *buffer, size_t size, size_t *done) {
  if (done != nullptr) *done = 0;
  if (file == nullptr || (buffer == nullptr && size > 0)) return fail(os_Error::invalidArgument);
  size_t total = 0;
  while (total < size) {
    DWORD want = size - total > kChunk ? kChunk : static_cast<DWORD>(size - total);
    DWORD got = 0;
    OVERLAPPED where = at(offset + static_cast<int64_t>(total));
    if (!ReadFile(file->handle, static_cast<char *>(buffer) + total, want, &got, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      if (done != nullptr) *done = total;
      return os_FailWin32();
    }
    if (got == 0) break;
    total += got;
  }
  if (done != nullptr) *done = total;
  tBytesRead += total;
  return 1;
}

}  // namespace

os_Error os_ErrorFromWin32(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_NAME:
    case ERROR_MOD_NOT_FOUND: return os_Error::notFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_PRIVILEGE_NOT_HELD: return os_Error::accessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return os_Error::sharingViolation;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
    case ERROR_DIR_NOT_EMPTY: return os_Error::alreadyExists;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return os_Error::diskFull;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW: return os_Error::pathTooLong;
    case ERROR_INVALID_PARAMETER:
    case ERROR_NEGATIVE_SEEK:
    case ERROR_INVALID_HANDLE: return os_Error::invalidArgument;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return os_Error::outOfMemory;
    default: return os_Error::other;
  }
}

int os_FailWin32() { return fail(os_ErrorFromWin32(GetLastError())); }

bool os_SystemPath(const char16_t *path, std::wstring *out) {
  size_t length = os_Utf16Length(path);
  if (length == 0) return fail(os_Error::invalidArgument);
  if (length >= os_MaxPath) return fail(os_Error::pathTooLong);
  out->assign(os_W(path), length);
  for (wchar_t &c : *out)
    if (c == L'/') c = L'\\';
  return true;
}

os_File *os_FileOpen(const char16_t *path, unsigned access, unsigned share, os_Disposition disposition) {
  std::wstring name;
  if (!os_SystemPath(path, &name)) return nullptr;
  if (os_FaultDue(os_FaultKind::fileOpen)) return nullptr;
  DWORD desired = ((access & os_AccessRead) || !(access & os_AccessWrite) ? GENERIC_READ : 0) |
                  ((access & os_AccessWrite) ? GENERIC_WRITE : 0);
  DWORD sharing = ((share & os_ShareRead) ? FILE_SHARE_READ : 0) | ((share & os_ShareWrite) ? FILE_SHARE_WRITE : 0) |
                  ((share & os_ShareDelete) ? FILE_SHARE_DELETE : 0);
  DWORD how = OPEN_EXISTING;
  switch (disposition) {
    case os_Disposition::openExisting: how = OPEN_EXISTING; break;
    case os_Disposition::openAlways: how = OPEN_ALWAYS; break;
    case os_Disposition::createAlways: how = CREATE_ALWAYS; break;
    case os_Disposition::createNew: how = CREATE_NEW; break;
  }
  HANDLE handle = CreateFileW(name.c_str(), desired, sharing, nullptr, how, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    os_FailWin32();
    return nullptr;
  }
  auto *file = new (std::nothrow) os_File{handle, 0};
  if (file == nullptr) {
    CloseHandle(handle);
    fail(os_Error::outOfMemory);
  }
  return file;
}

int os_FileRead(os_File *file, void *buffer, size_t size, size_t *done) {
  size_t got = 0;
  int ok = readFully(file, file != nullptr ? file->position : 0, buffer, size, &got);
  if (file != nullptr) file->position += static_cast<int64_t>(got);
  if (done != nullptr) *done = got;
  return ok;
}

int os_FileReadHead(const char16_t *path, void *buffer, size_t size, size_t *done) {
  *done = 0;
  std::wstring name;
  if (!os_SystemPath(path, &name)) return 0;
  if (os_FaultDue(os_FaultKind::fileOpen)) return 0;
  // Others may read and write meanwhile, as with a POSIX open; a folder
  // refuses the open with access denied.
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return os_FailWin32();
  os_File file{handle, 0};
  int read = readFully(&file, 0, buffer, size, done);
  CloseHandle(handle);
  return read ? 1 : -1;
}

int os_FileReadAt(os_File *file, int64_t offset, void *buffer, size_t size, size_t *done) {
  if (offset < 0) {
    if (done != nullptr) *done = 0;
    return fail(os_Error::invalidArgument);
  }
  return readFully(file, offset, buffer, size, done);
}

uint64_t os_FileBytesReadTotal() { return tBytesRead; }

int os_FileWrite(os_File *file, const void *buffer, size_t size) {
  if (file == nullptr || (buffer == nullptr && size > 0)) return fail(os_Error::invalidArgument);
  if (os_FaultDue(os_FaultKind::fileWrite)) return 0;
  size_t total = 0;
  while (total < size) {
    DWORD want = size - total > kChunk ? kChunk : static_cast<DWORD>(size - total);
    DWORD put = 0;
    OVERLAPPED where = at(file->position);
    if (!WriteFile(file->handle, static_cast<const char *>(buffer) + total, want, &put, &where)) return os_FailWin32();
    total += put;
    file->position += put;
  }
  return 1;
}

int os_FileSeek(os_File *file, int64_t offset, os_SeekFrom from, int64_t *position) {
  if (file == nullptr) return fail(os_Error::invalidArgument);
  int64_t base = 0;
  if (from == os_SeekFrom::current) base = file->position;
  if (from == os_SeekFrom::end) {
    base = os_FileSize(file);
    if (base < 0) return 0;
  }
  if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset))
    return fail(os_Error::invalidArgument);
  file->position = base + offset;
  if (position != nullptr) *position = file->position;
  return 1;
}

int64_t os_FileSize(os_File *file) {
  LARGE_INTEGER size{};
  if (file == nullptr) return fail(os_Error::invalidArgument) - 1;
  if (!GetFileSizeEx(file->handle, &size)) return os_FailWin32() - 1;
  return size.QuadPart;
}

int os_FileTruncateHere(os_File *file) {
  if (file == nullptr) return fail(os_Error::invalidArgument);
  LARGE_INTEGER here{};
  here.QuadPart = file->position;
  if (!SetFilePointerEx(file->handle, here, nullptr, FILE_BEGIN) || !SetEndOfFile(file->handle)) return os_FailWin32();
  return 1;
}

int os_FileFlush(os_File *file) {
  if (file == nullptr) return fail(os_Error::invalidArgument);
  if (os_FaultDue(os_FaultKind::fileFlush)) return 0;
  return FlushFileBuffers(file->handle) ? 1 : os_FailWin32();
}

void os_FileClose(os_File *file) {
  if (file == nullptr) return;
  CloseHandle(file->handle);
  delete file;
}

int os_FileSetReadOnly(const char16_t *path, bool read_only) {
  std::wstring name;
  if (!os_SystemPath(path, &name)) return 0;
  if (os_FaultDue(os_FaultKind::fileAttribute)) return 0;
  DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return os_FailWin32();
  attributes = read_only ? (attributes | FILE_ATTRIBUTE_READONLY) : (attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
  // Nothing else left means "normal", which the call wants spelled out.
  if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileAttributesW(name.c_str(), attributes) ? 1 : os_FailWin32();
}

std::u16string os_ErrorText(os_Error error) {
  DWORD code = ERROR_GEN_FAILURE;
  switch (error) {
    case os_Error::none: code = ERROR_SUCCESS; break;
    case os_Error::notFound: code = ERROR_FILE_NOT_FOUND; break;
    case os_Error::accessDenied: code = ERROR_ACCESS_DENIED; break;
    case os_Error::sharingViolation: code = ERROR_SHARING_VIOLATION; break;
    case os_Error::alreadyExists: code = ERROR_ALREADY_EXISTS; break;
    case os_Error::diskFull: code = ERROR_DISK_FULL; break;
    case os_Error::pathTooLong: code = ERROR_FILENAME_EXCED_RANGE; break;
    case os_Error::invalidArgument: code = ERROR_INVALID_PARAMETER; break;
    case os_Error::outOfMemory: code = ERROR_NOT_ENOUGH_MEMORY; break;
    case os_Error::injected: return u"The operation failed on purpose (fault injection)";
    case os_Error::other: code = ERROR_GEN_FAILURE; break;
  }
  wchar_t buffer[512];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buffer,
                                sizeof buffer / sizeof buffer[0], nullptr);
  // The system's texts end in a line break, which a message line must not.
  while (length > 0 && (buffer[length - 1] == L'\n' || buffer[length - 1] == L'\r' || buffer[length - 1] == L' '))
    --length;
  if (length == 0) return u"Unknown error";
  return std::u16string(os_U16(buffer), length);
}

std::u16string os_FileTypeName(const char16_t *path) {
  std::wstring name;
  if (path != nullptr && os_Utf16Length(path) < os_MaxPath) name = os_W(path);
  SHFILEINFOW info{};
  // With the attribute flag the shell answers from the name alone: the file
  // need not exist.
  if (!name.empty() && SHGetFileInfoW(name.c_str(), FILE_ATTRIBUTE_NORMAL, &info, sizeof info,
                                      SHGFI_TYPENAME | SHGFI_USEFILEATTRIBUTES) != 0 &&
      info.szTypeName[0] != 0)
    return os_U16(info.szTypeName);
  return os_TypeNameFromExtension(path);
}

int os_FileStat(const char16_t *path, os_FileInfo *info) {
  std::wstring name;
  if (!os_SystemPath(path, &name)) return 0;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)) return os_FailWin32();
  if (info != nullptr) {
    info->isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info->readOnly = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    info->size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    info->modified100ns = (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
  }
  return 1;
}

int os_FileExists(const char16_t *path) {
  std::wstring name;
  if (!os_SystemPath(path, &name)) return 0;
  DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return os_FailWin32();
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : 1;
}

int os_FolderExists(const char16_t *path) {
  os_FileInfo info{};
  return os_FileStat(path, &info) && info.isFolder;
}

int os_FileDelete(const char16_t *path) {
  std::wstring name;
  if (!os_SystemPath(path, &name)) return 0;
  if (os_FaultDue(os_FaultKind::fileDelete)) return 0;
  return DeleteFileW(name.c_str()) ? 1 : os_FailWin32();
}

int os_FileMove(const char16_t *from, const char16_t *to, bool replace) {
  std::wstring source, target;
  if (!os_SystemPath(from, &source) || !os_SystemPath(to, &target)) return 0;
  if (os_FaultDue(os_FaultKind::fileMove)) return 0;
  DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  return MoveFileExW(source.c_str(), target.c_str(), flags) ? 1 : os_FailWin32();
}

int os_FolderCreate(const char16_t *path) {
  std::wstring name;
  if (!os_SystemPath(path, &name)) return 0;
  if (CreateDirectoryW(name.c_str(), nullptr)) return 1;
  DWORD code = GetLastError();
  if (code == ERROR_ALREADY_EXISTS && os_FolderExists(path)) return 1;
  return fail(os_ErrorFromWin32(code));
}

int os_FolderDelete(const char16_t *path) {
  std::wstring name;
  if (!os_SystemPath(path, &name)) return 0;
  return RemoveDirectoryW(name.c_str()) ? 1 : os_FailWin32();
}

int os_FolderWalk(const char16_t *folder, const char16_t *pattern, os_FolderVisitor visit, void *context) {
  std::wstring name;
  if (!os_SystemPath(folder, &name) || visit == nullptr) return 0;
  if (name.back() != L'\\') name += L'\\';
  name += L'*';
  WIN32_FIND_DATAW entry{};
  // The system's own pattern matching also matches short 8.3 names: take
  // every entry and match the long name here.
  HANDLE search = FindFirstFileW(name.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND && os_FolderExists(folder)) return 1;  // an empty drive root
    return os_FailWin32();
  }
  std::u16string_view wanted = pattern != nullptr ? std::u16string_view(pattern) : std::u16string_view(u"*");
  do {
    std::u16string_view entryName(os_U16(entry.cFileName));
    if (entryName == u"." || entryName == u".." || !os_NameMatches(entryName, wanted)) continue;
    if (!visit(entryName.data(), (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, context)) break;
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return 1;
}

namespace {

// Copies into a temporary sibling first and puts it in place at the end, so
// a failed copy never leaves a half-written target.
int copyFile(const std::wstring &source, const std::wstring &target, bool replace) {
  std::wstring temporary = target + L".~" + std::to_wstring(GetCurrentProcessId());
  if (!CopyFileW(source.c_str(), temporary.c_str(), TRUE)) return os_FailWin32();
  if (MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0)))
    return 1;
  DWORD code = GetLastError();
  SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);  // a copied read-only file
  DeleteFileW(temporary.c_str());
  return fail(os_ErrorFromWin32(code));
}

// Symbolic links and junctions; other reparse points (cloud placeholders and
// the like) are the items themselves. A tag of 0 comes from systems that do
// not report it, where every reparse point is a link.
bool isLinkEntry(const WIN32_FIND_DATAW &entry) {
  DWORD tag = entry.dwReserved0;
  return (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         (tag == 0 || tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT);
}

constexpr int kMaxTreeDepth = 512;

// Empties `folder` (a system path without the trailing separator); true when
// every entry went. Links are removed as links, never entered.
bool emptyFolder(const std::wstring &folder, int depth) {
  WIN32_FIND_DATAW entry{};
  HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  bool all = true;
  do {
    std::wstring_view name(entry.cFileName);
    if (name == L"." || name == L"..") continue;
    std::wstring full = folder + L"\\" + entry.cFileName;
    // Read-only entries go too, as on a system where only the folder's
    // permissions decide.
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
      SetFileAttributesW(full.c_str(), entry.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    bool folderEntry = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool gone = false;
    if (folderEntry && isLinkEntry(entry)) {
      gone = RemoveDirectoryW(full.c_str());
    } else if (folderEntry) {
      gone = depth < kMaxTreeDepth && emptyFolder(full, depth + 1) && RemoveDirectoryW(full.c_str());
    } else {
      gone = DeleteFileW(full.c_str());
    }
    all = all && gone;
  } while (FindNextFileW(search, &entry));
  FindClose(search);
  return all;
}

bool findEntry(const char16_t *path, WIN32_FIND_DATAW *entry) {
  std::wstring name;
  if (!os_SystemPath(path, &name)) return false;
  HANDLE search = FindFirstFileW(name.c_str(), entry);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return true;
}

}  // namespace

bool os_PathIsLink(const char16_t *path) {
  WIN32_FIND_DATAW entry{};
  return findEntry(path, &entry) && isLinkEntry(entry);
}

std::u16string os_LinkTarget(const char16_t *path) {
  std::wstring name;
  if (path == nullptr || !os_PathIsLink(path) || !os_SystemPath(path, &name)) return {};
  HANDLE target = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (target == INVALID_HANDLE_VALUE) return {};  // the target is missing
  wchar_t buffer[os_MaxPath + 8];
  DWORD length = GetFinalPathNameByHandleW(target, buffer, os_MaxPath + 8, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  CloseHandle(target);
  if (length == 0 || length >= os_MaxPath + 8) return {};
  std::u16string full(os_U16(buffer), length);
  // The system answers in its long-path form; the library's paths are plain.
  if (full.starts_with(u"\\\\?\\UNC\\")) {
    full = u"\\\\" + full.substr(8);
  } else if (full.starts_with(u"\\\\?\\")) {
    full.erase(0, 4);
  }
  return full.size() < os_MaxPath ? full : std::u16string();
}

int os_FileCopy(const char16_t *from, const char16_t *to, bool replace) {
  std::wstring source, target;
  if (!os_SystemPath(from, &source) || !os_SystemPath(to, &target)) return 0;
  if (os_FaultDue(os_FaultKind::fileWrite)) return 0;
  return copyFile(source, target, replace);
}

int os_MoveAcrossVolumes(const char16_t *from, const char16_t *to, bool replace) {
  std::wstring source, target;
  if (!os_SystemPath(from, &source) || !os_SystemPath(to, &target)) return 0;
  if (os_FaultDue(os_FaultKind::fileMove)) return 0;
  DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (MoveFileExW(source.c_str(), target.c_str(), flags)) return 1;
  DWORD code = GetLastError();
  DWORD attributes = GetFileAttributesW(source.c_str());
  if (code != ERROR_NOT_SAME_DEVICE || attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return fail(os_ErrorFromWin32(code));
  if (!copyFile(source, target, replace)) return 0;
  return DeleteFileW(source.c_str()) ? 1 : os_FailWin32();
}

int os_FolderDeleteTree(const char16_t *path) {
  WIN32_FIND_DATAW entry{};
  std::wstring name;
  if (!os_SystemPath(path, &name)) return 0;
  while (name.size() > 3 && name.back() == L'\\') name.pop_back();
  if (!findEntry(os_U16(name.c_str()), &entry)) return os_FailWin32();
  // A link given as the tree is refused, as its target is not ours to empty.
  if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || isLinkEntry(entry)) return fail(os_Error::notFound);
  emptyFolder(name, 0);
  return RemoveDirectoryW(name.c_str()) ? 1 : os_FailWin32();
}
