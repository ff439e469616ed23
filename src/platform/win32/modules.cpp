// Modules on Windows: the system loader, with the critical-error boxes off
// while a module is tried (a missing dependency must fail, not ask), and
// the import tables of PE files read for the dependency search.
#include <cstring>
#include <string_view>

#include "platform/os_memory_probe.h"
#include "platform/win32/win_support.h"

namespace {

constexpr UINT kQuietErrors = SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX;  // 0x8003
constexpr size_t kMaxObjectBytes = 256u << 20;
constexpr int kMaxDependencyDepth = 4;

HMODULE loadQuietly(const wchar_t *name, DWORD flags) {
  UINT previous = SetErrorMode(kQuietErrors);
  HMODULE module = LoadLibraryExW(name, nullptr, flags);
  SetErrorMode(previous);
  return module;
}

std::u16string moduleFileName(HMODULE module) {
  wchar_t buffer[os_MaxPath + 1];
  DWORD length = GetModuleFileNameW(module, buffer, os_MaxPath + 1);
  if (length == 0 || length >= os_MaxPath) return {};  // unknown, or longer than a path may be
  return std::u16string(os_U16(buffer), length);
}

HMODULE moduleHolding(const void *address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &module))
    return nullptr;
  return module;
}

uint32_t readU32(const unsigned char *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t readU16(const unsigned char *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Where the import descriptors of a PE image lie: the headers are read the
// same way in a file and in a loaded image; `toOffset` maps an RVA to an
// offset within `size` bytes (identity for a loaded image).
template <typename ToOffset>
bool importNames(const unsigned char *image, size_t size, ToOffset toOffset, std::vector<std::u16string> *names) {
  auto fits = [&](uint64_t offset, uint64_t bytes) { return offset <= size && bytes <= size - offset; };
  if (!fits(0, 0x40) || image[0] != 'M' || image[1] != 'Z') return false;
  uint32_t pe = readU32(image + 0x3C);
  if (!fits(pe, 24) || std::memcmp(image + pe, "PE\0\0", 4) != 0) return false;
  uint16_t optionalSize = readU16(image + pe + 20);
  const uint64_t optional = uint64_t{pe} + 24;
  if (!fits(optional, optionalSize) || optionalSize < 2) return false;
  uint16_t magic = readU16(image + optional);
  uint64_t countAt = magic == 0x20B ? 108 : magic == 0x10B ? 92 : 0;
  if (countAt == 0 || optionalSize < countAt + 4) return false;
  uint32_t directories = readU32(image + optional + countAt);
  if (directories < 2 || optionalSize < countAt + 4 + 16) return true;  // no import table: needs nothing
  uint32_t importRva = readU32(image + optional + countAt + 4 + 8);
  if (importRva == 0) return true;
  uint64_t entry = 0;
  if (!toOffset(importRva, &entry)) return false;
  for (;; entry += 20) {
    if (!fits(entry, 20)) return false;
    uint32_t nameRva = readU32(image + entry + 12);
    if (nameRva == 0 && readU32(image + entry + 16) == 0) return true;  // the closing empty descriptor
    uint64_t name = 0;
    if (!toOffset(nameRva, &name) || name >= size) return false;
    size_t length = strnlen(reinterpret_cast<const char *>(image + name), size - name);
    if (length == size - name) return false;  // unterminated
    names->push_back(os_Utf8ToUtf16(std::string_view(reinterpret_cast<const char *>(image + name), length)));
  }
}

bool readWhole(const char16_t *path, std::string *bytes) {
  std::wstring name;
  if (!os_SystemPath(path, &name)) return false;
  HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(file, &size) && size.QuadPart > 0 && static_cast<uint64_t>(size.QuadPart) <= kMaxObjectBytes;
  if (ok) {
    bytes->resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    ok = ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &got, nullptr) && got == bytes->size();
  }
  CloseHandle(file);
  return ok;
}

// Loads what `path` imports and the loader cannot find by itself from
// `folders`; each module taken is added to `taken`.
void preloadMissing(const char16_t *path, const std::u16string *folders, size_t folder_count,
                    std::vector<HMODULE> *taken, int depth) {
  std::vector<std::u16string> needed;
  if (depth > kMaxDependencyDepth || !os_ModuleNeededNames(path, &needed)) return;
  for (const std::u16string &name : needed) {
    if (name.find_first_of(u"/\\") != std::u16string::npos || GetModuleHandleW(os_W(name.c_str())) != nullptr)
      continue;
    if (HMODULE module = loadQuietly(os_W(name.c_str()), 0)) {
      taken->push_back(module);
      continue;
    }
    for (size_t i = 0; i < folder_count; ++i) {
      std::u16string candidate = folders[i];
      if (candidate.empty()) continue;
      if (!os_IsPathSeparator(candidate.back())) candidate += os_PathSeparator;
      candidate += name;
      std::wstring full;
      if (!os_SystemPath(candidate.c_str(), &full) || !os_FileExists(candidate.c_str())) continue;
      HMODULE module = loadQuietly(full.c_str(), LOAD_WITH_ALTERED_SEARCH_PATH);
      if (module == nullptr) {
        preloadMissing(candidate.c_str(), folders, folder_count, taken, depth + 1);
        module = loadQuietly(full.c_str(), LOAD_WITH_ALTERED_SEARCH_PATH);
      }
      if (module != nullptr) {
        taken->push_back(module);
        break;
      }
    }
  }
}

}  // namespace

os_Module *os_ModuleLoad(const char16_t *path) {
  std::wstring name;
  if (!os_SystemPath(path, &name)) return nullptr;
  // A full path makes the loader look for the module's own dependencies in
  // its folder first.
  HMODULE module = loadQuietly(name.c_str(), LOAD_WITH_ALTERED_SEARCH_PATH);
  if (module == nullptr) os_SetLastError(os_Error::notFound);
  return reinterpret_cast<os_Module *>(module);
}

void *os_ModuleSymbol(os_Module *module, const char *name) {
  if (module == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void *>(GetProcAddress(reinterpret_cast<HMODULE>(module), name));
}

void os_ModuleFree(os_Module *module) {
  if (module != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(module));
}

std::u16string os_ModulePathOf(const void *address_in_module) {
  HMODULE module = moduleHolding(address_in_module);
  return module != nullptr ? moduleFileName(module) : std::u16string();
}

std::u16string os_ModuleFilePath(os_Module *module) {
  return module != nullptr ? moduleFileName(reinterpret_cast<HMODULE>(module)) : std::u16string();
}

bool os_SetModuleSearchFolder(const char16_t *folder) {
  std::wstring name;
  if (folder != nullptr && !os_SystemPath(folder, &name)) return false;
  return SetDllDirectoryW(folder != nullptr ? name.c_str() : nullptr) != 0;
}

bool os_ModuleLoadedWithProgram(const void *address_in_module) {
  // The program and what its import tables name, and what theirs name in
  // turn, were loaded with it; a later load is never reached that way.
  HMODULE target = moduleHolding(address_in_module);
  if (target == nullptr) return false;
  std::vector<HMODULE> reached{GetModuleHandleW(nullptr)};
  for (size_t next = 0; next < reached.size(); ++next) {
    HMODULE module = reached[next];
    if (module == target) return true;
    const auto *image = reinterpret_cast<const unsigned char *>(module);
    // A loaded image is laid out by RVA; its size bounds every read.
    auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(image + reinterpret_cast<const IMAGE_DOS_HEADER *>(image)->e_lfanew);
    size_t size = nt->OptionalHeader.SizeOfImage;
    std::vector<std::u16string> names;
    importNames(image, size, [size](uint64_t rva, uint64_t *offset) { return *offset = rva, rva < size; }, &names);
    for (const std::u16string &name : names) {
      HMODULE dependency = GetModuleHandleW(os_W(name.c_str()));
      bool skip = dependency == nullptr;  // named but not loaded (a delay-loaded or missing one)
      for (HMODULE seen : reached) skip = skip || seen == dependency;
      if (!skip) reached.push_back(dependency);
    }
  }
  return false;
}

bool os_ModuleNeededNames(const char16_t *path, std::vector<std::u16string> *names) {
  std::string file;
  if (path == nullptr || names == nullptr || !readWhole(path, &file)) return false;
  return os_ModuleNeededNamesOfImage(file.data(), file.size(), names);
}

bool os_ModuleNeededNamesOfImage(const void *image, size_t size, std::vector<std::u16string> *names) {
  if (image == nullptr || names == nullptr) return false;
  const auto *bytes = static_cast<const unsigned char *>(image);
  names->clear();
  // A file is laid out by sections: an RVA maps to a file offset through the
  // section that holds it.
  auto toOffset = [bytes, size](uint64_t rva, uint64_t *offset) {
    if (size < 0x40) return false;
    uint64_t pe = readU32(bytes + 0x3C);
    if (pe + 24 > size) return false;
    uint64_t sections = pe + 24 + readU16(bytes + pe + 20);
    for (uint32_t i = 0, count = readU16(bytes + pe + 6); i < count; ++i) {
      uint64_t header = sections + uint64_t{i} * 40;
      if (header + 40 > size) return false;
      uint32_t address = readU32(bytes + header + 12), raw = readU32(bytes + header + 16);
      if (rva >= address && rva - address < raw) {
        *offset = readU32(bytes + header + 20) + (rva - address);
        return true;
      }
    }
    return false;
  };
  bool ok = importNames(bytes, size, toOffset, names);
  if (!ok) names->clear();
  return ok;
}

os_Module *os_ModuleLoadSearching(const char16_t *path, const std::u16string *folders, size_t folder_count) {
  if (os_Module *module = os_ModuleLoad(path)) return module;
  std::vector<HMODULE> taken;
  preloadMissing(path, folders, folder_count, &taken, 0);
  os_Module *module = taken.empty() ? nullptr : os_ModuleLoad(path);
  // A loaded module keeps its dependencies by its own references.
  for (HMODULE dependency : taken) FreeLibrary(dependency);
  if (module == nullptr) os_SetLastError(os_Error::notFound);
  return module;
}

bool os_IsExecutable(const void *address) {
  MEMORY_BASIC_INFORMATION region{};
  if (address == nullptr || VirtualQuery(address, &region, sizeof region) != sizeof region) return false;
  constexpr DWORD kExecutable = PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return region.State == MEM_COMMIT && (region.Protect & kExecutable) != 0 && (region.Protect & PAGE_GUARD) == 0;
}

std::u16string os_ExecutablePath() {
  std::u16string path = moduleFileName(nullptr);
  // VGM_APP_DIR moves the program's folder (tests run the suite's helper
  // programs from their own folders); the file name stays the program's.
  std::u16string moved = os_GetEnvironment("VGM_APP_DIR");
  if (!path.empty() && !moved.empty()) {
    while (moved.size() > 1 && os_IsPathSeparator(moved.back())) moved.pop_back();
    size_t cut = path.find_last_of(u"/\\");
    path = moved + os_PathSeparator + path.substr(cut == std::u16string::npos ? 0 : cut + 1);
  }
  return path.size() < os_MaxPath ? path : std::u16string();
}
