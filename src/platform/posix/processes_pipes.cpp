// Processes and the video bridge's duplex pipe. The pipe is a UNIX-domain
// stream socket in the abstract namespace named by the pipe's full name, so
// a name is held only while its listening end lives and never touches the
// file system.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/os.h"
#include "platform/posix/native_names.h"

extern char **environ;

struct os_Process {
  pid_t pid;
  bool reaped;
};

struct os_Pipe {
  int listener;
  int peer;
};

namespace {

uint64_t nowMilliseconds() { return os_HighResCounter() / (os_HighResFrequency() / 1000); }

// Blank-separated arguments; double quotes group and are dropped.
std::vector<std::string> splitCommandLine(const char16_t *command_line) {
  std::vector<std::string> arguments;
  std::u16string current;
  bool quoted = false, any = false;
  for (const char16_t *p = command_line; p != nullptr && *p != 0; ++p) {
    if (*p == u'"') {
      quoted = !quoted;
      any = true;
    } else if ((*p == u' ' || *p == u'\t') && !quoted) {
      if (any) arguments.push_back(os_NativeName(current));
      current.clear();
      any = false;
    } else {
      current += *p;
      any = true;
    }
  }
  if (any) arguments.push_back(os_NativeName(current));
  return arguments;
}

void closeQuietly(int &fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Waits for `events` on `fd` for at most 50 ms and at most until `deadline`.
bool waitStep(int fd, short events, uint64_t deadline) {
  uint64_t now = nowMilliseconds();
  if (now >= deadline) return false;
  pollfd entry{fd, events, 0};
  int step = static_cast<int>(deadline - now < 50 ? deadline - now : 50);
  return ::poll(&entry, 1, step) >= 0 || errno == EINTR;
}

template <typename Move>
int transfer(os_Pipe *pipe, size_t size, uint32_t milliseconds, size_t *moved, short events, Move move) {
  size_t done = 0;
  int result = 0;
  if (pipe != nullptr && pipe->peer >= 0) {
    uint64_t deadline = nowMilliseconds() + milliseconds;
    while (done < size) {
      ssize_t n = move(pipe->peer, done, size - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        break;  // closed by the peer, or broken
      } else if (!waitStep(pipe->peer, events, deadline)) {
        break;
      }
    }
    result = done == size ? 1 : 0;
  }
  if (moved != nullptr) *moved = done;
  return result;
}

}  // namespace

os_Process *os_ProcessStart(const char16_t *path, const char16_t *command_line) {
  if (path == nullptr || path[0] == 0) return nullptr;
  std::string program = os_NativeName(path);
  std::vector<std::string> arguments = splitCommandLine(command_line);
  std::vector<char *> argv{program.data()};
  for (std::string &argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return nullptr;
  // No handle inheritance: only the standard streams reach the child.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = 0;
  int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return nullptr;
  auto *process = new (std::nothrow) os_Process{pid, false};
  if (process == nullptr) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  return process;
}

bool os_ProcessIsRunning(os_Process *process) {
  if (process == nullptr || process->reaped) return false;
  int status = 0;
  pid_t got = ::waitpid(process->pid, &status, WNOHANG);
  if (got == 0) return true;
  if (got == process->pid || errno == ECHILD) process->reaped = true;
  return !process->reaped;
}

void os_ProcessTerminate(os_Process *process) {
  if (process == nullptr || process->reaped) return;
  ::kill(process->pid, SIGKILL);
  while (::waitpid(process->pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  process->reaped = true;
}

void os_ProcessClose(os_Process *process) {
  if (process == nullptr) return;
  if (os_ProcessIsRunning(process)) os_ProcessTerminate(process);
  delete process;
}

uint32_t os_ProcessIdOf(os_Process *process) { return process != nullptr ? static_cast<uint32_t>(process->pid) : 0; }

bool os_Can64BitHelperRun() { return sizeof(void *) == 8; }

os_Pipe *os_PipeCreate(const char16_t *full_name) {
  std::string name = os_NativeName(full_name != nullptr ? full_name : u"");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (name.empty() || name.size() + 1 > sizeof address.sun_path) return nullptr;
  std::memcpy(address.sun_path + 1, name.data(), name.size());  // leading zero: abstract name
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (::bind(fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(fd, 1) != 0) {
    closeQuietly(fd);  // a taken name fails: first instance only
    return nullptr;
  }
  auto *pipe = new (std::nothrow) os_Pipe{fd, -1};
  if (pipe == nullptr) closeQuietly(fd);
  return pipe;
}

int os_PipeAccept(os_Pipe *pipe, uint32_t milliseconds, uint32_t peer_process) {
  if (pipe == nullptr) return 0;
  if (pipe->peer >= 0) return 1;
  if (pipe->listener < 0) return 0;
  uint64_t deadline = nowMilliseconds() + milliseconds;
  for (;;) {
    int fd = ::accept4(pipe->listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      ucred credentials{};
      socklen_t size = sizeof credentials;
      bool accepted = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0 &&
                      (peer_process == 0 || static_cast<uint32_t>(credentials.pid) == peer_process);
      if (accepted) {
        pipe->peer = fd;
        closeQuietly(pipe->listener);  // one peer only
        return 1;
      }
      closeQuietly(fd);  // somebody else found the name: not ours to serve
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) return 0;
    if (!waitStep(pipe->listener, POLLIN, deadline)) return 0;
  }
}

int os_PipeWrite(os_Pipe *pipe, const void *data, size_t size, uint32_t milliseconds, size_t *moved) {
  const auto *bytes = static_cast<const char *>(data);
  return transfer(pipe, size, milliseconds, moved, POLLOUT, [bytes](int fd, size_t at, size_t left) {
    return ::send(fd, bytes + at, left, MSG_NOSIGNAL | MSG_DONTWAIT);
  });
}

int os_PipeRead(os_Pipe *pipe, void *data, size_t size, uint32_t milliseconds, size_t *moved) {
  auto *bytes = static_cast<char *>(data);
  return transfer(pipe, size, milliseconds, moved, POLLIN, [bytes](int fd, size_t at, size_t left) {
    return ::recv(fd, bytes + at, left, MSG_DONTWAIT);
  });
}

void os_PipeShutdown(os_Pipe *pipe) {
  if (pipe != nullptr && pipe->peer >= 0) ::shutdown(pipe->peer, SHUT_RDWR);
}

void os_PipeClose(os_Pipe *pipe) {
  if (pipe == nullptr) return;
  closeQuietly(pipe->listener);
  closeQuietly(pipe->peer);
  delete pipe;
}

bool os_PipeCreatePair(os_Pipe **a, os_Pipe **b) {
  int fds[2];
  if (a == nullptr || b == nullptr || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
    return false;
  *a = new (std::nothrow) os_Pipe{-1, fds[0]};
  *b = new (std::nothrow) os_Pipe{-1, fds[1]};
  if (*a != nullptr && *b != nullptr) return true;
  if (*a == nullptr) ::close(fds[0]);
  if (*b == nullptr) ::close(fds[1]);
  os_PipeClose(*a);
  os_PipeClose(*b);
  *a = *b = nullptr;
  return false;
}
