// Files and folders on POSIX. Share modes map onto advisory flock locks: an
// unshared open takes an exclusive lock, a read that does not share writing
// takes a shared one; both fail at once with a sharing violation when
// another opener holds a conflicting lock.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/os.h"
#include "platform/os_text.h"
#include "platform/posix/head_ring.h"
#include "platform/posix/native_names.h"

struct os_File {
  int fd;
};

namespace {

thread_local uint64_t tBytesRead = 0;

os_Error errorFromErrno(int code) {
  switch (code) {
    case ENOENT:
    case ENOTDIR: return os_Error::notFound;
    case EACCES:
    case EPERM:
    case EROFS: return os_Error::accessDenied;
    case EWOULDBLOCK: return os_Error::sharingViolation;
    case EEXIST:
    case ENOTEMPTY: return os_Error::alreadyExists;
    case ENOSPC:
    case EDQUOT: return os_Error::diskFull;
    case ENAMETOOLONG: return os_Error::pathTooLong;
    case EINVAL: return os_Error::invalidArgument;
    case ENOMEM: return os_Error::outOfMemory;
    default: return os_Error::other;
  }
}

int failWithErrno() {
  os_SetLastError(errorFromErrno(errno));
  return 0;
}

// Converts a library path to a file-system name; false for null, empty or
// over-long paths.
bool nativePath(const char16_t *path, std::string *out) {
  size_t length = os_Utf16Length(path);
  if (length == 0) {
    os_SetLastError(os_Error::invalidArgument);
    return false;
  }
  if (length >= os_MaxPath) {
    os_SetLastError(os_Error::pathTooLong);
    return false;
  }
  *out = os_NativeName(std::u16string_view(path, length));
  return true;
}

// A plain ASCII path is its own native name: copied into `out` without a heap
// block. Null for any other path (and an empty or overlong one), which
// nativePath converts and refuses as usual.
const char *asciiNativePath(const char16_t *path, char (&out)[os_MaxPath]) {
  for (size_t i = 0; path != nullptr && i < os_MaxPath; ++i) {
    if (path[i] >= 0x80) return nullptr;
    out[i] = static_cast<char>(path[i]);
    if (path[i] == 0) return i > 0 ? out : nullptr;
  }
  return nullptr;
}

}  // namespace

std::string os_NativeName(std::u16string_view name) { return os_Utf16ToUtf8Bytes(name, true); }
std::u16string os_NameFromNative(std::string_view bytes) { return os_Utf8ToUtf16Bytes(bytes, true); }

os_File *os_FileOpen(const char16_t *path, unsigned access, unsigned share, os_Disposition disposition) {
  std::string name;
  if (!nativePath(path, &name)) return nullptr;
  if (os_FaultDue(os_FaultKind::fileOpen)) return nullptr;
  int flags = O_CLOEXEC;
  if ((access & os_AccessRead) && (access & os_AccessWrite)) {
    flags |= O_RDWR;
  } else if (access & os_AccessWrite) {
    flags |= O_WRONLY;
  } else {
    flags |= O_RDONLY;
  }
  switch (disposition) {
    case os_Disposition::openExisting: break;
    case os_Disposition::openAlways: flags |= O_CREAT; break;
    case os_Disposition::createAlways: flags |= O_CREAT; break;  // truncated after the lock is held
    case os_Disposition::createNew: flags |= O_CREAT | O_EXCL; break;
  }
  int fd = ::open(name.c_str(), flags, 0666);
  if (fd < 0) {
    failWithErrno();
    return nullptr;
  }
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
    ::close(fd);
    os_SetLastError(os_Error::accessDenied);
    return nullptr;
  }
  int lock = 0;
  if ((share & (os_ShareRead | os_ShareWrite)) == 0) {
    lock = LOCK_EX;
  } else if (!(share & os_ShareWrite) && !(access & os_AccessWrite)) {
    lock = LOCK_SH;
  }
  if (lock != 0 && ::flock(fd, lock | LOCK_NB) != 0) {
    int code = errno;
    ::close(fd);
    os_SetLastError(code == EWOULDBLOCK ? os_Error::sharingViolation : errorFromErrno(code));
    return nullptr;
  }
  if (disposition == os_Disposition::createAlways && ::ftruncate(fd, 0) != 0) {
    failWithErrno();
    ::close(fd);
    return nullptr;
  }
  auto *file = new (std::nothrow) os_File{fd};
  if (file == nullptr) {
    ::close(fd);
    os_SetLastError(os_Error::outOfMemory);
  }
  return file;
}

namespace {

// Reads until `size` bytes or the end of the file; at the file position
// when `offset` is negative, else from `offset` without moving it.
int readFully(os_File *file, int64_t offset, void *buffer, size_t size, size_t *done) {
  if (done != nullptr) *done = 0;
  if (file == nullptr || (buffer == nullptr && size > 0)) {
    os_SetLastError(os_Error::invalidArgument);
    return 0;
  }
  size_t total = 0;
  while (total < size) {
    char *at = static_cast<char *>(buffer) + total;
    ssize_t got = offset < 0 ? ::read(file->fd, at, size - total)
                             : ::pread(file->fd, at, size - total, static_cast<off_t>(offset + static_cast<int64_t>(total)));
    if (got < 0) {
      if (errno == EINTR) continue;
      if (done != nullptr) *done = total;
      return failWithErrno();
    }
    if (got == 0) break;
    total += static_cast<size_t>(got);
  }
  if (done != nullptr) *done = total;
  tBytesRead += total;
  return 1;
}

// The header look's answer to a read that failed with errno: a folder is
// refused (0), anything else is a read error (-1).
int headReadFailed() {
  if (errno != EISDIR) return -1;
  os_SetLastError(os_Error::accessDenied);
  return 0;
}

}  // namespace

int os_FileRead(os_File *file, void *buffer, size_t size, size_t *done) { return readFully(file, -1, buffer, size, done); }

int os_FileReadHead(const char16_t *path, void *buffer, size_t size, size_t *done) {
  *done = 0;
  char ascii[os_MaxPath];
  std::string converted;
  const char *name = asciiNativePath(path, ascii);  // the look of every load: no heap block for a plain path
  if (name == nullptr) {
    if (!nativePath(path, &converted)) return 0;
    name = converted.c_str();
  }
  if (os_FaultDue(os_FaultKind::fileOpen)) return 0;
  // No share lock and no status: a look this short needs neither, and a
  // folder shows itself by refusing the read.
  posix_RingLook look;
  if (posix_RingReadHead(name, buffer, size, &look)) {
    bool interrupted = look.open == -EINTR || look.open == -EAGAIN || look.read == -EINTR || look.read == -EAGAIN ||
                       look.read == -ECANCELED;
    // A read that gave less than asked may have more to give (a pipe, say):
    // only the ordinary look below reads on to the end.
    bool complete = look.open < 0 || look.read < 0 || static_cast<size_t>(look.read) == size;
    if (!interrupted && complete) {
      if (look.open < 0) {
        errno = -look.open;
        return failWithErrno();
      }
      if (look.read < 0) {
        errno = static_cast<int>(-look.read);
        failWithErrno();
        return headReadFailed();
      }
      *done = size;
      tBytesRead += size;
      return 1;
    }
  }
  int fd = ::open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failWithErrno();
  os_File file{fd};
  int read = readFully(&file, -1, buffer, size, done);
  int error = errno;
  ::close(fd);
  errno = error;
  return read ? 1 : headReadFailed();
}

int os_FileReadAt(os_File *file, int64_t offset, void *buffer, size_t size, size_t *done) {
  if (offset < 0) {
    if (done != nullptr) *done = 0;
    os_SetLastError(os_Error::invalidArgument);
    return 0;
  }
  return readFully(file, offset, buffer, size, done);
}

uint64_t os_FileBytesReadTotal() { return tBytesRead; }

int os_FileWrite(os_File *file, const void *buffer, size_t size) {
  if (file == nullptr || (buffer == nullptr && size > 0)) {
    os_SetLastError(os_Error::invalidArgument);
    return 0;
  }
  if (os_FaultDue(os_FaultKind::fileWrite)) return 0;
  size_t total = 0;
  while (total < size) {
    ssize_t put = ::write(file->fd, static_cast<const char *>(buffer) + total, size - total);
    if (put < 0) {
      if (errno == EINTR) continue;
      return failWithErrno();
    }
    total += static_cast<size_t>(put);
  }
  return 1;
}

int os_FileSeek(os_File *file, int64_t offset, os_SeekFrom from, int64_t *position) {
  if (file == nullptr) {
    os_SetLastError(os_Error::invalidArgument);
    return 0;
  }
  int whence = from == os_SeekFrom::begin ? SEEK_SET : from == os_SeekFrom::current ? SEEK_CUR : SEEK_END;
  off_t result = ::lseek(file->fd, static_cast<off_t>(offset), whence);
  if (result < 0) return failWithErrno();
  if (position != nullptr) *position = result;
  return 1;
}

int64_t os_FileSize(os_File *file) {
  struct stat status {};
  if (file == nullptr || ::fstat(file->fd, &status) != 0) {
    os_SetLastError(file == nullptr ? os_Error::invalidArgument : errorFromErrno(errno));
    return -1;
  }
  return status.st_size;
}

int os_FileTruncateHere(os_File *file) {
  if (file == nullptr) {
    os_SetLastError(os_Error::invalidArgument);
    return 0;
  }
  off_t here = ::lseek(file->fd, 0, SEEK_CUR);
  if (here < 0 || ::ftruncate(file->fd, here) != 0) return failWithErrno();
  return 1;
}

int os_FileFlush(os_File *file) {
  if (file == nullptr) {
    os_SetLastError(os_Error::invalidArgument);
    return 0;
  }
  if (os_FaultDue(os_FaultKind::fileFlush)) return 0;
  return ::fsync(file->fd) == 0 ? 1 : failWithErrno();
}

int os_FileSetReadOnly(const char16_t *path, bool read_only) {
  std::string name;
  if (!nativePath(path, &name)) return 0;
  if (os_FaultDue(os_FaultKind::fileAttribute)) return 0;
  struct stat status {};
  if (::stat(name.c_str(), &status) != 0) return failWithErrno();
  mode_t mode = status.st_mode & 07777;
  mode = read_only ? (mode & ~mode_t{S_IWUSR | S_IWGRP | S_IWOTH}) : (mode | S_IWUSR);
  return ::chmod(name.c_str(), mode) == 0 ? 1 : failWithErrno();
}

std::u16string os_ErrorText(os_Error error) {
  int code = EIO;
  switch (error) {
    case os_Error::none: code = 0; break;
    case os_Error::notFound: code = ENOENT; break;
    case os_Error::accessDenied: code = EACCES; break;
    case os_Error::sharingViolation: code = EBUSY; break;
    case os_Error::alreadyExists: code = EEXIST; break;
    case os_Error::diskFull: code = ENOSPC; break;
    case os_Error::pathTooLong: code = ENAMETOOLONG; break;
    case os_Error::invalidArgument: code = EINVAL; break;
    case os_Error::outOfMemory: code = ENOMEM; break;
    case os_Error::injected: return u"The operation failed on purpose (fault injection)";
    case os_Error::other: code = EIO; break;
  }
  char buffer[256];
  // The GNU form returns the text, which may or may not be the buffer.
  const char *text = ::strerror_r(code, buffer, sizeof buffer);
  return os_Utf8ToUtf16(text != nullptr ? text : "Unknown error");
}

std::u16string os_FileTypeName(const char16_t *path) { return os_TypeNameFromExtension(path); }

void os_FileClose(os_File *file) {
  if (file == nullptr) return;
  ::close(file->fd);  // also drops the share lock
  delete file;
}

int os_FileStat(const char16_t *path, os_FileInfo *info) {
  std::string name;
  if (!nativePath(path, &name)) return 0;
  struct stat status {};
  if (::stat(name.c_str(), &status) != 0) return failWithErrno();
  if (info != nullptr) {
    info->isFolder = S_ISDIR(status.st_mode);
    // The owner's write bit stands for the attribute: a privileged user may
    // write anyway, but the file is still marked read-only.
    info->readOnly = (status.st_mode & S_IWUSR) == 0 || ::access(name.c_str(), W_OK) != 0;
    info->size = static_cast<uint64_t>(status.st_size);
    constexpr uint64_t kUnixEpochIn100ns = 116444736000000000ull;
    info->modified100ns = kUnixEpochIn100ns + static_cast<uint64_t>(status.st_mtim.tv_sec) * 10000000ull +
                          static_cast<uint64_t>(status.st_mtim.tv_nsec) / 100;
  }
  return 1;
}

// One stat: the loads ask this first on every file, and need no more.
int os_FileExists(const char16_t *path) {
  std::string name;
  if (!nativePath(path, &name)) return 0;
  struct stat status {};
  if (::stat(name.c_str(), &status) != 0) return failWithErrno();
  return S_ISDIR(status.st_mode) ? 0 : 1;
}

int os_FolderExists(const char16_t *path) {
  os_FileInfo info{};
  return os_FileStat(path, &info) && info.isFolder;
}

int os_FileDelete(const char16_t *path) {
  std::string name;
  if (!nativePath(path, &name)) return 0;
  if (os_FaultDue(os_FaultKind::fileDelete)) return 0;
  return ::unlink(name.c_str()) == 0 ? 1 : failWithErrno();
}

int os_FileMove(const char16_t *from, const char16_t *to, bool replace) {
  std::string source, target;
  if (!nativePath(from, &source) || !nativePath(to, &target)) return 0;
  if (os_FaultDue(os_FaultKind::fileMove)) return 0;
  if (!replace) {
    // link + unlink refuses an existing target without a window for a race.
    struct stat status {};
    if (::lstat(source.c_str(), &status) != 0) return failWithErrno();
    if (!S_ISDIR(status.st_mode)) {
      if (::link(source.c_str(), target.c_str()) != 0) {
        if (errno != EPERM && errno != EXDEV && errno != ENOTSUP) return failWithErrno();
      } else {
        ::unlink(source.c_str());
        return 1;
      }
    }
    if (::access(target.c_str(), F_OK) == 0) {
      os_SetLastError(os_Error::alreadyExists);
      return 0;
    }
  }
  return ::rename(source.c_str(), target.c_str()) == 0 ? 1 : failWithErrno();
}

int os_FolderCreate(const char16_t *path) {
  std::string name;
  if (!nativePath(path, &name)) return 0;
  if (::mkdir(name.c_str(), 0777) == 0) return 1;
  if (errno == EEXIST && os_FolderExists(path)) return 1;
  return failWithErrno();
}

int os_FolderDelete(const char16_t *path) {
  std::string name;
  if (!nativePath(path, &name)) return 0;
  return ::rmdir(name.c_str()) == 0 ? 1 : failWithErrno();
}

int os_FolderWalk(const char16_t *folder, const char16_t *pattern, os_FolderVisitor visit, void *context) {
  std::string name;
  if (!nativePath(folder, &name) || visit == nullptr) return 0;
  DIR *dir = ::opendir(name.c_str());
  if (dir == nullptr) return failWithErrno();
  std::u16string_view wanted = pattern != nullptr ? std::u16string_view(pattern) : std::u16string_view(u"*");
  while (struct dirent *entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    std::u16string entryName = os_NameFromNative(entry->d_name);
    if (!os_NameMatches(entryName, wanted)) continue;
    bool isFolder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      struct stat status {};
      std::string full = name + "/" + entry->d_name;
      isFolder = ::stat(full.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
    }
    if (!visit(entryName.c_str(), isFolder, context)) break;
  }
  ::closedir(dir);
  return 1;
}
