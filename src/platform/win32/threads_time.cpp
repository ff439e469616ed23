// Threads, processes and time on Windows.
#include <atomic>
#include <new>

#include "platform/win32/win_support.h"

struct os_Thread {
  HANDLE handle;
  void (*entry)(void *);
  void *context;
};

namespace {

DWORD WINAPI threadMain(void *argument) {
  auto *thread = static_cast<os_Thread *>(argument);
  thread->entry(thread->context);
  return 0;
}

bool signalled(HANDLE handle) { return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0; }

}  // namespace

uint32_t os_ThreadId() { return GetCurrentThreadId(); }

bool os_ThreadIsAlive(uint32_t thread_id) {
  if (thread_id == 0) return false;
  HANDLE thread = OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, thread_id);
  if (thread == nullptr) return false;
  // Only threads of this process count, as ids are reused across processes.
  bool alive = GetProcessIdOfThread(thread) == GetCurrentProcessId() && !signalled(thread);
  CloseHandle(thread);
  return alive;
}

uint32_t os_ProcessId() { return GetCurrentProcessId(); }

bool os_ProcessIsAlive(uint32_t process_id) {
  if (process_id == 0) return false;
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;  // there, but not ours to open
  bool alive = !signalled(process);
  CloseHandle(process);
  return alive;
}

os_Thread *os_ThreadStart(void (*entry)(void *context), void *context, size_t stack_bytes) {
  if (entry == nullptr) return nullptr;
  auto *thread = new (std::nothrow) os_Thread{nullptr, entry, context};
  if (thread == nullptr) return nullptr;
  thread->handle = CreateThread(nullptr, stack_bytes, threadMain, thread, stack_bytes != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0,
                                nullptr);
  if (thread->handle == nullptr) {
    delete thread;
    return nullptr;
  }
  return thread;
}

bool os_ThreadHasEnded(os_Thread *thread) { return thread == nullptr || signalled(thread->handle); }

bool os_ThreadWait(os_Thread *thread, uint32_t milliseconds) {
  return thread == nullptr || WaitForSingleObject(thread->handle, milliseconds) == WAIT_OBJECT_0;
}

void os_ThreadClose(os_Thread *thread) {
  if (thread == nullptr) return;
  if (!signalled(thread->handle)) {
    // Windows can end a thread from outside; its entry no longer reads the
    // record once the thread is gone.
    TerminateThread(thread->handle, 1);
    WaitForSingleObject(thread->handle, INFINITE);
  }
  CloseHandle(thread->handle);
  delete thread;
}

void os_Sleep(uint32_t milliseconds) { Sleep(milliseconds); }

// Milliseconds from the performance counter: the system's tick moves in
// 10-16 ms steps, too coarse for the short waits the library times. It wraps
// at 2^32 ms like the system's.
uint32_t os_TickCount() {
  uint64_t count = os_HighResCounter(), frequency = os_HighResFrequency();
  return static_cast<uint32_t>(count / frequency * 1000 + count % frequency * 1000 / frequency);
}

uint64_t os_HighResCounter() {
  LARGE_INTEGER count{};
  QueryPerformanceCounter(&count);
  return static_cast<uint64_t>(count.QuadPart);
}

uint64_t os_HighResFrequency() {
  LARGE_INTEGER frequency{};
  QueryPerformanceFrequency(&frequency);
  return static_cast<uint64_t>(frequency.QuadPart);
}

uint64_t os_UtcNow100ns() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
}

int32_t os_TimeZoneBiasMinutes() {
  TIME_ZONE_INFORMATION zone{};
  if (GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) return 0;
  return static_cast<int32_t>(zone.Bias + zone.StandardBias);  // standard time, as on POSIX
}
