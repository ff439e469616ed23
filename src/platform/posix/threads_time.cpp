#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <new>

#include "platform/os.h"

namespace {

uint64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000ull + static_cast<uint64_t>(now.tv_nsec);
}

// A thread's state letter from /proc; 0 when the thread does not exist.
char threadState(uint32_t process_id, uint32_t thread_id) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%u/task/%u/stat", process_id, thread_id);
  FILE *file = std::fopen(path, "r");
  if (file == nullptr) return 0;
  char line[512];
  size_t got = std::fread(line, 1, sizeof line - 1, file);
  std::fclose(file);
  line[got] = 0;
  // The state follows the closing parenthesis of the command name.
  char *close = nullptr;
  for (char *c = line; *c; ++c)
    if (*c == ')') close = c;
  return (close != nullptr && close[1] == ' ') ? close[2] : 0;
}

}  // namespace

// Asked for on every engine call: each thread asks the kernel once. A fork
// leaves one thread in the child, under a new id, so the child forgets it.
static thread_local uint32_t tThreadId = 0;

uint32_t os_ThreadId() {
  if (tThreadId == 0) {
    static const int registered = ::pthread_atfork(nullptr, nullptr, [] { tThreadId = 0; });
    (void)registered;
    tThreadId = static_cast<uint32_t>(::syscall(SYS_gettid));
  }
  return tThreadId;
}

bool os_ThreadIsAlive(uint32_t thread_id) {
  if (thread_id == 0) return false;
  char state = threadState(os_ProcessId(), thread_id);
  return state != 0 && state != 'Z' && state != 'X';
}

uint32_t os_ProcessId() { return static_cast<uint32_t>(::getpid()); }

bool os_ProcessIsAlive(uint32_t process_id) {
  // Beyond the positive range of pid_t a number names no process: kill()
  // would read it as a process group (ffffffff as -1, every process).
  if (process_id == 0 || process_id > static_cast<uint32_t>(INT32_MAX)) return false;
  if (::kill(static_cast<pid_t>(process_id), 0) != 0 && errno == ESRCH) return false;
  char state = threadState(process_id, process_id);
  return state != 'Z' && state != 'X';
}

struct os_Thread {
  pthread_t handle;
  void (*entry)(void *);
  void *context;
  std::atomic<bool> ended{false};
};

namespace {
void *threadMain(void *argument) {
  auto *thread = static_cast<os_Thread *>(argument);
  thread->entry(thread->context);
  thread->ended.store(true, std::memory_order_release);
  return nullptr;
}
}  // namespace

os_Thread *os_ThreadStart(void (*entry)(void *context), void *context, size_t stack_bytes) {
  if (entry == nullptr) return nullptr;
  auto *thread = new (std::nothrow) os_Thread;
  if (thread == nullptr) return nullptr;
  thread->entry = entry;
  thread->context = context;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  if (stack_bytes != 0) {
    size_t minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
    pthread_attr_setstacksize(&attributes, stack_bytes < minimum ? minimum : stack_bytes);
  }
  int failed = pthread_create(&thread->handle, &attributes, threadMain, thread);
  pthread_attr_destroy(&attributes);
  if (failed != 0) {
    delete thread;
    return nullptr;
  }
  return thread;
}

bool os_ThreadHasEnded(os_Thread *thread) {
  return thread == nullptr || thread->ended.load(std::memory_order_acquire);
}

bool os_ThreadWait(os_Thread *thread, uint32_t milliseconds) {
  uint64_t deadline = monotonicNanoseconds() + static_cast<uint64_t>(milliseconds) * 1000000ull;
  while (!os_ThreadHasEnded(thread)) {
    if (monotonicNanoseconds() >= deadline) return false;
    os_Sleep(1);
  }
  return true;
}

void os_ThreadClose(os_Thread *thread) {
  if (thread == nullptr) return;
  if (os_ThreadHasEnded(thread)) {
    pthread_join(thread->handle, nullptr);
    delete thread;
  } else {
    // No safe way to end a POSIX thread from outside: let it run to its end.
    // The record stays with it, since its entry still reads it.
    pthread_detach(thread->handle);
  }
}

void os_Sleep(uint32_t milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  timespec wait{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

uint32_t os_TickCount() { return static_cast<uint32_t>(monotonicNanoseconds() / 1000000ull); }

uint64_t os_HighResCounter() { return monotonicNanoseconds(); }

uint64_t os_HighResFrequency() { return 1000000000ull; }

uint64_t os_UtcNow100ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  constexpr uint64_t kUnixEpochIn100ns = 116444736000000000ull;
  return kUnixEpochIn100ns + static_cast<uint64_t>(now.tv_sec) * 10000000ull +
         static_cast<uint64_t>(now.tv_nsec) / 100;
}
