#include "hostenv/folders.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "hostenv/config_record.h"
#include "platform/os.h"

namespace {

using Path = std::u16string;

bool fitsPath(const Path &path) { return !path.empty() && path.size() < os_MaxPath; }

Path joinPath(std::u16string_view folder, std::u16string_view name) {
  Path result(folder);
  if (!result.empty() && !os_IsPathSeparator(result.back())) result += os_PathSeparator;
  result += name;
  return result;
}

Path withoutTrailingSeparators(Path path) {
  while (path.size() > 1 && os_IsPathSeparator(path.back())) path.pop_back();
  return path;
}

bool copyOut(const Path &path, char16_t *buffer, size_t capacity) {
  if (buffer == nullptr || path.empty() || path.size() + 1 > capacity) return false;
  std::memcpy(buffer, path.data(), path.size() * sizeof(char16_t));
  buffer[path.size()] = 0;
  return true;
}

size_t lastSeparator(std::u16string_view path) {
  for (size_t i = path.size(); i > 0; --i)
    if (os_IsPathSeparator(path[i - 1])) return i - 1;
  return std::u16string_view::npos;
}

// Creates a folder and any missing folders above it.
bool createFolderTree(const Path &path, int depth = 0) {
  if (!fitsPath(path)) return false;
  if (os_FolderExists(path.c_str())) return true;
  size_t cut = lastSeparator(path);
  if (cut != std::u16string_view::npos && cut > 0 && depth < 64) {
    Path parent = path.substr(0, cut);
    if (!os_FolderExists(parent.c_str()) && !createFolderTree(parent, depth + 1)) return false;
  }
  return os_FolderCreate(path.c_str()) != 0;
}

char16_t foldCase(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool sameTextIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (foldCase(a[i]) != foldCase(b[i])) return false;
  return true;
}

// Shell clutter that never counts as content of a folder.
bool isShellClutter(std::u16string_view name) {
  return sameTextIgnoringCase(name, u"Thumbs.db") || sameTextIgnoringCase(name, u"Desktop.ini") ||
         sameTextIgnoringCase(name, u"$RECYCLE.BIN");
}

struct FolderEntry {
  Path name;
  bool isFolder;
};

// The entries are gathered first so that moving or deleting them never
// disturbs the walk.
std::vector<FolderEntry> listFolder(const Path &folder, const char16_t *pattern) {
  std::vector<FolderEntry> entries;
  os_FolderWalk(
      folder.c_str(), pattern,
      [](const char16_t *name, bool isFolder, void *context) {
        static_cast<std::vector<FolderEntry> *>(context)->push_back({Path(name), isFolder});
        return true;
      },
      &entries);
  return entries;
}

// False when a failure ended the move; `moved` counts what went.
bool moveFolderInto(const Path &from, const Path &to, int *moved, int depth) {
  if (os_MoveAcrossVolumes(from.c_str(), to.c_str(), false)) {
    ++*moved;
    return true;
  }
  if (depth > 64 || !os_FolderExists(from.c_str()) || os_PathIsLink(from.c_str()) || !createFolderTree(to))
    return false;
  bool ok = true;
  for (const FolderEntry &entry : listFolder(from, u"*")) {
    if (isShellClutter(entry.name)) continue;
    Path source = joinPath(from, entry.name);
    Path target = joinPath(to, entry.name);
    if (!fitsPath(source) || !fitsPath(target)) {
      ok = false;
      break;
    }
    if (entry.isFolder && !os_PathIsLink(source.c_str())) {
      if (!moveFolderInto(source, target, moved, depth + 1)) {
        ok = false;
        break;
      }
    } else if (os_MoveAcrossVolumes(source.c_str(), target.c_str(), true)) {
      ++*moved;
    } else {
      ok = false;
      break;
    }
  }
  // Succeeds only when nothing (not even shell clutter) is left.
  os_FolderDelete(from.c_str());
  return ok;
}

bool copyTree(const Path &from, const Path &to, int depth) {
  if (depth > 64 || !os_FolderExists(from.c_str()) || !createFolderTree(to)) return false;
  for (const FolderEntry &entry : listFolder(from, u"*")) {
    Path source = joinPath(from, entry.name);
    Path target = joinPath(to, entry.name);
    if (!fitsPath(source) || !fitsPath(target)) return false;
    if (entry.isFolder && !os_PathIsLink(source.c_str())) {
      if (!copyTree(source, target, depth + 1)) return false;
    } else if (!os_FileCopy(source.c_str(), target.c_str(), true)) {
      return false;
    }
  }
  return true;
}

// Renames `from` to `to` inside `folder` when `from` exists and `to` does not.
void renameInside(const Path &folder, std::u16string_view from, std::u16string_view to) {
  Path source = joinPath(folder, from);
  Path target = joinPath(folder, to);
  if (fitsPath(source) && fitsPath(target) && os_FolderExists(source.c_str()))
    os_MoveAcrossVolumes(source.c_str(), target.c_str(), false);
}

// Raw bytes of a small file; empty when unreadable.
std::string readSmallFile(const Path &path) {
  std::string bytes;
  os_File *file = os_FileOpen(path.c_str(), os_AccessRead, os_ShareRead | os_ShareWrite, os_Disposition::openExisting);
  if (file == nullptr) return bytes;
  char buffer[4096];
  size_t done = 0;
  if (os_FileRead(file, buffer, sizeof buffer, &done)) bytes.assign(buffer, done);
  os_FileClose(file);
  return bytes;
}

bool markerIsCurrent(const Path &folder) {
  Path marker = joinPath(folder, kEnvPackageMarker);
  if (!fitsPath(marker)) return false;
  std::string bytes = readSmallFile(marker);
  std::string version = os_Utf16ToUtf8(kEnvPackageVersion);
  // Written as plain text; a marker saved as UTF-16 by hand counts too.
  std::string wide;
  for (char c : version) wide += c, wide += '\0';
  return bytes.find(version) != std::string::npos || bytes.find(wide) != std::string::npos;
}

void writeMarker(const Path &folder) {
  Path marker = joinPath(folder, kEnvPackageMarker);
  if (!fitsPath(marker)) return;
  os_File *file = os_FileOpen(marker.c_str(), os_AccessWrite, os_ShareRead, os_Disposition::createAlways);
  if (file == nullptr) return;
  std::string version = os_Utf16ToUtf8(kEnvPackageVersion);
  os_FileWrite(file, version.data(), version.size());
  os_FileClose(file);
}

std::mutex gExecutableLock;
bool gHasExecutableOverride = false;
Path gExecutableOverride;
std::atomic<int> gPackage{-1};

Path executablePath() {
  {
    std::lock_guard<std::mutex> guard(gExecutableLock);
    if (gHasExecutableOverride) return gExecutableOverride;
  }
  return os_ExecutablePath();
}

// Copies the package's own copies of the data once per version; the marker
// follows a successful copy only, so a failed one is retried next start.
void copyFromPackage(const Path &folder, std::u16string_view package_folder) {
  if (markerIsCurrent(folder)) return;
  Path root = env_PackageVfsRoot(executablePath());
  if (root.empty()) return;
  for (const char16_t *product : {kEnvSiblingFolder, kEnvProductFolder}) {
    Path source = joinPath(joinPath(root, package_folder), product);
    if (fitsPath(source) && copyTree(source, folder, 0)) writeMarker(folder);
  }
}

// The first resolution of a data folder: create it, open it to the users,
// and take over what the sibling product left beside it.
bool prepareDataFolder(const Path &base, Path *out, bool content) {
  if (base.empty()) return false;
  Path folder = joinPath(base, kEnvProductFolder);
  if (!fitsPath(folder)) return false;
  bool existed = os_FolderExists(folder.c_str());
  if (!createFolderTree(folder)) return false;
  if (!existed) {
    os_FolderGrantUsers(folder.c_str());
    if (content) os_SetSystemAttribute(folder.c_str());
  }
  Path sibling = joinPath(base, kEnvSiblingFolder);
  if (fitsPath(sibling) && os_FolderExists(sibling.c_str()) && !os_PathIsLink(sibling.c_str())) {
    if (!content) {
      renameInside(sibling, u"Artist", u"Editor");
      renameInside(sibling, u"Lang_Studio", u"Language Studio");
    }
    env_MoveFolder(sibling.c_str(), folder.c_str());
  }
  if (content) {
    renameInside(folder, u"More", u"Others");
  } else {
    for (const char16_t *name : {u"Plugins", u"Language"}) {
      Path source = joinPath(folder, name);
      Path target = joinPath(joinPath(folder, u"Common"), name);
      if (fitsPath(source) && fitsPath(target) && os_FolderExists(source.c_str()))
        env_MoveFolder(source.c_str(), target.c_str());
    }
  }
  if (env_RunsFromAppPackage()) copyFromPackage(folder, content ? u"Common Documents" : u"Common AppData");
  *out = folder;
  return true;
}

// A folder resolved once and kept while it exists.
struct CachedFolder {
  std::mutex lock;
  Path path;
};

template <typename Resolve>
bool cachedFolder(CachedFolder &cache, Resolve &&resolve, Path *out) {
  std::lock_guard<std::mutex> guard(cache.lock);
  if (cache.path.empty() || !os_FolderExists(cache.path.c_str())) {
    Path made;
    if (!resolve(&made)) return false;
    cache.path = made;
  }
  *out = cache.path;
  return true;
}

CachedFolder gAppFolder;
CachedFolder gAppDataFolder;
CachedFolder gContentFolder;

struct TempVerdict {
  std::mutex lock;
  bool tested = false;
  bool usable = false;
  uint32_t tick = 0;
  Path folder;
} gTempVerdict;

bool isBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == u'\v'; }

// A configured temporary folder is usable when it can be created and a test
// file can be written in it.
bool temporaryFolderUsable(const Path &folder) {
  if (!createFolderTree(withoutTrailingSeparators(folder))) return false;
  for (const char16_t *name : {u"_tst$54321.tmp", u"_tst$98765.tmp"}) {
    Path probe = joinPath(folder, name);
    if (!fitsPath(probe)) return false;
    os_File *file = os_FileOpen(probe.c_str(), os_AccessWrite, os_ShareRead | os_ShareWrite | os_ShareDelete,
                                os_Disposition::createAlways);
    if (file != nullptr) {
      os_FileClose(file);
      os_FileDelete(probe.c_str());
      return true;
    }
  }
  return false;
}

bool hexValue(char16_t c, uint32_t *value) {
  if (c >= u'0' && c <= u'9') {
    *value = c - u'0';
  } else if (c >= u'a' && c <= u'f') {
    *value = c - u'a' + 10;
  } else if (c >= u'A' && c <= u'F') {
    *value = c - u'A' + 10;
  } else {
    return false;
  }
  return true;
}

void cleanStaleSessions() {
  char16_t root[os_MaxPath];
  if (!env_GetTempRoot(root, os_MaxPath)) return;
  Path folder = withoutTrailingSeparators(root);
  uint32_t self = os_ProcessId();
  for (const char16_t *pattern : {u"_vgm_sesstmp_*", u"_kta_sess_tmp_*", u"_kta_sesstmp_*"}) {
    for (const FolderEntry &entry : listFolder(folder, pattern)) {
      if (!entry.isFolder || isShellClutter(entry.name)) continue;
      uint32_t process = env_SessionProcessId(entry.name);
      if (process == 0 || process == self || os_ProcessIsAlive(process)) continue;
      Path session = joinPath(folder, entry.name);
      if (fitsPath(session)) env_DeleteFolderTree(session.c_str());
    }
  }
}

}  // namespace

bool env_IsAppPackagePath(std::u16string_view executable_path) {
  constexpr std::u16string_view kFolder = u"WindowsApps";
  for (size_t i = 0; i + kFolder.size() + 2 <= executable_path.size(); ++i) {
    if (os_IsPathSeparator(executable_path[i]) && os_IsPathSeparator(executable_path[i + kFolder.size() + 1]) &&
        sameTextIgnoringCase(executable_path.substr(i + 1, kFolder.size()), kFolder))
      return true;
  }
  return false;
}

std::u16string env_PackageVfsRoot(std::u16string_view executable_path) {
  for (size_t i = 0; i + 5 <= executable_path.size(); ++i) {
    if (os_IsPathSeparator(executable_path[i]) && executable_path.substr(i + 1, 3) == u"VFS" &&
        os_IsPathSeparator(executable_path[i + 4]))
      return std::u16string(executable_path.substr(0, i + 5));
  }
  return {};
}

bool env_RunsFromAppPackage() {
  int known = gPackage.load(std::memory_order_acquire);
  if (known < 0) {
    known = os_AppPackageQuery();
    if (known < 0) known = env_IsAppPackagePath(executablePath()) ? 1 : 0;
    gPackage.store(known, std::memory_order_release);
  }
  return known == 1;
}

int env_GetAppFolder(char16_t *buffer) {
  Path folder;
  bool found = cachedFolder(
      gAppFolder,
      [](Path *out) {
        Path executable = executablePath();
        size_t cut = lastSeparator(executable);
        if (cut != std::u16string_view::npos) {
          Path own = executable.substr(0, cut == 0 ? 1 : cut);
          if (os_FolderExists(own.c_str())) {
            *out = own;
            return true;
          }
        }
        Path installed = withoutTrailingSeparators(os_InstallPathSetting());
        if (!fitsPath(installed)) return false;
        *out = installed;
        return true;
      },
      &folder);
  return found && copyOut(folder, buffer, os_MaxPath) ? 1 : 0;
}

int env_GetPluginFolder(char16_t *buffer, size_t capacity, const char16_t *base) {
  Path folder;
  if (base != nullptr && base[0] != 0) {
    folder = base;
  } else {
    char16_t app[os_MaxPath];
    if (!env_GetAppFolder(app)) return 0;
    folder = app;
  }
  Path plugins = joinPath(folder, u"Plugins");
  if (!fitsPath(plugins)) return 0;
  return copyOut(plugins, buffer, capacity) ? 1 : 0;
}

int env_GetAppDataFolder(char16_t *buffer) {
  Path folder;
  bool found = cachedFolder(
      gAppDataFolder,
      [](Path *out) {
        Path base = env_RunsFromAppPackage() ? os_GetUserAppDataFolder()
                                             : os_GetKnownFolder(os_KnownFolder::commonAppData);
        return prepareDataFolder(base, out, false);
      },
      &folder);
  return found && copyOut(folder, buffer, os_MaxPath) ? 1 : 0;
}

int env_GetContentFolder(char16_t *buffer, size_t capacity) {
  Path folder;
  bool found = cachedFolder(
      gContentFolder,
      [](Path *out) { return prepareDataFolder(os_GetKnownFolder(os_KnownFolder::publicDocuments), out, true); },
      &folder);
  return found && copyOut(folder, buffer, capacity) ? 1 : 0;
}

int env_GetTempRoot(char16_t *buffer, size_t capacity) {
  Path root = os_GetKnownFolder(os_KnownFolder::temp);
  if (!root.empty() && !os_IsPathSeparator(root.back())) root += os_PathSeparator;
  if (!env_RunsFromAppPackage()) {
    cfg_Record settings;  // a copy: other threads may reload the record
    cfg_Snapshot(&settings);
    const char16_t *field = settings.temp_folder;
    size_t length = 0;
    while (length < kCfgTextUnits && field[length] != 0) ++length;
    std::u16string_view configured(field, length);
    while (!configured.empty() && isBlank(configured.front())) configured.remove_prefix(1);
    while (!configured.empty() && isBlank(configured.back())) configured.remove_suffix(1);
    if (configured.size() >= 4) {
      Path wanted(configured);
      if (!os_IsPathSeparator(wanted.back())) wanted += os_PathSeparator;
      bool usable;
      {
        std::lock_guard<std::mutex> guard(gTempVerdict.lock);
        uint32_t now = os_TickCount();
        // A changed setting is tested at once rather than after the pause.
        if (!gTempVerdict.tested || gTempVerdict.folder != wanted ||
            now - gTempVerdict.tick >= kEnvTempTestMilliseconds) {
          gTempVerdict.usable = temporaryFolderUsable(wanted);
          gTempVerdict.tested = true;
          gTempVerdict.tick = now;
          gTempVerdict.folder = wanted;
        }
        usable = gTempVerdict.usable;
      }
      if (usable) root = wanted;
    }
  }
  if (root.size() < 4 || !fitsPath(root) || !copyOut(root, buffer, capacity)) return 0;
  return static_cast<int>(root.size());
}

int env_GetSessionFolder(char16_t *buffer, size_t capacity) {
  if (buffer == nullptr && capacity == 0) {
    cleanStaleSessions();
    return 0;
  }
  char16_t root[os_MaxPath];
  if (!env_GetTempRoot(root, os_MaxPath)) return 0;
  char name[32];
  std::snprintf(name, sizeof name, "_vgm_sesstmp_%08x", os_ProcessId());
  Path session = Path(root) + os_Utf8ToUtf16(name);
  if (!fitsPath(session) || session.size() + 1 > capacity) return 0;
  if (!os_FolderCreate(session.c_str())) return 0;
  return copyOut(session, buffer, capacity) ? 1 : 0;
}

int env_CleanStaleSessions() { return env_GetSessionFolder(nullptr, 0); }

uint32_t env_SessionProcessId(std::u16string_view name) {
  size_t cut = name.rfind(u'_');
  std::u16string_view tail = cut == std::u16string_view::npos ? name : name.substr(cut + 1);
  uint32_t digit = 0;
  while (!tail.empty() && !hexValue(tail.front(), &digit)) tail.remove_prefix(1);
  if (tail.size() < 8) return 0;
  uint32_t process = 0;
  // All eight must be digits: a shorter number is no identifier this suite wrote.
  for (size_t i = 0; i < 8; ++i) {
    if (!hexValue(tail[i], &digit)) return 0;
    process = (process << 4) | digit;
  }
  return process;
}

int env_MoveFolder(const char16_t *from, const char16_t *to) {
  Path source = from != nullptr ? Path(from) : Path();
  Path target = to != nullptr ? Path(to) : Path();
  if (!fitsPath(source) || !fitsPath(target) || !os_FolderExists(source.c_str())) return 0;
  size_t cut = lastSeparator(target);
  if (cut != std::u16string_view::npos && cut > 0 && !createFolderTree(target.substr(0, cut))) return 0;
  int moved = 0;
  moveFolderInto(source, target, &moved, 0);
  return moved;
}

int env_DeleteFolderTree(const char16_t *path) {
  size_t length = os_Utf16Length(path);
  if (length < 3 || length >= os_MaxPath || !os_FolderExists(path) || os_PathIsLink(path)) return 0;
  return os_FolderDeleteTree(path);
}

void env_ResetForTests(const char16_t *executable_path) {
  {
    std::lock_guard<std::mutex> guard(gExecutableLock);
    gHasExecutableOverride = executable_path != nullptr;
    gExecutableOverride = executable_path != nullptr ? Path(executable_path) : Path();
  }
  gPackage.store(-1);
  for (CachedFolder *cache : {&gAppFolder, &gAppDataFolder, &gContentFolder}) {
    std::lock_guard<std::mutex> guard(cache->lock);
    cache->path.clear();
  }
  std::lock_guard<std::mutex> guard(gTempVerdict.lock);
  gTempVerdict.tested = false;
  gTempVerdict.usable = false;
  gTempVerdict.folder.clear();
}
