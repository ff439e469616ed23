#include <link.h>
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

namespace {

// Permissions column of the mapping that holds `address` ("r-xp"), or false
// when no mapping holds it or the list cannot be read.
bool mappingPerms(FILE *maps, uintptr_t address, char (&perms)[8]) {
  std::rewind(maps);
  char line[512];
  bool lineStart = true;
  while (std::fgets(line, sizeof line, maps) != nullptr) {
    bool atStart = lineStart;
    lineStart = std::strchr(line, '\n') != nullptr;  // long paths arrive in pieces
    if (!atStart) continue;
    uintptr_t low = 0, high = 0;
    if (std::sscanf(line, "%" SCNxPTR "-%" SCNxPTR " %7s", &low, &high, perms) != 3) continue;
    if (address >= low && address < high) return true;
  }
  return false;
}

// True when `address` lies in a loadable segment marked executable of an
// object the dynamic loader has mapped (the program, the library, plug-ins).
bool inExecutableSegment(uintptr_t address) {
  auto visit = [](dl_phdr_info *info, size_t, void *data) -> int {
    auto target = *static_cast<uintptr_t *>(data);
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
      const ElfW(Phdr) &segment = info->dlpi_phdr[i];
      if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) continue;
      uintptr_t low = info->dlpi_addr + segment.p_vaddr;
      if (target >= low && target - low < segment.p_memsz) return 1;
    }
    return 0;
  };
  return ::dl_iterate_phdr(visit, &address) != 0;
}

}  // namespace

bool os_IsExecutable(const void *address) {
  if (address == nullptr) return false;
  // The mapping list is the only place that tells executable memory of every
  // kind; this is asked for rarely (before calling a notification hook), so
  // reading it is fine.
  FILE *maps = std::fopen("/proc/self/maps", "r");
  if (maps == nullptr) return inExecutableSegment(reinterpret_cast<uintptr_t>(address));
  char perms[8] = {}, ownPerms[8] = {};
  bool found = mappingPerms(maps, reinterpret_cast<uintptr_t>(address), perms);
  // This very function runs, so its own mapping must read executable. A list
  // that says otherwise does not report the flag (user-mode emulators map
  // guest code without it); then the loaded objects' headers decide.
  bool truthful = mappingPerms(maps, reinterpret_cast<uintptr_t>(&os_IsExecutable), ownPerms) && ownPerms[2] == 'x';
  std::fclose(maps);
  if (truthful) return found && perms[2] == 'x';
  return found && inExecutableSegment(reinterpret_cast<uintptr_t>(address));
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
