// The plug-in registries (loading, saving, transformation): which plug-in
// worked for an extension, aged by use, initialised from the format table,
// persisted between runs for the current clock hour. Plus the plug-in cache,
// which keeps the last successful plug-in loaded. One lock guards all of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/os.h"

enum io_RegistryKind : int { kRegistryLoad = 0, kRegistrySave = 1, kRegistryTransform = 2, kRegistryKinds = 3 };

inline constexpr uint32_t kRegistryMagic = 0x5F247066;  // "fp$_"
inline constexpr size_t kRegistryEntries = 144;
inline constexpr size_t kRegistryExtensionChars = 16;
inline constexpr int64_t kRegistryEmptyAge = 0x7FFFFFFFFFFFFFFF;

struct io_RegistryEntry {
  int64_t age;  // 0 = used last
  char16_t extension[kRegistryExtensionChars];
  char16_t path[os_MaxPath];
};
// Also the persisted form, byte for byte.
struct io_RegistryBlock {
  uint32_t magic;
  uint32_t hourStamp;
  io_RegistryEntry entries[kRegistryEntries];
};
static_assert(sizeof(io_RegistryEntry) == 560);
static_assert(sizeof(io_RegistryBlock) == 80648);

// The state-store key a registry persists under.
const char16_t *io_RegistryKey(io_RegistryKind kind);

// Creates the (empty) registries and takes the plug-in folder; each is
// filled at first use from its persisted copy of this hour, else from the
// table. io_RegistriesDetach persists them and releases the cached plug-in.
bool io_RegistriesAttach(const char16_t *plugin_folder);
void io_RegistriesDetach();

// The remembered plug-in for an extension; false when none, when the
// extension is empty or 16 characters or longer, or when the plug-in is
// blacklisted.
bool io_RegistryLookup(io_RegistryKind kind, std::u16string_view extension, std::u16string *path);
// Remembers a plug-in for an extension. A weak claim never replaces a known
// plug-in. Extensions whose plug-in always comes from the table are ignored.
void io_RegistryRemember(io_RegistryKind kind, std::u16string_view extension, std::u16string_view path, bool weak);
// Persisted copies: store all three, or take one from bytes (accepted only
// with the magic, the full size and this hour's stamp). False when refused.
void io_RegistriesPersist();
bool io_RegistryAcceptPersisted(io_RegistryKind kind, const void *bytes, size_t size);
// A copy of a registry's block, for diagnostics and tests; false before attach.
bool io_RegistryCopy(io_RegistryKind kind, io_RegistryBlock *out);

// The plug-in cache: keeps an own reference to `module` (unless it already
// holds that file); released at detach.
void io_PluginCacheKeep(os_Module *module);
void io_PluginCacheRelease();
std::u16string io_PluginCachePath();

// The cached plug-in as the loads that run it share it: a load borrows it
// instead of loading the file again. Its module is freed once the cache has
// let it go and the last borrower has dropped it.
struct io_CachedPlugin {
  os_Module *module;
  std::u16string path;  // the module's file
  void *loadEntry;      // its flt_LoadImage, or null
  io_CachedPlugin(os_Module *loaded, std::u16string file);
  ~io_CachedPlugin();
  io_CachedPlugin(const io_CachedPlugin &) = delete;
  io_CachedPlugin &operator=(const io_CachedPlugin &) = delete;
};
// The cached plug-in when it is the file at `path`, else null.
std::shared_ptr<io_CachedPlugin> io_PluginCacheBorrow(std::u16string_view path);
// The registry route in one step: io_RegistryLookup, and when the plug-in
// cache holds the remembered file, that plug-in borrowed into `*cached` (its
// path is then its own and `*path` is left as it is); `*cached` null otherwise.
bool io_RegistryLookupBorrow(io_RegistryKind kind, std::u16string_view extension, std::u16string *path,
                             std::shared_ptr<io_CachedPlugin> *cached);
// Keep for a borrowed plug-in that read a file: the cache holds it (again).
void io_PluginCacheKeepBorrowed(const std::shared_ptr<io_CachedPlugin> &plugin);
