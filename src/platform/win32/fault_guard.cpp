// The fault guard on Windows. Without structured exception blocks in the
// compiler, a vectored exception handler does the catching: each guarded
// call captures its own context first, and a fault inside the call resumes
// there with the frame marked as failed. Guard-page violations (stack growth)
// and stack overflows are left to the system, like every fault outside a
// guard.
#include <atomic>
#include <csignal>
#include <mutex>

#include "platform/win32/win_support.h"

namespace {

struct GuardFrame {
  CONTEXT resume;
  GuardFrame *outer;
  volatile bool faulted;
};

thread_local GuardFrame *tInnermost = nullptr;
thread_local int tLastSignal = 0;
std::mutex gInstallLock;
std::atomic<void *> gHandler{nullptr};

// The signal a POSIX build would have seen, so messages read the same.
int signalOf(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT: return SIGSEGV;
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION: return SIGILL;
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_STACK_CHECK: return SIGFPE;
    default: return 0;  // guard pages, stack overflow, breakpoints, software exceptions
  }
}

LONG WINAPI onException(EXCEPTION_POINTERS *pointers) {
  GuardFrame *frame = tInnermost;
  int signal = signalOf(pointers->ExceptionRecord->ExceptionCode);
  if (frame == nullptr || signal == 0) return EXCEPTION_CONTINUE_SEARCH;
  tInnermost = frame->outer;
  tLastSignal = signal;
  frame->faulted = true;
  *pointers->ContextRecord = frame->resume;
  return EXCEPTION_CONTINUE_EXECUTION;
}

void installHandler() {
  std::lock_guard<std::mutex> guard(gInstallLock);
  if (gHandler.load() == nullptr) gHandler.store(AddVectoredExceptionHandler(1, onException));
}

// Kept out of line so that the frame and its captured context stay in one
// stack frame that outlives the call.
__attribute__((noinline)) bool runGuarded(void (*call)(void *), void *context, GuardFrame *frame) {
  frame->outer = tInnermost;
  frame->faulted = false;
  RtlCaptureContext(&frame->resume);
  if (frame->faulted) return false;  // resumed here by the handler, which restored tInnermost
  tInnermost = frame;
  call(context);
  tInnermost = frame->outer;
  return true;
}

}  // namespace

bool os_GuardedCall(void (*call)(void *context), void *context) {
  if (gHandler.load(std::memory_order_acquire) == nullptr) installHandler();
  GuardFrame frame;
  return runGuarded(call, context, &frame);
}

void os_FaultGuardRelease() {
  std::lock_guard<std::mutex> guard(gInstallLock);
  if (void *handler = gHandler.exchange(nullptr)) RemoveVectoredExceptionHandler(handler);
}

int os_GuardLastSignal() { return tLastSignal; }
