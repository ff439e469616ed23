// The fault guard: signal handlers for SIGSEGV, SIGBUS, SIGFPE and SIGILL are
// installed at the first guarded call and act only while the faulting thread
// is inside a guard; anywhere else the fault goes on to whatever handler was
// there before. os_FaultGuardRelease puts those handlers back, so that an
// unloaded library leaves no handler pointing into unmapped code.
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <ucontext.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/os.h"

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);
struct sigaction gPrevious[kSignalCount];
std::mutex gInstallLock;
std::atomic<bool> gInstalled{false};

struct GuardFrame {
  sigjmp_buf jump;
  GuardFrame *outer;
};
thread_local GuardFrame *tInnermost = nullptr;
thread_local int tLastSignal = 0;
// The calling thread's stack, so that a stack overflow is told apart from
// an ordinary invalid access and passed on.
thread_local uintptr_t tStackLow = 0;
thread_local uintptr_t tStackHigh = 0;

void passOn(int index, int signal, siginfo_t *info, void *context) {
  const struct sigaction &previous = gPrevious[index];
  if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(signal, info, context);
  } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN && previous.sa_handler != nullptr) {
    previous.sa_handler(signal);
  } else {
    // Default action: restore it; returning re-executes a real fault under
    // it, while a sent signal would not come again and is raised anew.
    ::signal(signal, SIG_DFL);
    if (info == nullptr || info->si_code <= 0) ::raise(signal);
  }
}

bool isStackOverflow(int signal, siginfo_t *info) {
  if (signal != SIGSEGV || tStackLow == 0) return false;
  auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  constexpr uintptr_t kGuardZone = 64 * 1024;
  return address + kGuardZone >= tStackLow && address < tStackLow + kGuardZone;
}

void onFault(int signal, siginfo_t *info, void *context) {
  int index = 0;
  while (index < kSignalCount && kSignals[index] != signal) ++index;
  GuardFrame *frame = tInnermost;
  if (frame == nullptr || index == kSignalCount || isStackOverflow(signal, info)) {
    passOn(index == kSignalCount ? 0 : index, signal, info, context);
    return;
  }
  tInnermost = frame->outer;
  tLastSignal = signal;
  // The jump buffer holds no signal mask (saving it costs a system call on
  // every guarded call): leave with the mask the faulting code ran under.
  // The handler is installed with SA_NODEFER and an empty mask, so this is
  // the mask in force now; setting it again only guards against a handler
  // that chained to ours with more signals blocked.
  if (context != nullptr) pthread_sigmask(SIG_SETMASK, &static_cast<ucontext_t *>(context)->uc_sigmask, nullptr);
  siglongjmp(frame->jump, 1);
}

void installHandlers() {
  std::lock_guard<std::mutex> guard(gInstallLock);
  if (gInstalled.load()) return;
  struct sigaction action {};
  action.sa_sigaction = onFault;
  action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &action, &gPrevious[i]);
  gInstalled.store(true, std::memory_order_release);
}

void recordStackBounds() {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
  void *base = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attributes, &base, &size) == 0) {
    tStackLow = reinterpret_cast<uintptr_t>(base);
    tStackHigh = tStackLow + size;
  }
  pthread_attr_destroy(&attributes);
}

}  // namespace

bool os_GuardedCall(void (*call)(void *context), void *context) {
  if (!gInstalled.load(std::memory_order_acquire)) installHandlers();
  if (tStackHigh == 0) recordStackBounds();
  GuardFrame frame;
  frame.outer = tInnermost;
  if (sigsetjmp(frame.jump, 0) != 0) return false;  // tInnermost was restored by the handler
  tInnermost = &frame;
  call(context);
  tInnermost = frame.outer;
  return true;
}

void os_FaultGuardRelease() {
  std::lock_guard<std::mutex> guard(gInstallLock);
  if (!gInstalled.load()) return;
  for (int i = 0; i < kSignalCount; ++i) {
    // A handler installed after ours is its owner's to manage: leave it.
    struct sigaction current {};
    if (sigaction(kSignals[i], nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) &&
        current.sa_sigaction == onFault)
      sigaction(kSignals[i], &gPrevious[i], nullptr);
  }
  gInstalled.store(false, std::memory_order_release);
}

int os_GuardLastSignal() { return tLastSignal; }
