// System facts on Windows: processor, memory, screen, the system's name, the
// desktop theme and app packages.
#include <windows.h>

#include <cpuid.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <new>

#include "platform/os.h"
#include "platform/win32/win_support.h"
#include "platform/win32/windows_facts.h"

namespace {

// Resolves an entry point of an already loaded system module (loading it
// when needed) without the system's error dialogs.
FARPROC systemEntry(const wchar_t *module, const char *name) {
  UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  HMODULE handle = GetModuleHandleW(module);
  if (handle == nullptr) handle = LoadLibraryW(module);
  FARPROC entry = handle != nullptr ? GetProcAddress(handle, name) : nullptr;
  SetErrorMode(previous);
  return entry;
}

template <typename Function>
Function entryAs(FARPROC entry) {
  return reinterpret_cast<Function>(reinterpret_cast<void *>(entry));
}

uint32_t bitsOf(KAFFINITY mask) {
  uint32_t count = 0;
  for (; mask != 0; mask &= mask - 1) ++count;
  return count;
}

using LogicalInfoEx = BOOL(WINAPI *)(LOGICAL_PROCESSOR_RELATIONSHIP, PSYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX, PDWORD);
using LogicalInfo = BOOL(WINAPI *)(PSYSTEM_LOGICAL_PROCESSOR_INFORMATION, PDWORD);
// Filled once; a second filling writes the same values.
std::atomic<bool> gResolved{false};
std::atomic<LogicalInfoEx> gLogicalInfoEx{nullptr};
std::atomic<LogicalInfo> gLogicalInfo{nullptr};

void resolveProcessorInfo() {
  if (gResolved.load(std::memory_order_acquire)) return;
  gLogicalInfoEx.store(entryAs<LogicalInfoEx>(systemEntry(L"kernel32.dll", "GetLogicalProcessorInformationEx")));
  gLogicalInfo.store(entryAs<LogicalInfo>(systemEntry(L"kernel32.dll", "GetLogicalProcessorInformation")));
  gResolved.store(true, std::memory_order_release);
}

// A zeroed buffer of max(4096, 2 x asked) + 1024 bytes, as the records may
// grow between the size query and the read.
std::unique_ptr<unsigned char[]> recordBuffer(DWORD asked, DWORD *size) {
  *size = std::max<DWORD>(4096, asked * 2) + 1024;
  return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[*size]());
}

void countWithEx(LogicalInfoEx query, uint32_t *cores, uint32_t *logical) {
  DWORD asked = 0;
  if (query(RelationProcessorCore, nullptr, &asked) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) asked = 16384;
  DWORD size = 0;
  auto buffer = recordBuffer(asked, &size);
  if (!buffer || !query(RelationProcessorCore, reinterpret_cast<PSYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX>(buffer.get()),
                        &size))
    return;
  for (DWORD at = 0; at + sizeof(DWORD) * 2 <= size;) {
    auto *record = reinterpret_cast<PSYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX>(buffer.get() + at);
    if (record->Size == 0) break;
    if (record->Relationship == RelationProcessorCore) {
      ++*cores;
      for (WORD g = 0; g < record->Processor.GroupCount; ++g) *logical += bitsOf(record->Processor.GroupMask[g].Mask);
    }
    at += record->Size;
  }
}

void countPlain(LogicalInfo query, uint32_t *cores, uint32_t *logical) {
  DWORD asked = 0;
  if (query(nullptr, &asked) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) asked = 16384;
  DWORD size = 0;
  auto buffer = recordBuffer(asked, &size);
  if (!buffer || !query(reinterpret_cast<PSYSTEM_LOGICAL_PROCESSOR_INFORMATION>(buffer.get()), &size)) return;
  auto *records = reinterpret_cast<PSYSTEM_LOGICAL_PROCESSOR_INFORMATION>(buffer.get());
  for (DWORD i = 0; i < size / sizeof *records; ++i) {
    if (records[i].Relationship != RelationProcessorCore) continue;
    ++*cores;
    *logical += bitsOf(records[i].ProcessorMask);
  }
}

std::u16string fromAscii(const char *text) {
  std::u16string out;
  for (; text != nullptr && *text != 0; ++text) out += static_cast<char16_t>(static_cast<unsigned char>(*text));
  return out;
}

struct WineFacts {
  const char *(*version)();
  void (*host)(const char **system, const char **release);
  const char *versionText = nullptr, *system = nullptr, *release = nullptr;
};

void askWine(void *context) {
  auto *facts = static_cast<WineFacts *>(context);
  facts->versionText = facts->version();
  if (facts->host != nullptr) facts->host(&facts->system, &facts->release);
}

}  // namespace

bool os_Cpuid(uint32_t leaf, uint32_t subleaf, uint32_t registers[4]) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  // __get_cpuid_count checks the leaf against the maximum of its range.
  if (!__get_cpuid_count(leaf, subleaf, &a, &b, &c, &d)) return false;
  registers[0] = a, registers[1] = b, registers[2] = c, registers[3] = d;
  return true;
}

void os_ProcessorCounts(uint32_t *cores, uint32_t *logical) {
  resolveProcessorInfo();
  uint32_t exCores = 0, exLogical = 0, plainCores = 0, plainLogical = 0;
  if (LogicalInfoEx query = gLogicalInfoEx.load()) countWithEx(query, &exCores, &exLogical);
  if (LogicalInfo query = gLogicalInfo.load()) countPlain(query, &plainCores, &plainLogical);
  uint32_t c = std::max(exCores, plainCores), l = std::max(exLogical, plainLogical);
  if (l == 0) {
    // Neither query answered: the plain processor count of the system record.
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    l = info.dwNumberOfProcessors;
  }
  if (cores != nullptr) *cores = c;
  if (logical != nullptr) *logical = l;
}

void os_ProcessorArchitecture(uint32_t *architecture, uint32_t *level, uint32_t *revision) {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  if (architecture != nullptr) *architecture = info.wProcessorArchitecture;
  if (level != nullptr) *level = info.wProcessorLevel;
  if (revision != nullptr) *revision = info.wProcessorRevision;
}

bool os_MemoryStatus(uint64_t *total_bytes, uint64_t *available_bytes) {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return false;
  if (total_bytes != nullptr) *total_bytes = status.ullTotalPhys;
  if (available_bytes != nullptr) *available_bytes = status.ullAvailPhys;
  return status.ullTotalPhys != 0;
}

void os_DisplaySize(int32_t *width, int32_t *height) {
  if (width != nullptr) *width = GetSystemMetrics(SM_CXSCREEN);
  if (height != nullptr) *height = GetSystemMetrics(SM_CYSCREEN);
}

bool os_GetWindowsVersion(os_WindowsVersion *version) {
  // RtlGetVersion reports the real version whatever the program's manifest says.
  using GetVersion = LONG(WINAPI *)(OSVERSIONINFOEXW *);
  auto query = entryAs<GetVersion>(systemEntry(L"ntdll.dll", "RtlGetVersion"));
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (query == nullptr || query(&info) != 0) return false;
  *version = os_WindowsVersion{info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber, info.wProductType,
                               info.wSuiteMask, GetSystemMetrics(SM_SERVERR2) != 0};
  return true;
}

bool os_IsWow64() {
  using IsWow64 = BOOL(WINAPI *)(HANDLE, PBOOL);
  auto query = entryAs<IsWow64>(systemEntry(L"kernel32.dll", "IsWow64Process"));
  BOOL wow64 = FALSE;
  return query != nullptr && query(GetCurrentProcess(), &wow64) && wow64;
}

bool os_WineDescription(std::u16string *description) {
  UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  HMODULE ntdll = LoadLibraryW(L"ntdll.dll");
  WineFacts facts{};
  if (ntdll != nullptr) {
    facts.version = entryAs<const char *(*)()>(GetProcAddress(ntdll, "wine_get_version"));
    facts.host = entryAs<void (*)(const char **, const char **)>(GetProcAddress(ntdll, "wine_get_host_version"));
  }
  SetErrorMode(previous);
  bool present = facts.version != nullptr;
  if (present && description != nullptr) {
    // A layer whose functions fault is still the layer, only without a version.
    if (!os_GuardedCall(askWine, &facts)) facts.versionText = facts.system = facts.release = nullptr;
    std::u16string text = u"Wine Emulator";
    if (facts.versionText != nullptr) {
      text += u" " + fromAscii(facts.versionText);
      if (facts.system != nullptr && facts.release != nullptr)
        text += u" (" + fromAscii(facts.system) + u" " + fromAscii(facts.release) + u")";
    }
    if (text.size() > 63) text.resize(63);
    *description = std::move(text);
  }
  if (ntdll != nullptr) FreeLibrary(ntdll);
  return present;
}

std::u16string os_SystemName() {
  std::u16string wine;
  if (os_WineDescription(&wine)) return wine;
  // The system's own product name, else its version numbers.
  wchar_t name[128];
  DWORD bytes = sizeof name;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"ProductName",
                   RRF_RT_REG_SZ, nullptr, name, &bytes) == ERROR_SUCCESS && name[0] != 0)
    return os_U16(name);
  os_WindowsVersion version{};
  if (!os_GetWindowsVersion(&version)) return {};
  char text[64];
  std::snprintf(text, sizeof text, "Windows %u.%u", static_cast<unsigned>(version.major),
                static_cast<unsigned>(version.minor));
  return fromAscii(text);
}

std::u16string os_MachineName() {
  // What the system runs on, not what this process was built for: a 32-bit
  // process on 64-bit Windows reports x64.
  SYSTEM_INFO info{};
  GetNativeSystemInfo(&info);
  switch (info.wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_AMD64: return u"x64";
    case PROCESSOR_ARCHITECTURE_INTEL: return u"x86";
    case PROCESSOR_ARCHITECTURE_ARM: return u"ARM";
    case 12: return u"ARM64";  // PROCESSOR_ARCHITECTURE_ARM64
    case PROCESSOR_ARCHITECTURE_IA64: return u"IA-64";
    default: return {};
  }
}

bool os_ButtonFaceColor(uint32_t *colour) {
  if (colour == nullptr) return false;
  *colour = GetSysColor(COLOR_BTNFACE) & 0x00FFFFFFu;
  return true;
}

int os_AppPackageQuery() {
  using PackageName = LONG(WINAPI *)(UINT32 *, PWSTR);
  auto query = entryAs<PackageName>(systemEntry(L"kernel32.dll", "GetCurrentPackageFullName"));
  if (query == nullptr) return -1;
  UINT32 length = 0;
  LONG answer = query(&length, nullptr);
  if (answer == ERROR_INSUFFICIENT_BUFFER && length >= 3) return 1;
  if (answer == 15700) return 0;  // APPMODEL_ERROR_NO_PACKAGE
  return -1;
}
