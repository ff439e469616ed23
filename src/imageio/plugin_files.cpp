#include "imageio/plugin_files.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "hostenv/folders.h"
#include "imageio/format_table.h"
#include "imageio/result_codes.h"

namespace {

std::mutex gFolderLock;
std::u16string gPluginFolder;
std::atomic<uint64_t> gTestClock{0};

bool fits(const std::u16string &path) { return !path.empty() && path.size() < os_MaxPath; }

bool hasWildcard(std::u16string_view component) { return component.find_first_of(u"*?") != std::u16string_view::npos; }

// Walks `components` below `prefix`; a wildcard component tries every
// matching entry in sorted order. The first existing file wins.
bool resolve(const std::u16string &prefix, const std::vector<std::u16string_view> &components, size_t index,
             std::u16string *found) {
  if (index == components.size()) {
    if (!fits(prefix) || !os_FileExists(prefix.c_str())) return false;
    *found = prefix;
    return true;
  }
  std::u16string_view component = components[index];
  if (!hasWildcard(component)) return resolve(io_JoinPath(prefix, component), components, index + 1, found);
  std::u16string pattern(component);
  for (const io_FolderEntry &entry : io_ListFolderSorted(prefix, pattern.c_str())) {
    if (index + 1 < components.size() && !entry.isFolder) continue;
    std::u16string next = io_JoinPath(prefix, entry.name);
    if (next.size() >= os_MaxPath) continue;
    if (resolve(next, components, index + 1, found)) return true;
  }
  return false;
}

std::u16string parentOf(std::u16string_view path) {
  size_t cut = path.size();
  while (cut > 0 && !os_IsPathSeparator(path[cut - 1])) --cut;
  if (cut == 0) return {};
  while (cut > 1 && os_IsPathSeparator(path[cut - 1])) --cut;  // keep a lone root separator
  return std::u16string(path.substr(0, cut));
}

// Writes `head` then, when the earlier text is not empty, a blank line and
// that text; cut to the buffer.
void rewrite(char16_t *text, std::u16string head, bool keepEarlier) {
  std::u16string earlier = keepEarlier ? std::u16string(text) : std::u16string();
  if (!earlier.empty()) head += u"\n\n" + earlier;
  size_t n = std::min(head.size(), kMessageCapacity - 1);
  std::memcpy(text, head.data(), n * sizeof(char16_t));
  text[n] = 0;
}

}  // namespace

void io_SetPluginFolder(const char16_t *folder) {
  std::lock_guard<std::mutex> guard(gFolderLock);
  gPluginFolder = folder != nullptr ? folder : u"";
  while (gPluginFolder.size() > 1 && os_IsPathSeparator(gPluginFolder.back())) gPluginFolder.pop_back();
}

std::u16string io_PluginFolder() {
  std::lock_guard<std::mutex> guard(gFolderLock);
  return gPluginFolder;
}

uint64_t io_Now100ns() {
  uint64_t fixed = gTestClock.load(std::memory_order_relaxed);
  return fixed != 0 ? fixed : os_UtcNow100ns();
}

uint64_t io_NowMs() {
  uint64_t fixed = gTestClock.load(std::memory_order_relaxed);
  return fixed != 0 ? fixed / 10000u : os_HighResCounter() / (os_HighResFrequency() / 1000u);
}

void io_SetClockForTests(uint64_t utc_100ns) { gTestClock.store(utc_100ns, std::memory_order_relaxed); }

std::u16string io_JoinPath(std::u16string_view folder, std::u16string_view name) {
  std::u16string path(folder);
  if (!path.empty() && !os_IsPathSeparator(path.back())) path += os_PathSeparator;
  path += name;
  return path;
}

std::u16string_view io_FileNameOf(std::u16string_view path) {
  size_t cut = path.size();
  while (cut > 0 && !os_IsPathSeparator(path[cut - 1])) --cut;
  return path.substr(cut);
}

std::vector<io_FolderEntry> io_ListFolderSorted(const std::u16string &folder, const char16_t *pattern) {
  std::vector<io_FolderEntry> entries;
  os_FolderWalk(
      folder.c_str(), pattern,
      [](const char16_t *name, bool isFolder, void *context) {
        static_cast<std::vector<io_FolderEntry> *>(context)->push_back({name, isFolder});
        return true;
      },
      &entries);
  std::sort(entries.begin(), entries.end(), [](const io_FolderEntry &a, const io_FolderEntry &b) {
    int order = io_CompareIgnoringCase(a.name, b.name);
    return order != 0 ? order < 0 : a.name < b.name;
  });
  return entries;
}

bool io_LocatePlugin(std::u16string_view file_name, std::u16string *path) {
  std::u16string folder = io_PluginFolder();
  if (folder.empty() || file_name.empty() || path == nullptr) return false;
  // The bare name directly in the plug-in folder first, then one and two levels down.
  const std::vector<std::u16string_view> tries[] = {
      {file_name}, {u"*", file_name}, {u"*", u"*", file_name}};
  for (const auto &components : tries) {
    size_t patternLength = folder.size();
    for (std::u16string_view c : components) patternLength += 1 + c.size();
    if (patternLength >= os_MaxPath) continue;
    if (resolve(folder, components, 0, path)) return true;
  }
  return false;
}

std::vector<std::u16string> io_DependencyFolders(std::u16string_view plugin_path) {
  std::vector<std::u16string> folders;
  auto add = [&](std::u16string folder) {
    if (!folder.empty() && std::find(folders.begin(), folders.end(), folder) == folders.end())
      folders.push_back(std::move(folder));
  };
  std::u16string pluginFolder = io_PluginFolder();
  add(parentOf(os_ExecutablePath()));
  add(pluginFolder);
  if (!pluginFolder.empty()) add(io_JoinPath(pluginFolder, u"Dependencies"));
  char16_t app[os_MaxPath];
  if (env_GetAppFolder(app)) add(io_JoinPath(app, u"Codecs"));
  // The plug-in's own folder, then up to the root.
  for (std::u16string folder = parentOf(plugin_path); !folder.empty(); folder = parentOf(folder)) {
    add(folder);
    if (folder.size() <= 1) break;
  }
  return folders;
}

os_Module *io_LoadPlugin(const char16_t *path) {
  if (path == nullptr || path[0] == 0) return nullptr;
  std::vector<std::u16string> folders = io_DependencyFolders(path);
  return os_ModuleLoadSearching(path, folders.data(), folders.size());
}

void io_DiagnosePluginFile(std::u16string_view plugin_file, int32_t *code, int32_t sub_code, char16_t *text) {
  if (plugin_file.empty() || code == nullptr || text == nullptr) return;
  std::u16string name(plugin_file), path;
  if (!io_LocatePlugin(plugin_file, &path)) {
    *code = -51;
    rewrite(text, u"The required plug-in cannot be found: " + name, true);
    return;
  }
  os_Module *module = io_LoadPlugin(path.c_str());
  if (module == nullptr) {
    *code = -51;
    rewrite(text, u"The required plug-in cannot be loaded: " + name, true);
    return;
  }
  os_ModuleFree(module);
  if (*code != -1) return;
  rewrite(text,
          sub_code == kSubCodeSave ? u"The file extension is recognized but is implemented as read-only"
                                   : u"The file extension is recognized but the contents are not",
          true);
}

void io_DiagnoseExtension(std::u16string_view extension, int32_t *code, int32_t sub_code, char16_t *text) {
  std::u16string_view plugin = io_TablePluginFor(extension);
  if (!plugin.empty()) io_DiagnosePluginFile(plugin, code, sub_code, text);
}
