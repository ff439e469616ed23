// Shared helpers of the test suites.
#pragma once

#include <cstddef>
#include <string>

namespace vgmtest {

// A fresh folder below the system's temporary folder, removed with its
// content when the object goes away.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder &) = delete;
  TempFolder &operator=(const TempFolder &) = delete;
  const std::string &path() const { return path_; }
  std::u16string path16() const;
  // path() + "/" + name
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  std::u16string file16(const std::string &name) const;

 private:
  std::string path_;
};

// Sets an environment variable for the lifetime of the object, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const std::string &value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

 private:
  static void set(const char *name, const char *value);  // null: unset
  std::string name_, old_;
  bool had_;
};

// UTF-8 <-> UTF-16 for test text (ASCII and BMP characters).
std::u16string u16(const std::string &text);
std::string u8(const std::u16string &text);

// A file of tests/data.
std::string dataFile(const std::string &name);
// The folder that holds the built library and plug-ins.
std::string binFolder();

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &content);

// Rounds for an iteration-heavy test: a tenth (at least one) when
// VGM_TEST_QUICK is set, as under emulation; every kind of case still runs.
int rounds(int full);

// Whole pages whose access a test sets (for probes of closed memory).
enum class PageAccess { none, read, readWrite };
size_t pageSize();
unsigned char *pagesAllocate(size_t bytes);  // read-write; null on failure
bool pagesProtect(void *at, size_t bytes, PageAccess access);
void pagesFree(void *at, size_t bytes);

}  // namespace vgmtest
