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

// A child that stays alive until `release` is called.
struct LiveChild {
  pid_t pid = -1;
  int hold = -1;
  LiveChild() {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::close(pipeEnds[1]);
      char byte;
      while (::read(pipeEnds[0], &byte, 1) < 0) {
      }
      ::_exit(0);
    }
    ::close(pipeEnds[0]);
    hold = pipeEnds[1];
  }
  void release() {
    if (hold >= 0) ::close(hold), hold = -1;
    if (pid > 0) ::waitpid(pid, nullptr, 0), pid = -1;
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
  std::string endedFolder = tempBase_ + "/" + sessionName("_vgm_sesstmp_", ended);
  ASSERT_TRUE(fs::exists(endedFolder + "/scratch.tmp"));
  fs::create_directories(tempBase_ + "/" + sessionName("_kta_sess_tmp_", ended) + "/deep/er");
  fs::create_directories(tempBase_ + "/" + sessionName("_kta_sesstmp_", ended));

  LiveChild live;
  ASSERT_GT(live.pid, 0);
  std::string liveFolder = tempBase_ + "/" + sessionName("_vgm_sesstmp_", live.pid);
  fs::create_directories(liveFolder);
  char16_t own[os_MaxPath];
  ASSERT_EQ(env_GetSessionFolder(own, os_MaxPath), 1);

  // Names that must survive whatever process they seem to name.
  std::string sevenDigits = tempBase_ + "/_vgm_sesstmp_" + sessionName("", ended).substr(1);
  fs::create_directories(sevenDigits);
  std::string plainFile = tempBase_ + "/" + sessionName("_kta_sesstmp_x", ended);
  vgmtest::writeFile(plainFile, "not a folder");
  std::string outside = root_.file("outside");
  fs::create_directories(outside);
  vgmtest::writeFile(outside + "/keep.txt", "keep");
  std::string link = tempBase_ + "/" + sessionName("_vgm_sesstmp_y", ended);
  fs::create_directory_symlink(outside, link);
  std::string zero = tempBase_ + "/_vgm_sesstmp_00000000";
  fs::create_directories(zero);
  // Numbers beyond any process identifier name no process: stale.
  std::string noProcess = tempBase_ + "/_vgm_sesstmp_ffffffff", noProcess2 = tempBase_ + "/_kta_sesstmp_80000002";
  fs::create_directories(noProcess);
  fs::create_directories(noProcess2);

  EXPECT_EQ(env_CleanStaleSessions(), 0);
  EXPECT_FALSE(fs::exists(endedFolder));
  EXPECT_FALSE(fs::exists(tempBase_ + "/" + sessionName("_kta_sess_tmp_", ended)));
  EXPECT_FALSE(fs::exists(tempBase_ + "/" + sessionName("_kta_sesstmp_", ended)));
  EXPECT_TRUE(fs::is_directory(liveFolder));
  EXPECT_TRUE(fs::is_directory(vgmtest::u8(own)));
  EXPECT_TRUE(fs::is_directory(sevenDigits));
  EXPECT_TRUE(fs::is_regular_file(plainFile));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(vgmtest::readFile(outside + "/keep.txt"), "keep");
  EXPECT_TRUE(fs::is_directory(zero));
  EXPECT_FALSE(fs::exists(noProcess));
  EXPECT_FALSE(fs::exists(noProcess2));

  // Once the live child has ended, its folder goes too.
  live.release();
  env_GetSessionFolder(nullptr, 0);
  EXPECT_FALSE(fs::exists(liveFolder));
  EXPECT_TRUE(fs::is_directory(vgmtest::u8(own)));
}

}  // namespace
