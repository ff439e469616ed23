#include <atomic>

#include "platform/os.h"

namespace {
std::atomic<int> gCountdown[static_cast<int>(os_FaultKind::count_)];
}

void os_InjectFault(os_FaultKind kind, int count) {
  gCountdown[static_cast<int>(kind)].store(count < 0 ? 0 : count);
}

bool os_FaultDue(os_FaultKind kind) {
  std::atomic<int> &countdown = gCountdown[static_cast<int>(kind)];
  int current = countdown.load(std::memory_order_relaxed);
  while (current > 0) {
    if (countdown.compare_exchange_weak(current, current - 1)) {
      if (current == 1) {
        os_SetLastError(os_Error::injected);
        return true;
      }
      return false;
    }
  }
  return false;
}
