#include <sys/mman.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/os.h"
#include "platform/os_memory_probe.h"

size_t os_PageSize() {
  long size = ::sysconf(_SC_PAGESIZE);
  return size > 0 ? static_cast<size_t>(size) : 4096;
}

bool os_IsExecutable(const void *address) {
  if (address == nullptr) return false;
  // The mapping list is the only place that tells executable memory; this is
  // asked for rarely (before calling a notification hook), so reading it is fine.
  FILE *maps = std::fopen("/proc/self/maps", "r");
  if (maps == nullptr) return false;
  auto target = reinterpret_cast<uintptr_t>(address);
  bool executable = false;
  char line[512];
  bool lineStart = true;
  while (std::fgets(line, sizeof line, maps) != nullptr) {
    bool atStart = lineStart;
    lineStart = std::strchr(line, '\n') != nullptr;  // long paths arrive in pieces
    if (!atStart) continue;
    uintptr_t low = 0, high = 0;
    char perms[8] = {};
    if (std::sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %7s", &low, &high, perms) != 3) continue;
    if (target >= low && target < high) {
      executable = perms[2] == 'x';
      break;
    }
  }
  std::fclose(maps);
  return executable;
}

void os_AdviseBulkFill(void *address, size_t length) {
#ifdef MADV_HUGEPAGE
  constexpr uintptr_t kBigPage = uintptr_t{2} << 20;
  if (address == nullptr || length < 2 * kBigPage) return;
  auto first = (reinterpret_cast<uintptr_t>(address) + kBigPage - 1) & ~(kBigPage - 1);
  auto end = (reinterpret_cast<uintptr_t>(address) + length) & ~(kBigPage - 1);
  if (end > first) ::madvise(reinterpret_cast<void *>(first), end - first, MADV_HUGEPAGE);
#else
  (void)address, (void)length;
#endif
}

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
