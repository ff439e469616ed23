#include <cpuid.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include "platform/os.h"

bool os_Cpuid(uint32_t leaf, uint32_t subleaf, uint32_t registers[4]) {
#if defined(__i386__) || defined(__x86_64__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  // __get_cpuid_count checks the leaf against the maximum of its range.
  if (!__get_cpuid_count(leaf, subleaf, &a, &b, &c, &d)) return false;
  registers[0] = a, registers[1] = b, registers[2] = c, registers[3] = d;
  return true;
#else
  (void)leaf, (void)subleaf, (void)registers;
  return false;
#endif
}

namespace {

bool readNumber(const char *path, long *value) {
  FILE *file = std::fopen(path, "r");
  if (file == nullptr) return false;
  bool ok = std::fscanf(file, "%ld", value) == 1;
  std::fclose(file);
  return ok;
}

}  // namespace

void os_ProcessorCounts(uint32_t *cores, uint32_t *logical) {
  long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  std::set<std::pair<long, long>> distinctCores;
  uint32_t logicalSeen = 0;
  long configured = ::sysconf(_SC_NPROCESSORS_CONF);
  for (long cpu = 0; cpu < configured && cpu < 4096; ++cpu) {
    char path[128];
    long isOnline = 1;
    std::snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%ld/online", cpu);
    readNumber(path, &isOnline);  // cpu0 usually has no such file: online
    if (isOnline == 0) continue;
    long core = -1, package = -1;
    std::snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%ld/topology/core_id", cpu);
    if (!readNumber(path, &core)) continue;
    std::snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu%ld/topology/physical_package_id", cpu);
    readNumber(path, &package);
    distinctCores.insert({package, core});
    ++logicalSeen;
  }
  if (cores != nullptr) *cores = static_cast<uint32_t>(distinctCores.size());
  if (logical != nullptr) *logical = logicalSeen != 0 ? logicalSeen : (online > 0 ? static_cast<uint32_t>(online) : 0);
}

void os_ProcessorArchitecture(uint32_t *architecture, uint32_t *level, uint32_t *revision) {
  uint32_t arch = 0xFFFF;
#if defined(__x86_64__)
  arch = 9;
#elif defined(__i386__)
  arch = 0;
#elif defined(__arm__) || defined(__aarch64__)
  arch = 5;
#elif defined(__ia64__)
  arch = 6;
#endif
  uint32_t family = 0, model = 0;
  uint32_t r[4];
  if (os_Cpuid(1, 0, r)) {
    // Family and model as the system record reports them: extended fields folded in.
    uint32_t baseFamily = (r[0] >> 8) & 0x0F;
    family = baseFamily == 0x0F ? baseFamily + ((r[0] >> 20) & 0xFF) : baseFamily;
    model = (r[0] >> 4) & 0x0F;
    if (baseFamily == 0x06 || baseFamily == 0x0F) model |= ((r[0] >> 16) & 0x0F) << 4;
  }
  if (architecture != nullptr) *architecture = arch;
  if (level != nullptr) *level = family;
  if (revision != nullptr) *revision = model << 8;
}

bool os_MemoryStatus(uint64_t *total_bytes, uint64_t *available_bytes) {
  uint64_t total = 0, available = 0;
  bool haveAvailable = false;
  if (FILE *file = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, file) != nullptr) {
      unsigned long long kib = 0;
      if (std::sscanf(line, "MemTotal: %llu kB", &kib) == 1) total = kib * 1024ull;
      if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) available = kib * 1024ull, haveAvailable = true;
    }
    std::fclose(file);
  }
  if (total == 0 || !haveAvailable) {
    struct sysinfo info {};
    if (::sysinfo(&info) != 0) return false;
    if (total == 0) total = static_cast<uint64_t>(info.totalram) * info.mem_unit;
    if (!haveAvailable) available = static_cast<uint64_t>(info.freeram) * info.mem_unit;
  }
  if (total_bytes != nullptr) *total_bytes = total;
  if (available_bytes != nullptr) *available_bytes = available;
  return total != 0;
}

void os_DisplaySize(int32_t *width, int32_t *height) {
  // The library talks to no display server: no display as far as it knows.
  if (width != nullptr) *width = 0;
  if (height != nullptr) *height = 0;
}

std::u16string os_SystemName() {
  for (const char *path : {"/etc/os-release", "/usr/lib/os-release"}) {
    FILE *file = std::fopen(path, "r");
    if (file == nullptr) continue;
    char line[512];
    std::string name;
    while (std::fgets(line, sizeof line, file) != nullptr) {
      if (std::strncmp(line, "PRETTY_NAME=", 12) != 0) continue;
      name = line + 12;
      while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
      if (name.size() >= 2 && (name.front() == '"' || name.front() == '\'') && name.back() == name.front())
        name = name.substr(1, name.size() - 2);
      break;
    }
    std::fclose(file);
    if (!name.empty()) return os_Utf8ToUtf16(name);
  }
  struct utsname system {};
  if (::uname(&system) == 0) return os_Utf8ToUtf16(system.sysname);
  return {};
}

std::u16string os_MachineName() {
  struct utsname system {};
  if (::uname(&system) != 0) return {};
  return os_Utf8ToUtf16(system.machine);
}

// Windows facts: none of them exists on POSIX.
bool os_GetWindowsVersion(os_WindowsVersion *) { return false; }
bool os_IsWow64() { return false; }
bool os_WineDescription(std::u16string *description) {
  if (description != nullptr) description->clear();
  return false;
}
