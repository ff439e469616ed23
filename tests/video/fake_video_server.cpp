// A misbehaving video server for the bridge's failure tests. It follows the
// script in VGM_FAKE_VIDEO; without one it answers every request with
// status 0, and count requests with the number of requests so far. It
// connects to the pipe named in double quotes on its command line: a named
// pipe on Windows, a UNIX-domain socket of that name elsewhere.
#ifdef _WIN32
#  include <windows.h>
#else
#  include <signal.h>
#  include <sys/socket.h>
#  include <sys/un.h>
#  include <unistd.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

#ifdef _WIN32
HANDLE gPipe = INVALID_HANDLE_VALUE;

bool connectTo(const std::string &name) {
  gPipe = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  return gPipe != INVALID_HANDLE_VALUE;
}
bool moveAll(void *data, size_t size, bool write) {
  for (auto *bytes = static_cast<char *>(data); size > 0;) {
    DWORD count = 0;
    if (!(write ? WriteFile(gPipe, bytes, static_cast<DWORD>(size), &count, nullptr)
                : ReadFile(gPipe, bytes, static_cast<DWORD>(size), &count, nullptr)) || count == 0)
      return false;
    bytes += count, size -= count;
  }
  return true;
}
bool receiveAll(void *data, size_t size) { return moveAll(data, size, false); }
void sendAll(const void *data, size_t size) {
  if (!moveAll(const_cast<void *>(data), size, true)) ExitProcess(0);
}
[[noreturn]] void hang() { for (;;) Sleep(INFINITE); }
void pauseMs(int ms) { Sleep(ms); }
// The bridge's command line is only the name in quotes.
std::string pipeName(int, char **) {
  std::string line = GetCommandLineA();
  size_t open = line.find('"'), close = line.find('"', open + 1);
  return close == std::string::npos ? "" : line.substr(open + 1, close - open - 1);
}
#else
int gFd = -1;

bool connectTo(const std::string &name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  gFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  return ::connect(gFd, reinterpret_cast<sockaddr *>(&address), offsetof(sockaddr_un, sun_path) + 1 + name.size()) == 0;
}
bool receiveAll(void *data, size_t size) { return ::recv(gFd, data, size, MSG_WAITALL) == static_cast<ssize_t>(size); }
void sendAll(const void *data, size_t size) {
  if (::send(gFd, data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) _exit(0);
}
[[noreturn]] void hang() { for (;;) pause(); }
void pauseMs(int ms) { usleep(ms * 1000); }
std::string pipeName(int argc, char **argv) { return argc < 2 ? "" : argv[1]; }
#endif

void header(uint32_t code, int64_t value, uint32_t payload) {
  uint32_t words[8] = {code | 0x40000000u, 0, static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32),
                       0, 0, 0, payload};
  sendAll(words, sizeof words);
}

}  // namespace

int main(int argc, char **argv) {
  std::string script = std::getenv("VGM_FAKE_VIDEO") != nullptr ? std::getenv("VGM_FAKE_VIDEO") : "";
  const std::string given = pipeName(argc, argv);
  if (script == "no_connect" || given.empty()) hang();
  if (!connectTo("\\\\.\\pipe\\" + given)) return 1;
  for (int count = 1;; ++count) {
    uint32_t request[8];
    if (!receiveAll(request, sizeof request)) {
      if (script == "ignore_quit") hang();
      return 0;
    }
    std::vector<char> payload(request[7]);
    if (!payload.empty() && !receiveAll(payload.data(), payload.size())) return 0;
    uint32_t code = request[0];
    if (code == 1) {
      if (script == "ignore_quit") hang();
      return 0;
    }
    if (script == "silent") continue;
    if (script == "short_header") sendAll(request, 10), std::exit(0);
    if (script == "crash_frame" && code == 18) {
      std::vector<uint32_t> frame(5 + 64 * 48, 0);
      frame[0] = frame[2] = 64, frame[1] = frame[3] = 48;
      header(code, 0, static_cast<uint32_t>(frame.size() * 4));
      sendAll(frame.data(), frame.size() * 2);  // half of it
      std::exit(3);
    }
    if (script == "late" && count == 1) pauseMs(700);
    if (script == "wrong_code" && count == 1) {
      header(22, 0, 16);  // a text reply to a request never made
      sendAll("sixteen bytes...", 16);
      continue;
    }
    if (script == "huge" && code == 22) {
      header(code, 0, 0x7FFFFFFF);
      continue;
    }
    int64_t value = code == 20 ? count : 0;
    if (code == 16 && script.rfind("status:", 0) == 0) value = std::atoi(script.c_str() + 7);
    header(code, value, 0);
  }
}
