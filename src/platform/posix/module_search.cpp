// Plug-in loading on POSIX. The dynamic linker searches only its own paths
// for a plug-in's libraries; the suite's search sequence (host folder, plug-in
// folder, "Dependencies", "Codecs", ancestors) is reproduced by reading the
// plug-in's needed list and loading what is missing from those folders first.
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/os.h"

namespace {

constexpr size_t kMaxObjectBytes = 256u << 20;
constexpr int kMaxDependencyDepth = 4;

bool readWhole(const char16_t *path, std::string *bytes) {
  std::string name = os_Utf16ToUtf8(path);
  int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat status {};
  bool ok = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0 &&
            static_cast<uint64_t>(status.st_size) <= kMaxObjectBytes;
  if (ok) {
    bytes->resize(static_cast<size_t>(status.st_size));
    size_t got = 0;
    while (got < bytes->size()) {
      ssize_t n = ::pread(fd, bytes->data() + got, bytes->size() - got, static_cast<off_t>(got));
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    ok = got == bytes->size();
  }
  ::close(fd);
  return ok;
}

// Reads records of one ELF class out of the file image, bounds-checked.
template <typename Ehdr, typename Phdr, typename Dyn>
bool neededNames(std::string_view file, std::vector<std::u16string> *names) {
  auto fits = [&](uint64_t offset, uint64_t size) { return offset <= file.size() && size <= file.size() - offset; };
  Ehdr header;
  if (!fits(0, sizeof header)) return false;
  std::memcpy(&header, file.data(), sizeof header);
  if (header.e_phentsize != sizeof(Phdr)) return false;
  std::vector<Phdr> segments(header.e_phnum);
  if (!fits(header.e_phoff, uint64_t{header.e_phnum} * sizeof(Phdr))) return false;
  if (header.e_phnum != 0) std::memcpy(segments.data(), file.data() + header.e_phoff, segments.size() * sizeof(Phdr));
  // Virtual addresses in the dynamic section map to file offsets through the loadable segments.
  auto toOffset = [&](uint64_t address, uint64_t *offset) {
    for (const Phdr &segment : segments) {
      if (segment.p_type == PT_LOAD && address >= segment.p_vaddr && address - segment.p_vaddr < segment.p_filesz) {
        *offset = segment.p_offset + (address - segment.p_vaddr);
        return true;
      }
    }
    return false;
  };
  for (const Phdr &segment : segments) {
    if (segment.p_type != PT_DYNAMIC) continue;
    if (!fits(segment.p_offset, segment.p_filesz)) return false;
    size_t count = segment.p_filesz / sizeof(Dyn);
    std::vector<Dyn> entries(count);
    if (count != 0) std::memcpy(entries.data(), file.data() + segment.p_offset, count * sizeof(Dyn));
    uint64_t table = 0, tableSize = 0;
    bool haveTable = false;
    for (const Dyn &entry : entries) {
      if (entry.d_tag == DT_NULL) break;
      if (entry.d_tag == DT_STRTAB) haveTable = toOffset(entry.d_un.d_ptr, &table);
      if (entry.d_tag == DT_STRSZ) tableSize = entry.d_un.d_val;
    }
    if (!haveTable || !fits(table, tableSize)) return false;
    for (const Dyn &entry : entries) {
      if (entry.d_tag == DT_NULL) break;
      if (entry.d_tag != DT_NEEDED || entry.d_un.d_val >= tableSize) continue;
      const char *start = file.data() + table + entry.d_un.d_val;
      size_t length = ::strnlen(start, tableSize - entry.d_un.d_val);
      if (length == tableSize - entry.d_un.d_val) return false;  // unterminated
      names->push_back(os_Utf8ToUtf16(std::string_view(start, length)));
    }
    return true;
  }
  return true;  // a static object needs nothing
}

bool isLoaded(const std::string &name) {
  void *handle = ::dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  ::dlclose(handle);
  return true;
}

// Loads what `path` needs and the linker cannot find by itself; each handle
// taken is added to `taken` so that the caller can drop it once the module
// holds its own reference.
void preloadMissing(const char16_t *path, const std::u16string *folders, size_t folder_count,
                    std::vector<void *> *taken, int depth) {
  std::vector<std::u16string> needed;
  if (depth > kMaxDependencyDepth || !os_ModuleNeededNames(path, &needed)) return;
  for (const std::u16string &name : needed) {
    std::string plain = os_Utf16ToUtf8(name);
    if (name.find_first_of(u"/\\") != std::u16string::npos || isLoaded(plain)) continue;
    if (void *handle = ::dlopen(plain.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      taken->push_back(handle);
      continue;
    }
    for (size_t i = 0; i < folder_count; ++i) {
      std::u16string candidate = folders[i];
      if (candidate.empty()) continue;
      if (!os_IsPathSeparator(candidate.back())) candidate += os_PathSeparator;
      candidate += name;
      if (candidate.size() >= os_MaxPath || !os_FileExists(candidate.c_str())) continue;
      std::string full = os_Utf16ToUtf8(candidate);
      void *handle = ::dlopen(full.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle == nullptr) {
        preloadMissing(candidate.c_str(), folders, folder_count, taken, depth + 1);
        handle = ::dlopen(full.c_str(), RTLD_NOW | RTLD_LOCAL);
      }
      if (handle != nullptr) {
        taken->push_back(handle);
        break;
      }
    }
  }
}

}  // namespace

bool os_ModuleNeededNames(const char16_t *path, std::vector<std::u16string> *names) {
  std::string file;
  if (path == nullptr || names == nullptr || !readWhole(path, &file)) return false;
  return os_ModuleNeededNamesOfImage(file.data(), file.size(), names);
}

bool os_ModuleNeededNamesOfImage(const void *image, size_t size, std::vector<std::u16string> *names) {
  if (image == nullptr || names == nullptr || size < EI_NIDENT) return false;
  std::string_view file(static_cast<const char *>(image), size);
  const auto *ident = reinterpret_cast<const unsigned char *>(file.data());
  if (std::memcmp(ident, ELFMAG, SELFMAG) != 0 || ident[EI_DATA] != ELFDATA2LSB) return false;
  names->clear();
  bool ok = false;
  if (ident[EI_CLASS] == ELFCLASS64) ok = neededNames<Elf64_Ehdr, Elf64_Phdr, Elf64_Dyn>(file, names);
  if (ident[EI_CLASS] == ELFCLASS32) ok = neededNames<Elf32_Ehdr, Elf32_Phdr, Elf32_Dyn>(file, names);
  if (!ok) names->clear();
  return ok;
}

os_Module *os_ModuleLoadSearching(const char16_t *path, const std::u16string *folders, size_t folder_count) {
  if (os_Module *module = os_ModuleLoad(path)) return module;
  std::vector<void *> taken;
  preloadMissing(path, folders, folder_count, &taken, 0);
  os_Module *module = taken.empty() ? nullptr : os_ModuleLoad(path);
  // A loaded module keeps its libraries by its own references.
  for (void *handle : taken) ::dlclose(handle);
  if (module == nullptr) os_SetLastError(os_Error::notFound);
  return module;
}

std::u16string os_ModuleFilePath(os_Module *module) {
  link_map *map = nullptr;
  if (module == nullptr || ::dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr)
    return {};
  std::u16string path = os_Utf8ToUtf16(map->l_name);
  return path.size() < os_MaxPath ? path : std::u16string();
}
