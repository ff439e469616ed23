// Processes and the video bridge's duplex pipe on Windows: a named pipe in
// byte mode with overlapped transfers, waited for in 50 ms steps until the
// time limit, and cancelled when the limit passes.
#include <atomic>
#include <new>

#include "platform/win32/win_support.h"

struct os_Process {
  HANDLE handle;
  uint32_t id;
};

struct os_Pipe {
  HANDLE handle;
  bool server;     // our end was created by name (not opened as the peer)
  bool connected;
};

namespace {

constexpr DWORD kPipeOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED;  // 0x40080003
constexpr DWORD kPipeBytes = 64 * 1024;
constexpr uint32_t kStep = 50;

uint64_t nowMilliseconds() { return GetTickCount64(); }

// One overlapped operation with its own event, so that a read and a write
// may run at once from two threads.
struct Pending {
  OVERLAPPED overlapped{};
  Pending() { overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
  ~Pending() {
    if (overlapped.hEvent != nullptr) CloseHandle(overlapped.hEvent);
  }
  Pending(const Pending &) = delete;
  Pending &operator=(const Pending &) = delete;

  // Waits for the started operation until `deadline`; on time-out it is
  // cancelled and what it moved before the cancel still counts. True when it
  // completed without error.
  bool finish(HANDLE handle, uint64_t deadline, DWORD *moved) {
    for (;;) {
      uint64_t now = nowMilliseconds();
      if (now >= deadline) break;
      DWORD step = deadline - now < kStep ? static_cast<DWORD>(deadline - now) : kStep;
      if (WaitForSingleObject(overlapped.hEvent, step) == WAIT_OBJECT_0) break;
    }
    if (GetOverlappedResult(handle, &overlapped, moved, FALSE)) return true;
    if (GetLastError() != ERROR_IO_INCOMPLETE) return false;
    CancelIo(handle);
    GetOverlappedResult(handle, &overlapped, moved, TRUE);  // the cancel has to land before the buffer goes
    return false;
  }
};

template <typename Start>
int transfer(os_Pipe *pipe, size_t size, uint32_t milliseconds, size_t *moved, Start start) {
  size_t done = 0;
  int result = 0;
  if (pipe != nullptr && pipe->connected) {
    uint64_t deadline = nowMilliseconds() + milliseconds;
    while (done < size) {
      Pending pending;
      if (pending.overlapped.hEvent == nullptr) break;
      DWORD want = size - done > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size - done);
      DWORD count = 0;
      bool completed = start(pipe->handle, done, want, &count, &pending.overlapped);
      if (!completed && GetLastError() != ERROR_IO_PENDING) break;  // closed by the peer, or broken
      bool ok = completed ? GetOverlappedResult(pipe->handle, &pending.overlapped, &count, FALSE)
                          : pending.finish(pipe->handle, deadline, &count);
      done += count;
      if (!ok || (count == 0 && nowMilliseconds() >= deadline)) break;
    }
    result = done == size ? 1 : 0;
  }
  if (moved != nullptr) *moved = done;
  return result;
}

}  // namespace

os_Process *os_ProcessStart(const char16_t *path, const char16_t *command_line) {
  std::wstring program;
  if (!os_SystemPath(path, &program)) return nullptr;
  // The system may write into the command line: a copy, terminated.
  std::wstring line = command_line != nullptr ? std::wstring(os_W(command_line)) : std::wstring();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &info)) {
    os_FailWin32();
    return nullptr;
  }
  CloseHandle(info.hThread);
  auto *process = new (std::nothrow) os_Process{info.hProcess, info.dwProcessId};
  if (process == nullptr) {
    TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hProcess);
  }
  return process;
}

bool os_ProcessIsRunning(os_Process *process) {
  return process != nullptr && WaitForSingleObject(process->handle, 0) == WAIT_TIMEOUT;
}

void os_ProcessTerminate(os_Process *process) {
  if (process == nullptr || !os_ProcessIsRunning(process)) return;
  TerminateProcess(process->handle, 1);
  WaitForSingleObject(process->handle, INFINITE);
}

void os_ProcessClose(os_Process *process) {
  if (process == nullptr) return;
  os_ProcessTerminate(process);
  CloseHandle(process->handle);
  delete process;
}

uint32_t os_ProcessIdOf(os_Process *process) { return process != nullptr ? process->id : 0; }

bool os_Can64BitHelperRun() {
  if (sizeof(void *) == 8) return true;
  // A 32-bit process on a 64-bit system runs under the 64-bit emulation layer.
  BOOL emulated = FALSE;
  return IsWow64Process(GetCurrentProcess(), &emulated) && emulated;
}

os_Pipe *os_PipeCreate(const char16_t *full_name) {
  if (full_name == nullptr || full_name[0] == 0) return nullptr;
  HANDLE handle = CreateNamedPipeW(os_W(full_name), kPipeOpenMode,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                   kPipeBytes, kPipeBytes, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;  // a taken name fails: first instance only
  auto *pipe = new (std::nothrow) os_Pipe{handle, true, false};
  if (pipe == nullptr) CloseHandle(handle);
  return pipe;
}

int os_PipeAccept(os_Pipe *pipe, uint32_t milliseconds, uint32_t peer_process) {
  if (pipe == nullptr || pipe->handle == INVALID_HANDLE_VALUE) return 0;
  if (pipe->connected) return 1;
  uint64_t deadline = nowMilliseconds() + milliseconds;
  for (;;) {
    Pending pending;
    if (pending.overlapped.hEvent == nullptr) return 0;
    bool connected = ConnectNamedPipe(pipe->handle, &pending.overlapped) != 0;
    DWORD code = connected ? ERROR_PIPE_CONNECTED : GetLastError();
    if (code == ERROR_IO_PENDING) {
      DWORD unused = 0;
      if (!pending.finish(pipe->handle, deadline, &unused)) return 0;
    } else if (code != ERROR_PIPE_CONNECTED) {
      return 0;
    }
    ULONG client = 0;
    if (peer_process == 0 || (GetNamedPipeClientProcessId(pipe->handle, &client) && client == peer_process)) {
      pipe->connected = true;
      return 1;
    }
    DisconnectNamedPipe(pipe->handle);  // somebody else found the name: not ours to serve
    if (nowMilliseconds() >= deadline) return 0;
  }
}

int os_PipeWrite(os_Pipe *pipe, const void *data, size_t size, uint32_t milliseconds, size_t *moved) {
  const auto *bytes = static_cast<const char *>(data);
  return transfer(pipe, size, milliseconds, moved, [bytes](HANDLE handle, size_t at, DWORD want, DWORD *count, OVERLAPPED *o) {
    return WriteFile(handle, bytes + at, want, count, o) != 0;
  });
}

int os_PipeRead(os_Pipe *pipe, void *data, size_t size, uint32_t milliseconds, size_t *moved) {
  auto *bytes = static_cast<char *>(data);
  return transfer(pipe, size, milliseconds, moved, [bytes](HANDLE handle, size_t at, DWORD want, DWORD *count, OVERLAPPED *o) {
    return ReadFile(handle, bytes + at, want, count, o) != 0;
  });
}

void os_PipeShutdown(os_Pipe *pipe) {
  if (pipe == nullptr || !pipe->connected) return;
  pipe->connected = false;
  if (pipe->server) {
    DisconnectNamedPipe(pipe->handle);
  } else {
    // The opened end has no disconnect: closing it is what the peer sees.
    CloseHandle(pipe->handle);
    pipe->handle = INVALID_HANDLE_VALUE;
  }
}

void os_PipeClose(os_Pipe *pipe) {
  if (pipe == nullptr) return;
  if (pipe->handle != INVALID_HANDLE_VALUE) CloseHandle(pipe->handle);
  delete pipe;
}

bool os_PipeCreatePair(os_Pipe **a, os_Pipe **b) {
  if (a == nullptr || b == nullptr) return false;
  *a = *b = nullptr;
  static std::atomic<uint32_t> serial{0};
  wchar_t name[96];
  swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\pipe\\vgm_pair_%lu_%lu", GetCurrentProcessId(),
           static_cast<unsigned long>(serial.fetch_add(1)));
  os_Pipe *server = os_PipeCreate(os_U16(name));
  if (server == nullptr) return false;
  HANDLE peer = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  auto *client = peer != INVALID_HANDLE_VALUE ? new (std::nothrow) os_Pipe{peer, false, true} : nullptr;
  if (client == nullptr || !os_PipeAccept(server, 0, 0)) {
    if (client == nullptr && peer != INVALID_HANDLE_VALUE) CloseHandle(peer);
    os_PipeClose(client);
    os_PipeClose(server);
    return false;
  }
  *a = server;
  *b = client;
  return true;
}
