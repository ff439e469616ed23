#include <dlfcn.h>

#include "platform/os.h"

struct os_Module;

os_Module *os_ModuleLoad(const char16_t *path) {
  size_t length = os_Utf16Length(path);
  if (length == 0 || length >= os_MaxPath) {
    os_SetLastError(length == 0 ? os_Error::invalidArgument : os_Error::pathTooLong);
    return nullptr;
  }
  std::string name = os_Utf16ToUtf8(std::u16string_view(path, length));
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
  std::u16string path = os_Utf8ToUtf16(info.dli_fname);
  if (path.size() >= os_MaxPath) return {};
  return path;
}

bool os_SetModuleSearchFolder(const char16_t *folder) {
  // The dynamic linker has no per-process search folder to set; plug-ins
  // find their dependencies through their own run paths instead.
  (void)folder;
  return false;
}
