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
