// vgm-convert on a protected document: the prompt on a pseudo-terminal, and
// the password file for runs without one.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <cstring>

#include "imageio/plugin_fixture.h"
#include "kv5/kv5_doc_writer.h"

class PasswordPrompt : public PluginTest {
 protected:
  std::string bin_ = root_.file("bin"), doc_ = root_.file("p.kv5"), out_ = root_.file("p.pam");
  // The picture as PAM: red, green, blue, alpha.
  const std::string pixels_ = "\x11\x22\x33\xFF\x44\x55\x66\xFF";
  void SetUp() override {
    PluginTest::SetUp();
    fs::create_directories(bin_);
    fs::copy_file(VGM_CONVERT, bin_ + "/vgm-convert");
    fs::copy_file(VGM_LIBRARY, bin_ + "/libvgm_Common.so");
    kv5doc::Flat flat;
    flat.width = 2, flat.chain[0] = 255;
    flat.data = kv5doc::passwordStage(kv5doc::planar({0x112233, 0x445566}, 3), "right", "Your usual one");
    kv5doc::Bytes bytes = kv5doc::writeFlat(flat);
    vgmtest::writeFile(doc_, std::string(bytes.begin(), bytes.end()));
  }
  // Runs `load` on the terminal `tty`, or without any terminal (-1); the exit status.
  pid_t start(int tty, const std::string &extra = "") {
    std::vector<std::string> args = {bin_ + "/vgm-convert", "load", doc_, out_};
    if (!extra.empty()) args.insert(args.end(), {"--password-file", extra});
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
      if (tty >= 0 ? login_tty(tty) != 0 : setsid() < 0) _exit(126);
      execv(argv[0], argv.data());
      _exit(127);
    }
    return child;
  }
  static int status(pid_t child) {
    int status = -1;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // What the program shows on the terminal until `marker`, or to the end
  // for an empty one (10 s at most).
  static std::string until(int master, const std::string &marker) {
    std::string seen;
    pollfd wait{master, POLLIN, 0};
    while ((marker.empty() || seen.find(marker) == std::string::npos) && poll(&wait, 1, 10000) > 0) {
      char chunk[512];
      ssize_t n = read(master, chunk, sizeof chunk);
      if (n <= 0) break;
      seen.append(chunk, static_cast<size_t>(n));
    }
    EXPECT_NE(seen.find(marker), std::string::npos) << seen;
    return seen;
  }
  std::string pam() const { return fs::exists(out_) ? vgmtest::readFile(out_) : ""; }
};

static bool sameSettings(const termios &a, const termios &b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

TEST_F(PasswordPrompt, passwordOnTerminalWrongThenRightAndCancels) {
  const std::string prompt = "Password (Ctrl-D cancels): ";
  // Keys typed at the prompt: the answers, then the expected status.
  const std::pair<std::vector<std::string>, int> runs[] = {{{"wrong\n", "r", "right\n"}, 0}, {{"\x04"}, 3}, {{"\x03"}, 130}};
  for (const auto &[keys, expected] : runs) {
    SCOPED_TRACE(expected);
    int master = -1, tty = -1;
    ASSERT_EQ(openpty(&master, &tty, nullptr, nullptr, nullptr), 0);
    termios before{}, after{};
    tcgetattr(tty, &before);
    pid_t child = start(tty);
    std::string shown = until(master, prompt);
    EXPECT_NE(shown.find("Enter KV5 Password\r\nYour usual one\r\n"), std::string::npos) << shown;
    for (size_t i = 0; i < keys.size(); ++i) {
      if (i > 0) shown += until(master, i == 1 ? "[R]etry / [C]ancel? " : prompt);
      ASSERT_EQ(write(master, keys[i].data(), keys[i].size()), ssize_t(keys[i].size()));
    }
    EXPECT_EQ(status(child), expected);
    tcgetattr(tty, &after);
    EXPECT_TRUE(sameSettings(before, after));
    close(tty);
    shown += until(master, "");
    EXPECT_EQ(shown.find("right"), std::string::npos) << "echoed: " << shown;
    EXPECT_EQ(shown.find("The file is password-protected") != std::string::npos, expected == 3) << shown;
    EXPECT_EQ(pam().size() >= 8 ? pam().substr(pam().size() - 8) : "", expected == 0 ? pixels_ : "");
    EXPECT_FALSE(fs::exists(out_ + ".part"));
    fs::remove(out_);
    close(master);
  }
}

TEST_F(PasswordPrompt, passwordFileWithoutTerminal) {
  vgmtest::writeFile(root_.file("good"), "right\n");
  vgmtest::writeFile(root_.file("bad"), "wrong");
  EXPECT_EQ(status(start(-1, root_.file("good"))), 0);
  EXPECT_EQ(pam().substr(pam().size() - 8), pixels_);
  fs::remove(out_);
  EXPECT_EQ(status(start(-1, root_.file("bad"))), 3);
  EXPECT_EQ(status(start(-1)), 3);  // no terminal: as if cancelled
  EXPECT_EQ(status(start(-1, root_.file("missing"))), 1);
  EXPECT_FALSE(fs::exists(out_));
}
