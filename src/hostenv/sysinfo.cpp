#include "hostenv/sysinfo.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#include <nmmintrin.h>
#define VGM_X86 1
#endif

#include "platform/os.h"

namespace {

constexpr uint32_t kArchX86 = 0, kArchArm = 5, kArchIa64 = 6, kArchX64 = 9;

bool hasCpuid() {
  uint32_t r[4];
  return os_Cpuid(0, 0, r) && r[0] > 0;
}

bool inList(uint32_t value, std::initializer_list<uint32_t> list) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

const char *familySixName(uint32_t model) {
  if (model == 0) return "Intel Pentium Pro";
  if (inList(model, {1, 2})) return "Intel Pentium Pro or AMD K7 Athlon/Duron";
  if (inList(model, {3, 4, 5, 6})) return "Intel Pentium II or AMD K7 Athlon/Duron";
  if (inList(model, {7, 8, 10, 11})) return "Intel Pentium III or AMD Athlon XP";
  if (inList(model, {9, 13})) return "Intel Pentium M";
  if (model == 14) return "Intel Core Solo/Duo (Yonah)";
  if (model == 15) return "Intel Core 2 Duo";
  if (model == 22) return "Intel Celeron 4xx/5xx";
  if (model == 23) return "Intel Core 2 Duo/Quad (Penryn)";
  if (inList(model, {26, 30, 46})) return "Intel Core i3/i5/i7/Xeon (Nehalem)";
  if (inList(model, {28, 38, 39, 53, 54, 55, 90, 93})) return "Intel Atom (Bonnell, Silvermont)";
  if (model == 29) return "Intel Xeon 7000";
  if (inList(model, {37, 44, 47})) return "Intel Core i3/i5/i7/Xeon (Westmere)";
  if (inList(model, {42, 45})) return "Intel Core i3/i5/i7/Xeon (Sandy Bridge)";
  if (inList(model, {58, 62})) return "Intel Core i3/i5/i7/Xeon (Ivy Bridge)";
  if (inList(model, {60, 63, 69, 70})) return "Intel Core i3/i5/i7/Xeon (Haswell)";
  if (inList(model, {61, 64, 65, 66, 67, 68, 78, 86})) return "Intel Core i3/i5/i7/Xeon (Broadwell or newer)";
  if (model == 74) return "Intel Edison (Silvermont)";
  if (model == 77) return "Intel Atom C2xxx (Silvermont)";
  return "Intel P6 family";  // every remaining model, 94 and above included
}

std::u16string ascii(std::string_view text) { return std::u16string(text.begin(), text.end()); }

std::u16string format(const char *pattern, uint32_t major, uint32_t minor, const char16_t *s) {
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, pattern, major, minor);
  return ascii(numbers) + s;
}

// The processor name: trimmed, inner runs of spaces collapsed.
std::u16string cleanProcessorName(const std::string &name) {
  std::u16string out;
  for (char c : name) {
    if (c == 0) break;
    bool space = c == ' ' || c == '\t';
    if (space && (out.empty() || out.back() == u' ')) continue;
    out += space ? u' ' : static_cast<char16_t>(static_cast<unsigned char>(c));
  }
  while (!out.empty() && out.back() == u' ') out.pop_back();
  if (out.size() > kOsNameCapacity - 1) out.resize(kOsNameCapacity - 1);
  return out;
}

uint32_t roundedMiB(uint64_t bytes) { return static_cast<uint32_t>((bytes + 524288) / 1048576); }

#ifdef VGM_X86
// Each probe runs one instruction of its extension on fixed operands.
__attribute__((target("sse"))) void probeSse1(void *result) {
  __m128 sum = _mm_add_ps(_mm_set1_ps(320.0f), _mm_set1_ps(295.0f));
  *static_cast<int *>(result) = _mm_cvttss_si32(_mm_add_ss(sum, _mm_set_ss(0.5f)));
}
__attribute__((target("sse2"))) void probeSse2(void *result) {
  __m128i product = _mm_mulhi_epu16(_mm_cvtsi32_si128(0x3B45C12A), _mm_cvtsi32_si128(static_cast<int>(0x9F3E82D6u)));
  *static_cast<uint32_t *>(result) = static_cast<uint32_t>(_mm_cvtsi128_si32(product));
}
__attribute__((target("sse3"))) void probeSse3(void *result) {
  __m128 difference = _mm_addsub_ps(_mm_set1_ps(320.0f), _mm_set1_ps(295.0f));
  *static_cast<int *>(result) = _mm_cvttss_si32(difference);
}
__attribute__((target("ssse3"))) void probeSsse3(void *result) {
  __m128i sums = _mm_maddubs_epi16(_mm_cvtsi32_si128(0x1F3D0409), _mm_cvtsi32_si128(0x038BE201));
  *static_cast<uint32_t *>(result) = static_cast<uint32_t>(_mm_cvtsi128_si32(sums));
}
__attribute__((target("sse4.1"))) void probeSse41(void *result) {
  __m128i product = _mm_mullo_epi32(_mm_cvtsi32_si128(0x1F3D0409), _mm_cvtsi32_si128(0x038BE201));
  *static_cast<uint32_t *>(result) = static_cast<uint32_t>(_mm_cvtsi128_si32(product));
}
__attribute__((target("sse4.2"))) void probeSse42(void *result) {
  *static_cast<uint32_t *>(result) = _mm_crc32_u32(0x1F3D0409u, 0x038BE201u);
}
__attribute__((target("avx"))) void probeAvx1(void *result) {
  static const float source = [] {
    uint32_t bits = 0x1F3D0409u;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }();
  __m128 lanes = _mm_broadcast_ss(&source);
  *static_cast<uint32_t *>(result) = static_cast<uint32_t>(_mm_extract_ps(lanes, 1));
}
__attribute__((target("avx2"))) void probeAvx2(void *result) {
  __m128i lanes = _mm_broadcastd_epi32(_mm_cvtsi32_si128(0x1F3D0409));
  *static_cast<uint32_t *>(result) = static_cast<uint32_t>(_mm_extract_epi32(lanes, 1));
}
__attribute__((target("popcnt"))) void probePopcnt(void *result) {
  *static_cast<int *>(result) = _mm_popcnt_u32(0x1F3D0409u);
}

template <typename T>
int runProbe(void (*probe)(void *), T expected) {
  if (!hasCpuid()) return 0;
  T result{};
  if (!os_GuardedCall(probe, &result)) return 0;
  return result == expected ? 1 : 0;
}
#endif

}  // namespace

const char *sys_ProcessorNameFromTable(uint32_t architecture, uint32_t level, uint32_t model) {
  if (architecture == kArchArm) return "ARM";
  if (architecture == kArchIa64) return "Intel Itanium";
  if (architecture != kArchX86 && architecture != kArchX64) return "Unknown Processor";
  switch (level) {
    case 3: return "Intel 80386";
    case 4: return "Intel 80486 or AMD 486";
    case 5: return "Intel Pentium I or AMD K5/K6";
    case 6: return familySixName(model);
    case 7: return "Intel Itanium";
    case 11: return model == 1 ? "Intel Xeon Phi (Knights Corner)" : "Intel Xeon Phi";
    case 15:
      if (model <= 2) return "Intel Pentium 4";
      if (model <= 7) return "Intel Pentium D/4F (Prescott) or AMD Athlon 64";
      if (model <= 64) return "AMD Athlon 64 (Pentium 4 class)";
      return "AMD Athlon 64 X2";
    case 16:
    case 17:
    case 18: return "AMD K10 (Athlon II, Opteron, Phenom)";
    case 20:
    case 21: return "AMD FX Series";
    case 22: return "AMD Mobile APU";
    case 31: return "Intel Itanium 2";
    default: return architecture == kArchX86 ? "Intel x86 family" : "Intel x64 family";
  }
}

std::u16string sys_WindowsName(const sys_WindowsVersion &v) {
  const char16_t *s = v.wow64 ? u" x64" : u" x86";
  const bool workstation = v.productType == 1;
  if (v.major == 5) {
    switch (v.minor) {
      case 0: return u"Windows 2000";
      case 1: return u"Windows XP";
      case 2: {
        std::u16string name = u"Windows Server 2003";
        if (v.serverR2) name = u"Windows Server 2003 R2";
        if (v.suiteMask & 0x8000) name = u"Windows Home Server";
        if (v.wow64 && workstation) name = u"Windows XP Professional x64 Edition";
        return name;
      }
      default: return format("Windows %u.%u ", v.major, v.minor, s);
    }
  }
  if (v.major == 6) {
    static const char16_t *const kWorkstation[] = {u"Windows Vista", u"Windows 7", u"Windows 8", u"Windows 8.1",
                                                   u"Windows 10 Preview"};
    static const char16_t *const kServer[] = {u"Windows Server 2008", u"Windows Server 2008 R2",
                                              u"Windows Server 2012", u"Windows Server 2012 R2",
                                              u"Windows Server 2016 Preview"};
    if (v.minor > 4) return format("Windows %u.%u ", v.major, v.minor, s);
    return std::u16string(workstation ? kWorkstation[v.minor] : kServer[v.minor]) + s;
  }
  if (v.major == 10) {
    std::u16string name;
    if (v.minor != 0 || v.build < 22000) {
      if (workstation) {
        name = u"Windows 10";
      } else if (v.build < 17677) {
        name = u"Windows Server 2016";
      } else if (v.build <= 17762) {
        name = u"Windows Server 2019 Preview";
      } else if (v.build <= 19041) {
        name = u"Windows Server 2019";
      } else {
        name = u"Windows Server 2022";
      }
    } else if (!workstation) {
      name = v.build < 26100 ? u"Windows Server 2022" : u"Windows Server 2025";
    } else if (v.build <= 22620) {
      name = u"Windows 11";
    } else if (v.build <= 22630) {
      name = u"Windows 11 (22H2)";
    } else if (v.build <= 22640) {
      name = u"Windows 11 (23H2)";
    } else {
      name = u"Windows 11 (24H2)";
    }
    return name + s;
  }
  return format("Windows %u.%u ", v.major, v.minor, s);
}

int sys_GetProcessorCount(bool physical_cores) {
  uint32_t cores = 0, logical = 0;
  os_ProcessorCounts(&cores, &logical);
  if (cores < 1 || logical < cores) {
    // Fall back on the plain processor count, raising both to it.
    uint32_t plain = std::max<uint32_t>(logical, 1);
    cores = std::max(cores, plain);
    logical = std::max(logical, plain);
  }
  return static_cast<int>(physical_cores ? cores : std::max(logical, cores));
}

int sys_GetProcessorName(char *buffer) {
  if (buffer == nullptr) return 1;
  buffer[0] = 0;
  uint32_t r[4];
  if (hasCpuid()) {
    uint32_t extended[4];
    if (os_Cpuid(0x80000000u, 0, extended) && extended[0] >= 0x80000004u) {
      char brand[49] = {};
      for (uint32_t leaf = 0; leaf < 3; ++leaf) {
        os_Cpuid(0x80000002u + leaf, 0, r);
        std::memcpy(brand + leaf * 16, r, 16);
      }
      std::memcpy(buffer, brand, sizeof brand);
      return 1;
    }
    os_Cpuid(0, 0, r);
    std::memcpy(buffer, &r[1], 4);  // EBX, EDX, ECX spell the vendor
    std::memcpy(buffer + 4, &r[3], 4);
    std::memcpy(buffer + 8, &r[2], 4);
    buffer[12] = 0;
    return 1;
  }
  uint32_t architecture = 0, level = 0, revision = 0;
  os_ProcessorArchitecture(&architecture, &level, &revision);
  std::snprintf(buffer, kProcessorNameCapacity, "%s", sys_ProcessorNameFromTable(architecture, level, revision >> 8));
  return 1;
}

bool sys_IsWow64() { return os_IsWow64(); }

bool sys_GetWineVersion(char16_t *buffer) {
  std::u16string description;
  bool present = os_WineDescription(&description);
  if (buffer != nullptr) {
    std::copy(description.begin(), description.end(), buffer);
    buffer[description.size()] = 0;
  }
  return present;
}

// Under Wine the layer's description with the bitness the process sees; on
// Windows the name from the version record; elsewhere the system's own name
// with its architecture.
int sys_GetOsName(char16_t *buffer) {
  if (buffer == nullptr) return 0;
  buffer[0] = 0;
  std::u16string name;
  os_WindowsVersion v{};
  if (os_WineDescription(&name)) {
    name += os_IsWow64() ? u" x64" : u" x86";
  } else if (os_GetWindowsVersion(&v)) {
    name = sys_WindowsName({v, os_IsWow64()});
  } else {
    name = os_SystemName();
    if (name.empty()) return 0;
    std::u16string machine = os_MachineName();
    if (!machine.empty()) name += u" " + machine;
  }
  if (name.size() > kOsNameCapacity - 1) name.resize(kOsNameCapacity - 1);
  std::copy(name.begin(), name.end(), buffer);
  buffer[name.size()] = 0;
  return 1;
}

int sys_HasMMX() {
  uint32_t r[4];
  return hasCpuid() && os_Cpuid(1, 0, r) && (r[3] & (1u << 23)) ? 1 : 0;
}

#ifdef VGM_X86
int sys_HasSSE1() { return runProbe(probeSse1, 615); }
int sys_HasSSE2() { return runProbe(probeSse2, 0x24DE62B8u); }
int sys_HasSSE3() { return runProbe(probeSse3, 25); }
int sys_HasSSSE3() { return runProbe(probeSsse3, 0xE47CFF91u); }
int sys_HasSSE41() { return runProbe(probeSse41, 0x48AFF609u); }
int sys_HasSSE42() { return runProbe(probeSse42, 0x05AC2888u); }
int sys_HasAVX1() { return runProbe(probeAvx1, 0x1F3D0409u); }
int sys_HasAVX2() { return runProbe(probeAvx2, 0x1F3D0409u); }
int sys_HasPOPCNT() { return runProbe(probePopcnt, 13); }
#else
int sys_HasSSE1() { return 0; }
int sys_HasSSE2() { return 0; }
int sys_HasSSE3() { return 0; }
int sys_HasSSSE3() { return 0; }
int sys_HasSSE41() { return 0; }
int sys_HasSSE42() { return 0; }
int sys_HasAVX1() { return 0; }
int sys_HasAVX2() { return 0; }
int sys_HasPOPCNT() { return 0; }
#endif

sys_Facts sys_GatherFacts() {
  sys_Facts facts{};
  char name[kProcessorNameCapacity];
  sys_GetProcessorName(name);
  facts.processorName = name;
  facts.cores = sys_GetProcessorCount(true);
  facts.threads = sys_GetProcessorCount(false);
  if (!os_MemoryStatus(&facts.totalMemory, &facts.availableMemory)) facts.totalMemory = facts.availableMemory = 0;
  char16_t osName[kOsNameCapacity];
  if (sys_GetOsName(osName)) facts.osName = osName;
  int32_t width = 0, height = 0;
  os_DisplaySize(&width, &height);
  facts.displayWidth = width;
  facts.displayHeight = height;
  return facts;
}

std::u16string sys_SummaryText(const sys_Facts &facts) {
  char numbers[160];
  std::u16string text = u"CPU: " + cleanProcessorName(facts.processorName);
  std::snprintf(numbers, sizeof numbers, " \nCores: %i/%i \nRAM: %u/%u MB\nOS: ", facts.cores, facts.threads,
                roundedMiB(facts.availableMemory), roundedMiB(facts.totalMemory));
  text += ascii(numbers) + facts.osName;
  std::snprintf(numbers, sizeof numbers, " \nDisplay: %ix%i \n", facts.displayWidth, facts.displayHeight);
  return text + ascii(numbers);
}
