// vgm-convert on a protected document: the prompt on a pseudo-terminal, and the password file for runs without one.
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
  std::string bin_ = root_.file("vgm-convert"), doc_ = root_.file("p.kv5"), out_ = root_.file("p.pam");
  void SetUp() override {
    PluginTest::SetUp();
    fs::copy_file(VGM_CONVERT, bin_);
    fs::copy_file(VGM_LIBRARY, root_.file("libvgm_Common.so"));
    kv5doc::Flat flat;
    flat.width = 2, flat.chain[0] = 255;
    flat.data = kv5doc::passwordStage(kv5doc::planar({0x112233, 0x445566}, 3), "right", "Your usual one");
    kv5doc::Bytes bytes = kv5doc::writeFlat(flat);
    vgmtest::writeFile(doc_, std::string(bytes.begin(), bytes.end()));
  }
  // Starts `load` on the terminal `tty`, or in a session without one (-1).
  pid_t start(int tty, const std::string &file = "") {
    const char *password = file.empty() ? nullptr : file.c_str();
    pid_t child = fork();
    if (child == 0) {
      if (tty >= 0 ? login_tty(tty) != 0 : setsid() < 0) _exit(126);
      execl(bin_.c_str(), "vgm-convert", "load", doc_.c_str(), out_.c_str(), password ? "--password-file" : nullptr,
            password, nullptr);
      _exit(127);
    }
    return child;
  }
  static int status(pid_t child) {
    int status = -1;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // The terminal's output up to `marker`, or to the end for "" (10 s at most).
  static std::string until(int master, const std::string &marker) {
    std::string seen;
    pollfd wait{master, POLLIN, 0};
    char chunk[512];
    ssize_t n = 1;
    while ((marker.empty() || seen.find(marker) == std::string::npos) && poll(&wait, 1, 10000) > 0 &&
           (n = read(master, chunk, sizeof chunk)) > 0)
      seen.append(chunk, static_cast<size_t>(n));
    EXPECT_NE(seen.find(marker), std::string::npos) << seen;
    return seen;
  }
  // The pixels written (red, green, blue, alpha), or "" without output.
  std::string pixels() const {
    std::string pam = fs::exists(out_) ? vgmtest::readFile(out_) : "";
    return pam.substr(pam.size() - std::min<size_t>(pam.size(), 8));
  }
  const std::string picture_ = "\x11\x22\x33\xFF\x44\x55\x66\xFF";
};

TEST_F(PasswordPrompt, passwordOnTerminalWrongThenRightAndCancels) {
  const std::string prompt = "Password (Ctrl-D cancels): ";
  // Keys typed at each question, then the exit status.
  const std::pair<std::vector<std::string>, int> runs[] = {{{"wrong\n", "r", "right\n"}, 0}, {{"\x04"}, 3}, {{"\x03"}, 130}};
  for (const auto &[keys, expected] : runs) {
    SCOPED_TRACE(expected);
    int master = -1, tty = -1;
    termios before{}, after{};
    ASSERT_EQ(openpty(&master, &tty, nullptr, nullptr, nullptr), 0);
    tcgetattr(tty, &before);
    pid_t child = start(tty);
    std::string shown = until(master, "Enter KV5 Password\r\nYour usual one\r\n" + prompt);
    for (size_t i = 0; i < keys.size(); ++i) {
      if (i > 0) shown += until(master, i == 1 ? "[R]etry / [C]ancel? " : prompt);
      ASSERT_EQ(write(master, keys[i].data(), keys[i].size()), ssize_t(keys[i].size()));
    }
    EXPECT_EQ(status(child), expected);
    tcgetattr(tty, &after);
    close(tty);
    shown += until(master, "");
    close(master);
    EXPECT_TRUE(after.c_iflag == before.c_iflag && after.c_oflag == before.c_oflag && after.c_lflag == before.c_lflag &&
                std::memcmp(after.c_cc, before.c_cc, sizeof after.c_cc) == 0);
    EXPECT_EQ(shown.find("right"), std::string::npos) << "echoed: " << shown;
    EXPECT_EQ(shown.find("The file is password-protected") != std::string::npos, expected == 3) << shown;
    EXPECT_EQ(pixels(), expected == 0 ? picture_ : "");
    EXPECT_FALSE(fs::exists(out_ + ".part"));
    fs::remove(out_);
  }
}

TEST_F(PasswordPrompt, passwordFileWithoutTerminal) {
  vgmtest::writeFile(root_.file("good"), "right\n");
  vgmtest::writeFile(root_.file("bad"), "wrong");
  EXPECT_EQ(status(start(-1, root_.file("good"))), 0);
  EXPECT_EQ(pixels(), picture_);
  fs::remove(out_);
  // No terminal is as if cancelled; a missing file is an error.
  EXPECT_EQ(std::tuple(status(start(-1, root_.file("bad"))), status(start(-1)), status(start(-1, root_.file("missing")))),
            std::tuple(3, 3, 1));
  EXPECT_FALSE(fs::exists(out_));
}
