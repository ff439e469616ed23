#include <atomic>

#include "platform/os.h"

namespace {
std::atomic<int> gCountdown[static_cast<int>(os_FaultKind::count_)];
std::atomic<int> gRepeat[static_cast<int>(os_FaultKind::count_)];
}

void os_InjectFault(os_FaultKind kind, int count) { os_InjectFaults(kind, count, 1); }

void os_InjectFaults(os_FaultKind kind, int count, int times) {
  gRepeat[static_cast<int>(kind)].store(times > 1 ? times - 1 : 0);
  gCountdown[static_cast<int>(kind)].store(count < 0 ? 0 : count);
}

bool os_FaultDue(os_FaultKind kind) {
  std::atomic<int> &countdown = gCountdown[static_cast<int>(kind)];
  int current = countdown.load(std::memory_order_relaxed);
  while (current > 0) {
    if (countdown.compare_exchange_weak(current, current - 1)) {
      if (current == 1) {
        std::atomic<int> &repeat = gRepeat[static_cast<int>(kind)];
        int left = repeat.load(std::memory_order_relaxed);
        while (left > 0 && !repeat.compare_exchange_weak(left, left - 1)) {
        }
        if (left > 0) countdown.store(1);
        os_SetLastError(os_Error::injected);
        return true;
      }
      return false;
    }
  }
  return false;
}

bool os_FaultArmed(os_FaultKind kind) { return gCountdown[static_cast<int>(kind)].load() > 0; }
