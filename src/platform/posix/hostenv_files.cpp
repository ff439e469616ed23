// File services of the host environment on POSIX: the program's own path,
// copies and moves across volumes, and folder-tree deletion that never
// follows a link out of the tree.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/os.h"
#include "platform/posix/native_names.h"

namespace {

int failWith(int code) {
  os_Error error = os_Error::other;
  switch (code) {
    case ENOENT:
    case ENOTDIR: error = os_Error::notFound; break;
    case EACCES:
    case EPERM:
    case EROFS: error = os_Error::accessDenied; break;
    case EEXIST:
    case ENOTEMPTY: error = os_Error::alreadyExists; break;
    case ENOSPC:
    case EDQUOT: error = os_Error::diskFull; break;
    case ENAMETOOLONG: error = os_Error::pathTooLong; break;
    case EINVAL: error = os_Error::invalidArgument; break;
    case ENOMEM: error = os_Error::outOfMemory; break;
    default: break;
  }
  os_SetLastError(error);
  return 0;
}

bool nativePath(const char16_t *path, std::string *out) {
  size_t length = os_Utf16Length(path);
  if (length == 0 || length >= os_MaxPath) {
    os_SetLastError(length == 0 ? os_Error::invalidArgument : os_Error::pathTooLong);
    return false;
  }
  *out = os_NativeName(std::u16string_view(path, length));
  return true;
}

bool writeAll(int fd, const char *data, size_t size) {
  while (size > 0) {
    ssize_t put = ::write(fd, data, size);
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

// Copies into a temporary sibling first and puts it in place at the end, so
// a failed copy never leaves a half-written target.
int copyFile(const std::string &source, const std::string &target, bool replace) {
  int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return failWith(errno);
  struct stat status {};
  if (::fstat(in, &status) != 0) {
    int code = errno;
    ::close(in);
    return failWith(code);
  }
  if (!S_ISREG(status.st_mode)) {
    ::close(in);
    return failWith(EACCES);
  }
  std::string temporary = target + ".~" + std::to_string(::getpid());
  int out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, status.st_mode & 0777);
  if (out < 0) {
    int code = errno;
    ::close(in);
    return failWith(code);
  }
  char buffer[65536];
  bool ok = true;
  int code = 0;
  for (;;) {
    ssize_t got = ::read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      if (got < 0) ok = false, code = errno;
      break;
    }
    if (!writeAll(out, buffer, static_cast<size_t>(got))) {
      ok = false, code = errno;
      break;
    }
  }
  ::close(in);
  if (::close(out) != 0 && ok) ok = false, code = errno;
  if (ok) {
    if (replace) {
      ok = ::rename(temporary.c_str(), target.c_str()) == 0;
    } else {
      ok = ::link(temporary.c_str(), target.c_str()) == 0;  // refuses an existing target
    }
    if (!ok) code = errno;
  }
  ::unlink(temporary.c_str());
  return ok ? 1 : failWith(code);
}

constexpr int kMaxTreeDepth = 512;

// Empties the folder open as `folder` (the descriptor is consumed); true
// when every entry went.
bool emptyFolder(int folder, int depth) {
  DIR *dir = ::fdopendir(folder);
  if (dir == nullptr) {
    ::close(folder);
    return false;
  }
  bool all = true;
  while (struct dirent *entry = ::readdir(dir)) {
    const char *name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    struct stat status {};
    if (::fstatat(::dirfd(dir), name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
      all = false;
      continue;
    }
    if (S_ISDIR(status.st_mode)) {
      int child = depth < kMaxTreeDepth
                      ? ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                      : -1;
      if (child < 0 || !emptyFolder(child, depth + 1) || ::unlinkat(::dirfd(dir), name, AT_REMOVEDIR) != 0)
        all = false;
    } else if (::unlinkat(::dirfd(dir), name, 0) != 0) {
      all = false;
    }
  }
  ::closedir(dir);
  return all;
}

}  // namespace

std::u16string os_ExecutablePath() {
  char buffer[4096];
  ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  std::u16string path = os_NameFromNative(std::string_view(buffer, static_cast<size_t>(length)));
  // VGM_APP_DIR moves the program's folder (tests run the suite's helper
  // programs from their own folders); the file name stays the program's.
  std::u16string moved = os_GetEnvironment("VGM_APP_DIR");
  if (!moved.empty()) {
    while (moved.size() > 1 && moved.back() == u'/') moved.pop_back();
    size_t cut = path.rfind(u'/');
    path = moved + u"/" + path.substr(cut == std::u16string::npos ? 0 : cut + 1);
  }
  if (path.size() >= os_MaxPath) return {};
  return path;
}

int os_FolderGrantUsers(const char16_t *path) {
  // The data folders live in the user's own tree here; widening their mode
  // for other accounts would expose the user's files, so nothing changes.
  return os_FolderExists(path);
}

int os_SetSystemAttribute(const char16_t *path) {
  // No such attribute on POSIX file systems; the item stays as it is.
  os_FileInfo info{};
  return os_FileStat(path, &info);
}

bool os_PathIsLink(const char16_t *path) {
  std::string name;
  if (!nativePath(path, &name)) return false;
  struct stat status {};
  return ::lstat(name.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

int os_FileCopy(const char16_t *from, const char16_t *to, bool replace) {
  std::string source, target;
  if (!nativePath(from, &source) || !nativePath(to, &target)) return 0;
  if (os_FaultDue(os_FaultKind::fileWrite)) return 0;
  return copyFile(source, target, replace);
}

int os_MoveAcrossVolumes(const char16_t *from, const char16_t *to, bool replace) {
  std::string source, target;
  if (!nativePath(from, &source) || !nativePath(to, &target)) return 0;
  if (os_FaultDue(os_FaultKind::fileMove)) return 0;
  struct stat status {};
  if (::lstat(source.c_str(), &status) != 0) return failWith(errno);
  int moved = replace ? ::rename(source.c_str(), target.c_str())
                      : ::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
  if (moved != 0 && !replace && errno == EINVAL) {
    // A file system without the no-replace flag: check, then rename.
    struct stat existing {};
    if (::lstat(target.c_str(), &existing) == 0) return failWith(EEXIST);
    moved = ::rename(source.c_str(), target.c_str());
  }
  if (moved == 0) return 1;
  if (errno != EXDEV || !S_ISREG(status.st_mode)) return failWith(errno);
  if (!copyFile(source, target, replace)) return 0;
  if (::unlink(source.c_str()) != 0) return failWith(errno);
  return 1;
}

int os_FolderDeleteTree(const char16_t *path) {
  std::string name;
  if (!nativePath(path, &name)) return 0;
  // Working through descriptors keeps every step inside the tree, so the
  // current folder never needs to move away from it.
  int folder = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) return failWith(errno == ELOOP ? ENOTDIR : errno);
  emptyFolder(folder, 0);
  if (::rmdir(name.c_str()) != 0) return failWith(errno);
  return 1;
}
