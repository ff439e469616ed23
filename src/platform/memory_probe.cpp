// Probing memory under the fault guard: the same on every platform.
#include <cstdint>

#include "platform/os.h"
#include "platform/os_memory_probe.h"

namespace {

// The touches are written in assembly so that no sanitizer checks the
// address first: a bad address must reach the processor and fault there.
inline void touchByte(const unsigned char *p, bool write) {
#if defined(__x86_64__) || defined(__i386__)
  if (write) {
    asm volatile("lock orb $0, (%0)" : : "r"(p) : "memory", "cc");
  } else {
    unsigned char value;
    asm volatile("movb (%1), %0" : "=q"(value) : "r"(p) : "memory");
    (void)value;
  }
#else
  if (write) {
    __atomic_fetch_or(const_cast<unsigned char *>(p), 0, __ATOMIC_RELAXED);
  } else {
    (void)*static_cast<const volatile unsigned char *>(p);
  }
#endif
}

struct ProbeRange {
  const unsigned char *first;
  size_t length;
  size_t step;
  bool write;
};

void touchRange(void *context) {
  const auto *range = static_cast<const ProbeRange *>(context);
  size_t last = range->length - 1;
  size_t offset = 0;
  for (;;) {
    touchByte(range->first + offset, range->write);
    if (offset == last) break;
    offset = last - offset > range->step ? offset + range->step : last;
  }
}

}  // namespace

bool os_ProbeBytes(const void *address, size_t length, size_t step, bool write) {
  if (length == 0) return true;
  if (address == nullptr) return false;
  if (length - 1 > UINTPTR_MAX - reinterpret_cast<uintptr_t>(address)) return false;  // wraps around
  ProbeRange range{static_cast<const unsigned char *>(address), length, step == 0 ? 1 : step, write};
  return os_GuardedCall(touchRange, &range);
}
