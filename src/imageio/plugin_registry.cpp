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

// What a lookup needs beside the block, so that it touches neither all 144
// entries to age them nor their 560-byte records to compare extensions.
// Ages are kept lazily: every hit advances the registry's clock, and an
// entry's true age is its stored age plus the hits since its stamp (empty
// entries go to the maximum at the first hit). settle() writes the true ages
// back before anything reads or changes the block as a whole.
struct LookupState {
  uint64_t clock = 0;
  uint64_t stamps[kRegistryEntries] = {};
  char16_t folded[kRegistryEntries][kRegistryExtensionChars] = {};  // zero for free entries
  size_t pathLength[kRegistryEntries] = {};  // each entry's path, measured with `folded`
  // The last key asked for and where it was (or was not) found, valid while
  // no extension changes: a run of one type skips even the short scan.
  uint64_t layout = 0;
  uint64_t memoLayout = ~uint64_t{0};
  char16_t memoKey[kRegistryExtensionChars] = {};
  size_t memoFound = kRegistryEntries;
};
LookupState gLookup[kRegistryKinds];
// Detach empties the cache in order. A plug-in still cached when the process
// exits stays loaded: unloading it then could run its teardown against what
// is already gone. (A holder never freed instead would leak at every unload.)
struct PluginCache {
  std::shared_ptr<io_CachedPlugin> plugin;
  ~PluginCache() {
    if (plugin != nullptr) plugin->module = nullptr;
  }
};
PluginCache gCacheHolder;
std::shared_ptr<io_CachedPlugin> &gCache = gCacheHolder.plugin;

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

void foldEntry(LookupState &state, const io_RegistryBlock &block, size_t i) {
  ++state.layout;
  char16_t *out = state.folded[i];
  std::fill(out, out + kRegistryExtensionChars, u'\0');
  const char16_t *path = block.entries[i].path;
  state.pathLength[i] = static_cast<size_t>(std::find(path, path + os_MaxPath, u'\0') - path);
  if (!isUsed(block.entries[i])) return;
  std::u16string_view extension = extensionOf(block.entries[i]);
  for (size_t k = 0; k < extension.size(); ++k) out[k] = io_FoldCase(extension[k]);
}

// After the block was filled or replaced: its ages are current.
void resetLookup(io_RegistryKind kind) {
  LookupState &state = gLookup[kind];
  const io_RegistryBlock &block = *gRegistries[kind];
  for (size_t i = 0; i < kRegistryEntries; ++i) {
    state.stamps[i] = state.clock;
    foldEntry(state, block, i);
  }
}

void settle(io_RegistryKind kind) {
  LookupState &state = gLookup[kind];
  io_RegistryBlock &block = *gRegistries[kind];
  for (size_t i = 0; i < kRegistryEntries; ++i) {
    uint64_t hits = state.clock - state.stamps[i];
    state.stamps[i] = state.clock;
    if (hits == 0) continue;
    int64_t &age = block.entries[i].age;
    if (!isUsed(block.entries[i]) || age >= kRegistryEmptyAge - static_cast<int64_t>(hits)) age = kRegistryEmptyAge;
    else age += static_cast<int64_t>(hits);
  }
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
  if (block != nullptr && block->magic != kRegistryMagic) {
    *block = *fresh;
    resetLookup(kind);
  }
  return block;
}

bool validKind(io_RegistryKind kind) { return kind >= 0 && kind < kRegistryKinds; }

// Paths compare on every load: length first, then the units in one go.
bool samePath(const std::u16string &a, std::u16string_view b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), b.size() * sizeof(char16_t)) == 0;
}

// The cached plug-in when it is the file at `path`; callers hold gLock.
std::shared_ptr<io_CachedPlugin> cachedAt(std::u16string_view path) {
  return gCache != nullptr && samePath(gCache->path, path) ? gCache : nullptr;
}

// The lookup; with `cached`, a cached plug-in for the remembered path is
// borrowed and `*path` left as it is.
bool lookup(io_RegistryKind kind, std::u16string_view extension, std::u16string *path,
            std::shared_ptr<io_CachedPlugin> *cached) {
  if (!validKind(kind) || extension.empty() || extension.size() >= kRegistryExtensionChars || path == nullptr)
    return false;
  std::shared_ptr<const std::u16string> blacklist = io_BlacklistText();  // may read a file: not under the lock
  // A stored extension never holds a NUL, so a key with one matches nothing.
  char16_t key[kRegistryExtensionChars] = {};
  for (size_t k = 0; k < extension.size(); ++k) {
    if (extension[k] == 0) return false;
    key[k] = io_FoldCase(extension[k]);
  }
  std::unique_lock<std::mutex> lock(gLock);
  io_RegistryBlock *block = ready(lock, kind);
  if (block == nullptr) return false;
  LookupState &state = gLookup[kind];
  size_t found = state.memoFound;
  if (state.memoLayout != state.layout || std::memcmp(state.memoKey, key, sizeof key) != 0) {
    found = 0;
    while (found < kRegistryEntries && std::memcmp(state.folded[found], key, sizeof key) != 0) ++found;
    state.memoLayout = state.layout;
    std::memcpy(state.memoKey, key, sizeof key);
    state.memoFound = found;
  }
  if (found == kRegistryEntries) return false;
  std::u16string_view remembered(block->entries[found].path, state.pathLength[found]);
  if (remembered.empty() || io_BlacklistHas(*blacklist, remembered)) return false;
  // The hit is used last; every other entry grows one older (see settle).
  block->entries[found].age = 0;
  state.stamps[found] = ++state.clock;
  if (cached != nullptr && (*cached = cachedAt(remembered)) != nullptr) return true;
  path->assign(remembered);
  return true;
}

}  // namespace

const char16_t *io_RegistryKey(io_RegistryKind kind) { return validKind(kind) ? kKeys[kind] : nullptr; }

bool io_RegistryLookup(io_RegistryKind kind, std::u16string_view extension, std::u16string *path) {
  return lookup(kind, extension, path, nullptr);
}

bool io_RegistryLookupBorrow(io_RegistryKind kind, std::u16string_view extension, std::u16string *path,
                             std::shared_ptr<io_CachedPlugin> *cached) {
  if (cached == nullptr) return false;
  cached->reset();
  return lookup(kind, extension, path, cached);
}

void io_RegistryRemember(io_RegistryKind kind, std::u16string_view extension, std::u16string_view path, bool weak) {
  if (!validKind(kind) || extension.size() < 2 || extension[0] != u'.' ||
      extension.size() >= kRegistryExtensionChars || path.empty() || path.size() >= os_MaxPath ||
      io_IsNeverRemembered(extension))
    return;
  std::unique_lock<std::mutex> lock(gLock);
  io_RegistryBlock *block = ready(lock, kind);
  if (block == nullptr) return;
  settle(kind);
  block->hourStamp = io_HourStamp(io_Now100ns());
  bool known = false;
  for (io_RegistryEntry &entry : block->entries) {
    if (!isUsed(entry) || !io_SameIgnoringCase(extensionOf(entry), extension)) continue;
    known = true;
    if (weak) continue;
    store(entry.path, path, false);
    entry.age = 0;
    foldEntry(gLookup[kind], *block, static_cast<size_t>(&entry - block->entries));
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
  foldEntry(gLookup[kind], *block, slot);
}

bool io_RegistryAcceptPersisted(io_RegistryKind kind, const void *bytes, size_t size) {
  if (!validKind(kind)) return false;
  auto scratch = std::make_unique<io_RegistryBlock>();
  if (!acceptPersisted(bytes, size, scratch.get())) return false;
  std::lock_guard<std::mutex> guard(gLock);
  if (!gRegistries[kind]) return false;
  *gRegistries[kind] = *scratch;
  resetLookup(static_cast<io_RegistryKind>(kind));
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
      settle(static_cast<io_RegistryKind>(kind));
      block->hourStamp = io_HourStamp(io_Now100ns());
      *copy = *block;
    }
    io_StoreFileSet(kKeys[kind], copy.get(), static_cast<int32_t>(sizeof *copy));
  }
}

bool io_RegistriesAttach(const char16_t *plugin_folder) {
  io_SetPluginFolder(plugin_folder);
  std::lock_guard<std::mutex> guard(gLock);
  for (int kind = 0; kind < kRegistryKinds; ++kind) {
    if (gRegistries[kind]) continue;
    gRegistries[kind] = std::make_unique<io_RegistryBlock>();
    resetLookup(static_cast<io_RegistryKind>(kind));
  }
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
  settle(kind);
  *out = *gRegistries[kind];
  return true;
}

io_CachedPlugin::io_CachedPlugin(os_Module *loaded, std::u16string file)
    : module(loaded), path(std::move(file)), loadEntry(os_ModuleSymbol(loaded, "flt_LoadImage")) {}

io_CachedPlugin::~io_CachedPlugin() { os_ModuleFree(module); }

void io_PluginCacheKeep(os_Module *module) {
  if (module == nullptr) return;
  std::u16string path = os_ModuleFilePath(module);
  if (path.empty()) return;
  std::lock_guard<std::mutex> guard(gLock);
  if (gCache != nullptr && samePath(gCache->path, path)) return;
  gCache.reset();  // freed now unless a load still runs it
  // An own reference: the pipeline frees its handle afterwards.
  if (os_Module *own = os_ModuleLoad(path.c_str())) gCache = std::make_shared<io_CachedPlugin>(own, std::move(path));
}

void io_PluginCacheKeepBorrowed(const std::shared_ptr<io_CachedPlugin> &plugin) {
  if (plugin == nullptr) return;
  std::lock_guard<std::mutex> guard(gLock);
  if (gCache == plugin || (gCache != nullptr && samePath(gCache->path, plugin->path))) return;
  gCache = plugin;
}

std::shared_ptr<io_CachedPlugin> io_PluginCacheBorrow(std::u16string_view path) {
  std::lock_guard<std::mutex> guard(gLock);
  return cachedAt(path);
}

void io_PluginCacheRelease() {
  std::lock_guard<std::mutex> guard(gLock);
  gCache.reset();
}

std::u16string io_PluginCachePath() {
  std::lock_guard<std::mutex> guard(gLock);
  return gCache != nullptr ? gCache->path : std::u16string();
}
