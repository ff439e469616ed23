#include "password_prompt.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>

#include "vgm/vgm_common.h"

namespace {

constexpr size_t kLine = 256;

struct State {
  bool fromFile = false;
  char password[kLine] = {};  // the password file's first line
} gState;

// Per loading thread: a batch loads several files at once.
struct FileState {
  bool asked = false;    // this file showed a password prompt
  bool refused = false;  // ... and the last one ended without a password
};
thread_local FileState tFile;
// One notice at a time on the terminal.
std::mutex gTerminalLock;

std::string toUtf8(const WCHAR *text) {
  std::string out;
  for (; text != nullptr && *text != 0; ++text) {
    char32_t c = *text;
    if (c >= 0xD800 && c < 0xDC00 && text[1] >= 0xDC00 && text[1] < 0xE000) c = 0x10000 + ((c - 0xD800) << 10) + (*++text - 0xDC00);
    static constexpr unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
    int extra = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    out += static_cast<char>(kLead[extra] | (c >> (6 * extra)));
    for (int k = extra - 1; k >= 0; --k) out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
  }
  return out;
}

// UTF-8 into the caller's buffer, cut to `capacity` - 1 units without
// splitting a character; no copy of the text is made.
void toUtf16(const char *text, size_t length, WCHAR *buffer, size_t capacity) {
  size_t at = 0;
  for (size_t i = 0; i < length;) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char c = byte(i);
    size_t extra = c >= 0xF0 && c < 0xF8 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    bool valid = c < 0x80 || extra > 0;
    for (size_t k = 1; valid && k <= extra; ++k) valid = i + k < length && (byte(i + k) & 0xC0) == 0x80;
    char32_t value = 0xFFFD;
    if (valid) {
      value = extra == 0 ? c : c & (0x3F >> extra);
      for (size_t k = 1; k <= extra; ++k) value = (value << 6) | (byte(i + k) & 0x3F);
    }
    i += valid ? 1 + extra : 1;
    size_t units = value >= 0x10000 ? 2 : 1;
    if (at + units > capacity - 1) break;
    if (units == 2) {
      buffer[at++] = static_cast<WCHAR>(0xD800 + ((value - 0x10000) >> 10));
      buffer[at++] = static_cast<WCHAR>(0xDC00 + ((value - 0x10000) & 0x3FF));
    } else {
      buffer[at++] = static_cast<WCHAR>(value);
    }
  }
  buffer[at] = 0;
}

// The terminal for one question: echo off (and, for a key, no line
// editing) until it is closed; a signal that arrives meanwhile ends the
// question and is passed on once the settings are back.
class Terminal {
 public:
  explicit Terminal(bool oneKey) {
    fd_ = open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd_ >= 0 && tcgetattr(fd_, &saved_) != 0) close(fd_), fd_ = -1;
    if (fd_ < 0) return;
    sigset_t block;
    sigemptyset(&block);
    for (int s : kSignals) sigaddset(&block, s);
    sigprocmask(SIG_BLOCK, &block, &mask_);
    struct sigaction action{};
    action.sa_handler = [](int s) { gSignal = s; };
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &action, &previous_[i]);
    gSignal = 0;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
    if (oneKey) {
      quiet.c_lflag &= ~static_cast<tcflag_t>(ICANON);
      quiet.c_cc[VMIN] = 1, quiet.c_cc[VTIME] = 0;
    }
    ready_ = tcsetattr(fd_, TCSANOW, &quiet) == 0;
  }
  ~Terminal() {
    if (fd_ < 0) return;
    if (ready_) tcsetattr(fd_, TCSANOW, &saved_);
    close(fd_);
    for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &previous_[i], nullptr);
    sigprocmask(SIG_SETMASK, &mask_, nullptr);
    if (gSignal != 0) raise(gSignal);  // Ctrl-C reaches the program's own handling
  }
  bool ready() const { return ready_; }
  void write(const std::string &text) const {
    for (size_t done = 0; done < text.size();) {
      ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }
  // Bytes typed; 0 at the end of input or on a signal.
  size_t read(char *buffer, size_t size) const {
    pollfd wait{fd_, POLLIN, 0};
    while (gSignal == 0) {
      int n = ppoll(&wait, 1, nullptr, &mask_);
      if (n < 0 && errno != EINTR) return 0;
      if (n <= 0) continue;
      ssize_t got = ::read(fd_, buffer, size);
      if (got < 0 && errno == EINTR) continue;
      return got > 0 ? static_cast<size_t>(got) : 0;
    }
    return 0;
  }

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  static inline volatile sig_atomic_t gSignal = 0;
  int fd_ = -1;
  bool ready_ = false;
  termios saved_{};
  sigset_t mask_{};
  struct sigaction previous_[std::size(kSignals)] {};
};

// A password into the notice's buffer: 1, or 0 when none was given.
int32_t askPassword(const VgmNotice *notice) {
  if (gState.fromFile) {
    toUtf16(gState.password, strlen(gState.password), notice->buffer, notice->capacity);
    return 1;
  }
  Terminal terminal(false);
  if (!terminal.ready()) return 0;
  terminal.write("\n" + toUtf8(notice->title) + "\n" + toUtf8(notice->text) + "\nPassword (Ctrl-D cancels): ");
  char line[kLine];
  size_t length = 0;
  bool ended = false;
  while (!ended) {
    char chunk[kLine];
    size_t got = terminal.read(chunk, sizeof chunk);
    if (got == 0) break;  // end of input, or a signal: cancel
    for (size_t i = 0; i < got && !ended; ++i) {
      if (chunk[i] == '\n' || chunk[i] == '\r') ended = true;
      else if (length < sizeof line) line[length++] = chunk[i];
    }
    explicit_bzero(chunk, sizeof chunk);
  }
  terminal.write("\n");
  if (ended) toUtf16(line, length, notice->buffer, notice->capacity);
  explicit_bzero(line, sizeof line);
  return ended ? 1 : 0;
}

// The buttons of each style and the key of each.
struct Choice {
  UINT style;
  const char *labels;
  const char *keys;
  int32_t answers[3];
};
constexpr Choice kChoices[] = {
    {MB_OKCANCEL, "[O]K / [C]ancel", "oc", {IDOK, IDCANCEL}},
    {MB_RETRYCANCEL, "[R]etry / [C]ancel", "rc", {IDRETRY, IDCANCEL}},
    {MB_YESNO, "[Y]es / [N]o", "yn", {IDYES, IDNO}},
    {MB_YESNOCANCEL, "[Y]es / [N]o / [C]ancel", "ync", {IDYES, IDNO, IDCANCEL}},
    {MB_ABORTRETRYIGNORE, "[A]bort / [R]etry / [I]gnore", "ari", {IDABORT, IDRETRY, IDIGNORE}},
};

int32_t safeAnswer(UINT buttons) {
  return buttons == MB_YESNO ? IDNO : buttons == MB_ABORTRETRYIGNORE ? IDABORT : IDCANCEL;
}

// One key picks a button; Enter the first, Esc or the end of input the
// safe one.
int32_t askKey(const Choice &choice) {
  Terminal terminal(true);
  if (!terminal.ready()) return safeAnswer(choice.style);
  terminal.write(std::string(choice.labels) + "? ");
  for (;;) {
    char key;
    if (terminal.read(&key, 1) == 0 || key == 0x1B || key == 0x04) {
      terminal.write("\n");
      return safeAnswer(choice.style);
    }
    if (key == '\n' || key == '\r') key = choice.keys[0];
    for (size_t i = 0; choice.keys[i] != 0; ++i) {
      if ((key | 0x20) == choice.keys[i]) {
        terminal.write(std::string(1, choice.keys[i]) + "\n");
        return choice.answers[i];
      }
    }
  }
}

int32_t onNotice(const VgmNotice *notice, void *) {
  std::lock_guard<std::mutex> guard(gTerminalLock);
  if (notice->kind == VGM_NOTICE_TEXT_INPUT) {
    if (notice->buffer == nullptr || notice->capacity == 0) return 0;
    tFile.asked = true;
    int32_t answer = notice->password ? askPassword(notice) : 0;
    tFile.refused = answer != 1;
    return answer;
  }
  std::fprintf(stderr, "[%s] %s\n", toUtf8(notice->title).c_str(), toUtf8(notice->text).c_str());
  UINT buttons = notice->style & MB_TYPEMASK;
  if (buttons == MB_OK) return IDOK;
  int32_t answer = safeAnswer(buttons);
  // A password that the file refuses is not tried again.
  if (!gState.fromFile) {
    for (const Choice &choice : kChoices)
      if (choice.style == buttons) answer = askKey(choice);
  }
  if (tFile.asked && answer == IDCANCEL) tFile.refused = true;
  return answer;
}

}  // namespace

bool prompt_Install(const char *passwordFile) {
  if (passwordFile != nullptr) {
    FILE *file = std::fopen(passwordFile, "rb");
    if (file == nullptr) {
      std::fprintf(stderr, "vgm-convert: %s: cannot read the password file\n", passwordFile);
      return false;
    }
    setvbuf(file, nullptr, _IONBF, 0);  // no library buffer keeps a copy
    size_t got = std::fread(gState.password, 1, sizeof gState.password - 1, file);
    std::fclose(file);
    gState.password[got] = 0;
    gState.password[strcspn(gState.password, "\r\n")] = 0;
    gState.fromFile = true;
  }
  core_SetNoticeHandler(onNotice, nullptr);
  return true;
}

void prompt_Release() {
  core_SetNoticeHandler(nullptr, nullptr);
  explicit_bzero(gState.password, sizeof gState.password);
}

void prompt_BeginFile() { tFile = FileState{}; }

bool prompt_PasswordRefused() { return tFile.asked && tFile.refused; }
