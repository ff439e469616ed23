// The host table of the request record: interfaces by name, the plug-in
// search for libraries, and settings and facts by key.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string_view>

#include "hostenv/config_record.h"
#include "hostenv/folders.h"
#include "hostenv/sysinfo.h"
#include "imageio/host_services.h"
#include "imageio/host_tables.h"
#include "imageio/plugin_files.h"
#include "platform/os.h"
#include "platform/os_memory_probe.h"
#include "raster/colour.h"
#include "raster/thread_state.h"

namespace {

// Keys are short; a longer one cannot match any and is cut harmlessly.
constexpr size_t kKeyUnits = 256;
// Folder and file values are built in a buffer of this many units.
constexpr size_t kValueUnits = 1024;

template <typename Char>
bool readText(const Char *text, size_t max_units, std::basic_string<Char> *out) {
  out->clear();
  if (text == nullptr) return false;
  const uintptr_t page = os_PageSize();
  uintptr_t readableEnd = 0;
  for (size_t i = 0; i < max_units;) {
    uintptr_t at = reinterpret_cast<uintptr_t>(text + i);
    if (at + sizeof(Char) > readableEnd) {
      if (rx_ProbeMemory(text + i, sizeof(Char), false) != 0) {
        out->clear();
        return false;
      }
      readableEnd = (at & ~(page - 1)) + page;
    }
    // The units of the page just probed (at least the one probed, which may
    // end in the next page) are taken in one go, up to a terminator.
    size_t room = std::min<size_t>(max_units - i, std::max<size_t>(1, (readableEnd - at) / sizeof(Char)));
    const Char *end = std::find(text + i, text + i + room, Char{0});
    out->append(text + i, end);
    if (end != text + i + room) break;
    i += room;
  }
  return true;
}

std::atomic<io_ExtendedHandler> gExtended{nullptr};

int32_t askExtended(int32_t kind, const std::u16string &name, void *buffer, int32_t size) {
  io_ExtendedHandler handler = gExtended.load();
  return handler != nullptr ? handler(kind, name.c_str(), buffer, size) : 0;
}

// Stores a UTF-16 value with its terminator: bytes stored, or minus the
// bytes needed (nothing stored).
int32_t putText(std::u16string_view text, void *buffer, int32_t size) {
  int32_t needed = static_cast<int32_t>((text.size() + 1) * 2);
  if (size < needed) return -needed;
  std::memcpy(buffer, text.data(), text.size() * 2);
  std::memset(static_cast<char *>(buffer) + text.size() * 2, 0, 2);
  return needed;
}

// A folder or file value; 0 when it cannot be determined.
int32_t putFolder(int built, const char16_t *value, void *buffer, int32_t size) {
  if (!built || value[0] == 0) return 0;
  return putText(value, buffer, size);
}

int32_t putPluginFolder(bool dependencies, void *buffer, int32_t size) {
  std::u16string folder = io_PluginFolder();
  if (folder.empty()) {
    char16_t found[os_MaxPath];
    if (!env_GetPluginFolder(found, os_MaxPath, nullptr)) return 0;
    folder = found;
  }
  if (dependencies) folder += std::u16string(1, os_PathSeparator) + u"Dependencies";
  if (folder.size() >= kValueUnits) return 0;
  return putText(folder, buffer, size);
}

int32_t putAuthorName(void *buffer, int32_t size) {
  cfg_Record record;
  cfg_Snapshot(&record);
  char16_t name[kValueUnits] = {};
  size_t length = 0;
  while (length < kCfgTextUnits - 1 && record.author_name[length] != 0) ++length;
  if (length >= 2) {
    std::memcpy(name, record.author_name, length * 2);
  } else if (!cfg_UserName(name, kValueUnits)) {
    return 0;
  }
  return putFolder(1, name, buffer, size);
}

struct CpuKey {
  std::u16string_view key;
  int (*probe)();
};
constexpr CpuKey kCpuKeys[] = {
    {u"cpu.has_MMX", sys_HasMMX},     {u"cpu.has_SSE1", sys_HasSSE1},   {u"cpu.has_SSE2", sys_HasSSE2},
    {u"cpu.has_SSE3", sys_HasSSE3},   {u"cpu.has_sSSE3", sys_HasSSSE3}, {u"cpu.has_SSE41", sys_HasSSE41},
    {u"cpu.has_SSE42", sys_HasSSE42}, {u"cpu.has_AVX1", sys_HasAVX1},   {u"cpu.has_AVX2", sys_HasAVX2},
    {u"cpu.has_POPCNT", sys_HasPOPCNT},
};

int32_t getValue(const std::u16string &key, void *buffer, int32_t size) {
  for (const CpuKey &cpu : kCpuKeys) {
    if (key != cpu.key) continue;
    if (size < 1) return -1;
    *static_cast<uint8_t *>(buffer) = cpu.probe() ? 1 : 0;
    return 1;
  }
  if (key == u"cpu.num_cores" || key == u"cpu.num_threads") {
    if (size < 4) return -4;
    uint32_t count = static_cast<uint32_t>(sys_GetProcessorCount(key == u"cpu.num_cores"));
    std::memcpy(buffer, &count, 4);
    return 4;
  }
  if (key == u"host.name") return putText(kEnvProductFolder, buffer, size);
  if (key == u"host.version") return putText(kEnvPackageVersion, buffer, size);
  char16_t folder[kValueUnits] = {};
  if (key == u"host.temp_dir") return putFolder(env_GetSessionFolder(folder, kValueUnits), folder, buffer, size);
  if (key == u"host.temp_root_dir") return putFolder(env_GetTempRoot(folder, kValueUnits), folder, buffer, size);
  if (key == u"host.docs_dir") return putFolder(env_GetContentFolder(folder, kValueUnits), folder, buffer, size);
  if (key == u"host.plugin_dir") return putPluginFolder(false, buffer, size);
  if (key == u"host.plugin_deps_dir") return putPluginFolder(true, buffer, size);
  if (key == u"icm.cmyk_file") {
    char16_t profile[clr_MaxProfilePath] = {};
    return putFolder(clr_FindCmykProfile(profile) ? 1 : 0, profile, buffer, size);
  }
  if (key == u"config.author_name") return putAuthorName(buffer, size);
  return askExtended(kExtendedValue, key, buffer, size);
}

// A buffer the plug-in cannot have us write counts as none: sizes only.
int32_t usableSize(void *buffer, int32_t size) {
  if (buffer == nullptr || size < 1) return 0;
  return rx_ProbeMemory(buffer, static_cast<size_t>(size), true) == 0 ? size : 0;
}

int32_t VGM_API hostGet(const pi_Host *, const WCHAR *key, void *buffer, int32_t size) {
  std::u16string name;
  if (!io_ReadText16(key, kKeyUnits, &name) || name.empty()) return 0;
  return getValue(name, buffer, usableSize(buffer, size));
}

int32_t VGM_API hostSet(const pi_Host *, const WCHAR *key, const void *data, int32_t size) {
  std::u16string name;
  if (!io_ReadText16(key, kKeyUnits, &name) || name.empty() || size < 0) return -1;
  if (size > 0 && (data == nullptr || rx_ProbeMemory(data, static_cast<size_t>(size), false) != 0)) return -1;
  // Progress is accepted and not kept: the host shows none for plug-ins.
  if (name == u"progress.value") return size < 4 ? -4 : 1;
  if (name == u"progress.string") return 1;
  return 0;
}

int32_t VGM_API hostGetSettableKind(const pi_Host *, const WCHAR *key) {
  std::u16string name;
  if (!io_ReadText16(key, kKeyUnits, &name) || name.empty()) return -1;
  if (name == u"progress.value") return -4;
  return name == u"progress.string" ? 1 : 0;
}

int32_t VGM_API hostIsSettable(const pi_Host *, const WCHAR *key) {
  std::u16string name;
  if (!io_ReadText16(key, kKeyUnits, &name) || name.empty()) return -1;
  return name == u"progress.value" || name == u"progress.string" ? 1 : 0;
}

int32_t VGM_API hostGetBool(const pi_Host *host, const WCHAR *key) {
  uint8_t value[kValueUnits * 2] = {};
  return hostGet(host, key, value, sizeof value) >= 1 ? (value[0] != 0 ? 1 : 0) : -1;
}

int32_t VGM_API hostGetInt(const pi_Host *host, const WCHAR *key, uint32_t nonzero) {
  if (nonzero == 0) return -4;
  int32_t value = 0;
  return hostGet(host, key, &value, 4) >= 1 ? value : 0;
}

int32_t VGM_API hostGetString(const pi_Host *host, const WCHAR *key, WCHAR *buffer, int32_t capacity) {
  if (usableSize(buffer, capacity > 0x3FFFFFFF ? 0 : capacity * 2) == 0) {
    int32_t needed = hostGet(host, key, nullptr, 0);
    return needed < 0 ? -((-needed + 1) / 2) : needed;
  }
  buffer[0] = 0;
  int32_t got = hostGet(host, key, buffer, capacity * 2);
  if (got < 0) {
    buffer[0] = 0;
    return -((-got + 1) / 2);
  }
  if (got == 0) return 0;
  // Units stored, the terminator counted as in the bytes of Get; a value
  // that is no text still leaves the buffer terminated.
  int32_t units = (got + 1) / 2;
  if (units >= capacity)
    buffer[capacity - 1] = 0;
  else if (buffer[units - 1] != 0)
    buffer[units] = 0;
  return units;
}

int32_t VGM_API hostSetString(const pi_Host *host, const WCHAR *key, const WCHAR *text) {
  std::u16string value;
  io_ReadText16(text, kValueUnits * 64, &value);
  return hostSet(host, key, value.c_str(), static_cast<int32_t>((value.size() + 1) * 2));
}

HMODULE VGM_API hostLoadLibrary(const pi_Host *, const WCHAR *module_name) {
  std::u16string name, path;
  if (!io_ReadText16(module_name, os_MaxPath, &name) || name.empty()) return nullptr;
  if (!io_LocatePlugin(name, &path)) return nullptr;
  return reinterpret_cast<HMODULE>(io_LoadPlugin(path.c_str()));
}

const void *VGM_API hostGetInterface(const pi_Host *, const WCHAR *name) {
  std::u16string text;
  if (!io_ReadText16(name, kKeyUnits, &text) || text.empty()) return nullptr;
  if (text == u"pi_StateStore") return io_StateStoreTable();
  if (text == u"pi_MetaMarkup") return io_MetaMarkupTable();
  if (text == u"pi_BasicQuery") return nullptr;
  if (text == u"pi_BasicImage") return io_BasicImageTable();
  if (text == u"pi_BasicColor") return io_BasicColorTable();
  if (text == u"pi_BasicUtils") return io_BasicUtilsTable();
  if (text == u"pi_BasicVideo") return io_BasicVideoTable();
  if (text == u"pi_Forwarding") return io_ForwardingTable();
  // The buffer holds one pointer: 4 bytes where pointers are 4 bytes.
  const void *table = nullptr;
  return askExtended(kExtendedInterface, text, &table, sizeof table) >= 1 ? table : nullptr;
}

std::mutex gOwnPathLock;
std::u16string gOwnPathOverride;

}  // namespace

bool io_ReadText16(const WCHAR *text, size_t max_units, std::u16string *out) {
  return readText(reinterpret_cast<const char16_t *>(text), max_units, out);
}
bool io_ReadText8(const char *text, size_t max_bytes, std::string *out) { return readText(text, max_bytes, out); }

const pi_Host *io_HostTable() {
  // Built once: the same values at every request, so concurrent loads never write it.
  static const pi_Host gHost{PI_HOST_VERSION, 0,         hostGetInterface, hostLoadLibrary, hostGetBool, hostGetSettableKind,
                  hostGetInt,      hostIsSettable, hostGetString, hostSetString,   hostGet,     hostSet};
  return &gHost;
}

io_ExtendedHandler io_SetExtendedHandler(io_ExtendedHandler handler) { return gExtended.exchange(handler); }

int32_t io_DefaultExtendedHandler(int32_t kind, const char16_t *name, void *buffer, int32_t size) {
  if (buffer == nullptr || size < 1) return -1;
  // Only as a value: stored into an interface request it would read as a table.
  std::u16string key;
  if (kind != kExtendedValue || !io_ReadText16(os_W(name), kKeyUnits, &key) || key != u"host.extended_handler.active")
    return 0;
  *static_cast<uint8_t *>(buffer) = 1;
  return 1;
}

void io_InstallDefaultExtendedHandler() { io_SetExtendedHandler(io_DefaultExtendedHandler); }

std::u16string io_OwnModulePath() {
  {
    std::lock_guard<std::mutex> guard(gOwnPathLock);
    if (!gOwnPathOverride.empty()) return gOwnPathOverride;
  }
  return os_ModulePathOf(reinterpret_cast<const void *>(&io_OwnModulePath));
}

void io_SetOwnModulePathForTests(const std::u16string &path) {
  std::lock_guard<std::mutex> guard(gOwnPathLock);
  gOwnPathOverride = path;
}

int32_t io_CallOwnExport(const char *export_name, void (*call)(void *entry, void *context), void *context) {
  std::u16string path = io_OwnModulePath();
  os_Module *module = path.empty() ? nullptr : os_ModuleLoad(path.c_str());
  if (module == nullptr) return 0;
  void *entry = os_ModuleSymbol(module, export_name);
  int32_t outcome = 0;
  if (entry != nullptr) outcome = os_Guard([&] { call(entry, context); }) ? 1 : -1;
  os_ModuleFree(module);
  return outcome;
}
