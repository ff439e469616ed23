#include "imageio/state_store_files.h"

#include <string>

#include "hostenv/folders.h"
#include "platform/os.h"

namespace {

bool nameAccepted(const char16_t *name) {
  if (name == nullptr || name[0] == 0) return false;
  for (const char16_t *c = name; *c; ++c)
    if (os_IsPathSeparator(*c)) return false;
  return true;
}

// The folder, created on request, and the file's path; false when it would not fit.
bool storePath(const char16_t *name, const char16_t *extension, bool create, std::u16string *folder,
               std::u16string *path) {
  if (!nameAccepted(name)) return false;
  char16_t appData[os_MaxPath];
  if (!env_GetAppDataFolder(appData)) return false;
  std::u16string common = std::u16string(appData) + os_PathSeparator + u"Common";
  *folder = common + os_PathSeparator + u"Plugins";
  *path = *folder + os_PathSeparator + name + extension;
  if (path->size() + 16 >= os_MaxPath) return false;  // room for the temporary name too
  if (create && !(os_FolderCreate(common.c_str()) && os_FolderCreate(folder->c_str()))) return false;
  return true;
}

}  // namespace

int32_t io_StoreFileRead(const char16_t *name, const char16_t *extension, void *buffer, int32_t size) {
  std::u16string folder, path;
  if (buffer == nullptr || size < 1 || !storePath(name, extension, false, &folder, &path)) return 0;
  os_File *file = os_FileOpen(path.c_str(), os_AccessRead, os_ShareRead, os_Disposition::openExisting);
  if (file == nullptr) return 0;
  size_t total = 0;
  for (;;) {
    size_t done = 0;
    if (!os_FileRead(file, static_cast<char *>(buffer) + total, static_cast<size_t>(size) - total, &done) || done == 0)
      break;
    total += done;
    if (total == static_cast<size_t>(size)) break;
  }
  os_FileClose(file);
  return static_cast<int32_t>(total);
}

int32_t io_StoreFileWrite(const char16_t *name, const char16_t *extension, const void *data, int32_t size) {
  std::u16string folder, path;
  if (size < 1) {
    if (!storePath(name, extension, false, &folder, &path)) return 0;
    os_FileDelete(path.c_str());
    return 1;
  }
  if (data == nullptr || !storePath(name, extension, true, &folder, &path)) return 0;
  // Written beside the target and moved over it, so a failed write never
  // leaves half a file where a good one was.
  char16_t suffix[24];
  uint32_t thread = os_ThreadId();
  size_t n = 0;
  for (const char16_t *s = u".~"; *s; ++s) suffix[n++] = *s;
  for (int shift = 28; shift >= 0; shift -= 4) suffix[n++] = u"0123456789abcdef"[(thread >> shift) & 15];
  suffix[n] = 0;
  std::u16string temporary = path + suffix;
  os_File *file = os_FileOpen(temporary.c_str(), os_AccessWrite, os_ShareNone, os_Disposition::createAlways);
  if (file == nullptr) return 0;
  bool written = os_FileWrite(file, data, static_cast<size_t>(size)) != 0;
  os_FileClose(file);
  if (!written || !os_FileMove(temporary.c_str(), path.c_str(), true)) {
    os_FileDelete(temporary.c_str());
    return 0;
  }
  return size;
}

int32_t io_StoreFileLength(const char16_t *name, const char16_t *extension) {
  std::u16string folder, path;
  os_FileInfo info{};
  if (!storePath(name, extension, false, &folder, &path) || !os_FileStat(path.c_str(), &info) || info.isFolder)
    return 0;
  return info.size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(info.size);
}

bool io_StoreNameAccepted(const char16_t *name) { return nameAccepted(name); }

int32_t io_StoreFileGet(const char16_t *name, void *buffer, int32_t size) {
  return io_StoreFileRead(name, u".bin", buffer, size);
}

int32_t io_StoreFileSet(const char16_t *name, const void *data, int32_t size) {
  return io_StoreFileWrite(name, u".bin", data, size < kStoreFileMaxBytes ? size : kStoreFileMaxBytes);
}

int32_t io_StoreFileSize(const char16_t *name) { return io_StoreFileLength(name, u".bin"); }
