#include "support/test_support.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#  include <windows.h>
#else
#  include <sys/mman.h>
#  include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace vgmtest {

#ifdef _WIN32
namespace {
// Test paths are UTF-8; Windows opens them through their UTF-16 form.
std::filesystem::path fsPath(const std::string &utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
}  // namespace

// No mkdtemp here: a random name, created only if it did not exist.
TempFolder::TempFolder() {
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto made = std::filesystem::temp_directory_path() / ("vgmtest-" + std::to_string(random()));
    if (std::filesystem::create_directory(made)) {
      const std::u8string name = made.u8string();
      path_.assign(name.begin(), name.end());
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}
#else
namespace {
std::filesystem::path fsPath(const std::string &path) { return path; }
}  // namespace

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vgmtest-XXXXXX").string();
  char *made = mkdtemp(pattern.data());
  if (made == nullptr) throw std::runtime_error("cannot create a temporary folder");
  path_ = made;
}
#endif

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::permissions(fsPath(path_), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(fsPath(path_), ignored);
}

std::u16string TempFolder::path16() const { return u16(path_); }
std::u16string TempFolder::file16(const std::string &name) const { return u16(file(name)); }

ScopedEnv::ScopedEnv(const char *name, const std::string &value) : name_(name) {
  const char *old = std::getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  set(name, value.c_str());
}

ScopedEnv::~ScopedEnv() { set(name_.c_str(), had_ ? old_.c_str() : nullptr); }

#ifdef _WIN32
// _wputenv_s keeps the C runtime's copy and the process's (which the library
// reads) in step; an empty value removes the variable, as an unset does.
void ScopedEnv::set(const char *name, const char *value) {
  const std::u16string wideName = u16(name), wideValue = value ? u16(value) : u"";
  _wputenv_s(reinterpret_cast<const wchar_t *>(wideName.c_str()), reinterpret_cast<const wchar_t *>(wideValue.c_str()));
}
#else
void ScopedEnv::set(const char *name, const char *value) { value ? setenv(name, value, 1) : unsetenv(name); }
#endif

std::u16string u16(const std::string &text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) out += c, i += 1;
    else if ((c & 0xE0) == 0xC0 && i + 1 < text.size()) out += static_cast<char16_t>(((c & 0x1F) << 6) | (text[i + 1] & 0x3F)), i += 2;
    else if (i + 2 < text.size())
      out += static_cast<char16_t>(((c & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F)), i += 3;
    else break;
  }
  return out;
}

std::string u8(const std::u16string &text) {
  std::string out;
  for (char16_t c : text) {
    if (c < 0x80) out += static_cast<char>(c);
    else if (c < 0x800) out += {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    else out += {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
  }
  return out;
}

std::string dataFile(const std::string &name) { return std::string(VGM_TEST_DATA_DIR) + "/" + name; }
std::string binFolder() { return VGM_BIN_DIR; }

int rounds(int full) {
  const char *quick = std::getenv("VGM_TEST_QUICK");
  return quick != nullptr && *quick != '\0' && *quick != '0' ? std::max(1, full / 10) : full;
}

#ifdef _WIN32
size_t pageSize() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}
unsigned char *pagesAllocate(size_t bytes) {
  return static_cast<unsigned char *>(VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}
bool pagesProtect(void *at, size_t bytes, PageAccess access) {
  DWORD old = 0;
  const DWORD modes[] = {PAGE_NOACCESS, PAGE_READONLY, PAGE_READWRITE};
  return VirtualProtect(at, bytes, modes[static_cast<int>(access)], &old) != 0;
}
void pagesFree(void *at, size_t) { VirtualFree(at, 0, MEM_RELEASE); }
#else
size_t pageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }
unsigned char *pagesAllocate(size_t bytes) {
  void *at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return at == MAP_FAILED ? nullptr : static_cast<unsigned char *>(at);
}
bool pagesProtect(void *at, size_t bytes, PageAccess access) {
  const int modes[] = {PROT_NONE, PROT_READ, PROT_READ | PROT_WRITE};
  return mprotect(at, bytes, modes[static_cast<int>(access)]) == 0;
}
void pagesFree(void *at, size_t bytes) { munmap(at, bytes); }
#endif

std::string readFile(const std::string &path) {
  std::ifstream in(fsPath(path), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const std::string &path, const std::string &content) {
  std::ofstream(fsPath(path), std::ios::binary | std::ios::trunc) << content;
}

}  // namespace vgmtest
