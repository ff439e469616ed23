#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>

#include "hostenv/sysinfo.h"
#include "platform/os.h"
#include "support/test_support.h"

namespace {

std::string name(uint32_t architecture, uint32_t level, uint32_t model) {
  return sys_ProcessorNameFromTable(architecture, level, model);
}

// major, minor, build, product type (1 workstation), suite mask, R2, WOW64.
std::string windows(uint32_t major, uint32_t minor, uint32_t build, uint32_t type, bool wow64,
                    uint32_t suite = 0, bool r2 = false) {
  return vgmtest::u8(sys_WindowsName(sys_WindowsVersion{{major, minor, build, type, suite, r2}, wow64}));
}

}  // namespace

TEST(ProcessorTable, EveryFamilyAndModelList) {
  // Family 6 by model, list by list; every model not listed is the plain family.
  const std::pair<std::vector<uint32_t>, const char *> six[] = {
      {{0}, "Intel Pentium Pro"}, {{1, 2}, "Intel Pentium Pro or AMD K7 Athlon/Duron"},
      {{3, 4, 5, 6}, "Intel Pentium II or AMD K7 Athlon/Duron"}, {{7, 8, 10, 11}, "Intel Pentium III or AMD Athlon XP"},
      {{9, 13}, "Intel Pentium M"}, {{14}, "Intel Core Solo/Duo (Yonah)"}, {{15}, "Intel Core 2 Duo"},
      {{22}, "Intel Celeron 4xx/5xx"}, {{23}, "Intel Core 2 Duo/Quad (Penryn)"},
      {{26, 30, 46}, "Intel Core i3/i5/i7/Xeon (Nehalem)"},
      {{28, 38, 39, 53, 54, 55, 90, 93}, "Intel Atom (Bonnell, Silvermont)"}, {{29}, "Intel Xeon 7000"},
      {{37, 44, 47}, "Intel Core i3/i5/i7/Xeon (Westmere)"}, {{42, 45}, "Intel Core i3/i5/i7/Xeon (Sandy Bridge)"},
      {{58, 62}, "Intel Core i3/i5/i7/Xeon (Ivy Bridge)"}, {{60, 63, 69, 70}, "Intel Core i3/i5/i7/Xeon (Haswell)"},
      {{61, 64, 65, 66, 67, 68, 78, 86}, "Intel Core i3/i5/i7/Xeon (Broadwell or newer)"},
      {{74}, "Intel Edison (Silvermont)"}, {{77}, "Intel Atom C2xxx (Silvermont)"}};
  std::map<uint32_t, std::string> expected;
  for (const auto &[models, text] : six)
    for (uint32_t model : models) expected[model] = text;
  for (uint32_t model = 0; model < 256; ++model)
    EXPECT_EQ(name(0, 6, model), expected.count(model) ? expected[model] : "Intel P6 family") << "model " << model;
  // Other families, at the edges of their model ranges.
  const struct { uint32_t level, model; const char *expected; } rows[] = {{3, 0, "Intel 80386"}, {4, 9, "Intel 80486 or AMD 486"}, {5, 2, "Intel Pentium I or AMD K5/K6"},
              {7, 0, "Intel Itanium"}, {11, 1, "Intel Xeon Phi (Knights Corner)"}, {11, 0, "Intel Xeon Phi"},
              {11, 87, "Intel Xeon Phi"}, {15, 2, "Intel Pentium 4"}, {15, 3, "Intel Pentium D/4F (Prescott) or AMD Athlon 64"},
              {15, 7, "Intel Pentium D/4F (Prescott) or AMD Athlon 64"}, {15, 8, "AMD Athlon 64 (Pentium 4 class)"},
              {15, 64, "AMD Athlon 64 (Pentium 4 class)"}, {15, 65, "AMD Athlon 64 X2"}, {15, 255, "AMD Athlon 64 X2"},
              {16, 4, "AMD K10 (Athlon II, Opteron, Phenom)"}, {18, 4, "AMD K10 (Athlon II, Opteron, Phenom)"},
              {20, 1, "AMD FX Series"}, {21, 1, "AMD FX Series"}, {22, 0, "AMD Mobile APU"}, {31, 0, "Intel Itanium 2"}};
  for (const auto &row : rows)  // the same on both architectures
    EXPECT_EQ(name(0, row.level, row.model) + "|" + name(9, row.level, row.model), std::string(row.expected) + "|" + row.expected);
  for (uint32_t level : {0u, 2u, 8u, 10u, 12u, 14u, 19u, 23u, 30u, 32u})
    EXPECT_EQ(name(0, level, 0) + "|" + name(9, level, 0), "Intel x86 family|Intel x64 family") << level;
  EXPECT_EQ(name(9, 6, 42) + "|" + name(5, 6, 15) + "|" + name(6, 0, 0) + "|" + name(12, 6, 15),
            "Intel Core i3/i5/i7/Xeon (Sandy Bridge)|ARM|Intel Itanium|Unknown Processor");
}

TEST(WindowsNames, EveryMajorVersion) {
  EXPECT_EQ(windows(5, 0, 2195, 1, false), "Windows 2000");
  EXPECT_EQ(windows(5, 1, 2600, 1, true), "Windows XP");  // major-5 names get no suffix
  EXPECT_EQ(windows(5, 2, 3790, 3, true), "Windows Server 2003");
  EXPECT_EQ(windows(5, 2, 3790, 3, false, 0, true), "Windows Server 2003 R2");
  EXPECT_EQ(windows(5, 2, 3790, 3, false, 0x8000), "Windows Home Server");
  EXPECT_EQ(windows(5, 2, 3790, 1, true), "Windows XP Professional x64 Edition");
  const char *work[] = {"Windows Vista", "Windows 7", "Windows 8", "Windows 8.1", "Windows 10 Preview"};
  const char *server[] = {"Windows Server 2008", "Windows Server 2008 R2", "Windows Server 2012",
                          "Windows Server 2012 R2", "Windows Server 2016 Preview"};
  for (uint32_t minor = 0; minor <= 4; ++minor) {
    EXPECT_EQ(windows(6, minor, 0, 1, true), std::string(work[minor]) + " x64");
    EXPECT_EQ(windows(6, minor, 0, 2, false), std::string(server[minor]) + " x86");
  }
  // Major 10: each build is the first or the last of its name.
  const std::pair<uint32_t, const char *> servers[] = {{17676, "2016"}, {17677, "2019 Preview"}, {17762, "2019 Preview"},
      {17763, "2019"}, {19041, "2019"}, {19042, "2022"}, {26099, "2022"}, {26100, "2025"}};
  for (auto [build, year] : servers)
    EXPECT_EQ(windows(10, 0, build, 3, false), std::string("Windows Server ") + year + " x86") << build;
  const std::pair<uint32_t, const char *> clients[] = {{21999, "10"}, {22000, "11"}, {22620, "11"},
      {22621, "11 (22H2)"}, {22630, "11 (22H2)"}, {22631, "11 (23H2)"}, {22640, "11 (23H2)"}, {22641, "11 (24H2)"}};
  for (auto [build, label] : clients)
    EXPECT_EQ(windows(10, 0, build, 1, false), std::string("Windows ") + label + " x86") << build;
  EXPECT_EQ(windows(10, 0, 19045, 1, true), "Windows 10 x64");
  EXPECT_EQ(windows(10, 1, 22631, 1, false), "Windows 10 x86");  // minor other than 0
  for (auto [major, minor, text] : {std::tuple{4u, 0u, "4.0"}, {5u, 3u, "5.3"}, {6u, 5u, "6.5"}, {11u, 2u, "11.2"}})
    EXPECT_EQ(windows(major, minor, 0, 1, false), std::string("Windows ") + text + "  x86");
}

TEST(Summary, FormatWithGivenFacts) {
  sys_Facts facts{"  Some   Vendor  CPU @ 3.0GHz   ", 8, 16, 16ull << 30,
                  static_cast<uint64_t>(6.4 * (1ull << 30)), u"Windows 11 (23H2) x64", 1920, 1080};
  EXPECT_EQ(vgmtest::u8(sys_SummaryText(facts)),
            "CPU: Some Vendor CPU @ 3.0GHz \nCores: 8/16 \nRAM: 6554/16384 MB\nOS: Windows 11 (23H2) x64 \n"
            "Display: 1920x1080 \n");

  // Rounding to the nearest MiB: half a MiB rounds up, less rounds down.
  facts.totalMemory = (1ull << 20) * 3 + 524288, facts.availableMemory = (1ull << 20) + 524287;
  facts.osName.clear(), facts.processorName = std::string(100, 'x');
  std::string text = vgmtest::u8(sys_SummaryText(facts));
  EXPECT_NE(text.find("RAM: 1/4 MB\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nOS:  \n"), std::string::npos) << text;
  EXPECT_NE(text.find("CPU: " + std::string(63, 'x') + " \n"), std::string::npos) << text;
}

TEST(RunningSystem, ProbesAgreeWithTheFeatureBitsNamesAndCountsFit) {
  uint32_t one[4] = {}, seven[4] = {};
  ASSERT_TRUE(os_Cpuid(1, 0, one));
  os_Cpuid(7, 0, seven);
  auto bit = [](uint32_t reg, int n) { return static_cast<int>((reg >> n) & 1); };
  const std::tuple<int (*)(), uint32_t, int> probes[] = {{sys_HasMMX, one[3], 23}, {sys_HasSSE1, one[3], 25},
      {sys_HasSSE2, one[3], 26}, {sys_HasSSE3, one[2], 0}, {sys_HasSSSE3, one[2], 9}, {sys_HasSSE41, one[2], 19},
      {sys_HasSSE42, one[2], 20}, {sys_HasPOPCNT, one[2], 23}};
  for (auto [probe, reg, n] : probes) EXPECT_EQ(probe(), bit(reg, n)) << "bit " << n;
  // AVX also needs the system to save the wider registers (OSXSAVE).
  int avx = bit(one[2], 28) & bit(one[2], 27);
  EXPECT_EQ(std::pair(sys_HasAVX1(), sys_HasAVX2()), std::pair(avx, avx & bit(seven[1], 5)));

  // Name, counts and the system's name.
  char buffer[kProcessorNameCapacity];
  ASSERT_EQ(sys_GetProcessorName(buffer), 1);
  std::string reported(buffer);
  EXPECT_TRUE(!reported.empty() && reported.size() <= 48u) << reported;
  for (char c : reported) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "unprintable byte in the name";
  EXPECT_TRUE(sys_GetProcessorCount(false) >= sys_GetProcessorCount(true) && sys_GetProcessorCount(true) >= 1);
  char16_t os[kOsNameCapacity], wine[kOsNameCapacity] = {u'x'};
#ifdef _WIN32  // the Windows build runs its tests under wine64
  EXPECT_TRUE(sys_GetWineVersion(wine) && !sys_IsWow64() && wine[0] != 0);
#else
  EXPECT_FALSE(sys_GetWineVersion(wine) || sys_IsWow64() || wine[0] != 0);
#endif
  EXPECT_TRUE(sys_GetOsName(os) == 1 && os_Utf16Length(os) < kOsNameCapacity);
  EXPECT_EQ(sys_GetOsName(nullptr), 0);
}
