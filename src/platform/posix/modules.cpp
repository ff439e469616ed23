#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <string_view>
#include <vector>

#include "platform/os.h"
#include "platform/posix/native_names.h"

struct os_Module;

os_Module *os_ModuleLoad(const char16_t *path) {
  size_t length = os_Utf16Length(path);
  if (length == 0 || length >= os_MaxPath) {
    os_SetLastError(length == 0 ? os_Error::invalidArgument : os_Error::pathTooLong);
    return nullptr;
  }
  std::string name = os_NativeName(std::u16string_view(path, length));
  void *handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) os_SetLastError(os_Error::notFound);
  return static_cast<os_Module *>(handle);
}

void *os_ModuleSymbol(os_Module *module, const char *name) {
  if (module == nullptr || name == nullptr) return nullptr;
  return ::dlsym(module, name);
}

void os_ModuleFree(os_Module *module) {
  if (module != nullptr) ::dlclose(module);
}

std::u16string os_ModulePathOf(const void *address_in_module) {
  Dl_info info{};
  if (::dladdr(address_in_module, &info) == 0 || info.dli_fname == nullptr) return {};
  std::u16string path = os_NameFromNative(info.dli_fname);
  if (path.size() >= os_MaxPath) return {};
  return path;
}

bool os_SetModuleSearchFolder(const char16_t *folder) {
  // The dynamic linker has no per-process search folder to set; plug-ins
  // find their dependencies through their own run paths instead.
  (void)folder;
  return false;
}

namespace {

struct LoadedObject {
  std::string_view soname;
  std::string_view file;  // base name
  std::vector<std::string_view> needed;
  bool holdsAddress = false;
};

struct Census {
  uintptr_t address;
  std::vector<LoadedObject> objects;
};

std::string_view baseName(std::string_view path) {
  size_t cut = path.rfind('/');
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

int countObject(dl_phdr_info *info, size_t, void *data) {
  auto *census = static_cast<Census *>(data);
  LoadedObject object;
  object.file = baseName(info->dlpi_name != nullptr ? info->dlpi_name : "");
  const ElfW(Dyn) *dynamic = nullptr;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &segment = info->dlpi_phdr[i];
    uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    if (segment.p_type == PT_DYNAMIC) dynamic = reinterpret_cast<const ElfW(Dyn) *>(start);
    if (segment.p_type == PT_LOAD && census->address >= start && census->address - start < segment.p_memsz)
      object.holdsAddress = true;
  }
  uintptr_t strings = 0;
  for (const ElfW(Dyn) *entry = dynamic; entry != nullptr && entry->d_tag != DT_NULL; ++entry)
    if (entry->d_tag == DT_STRTAB) strings = entry->d_un.d_ptr;
  // The loader relocates the table's address in place on most systems, not on all.
  if (strings != 0 && strings < info->dlpi_addr) strings += info->dlpi_addr;
  for (const ElfW(Dyn) *entry = dynamic; strings != 0 && entry->d_tag != DT_NULL; ++entry) {
    const char *text = reinterpret_cast<const char *>(strings + entry->d_un.d_val);
    if (entry->d_tag == DT_NEEDED) object.needed.push_back(baseName(text));
    if (entry->d_tag == DT_SONAME) object.soname = text;
  }
  census->objects.push_back(std::move(object));
  return 0;
}

}  // namespace

bool os_ModuleLoadedWithProgram(const void *address_in_module) {
  // The program comes first in the loader's list; what it needs, and what
  // that needs in turn, was loaded with it. A later load is never reached.
  Census census{reinterpret_cast<uintptr_t>(address_in_module), {}};
  ::dl_iterate_phdr(countObject, &census);
  std::vector<bool> reached(census.objects.size(), false);
  std::vector<size_t> pending;
  if (!census.objects.empty()) reached[0] = true, pending.push_back(0);
  while (!pending.empty()) {
    size_t index = pending.back();
    pending.pop_back();
    if (census.objects[index].holdsAddress) return true;
    for (std::string_view name : census.objects[index].needed) {
      for (size_t k = 0; k < census.objects.size(); ++k) {
        const LoadedObject &other = census.objects[k];
        if (!reached[k] && (other.soname == name || other.file == name)) reached[k] = true, pending.push_back(k);
      }
    }
  }
  return false;
}
