// Shared helpers of the test suites.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vgmtest {

// The separator the library builds paths with on this platform.
#ifdef _WIN32
inline constexpr char kSeparator = '\\';
#else
inline constexpr char kSeparator = '/';
#endif
// `relative` below `folder`, its separators made the platform's.
std::string join(const std::string &folder, const std::string &relative);

// UTF-8 <-> UTF-16 for test text (ASCII and BMP characters).
std::u16string u16(const std::string &text);
std::string u8(const std::u16string &text);

// A fresh folder below the system's temporary folder, removed with its
// content when the object goes away.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder &) = delete;
  TempFolder &operator=(const TempFolder &) = delete;
  const std::string &path() const { return path_; }
  std::u16string path16() const { return u16(path_); }
  std::string file(const std::string &name) const { return join(path_, name); }
  std::u16string file16(const std::string &name) const { return u16(file(name)); }

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

// A file of tests/data.
std::string dataFile(const std::string &name);
// The folder that holds the built library and plug-ins.
std::string binFolder();

std::string readFile(const std::string &path);
// Makes the folders above `path` as needed.
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

// A program run to its end with these arguments: its exit code (-1 when it
// did not start or did not end normally) and what it wrote to its output.
struct ProgramResult {
  int exitCode = -1;
  std::string output;
};
ProgramResult runProgram(const std::string &program, const std::vector<std::string> &arguments);

// Work for another process: a task of this test program, registered under a
// name with VGM_TEST_CHILD_TASK, started by a Child in the running test.
using ChildTask = int (*)(const std::string &argument);
bool registerChildTask(const char *name, ChildTask task);
#define VGM_TEST_CHILD_TASK(name)                                                   \
  int name##Task(const std::string &argument);                                      \
  const bool name##Registered = vgmtest::registerChildTask(#name, name##Task);      \
  int name##Task([[maybe_unused]] const std::string &argument)
// Inside a task: sends its ready byte, then waits to be released (for
// hold_ms instead when that is not negative).
void childReady(char byte, int hold_ms = -1);

// The task `name` run in a second process of this test program; the
// constructor returns once the task said it is ready.
class Child {
 public:
  explicit Child(const char *name, const std::string &argument = "");
  ~Child() { release(); }
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  // Lets the task go on; release() also waits for it: true when it exited with 0.
  void go();
  bool release();
  char ready = 0;  // its ready byte; 0 when it never sent one
  uint32_t pid = 0;

 private:
  struct Ends;
  Ends *ends_ = nullptr;
};

// Whether the module of that file name is loaded in this process, asked
// without loading it.
bool moduleLoaded(const std::string &path);
// Processes this one started that are still there (on POSIX: unreaped too).
int childProcessCount();

}  // namespace vgmtest
