#include "support/test_support.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#  include <windows.h>
#  include <tlhelp32.h>
#else
#  include <dlfcn.h>
#  include <fcntl.h>
#  include <spawn.h>
#  include <sys/mman.h>
#  include <sys/wait.h>
#  include <unistd.h>
extern char **environ;
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

namespace vgmtest {

namespace {
#ifdef _WIN32
// Test paths are UTF-8; Windows opens them through their UTF-16 form.
std::filesystem::path fsPath(const std::string &utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
#else
std::filesystem::path fsPath(const std::string &path) { return path; }
#endif
}  // namespace

// A random name, created only if it did not exist (Windows has no mkdtemp).
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

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::permissions(fsPath(path_), std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(fsPath(path_), ignored);
}

std::string join(const std::string &folder, const std::string &relative) {
  std::string joined = folder + kSeparator + relative;
  std::replace(joined.begin() + static_cast<std::ptrdiff_t>(folder.size()), joined.end(), '/', kSeparator);
  return joined;
}

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
  std::error_code ignored;  // a folder that cannot be made shows as the file missing
  std::filesystem::create_directories(fsPath(path).parent_path(), ignored);
  std::ofstream(fsPath(path), std::ios::binary | std::ios::trunc) << content;
}

// Processes: a child gets a pipe as its standard input (closed to release
// it) and one as its standard output.
namespace {

constexpr char kReadyMark[] = "\x1e" "vgm-child-ready:";

#ifdef _WIN32
struct Spawned {
  HANDLE process = nullptr, input = nullptr, output = nullptr;
  uint32_t pid = 0;
};

bool spawn(const std::string &program, const std::vector<std::string> &arguments, Spawned *spawned) {
  std::u16string line = u"\"" + u16(program) + u"\"";
  for (const std::string &argument : arguments) line += u" \"" + u16(argument) + u"\"";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE childIn = nullptr, childOut = nullptr;
  if (!CreatePipe(&childIn, &spawned->input, &inherit, 0)) return false;
  if (!CreatePipe(&spawned->output, &childOut, &inherit, 0)) return CloseHandle(childIn), false;
  SetHandleInformation(spawned->input, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(spawned->output, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childIn, startup.hStdOutput = childOut, startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  const std::u16string path = u16(program);
  const bool started = CreateProcessW(reinterpret_cast<const wchar_t *>(path.c_str()), reinterpret_cast<wchar_t *>(line.data()),
                                      nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
  CloseHandle(childIn), CloseHandle(childOut);
  if (!started) return CloseHandle(spawned->input), CloseHandle(spawned->output), false;
  CloseHandle(info.hThread);
  spawned->process = info.hProcess, spawned->pid = info.dwProcessId;
  return true;
}
bool readByte(Spawned *spawned, char *byte) {
  DWORD got = 0;
  return ReadFile(spawned->output, byte, 1, &got, nullptr) && got == 1;
}
void closeInput(Spawned *spawned) {
  if (spawned->input != nullptr) CloseHandle(spawned->input), spawned->input = nullptr;
}
int finish(Spawned *spawned) {
  closeInput(spawned);
  DWORD code = 0;
  const bool ended = WaitForSingleObject(spawned->process, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(spawned->process, &code);
  CloseHandle(spawned->process), CloseHandle(spawned->output);
  return ended ? static_cast<int>(code) : -1;
}
std::string ownProgram() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return u8(std::u16string(reinterpret_cast<const char16_t *>(path), length));
}
#else
struct Spawned {
  pid_t pid = -1;
  int input = -1, output = -1;
};

bool spawn(const std::string &program, const std::vector<std::string> &arguments, Spawned *spawned) {
  int in[2], out[2];  // close-on-exec: other children must not keep them open
  if (::pipe2(in, O_CLOEXEC) != 0) return false;
  if (::pipe2(out, O_CLOEXEC) != 0) return ::close(in[0]), ::close(in[1]), false;
  // Under user-mode emulation the kernel cannot start the program itself: its emulator does.
  const char *emulator = std::getenv("VGM_TEST_EMULATOR");
  std::vector<char *> argv;
  if (emulator != nullptr && *emulator != '\0') argv.push_back(const_cast<char *>(emulator));
  argv.push_back(const_cast<char *>(program.c_str()));
  for (const std::string &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  const bool started = posix_spawnp(&spawned->pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]), ::close(out[1]);
  spawned->input = in[1], spawned->output = out[0];
  if (!started) ::close(in[1]), ::close(out[0]);
  return started;
}
bool readByte(Spawned *spawned, char *byte) { return ::read(spawned->output, byte, 1) == 1; }
void closeInput(Spawned *spawned) {
  if (spawned->input >= 0) ::close(spawned->input), spawned->input = -1;
}
int finish(Spawned *spawned) {
  closeInput(spawned);
  int status = 0;
  const bool ended = ::waitpid(spawned->pid, &status, 0) == spawned->pid && WIFEXITED(status);
  ::close(spawned->output);
  return ended ? WEXITSTATUS(status) : -1;
}
std::string ownProgram() { return std::filesystem::read_symlink("/proc/self/exe").string(); }
#endif

std::map<std::string, ChildTask> &childTasks() {
  static std::map<std::string, ChildTask> tasks;
  return tasks;
}

// In a process started by a Child, runs the task before any test and ends.
class ChildTaskRunner : public ::testing::Environment {
  void SetUp() override {
    const char *name = std::getenv("VGM_TEST_CHILD");
    if (name == nullptr || *name == '\0') return;
    const char *argument = std::getenv("VGM_TEST_CHILD_ARG");
    auto found = childTasks().find(name);
    const int code = found == childTasks().end() ? 125 : found->second(argument != nullptr ? argument : "");
    std::fflush(stdout);
    std::_Exit(code);
  }
};

}  // namespace

ProgramResult runProgram(const std::string &program, const std::vector<std::string> &arguments) {
  Spawned spawned;
  ProgramResult result;
  if (!spawn(program, arguments, &spawned)) return result;
  closeInput(&spawned);
  for (char byte; readByte(&spawned, &byte);) result.output += byte;
  result.exitCode = finish(&spawned);
  return result;
}

bool registerChildTask(const char *name, ChildTask task) {
  static ::testing::Environment *runner = ::testing::AddGlobalTestEnvironment(new ChildTaskRunner);
  childTasks()[name] = task;
  return runner != nullptr;
}

void childReady(char byte, int hold_ms) {
  std::fputs(kReadyMark, stdout);
  std::fputc(byte, stdout);
  std::fflush(stdout);
  if (hold_ms >= 0) std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms));
  else std::getchar();  // released when the parent closes our input
}

struct Child::Ends : Spawned {};

// The child runs the current test's program with only that test selected;
// the task runs before the test and ends the process.
Child::Child(const char *name, const std::string &argument) {
  const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
  ScopedEnv task("VGM_TEST_CHILD", name), taskArgument("VGM_TEST_CHILD_ARG", argument);
  auto *ends = new Ends;
  if (!spawn(ownProgram(), {filter}, ends)) {
    delete ends;
    return;
  }
  ends_ = ends, pid = static_cast<uint32_t>(ends->pid);
  // Up to the mark comes the test program's own chatter.
  const std::string mark = kReadyMark;
  std::string seen;
  for (char byte; readByte(ends_, &byte);) {
    if (seen.size() >= mark.size() && seen.compare(seen.size() - mark.size(), mark.size(), mark) == 0) {
      ready = byte;
      break;
    }
    seen += byte;
  }
}

void Child::go() {
  if (ends_ != nullptr) closeInput(ends_);
}

bool Child::release() {
  if (ends_ == nullptr) return false;
  const int code = finish(ends_);
  delete ends_, ends_ = nullptr;
  return code == 0;
}

#ifdef _WIN32
bool moduleLoaded(const std::string &path) {
  const std::u16string name = u16(std::filesystem::path(path).filename().string());
  return GetModuleHandleW(reinterpret_cast<const wchar_t *>(name.c_str())) != nullptr;
}
int childProcessCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  // An ended process can linger in the snapshot for a moment: count those still running.
  for (bool more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ParentProcessID != GetCurrentProcessId()) continue;
    HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
    if (child == nullptr) continue;
    count += WaitForSingleObject(child, 0) == WAIT_TIMEOUT;
    CloseHandle(child);
  }
  CloseHandle(snapshot);
  return count;
}
#else
bool moduleLoaded(const std::string &path) {
  void *handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) ::dlclose(handle);
  return handle != nullptr;
}
int childProcessCount() {
  int count = 0;
  for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
    const std::string line = readFile((entry.path() / "stat").string());
    int parent = 0;
    const size_t end = line.rfind(')');
    count += end != std::string::npos && std::sscanf(line.c_str() + end + 2, "%*c %d", &parent) == 1 && parent == ::getpid();
  }
  return count;
}
#endif

}  // namespace vgmtest
