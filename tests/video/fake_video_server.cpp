// A misbehaving video server for the bridge's failure tests. It follows the
// script in VGM_FAKE_VIDEO; without one it answers every request with
// status 0, and count requests with the number of requests so far.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int gFd = -1;

void sendAll(const void *data, size_t size) {
  if (::send(gFd, data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) _exit(0);
}

void header(uint32_t code, int64_t value, uint32_t payload) {
  uint32_t words[8] = {code | 0x40000000u, 0, static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32),
                       0, 0, 0, payload};
  sendAll(words, sizeof words);
}

[[noreturn]] void hang() { for (;;) pause(); }

}  // namespace

int main(int argc, char **argv) {
  std::string script = std::getenv("VGM_FAKE_VIDEO") != nullptr ? std::getenv("VGM_FAKE_VIDEO") : "";
  if (script == "no_connect" || argc < 2) hang();
  std::string name = std::string("\\\\.\\pipe\\") + argv[1];
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  gFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (::connect(gFd, reinterpret_cast<sockaddr *>(&address), offsetof(sockaddr_un, sun_path) + 1 + name.size()) != 0)
    return 1;
  for (int count = 1;; ++count) {
    uint32_t request[8];
    if (::recv(gFd, request, sizeof request, MSG_WAITALL) != sizeof request) {
      if (script == "ignore_quit") hang();
      return 0;
    }
    std::vector<char> payload(request[7]);
    if (!payload.empty() && ::recv(gFd, payload.data(), payload.size(), MSG_WAITALL) <= 0) return 0;
    uint32_t code = request[0];
    if (code == 1) {
      if (script == "ignore_quit") hang();
      return 0;
    }
    if (script == "silent") continue;
    if (script == "short_header") sendAll(request, 10), _exit(0);
    if (script == "crash_frame" && code == 18) {
      std::vector<uint32_t> frame(5 + 64 * 48, 0);
      frame[0] = frame[2] = 64, frame[1] = frame[3] = 48;
      header(code, 0, static_cast<uint32_t>(frame.size() * 4));
      sendAll(frame.data(), frame.size() * 2);  // half of it
      _exit(3);
    }
    if (script == "late" && count == 1) usleep(700 * 1000);
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
