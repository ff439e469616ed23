// Session folders of real processes: the clean-up removes those of ended
// processes and leaves the living ones alone.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "hostenv_fixture.h"
#include "platform/os.h"

using vgmtest::u16;

namespace {

std::string sessionName(const char *prefix, uint32_t process) {
  char name[64];
  std::snprintf(name, sizeof name, "%s%08x", prefix, process);
  return name;
}

// A child that stays alive until `release` is called (or the test ends).
struct LiveChild {
  pid_t pid = -1;
  int hold[2] = {-1, -1};
  LiveChild() {
    if (::pipe(hold) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      char byte;
      ::close(hold[1]);
      (void)!::read(hold[0], &byte, 1);
      ::_exit(0);
    }
  }
  void release() {
    if (pid > 0) ::close(hold[1]), ::waitpid(pid, nullptr, 0), pid = -1;
  }
  ~LiveChild() { release(); }
};

using SessionsTest = HostEnvTest;

TEST_F(SessionsTest, CleanUpRemovesOnlyEndedProcesses) {
  // A real child makes its own session folder and ends.
  pid_t ended = ::fork();
  ASSERT_GE(ended, 0);
  if (ended == 0) {
    char16_t folder[os_MaxPath];
    int made = env_GetSessionFolder(folder, os_MaxPath);
    if (made) vgmtest::writeFile(vgmtest::u8(folder) + "/scratch.tmp", "work");
    ::_exit(made == 1 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(ended, &status, 0), ended);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  auto at = [&](const std::string &name) { return tempBase_ + "/" + name; };
  ASSERT_TRUE(fs::exists(at(sessionName("_vgm_sesstmp_", ended)) + "/scratch.tmp"));
  LiveChild live;
  ASSERT_GT(live.pid, 0);
  char16_t own[os_MaxPath];
  ASSERT_EQ(env_GetSessionFolder(own, os_MaxPath), 1);
  std::string outside = root_.file("outside");
  fs::create_directories(outside);
  vgmtest::writeFile(outside + "/keep.txt", "keep");
  fs::create_directory_symlink(outside, at(sessionName("_vgm_sesstmp_y", ended)));
  vgmtest::writeFile(at(sessionName("_kta_sesstmp_x", ended)), "not a folder");
  // Ended processes, and numbers beyond any process identifier: stale.
  const std::string stale[] = {sessionName("_kta_sess_tmp_", ended) + "/deep/er", sessionName("_kta_sesstmp_", ended),
                               "_vgm_sesstmp_ffffffff", "_kta_sesstmp_80000002"};
  // A live process, seven digits, identifier 0: kept whatever they seem to name.
  const std::string kept[] = {sessionName("_vgm_sesstmp_", live.pid), "_vgm_sesstmp_" + sessionName("", ended).substr(1),
                              "_vgm_sesstmp_00000000"};
  for (const std::string &name : stale) fs::create_directories(at(name));
  for (const std::string &name : kept) fs::create_directories(at(name));

  EXPECT_EQ(env_CleanStaleSessions(), 0);
  EXPECT_FALSE(fs::exists(at(sessionName("_vgm_sesstmp_", ended))));
  for (const std::string &name : stale) EXPECT_FALSE(fs::exists(at(name.substr(0, name.find('/'))))) << name;
  for (const std::string &name : kept) EXPECT_TRUE(fs::is_directory(at(name))) << name;
  EXPECT_TRUE(fs::is_directory(vgmtest::u8(own)));
  EXPECT_TRUE(fs::is_regular_file(at(sessionName("_kta_sesstmp_x", ended))));
  EXPECT_TRUE(fs::is_symlink(at(sessionName("_vgm_sesstmp_y", ended))));
  EXPECT_EQ(vgmtest::readFile(outside + "/keep.txt"), "keep");

  // Once the live child has ended, its folder goes too.
  live.release();
  env_GetSessionFolder(nullptr, 0);
  EXPECT_FALSE(fs::exists(at(kept[0])));
  EXPECT_TRUE(fs::is_directory(vgmtest::u8(own)));
}

}  // namespace
