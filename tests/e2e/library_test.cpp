// The built library, loaded by path the way a host program loads it.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <tuple>

#include "support/test_support.h"
#include "vgm/vgm_common.h"

namespace {

std::string libraryPath() { return vgmtest::binFolder() + "/libvgm_Common.so"; }

bool isLoaded(const std::string &path) {
  void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

std::u16string sysInfo(void *library) {
  auto call = reinterpret_cast<decltype(&core_GetSysInfoStr)>(dlsym(library, "core_GetSysInfoStr"));
  if (call == nullptr) return u"<missing>";
  char16_t text[4096];
  if (call(text, 4096) != 1) return u"<failed>";
  return text;
}

}  // namespace

TEST(Library, LoadTwiceUnloadOnceKeepsItAlive) {
  const std::string path = libraryPath();
  ASSERT_FALSE(isLoaded(path));
  void *first = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(first, nullptr) << dlerror();
  void *second = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_EQ(first, second);
  std::u16string before = sysInfo(first);
  // The summary matches the machine.
  std::string text = vgmtest::u8(before);
  size_t cores = text.find("\nCores: ");
  ASSERT_NE(cores, std::string::npos) << text;
  EXPECT_EQ(std::stol(text.substr(text.find('/', cores) + 1)), sysconf(_SC_NPROCESSORS_ONLN)) << text;
  for (const char *line : {" \nCores: ", " \nRAM: ", " MB\nOS: ", " \nDisplay: 0x0 \n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " in " << text;
  EXPECT_EQ(text.rfind("CPU: ", 0), 0u);

  ASSERT_EQ(dlclose(first), 0);
  EXPECT_TRUE(isLoaded(path));
  std::u16string after = sysInfo(second);  // still working through the remaining reference
  EXPECT_EQ(after.substr(0, after.find(u"RAM")), before.substr(0, before.find(u"RAM")));

  ASSERT_EQ(dlclose(second), 0);
  EXPECT_FALSE(isLoaded(path));
}

TEST(Library, ExportsOnlyThePublicInterface) {
  void *library = dlopen(libraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  // Every declared function resolves except those still to come; one that appears must leave this list.
  const std::set<std::string> toCome = {};
  std::set<std::string> declared;
  const std::regex declaration(R"(^VGM_EXPORT [^;(]*\b(\w+)\s*\()");
  for (const char *header : {"vgm_common.h", "vgm_compat.h"}) {
    std::ifstream in(std::string(VGM_INCLUDE_DIR) + "/" + header);
    std::smatch m;
    for (std::string line; std::getline(in, line);)
      if (std::regex_search(line, m, declaration)) declared.insert(m[1]);
  }
  ASSERT_GE(declared.size(), 20u);
  for (const std::string &name : toCome) EXPECT_TRUE(declared.count(name)) << name << " is no longer declared";
  for (const std::string &name : declared)
    EXPECT_EQ(dlsym(library, name.c_str()) != nullptr, toCome.count(name) == 0) << name;
  // Internal functions stay hidden.
  for (const char *name : {"frame_ProcessAttach", "_Z19frame_ProcessAttachPKv", "sys_GetProcessorCount",
                           "_Z21sys_GetProcessorCountb", "_Z10os_FileOpenPKDsjj14os_Disposition"})
    EXPECT_EQ(dlsym(library, name), nullptr) << name;

  auto notify = reinterpret_cast<decltype(&core_Notify)>(dlsym(library, "core_Notify"));
  auto dialog = reinterpret_cast<decltype(&core_ShowDialog)>(dlsym(library, "core_ShowDialog"));
  auto sysinfo = reinterpret_cast<decltype(&core_GetSysInfoStr)>(dlsym(library, "core_GetSysInfoStr"));
  for (auto [code, result] : {std::pair{0, 1}, {1, 0}, {-1, 0}}) EXPECT_EQ(notify(code), result) << code;
  for (int number : {0, 4, 5, 112}) EXPECT_EQ(dialog(nullptr, number, 0), -1) << number;
  char16_t tiny[4];
  EXPECT_EQ(std::tuple(sysinfo(nullptr, 100), sysinfo(tiny, 4)), std::tuple(0, 1));  // 3 units: the C client
  EXPECT_EQ(std::u16string(tiny), u"CPU");
  dlclose(library);
}

TEST(Library, ExitWhileLoadedEndsCleanly) {
  // _exit skips the library's exit path; exit() runs it.
  for (bool full : {false, true}) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int code = dlopen(libraryPath().c_str(), RTLD_NOW | RTLD_LOCAL) == nullptr ? 3 : 0;
      full ? std::exit(code) : _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << full << " " << status;
  }
}
