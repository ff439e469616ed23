#include "imageio/plugin_registry.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "imageio/format_table.h"
#include "imageio/plugin_blacklist.h"
#include "imageio/plugin_files.h"
#include "imageio/state_store_files.h"

namespace {

std::mutex gLock;  // the registries and the plug-in cache
std::unique_ptr<io_RegistryBlock> gRegistries[kRegistryKinds];
os_Module *gCached = nullptr;
std::u16string gCachedPath;

constexpr const char16_t *kKeys[kRegistryKinds] = {u"_$pf.flt_load.5.43.01", u"_$pf.flt_save.5.43.01",
                                                   u"_$pf.flt_xfrm.5.43.01"};

bool isUsed(const io_RegistryEntry &entry) { return entry.extension[0] == u'.'; }

std::u16string_view extensionOf(const io_RegistryEntry &entry) {
  size_t n = 0;
  while (n < kRegistryExtensionChars && entry.extension[n] != 0) ++n;
  return {entry.extension, n};
}

template <size_t N>
void store(char16_t (&field)[N], std::u16string_view text, bool lower) {
  size_t n = text.size() < N ? text.size() : N - 1;
  for (size_t i = 0; i < n; ++i) field[i] = lower ? io_FoldCase(text[i]) : text[i];
  std::fill(field + n, field + N, u'\0');
}

void buildFromTable(io_RegistryBlock *block) {
  std::memset(block, 0, sizeof *block);
  size_t used = 0;
  for (size_t row = 0; row < kFormatRowCount && used < kRegistryEntries; ++row) {
    std::u16string_view text = io_FormatRow(row);
    std::u16string path;
    if (!io_LocatePlugin(io_FormatRowPlugin(text), &path)) path.clear();
    io_RegistryEntry &entry = block->entries[used++];
    entry.age = 0;
    store(entry.extension, io_FormatRowExtension(text), true);
    store(entry.path, path, false);
  }
  block->magic = kRegistryMagic;
}

// Takes a persisted copy into `block` when it has the magic, the full size
// and this hour's stamp. Stored texts are not trusted to be terminated.
bool acceptPersisted(const void *bytes, size_t size, io_RegistryBlock *block) {
  if (bytes == nullptr || size < sizeof *block) return false;
  std::memcpy(block, bytes, sizeof *block);
  if (block->magic != kRegistryMagic || block->hourStamp != io_HourStamp(io_Now100ns())) return false;
  for (io_RegistryEntry &entry : block->entries) {
    entry.extension[kRegistryExtensionChars - 1] = 0;
    entry.path[os_MaxPath - 1] = 0;
  }
  return true;
}

// The registry, on first use filled from its persisted copy of this hour or
// else from the table. The files are read without the lock held; a thread
// that finds the registry filled meanwhile drops its own copy. Null before
// attach. (Reading the persisted copy at first use rather than at attach
// keeps a process that never touches an image out of the data folder.)
io_RegistryBlock *ready(std::unique_lock<std::mutex> &lock, io_RegistryKind kind) {
  io_RegistryBlock *block = gRegistries[kind].get();
  if (block == nullptr || block->magic == kRegistryMagic) return block;
  lock.unlock();
  auto fresh = std::make_unique<io_RegistryBlock>();
  auto stored = std::make_unique<io_RegistryBlock>();
  int32_t got = io_StoreFileGet(kKeys[kind], stored.get(), static_cast<int32_t>(sizeof *stored));
  if (got < 0 || !acceptPersisted(stored.get(), static_cast<size_t>(got), fresh.get())) buildFromTable(fresh.get());
  lock.lock();
  block = gRegistries[kind].get();
  if (block != nullptr && block->magic != kRegistryMagic) *block = *fresh;
  return block;
}

bool validKind(io_RegistryKind kind) { return kind >= 0 && kind < kRegistryKinds; }

}  // namespace

const char16_t *io_RegistryKey(io_RegistryKind kind) { return validKind(kind) ? kKeys[kind] : nullptr; }

bool io_RegistryLookup(io_RegistryKind kind, std::u16string_view extension, std::u16string *path) {
  if (!validKind(kind) || extension.empty() || extension.size() >= kRegistryExtensionChars || path == nullptr)
    return false;
  std::shared_ptr<const std::u16string> blacklist = io_BlacklistText();  // may read a file: not under the lock
  std::unique_lock<std::mutex> lock(gLock);
  io_RegistryBlock *block = ready(lock, kind);
  if (block == nullptr) return false;
  size_t found = kRegistryEntries;
  for (size_t i = 0; i < kRegistryEntries && found == kRegistryEntries; ++i)
    if (isUsed(block->entries[i]) && io_SameIgnoringCase(extensionOf(block->entries[i]), extension)) found = i;
  if (found == kRegistryEntries) return false;
  std::u16string_view remembered(block->entries[found].path);
  if (remembered.empty() || io_BlacklistHas(*blacklist, remembered)) return false;
  for (size_t i = 0; i < kRegistryEntries; ++i) {
    io_RegistryEntry &entry = block->entries[i];
    if (i == found) entry.age = 0;
    else if (!isUsed(entry)) entry.age = kRegistryEmptyAge;
    else if (entry.age < kRegistryEmptyAge) ++entry.age;
  }
  path->assign(remembered);
  return true;
}

void io_RegistryRemember(io_RegistryKind kind, std::u16string_view extension, std::u16string_view path, bool weak) {
  if (!validKind(kind) || extension.size() < 2 || extension[0] != u'.' ||
      extension.size() >= kRegistryExtensionChars || path.empty() || path.size() >= os_MaxPath ||
      io_IsNeverRemembered(extension))
    return;
  std::unique_lock<std::mutex> lock(gLock);
  io_RegistryBlock *block = ready(lock, kind);
  if (block == nullptr) return;
  block->hourStamp = io_HourStamp(io_Now100ns());
  bool known = false;
  for (io_RegistryEntry &entry : block->entries) {
    if (!isUsed(entry) || !io_SameIgnoringCase(extensionOf(entry), extension)) continue;
    known = true;
    if (weak) continue;
    store(entry.path, path, false);
    entry.age = 0;
  }
  if (known) return;
  size_t slot = 0;
  while (slot < kRegistryEntries && isUsed(block->entries[slot])) ++slot;
  if (slot == kRegistryEntries) {
    // The oldest goes; from the top down, so the higher entry wins a tie and entry 0 stays.
    slot = kRegistryEntries - 1;
    for (size_t i = kRegistryEntries - 1; i >= 1; --i)
      if (block->entries[i].age > block->entries[slot].age) slot = i;
  }
  io_RegistryEntry &entry = block->entries[slot];
  entry.age = 0;
  store(entry.extension, extension, true);
  store(entry.path, path, false);
}

bool io_RegistryAcceptPersisted(io_RegistryKind kind, const void *bytes, size_t size) {
  if (!validKind(kind)) return false;
  auto scratch = std::make_unique<io_RegistryBlock>();
  if (!acceptPersisted(bytes, size, scratch.get())) return false;
  std::lock_guard<std::mutex> guard(gLock);
  if (!gRegistries[kind]) return false;
  *gRegistries[kind] = *scratch;
  return true;
}

void io_RegistriesPersist() {
  auto copy = std::make_unique<io_RegistryBlock>();
  for (int kind = 0; kind < kRegistryKinds; ++kind) {
    {
      std::lock_guard<std::mutex> guard(gLock);
      io_RegistryBlock *block = gRegistries[kind].get();
      // A registry never used has nothing worth keeping; a good copy of this hour stays.
      if (block == nullptr || block->magic != kRegistryMagic) continue;
      block->hourStamp = io_HourStamp(io_Now100ns());
      *copy = *block;
    }
    io_StoreFileSet(kKeys[kind], copy.get(), static_cast<int32_t>(sizeof *copy));
  }
}

bool io_RegistriesAttach(const char16_t *plugin_folder) {
  io_SetPluginFolder(plugin_folder);
  std::lock_guard<std::mutex> guard(gLock);
  for (auto &registry : gRegistries)
    if (!registry) registry = std::make_unique<io_RegistryBlock>();
  return true;
}

void io_RegistriesDetach() {
  io_RegistriesPersist();
  io_PluginCacheRelease();
  std::lock_guard<std::mutex> guard(gLock);
  for (auto &registry : gRegistries) registry.reset();
}

bool io_RegistryCopy(io_RegistryKind kind, io_RegistryBlock *out) {
  if (!validKind(kind) || out == nullptr) return false;
  std::lock_guard<std::mutex> guard(gLock);
  if (!gRegistries[kind]) return false;
  *out = *gRegistries[kind];
  return true;
}

void io_PluginCacheKeep(os_Module *module) {
  if (module == nullptr) return;
  std::u16string path = os_ModuleFilePath(module);
  if (path.empty()) return;
  std::lock_guard<std::mutex> guard(gLock);
  if (gCached != nullptr && gCachedPath == path) return;
  if (gCached != nullptr) os_ModuleFree(gCached);
  // An own reference: the pipeline frees its handle afterwards.
  gCached = os_ModuleLoad(path.c_str());
  gCachedPath = gCached != nullptr ? path : std::u16string();
}

void io_PluginCacheRelease() {
  std::lock_guard<std::mutex> guard(gLock);
  if (gCached != nullptr) os_ModuleFree(gCached);
  gCached = nullptr;
  gCachedPath.clear();
}

std::u16string io_PluginCachePath() {
  std::lock_guard<std::mutex> guard(gLock);
  return gCachedPath;
}
