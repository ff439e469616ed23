#include <gtest/gtest.h>

#include <string>

#include "hostenv/sysinfo.h"
#include "platform/os.h"
#include "support/test_support.h"

namespace {

std::string name(uint32_t architecture, uint32_t level, uint32_t model) {
  return sys_ProcessorNameFromTable(architecture, level, model);
}

sys_WindowsVersion version(uint32_t major, uint32_t minor, uint32_t build, uint32_t productType, bool wow64,
                           uint32_t suiteMask = 0, bool r2 = false) {
  return sys_WindowsVersion{major, minor, build, productType, suiteMask, r2, wow64};
}

std::string windows(const sys_WindowsVersion &v) { return vgmtest::u8(sys_WindowsName(v)); }

}  // namespace

TEST(ProcessorTable, FamiliesOtherThanSix) {
  for (uint32_t arch : {0u, 9u}) {
    EXPECT_EQ(name(arch, 3, 0), "Intel 80386");
    EXPECT_EQ(name(arch, 4, 9), "Intel 80486 or AMD 486");
    EXPECT_EQ(name(arch, 5, 2), "Intel Pentium I or AMD K5/K6");
    EXPECT_EQ(name(arch, 7, 0), "Intel Itanium");
    EXPECT_EQ(name(arch, 11, 1), "Intel Xeon Phi (Knights Corner)");
    EXPECT_EQ(name(arch, 11, 0), "Intel Xeon Phi");
    EXPECT_EQ(name(arch, 11, 87), "Intel Xeon Phi");
    for (uint32_t model : {0u, 1u, 2u}) EXPECT_EQ(name(arch, 15, model), "Intel Pentium 4");
    for (uint32_t model = 3; model <= 7; ++model)
      EXPECT_EQ(name(arch, 15, model), "Intel Pentium D/4F (Prescott) or AMD Athlon 64");
    for (uint32_t model : {8u, 40u, 64u}) EXPECT_EQ(name(arch, 15, model), "AMD Athlon 64 (Pentium 4 class)");
    for (uint32_t model : {65u, 107u, 255u}) EXPECT_EQ(name(arch, 15, model), "AMD Athlon 64 X2");
    for (uint32_t level : {16u, 17u, 18u}) EXPECT_EQ(name(arch, level, 4), "AMD K10 (Athlon II, Opteron, Phenom)");
    for (uint32_t level : {20u, 21u}) EXPECT_EQ(name(arch, level, 1), "AMD FX Series");
    EXPECT_EQ(name(arch, 22, 0), "AMD Mobile APU");
    EXPECT_EQ(name(arch, 31, 0), "Intel Itanium 2");
  }
  for (uint32_t level : {0u, 1u, 2u, 8u, 9u, 10u, 12u, 14u, 19u, 23u, 25u, 26u, 30u, 32u}) {
    EXPECT_EQ(name(0, level, 0), "Intel x86 family") << level;
    EXPECT_EQ(name(9, level, 0), "Intel x64 family") << level;
  }
  EXPECT_EQ(name(5, 6, 15), "ARM");
  EXPECT_EQ(name(6, 0, 0), "Intel Itanium");
  EXPECT_EQ(name(12, 6, 15), "Unknown Processor");
  EXPECT_EQ(name(0xFFFF, 0, 0), "Unknown Processor");
}

TEST(ProcessorTable, FamilySixEveryModel) {
  // Written out row by row so that a model in the wrong list shows up.
  const std::pair<std::vector<uint32_t>, const char *> rows[] = {
      {{0}, "Intel Pentium Pro"},
      {{1, 2}, "Intel Pentium Pro or AMD K7 Athlon/Duron"},
      {{3, 4, 5, 6}, "Intel Pentium II or AMD K7 Athlon/Duron"},
      {{7, 8, 10, 11}, "Intel Pentium III or AMD Athlon XP"},
      {{9, 13}, "Intel Pentium M"},
      {{14}, "Intel Core Solo/Duo (Yonah)"},
      {{15}, "Intel Core 2 Duo"},
      {{22}, "Intel Celeron 4xx/5xx"},
      {{23}, "Intel Core 2 Duo/Quad (Penryn)"},
      {{26, 30, 46}, "Intel Core i3/i5/i7/Xeon (Nehalem)"},
      {{28, 38, 39, 53, 54, 55, 90, 93}, "Intel Atom (Bonnell, Silvermont)"},
      {{29}, "Intel Xeon 7000"},
      {{37, 44, 47}, "Intel Core i3/i5/i7/Xeon (Westmere)"},
      {{42, 45}, "Intel Core i3/i5/i7/Xeon (Sandy Bridge)"},
      {{58, 62}, "Intel Core i3/i5/i7/Xeon (Ivy Bridge)"},
      {{60, 63, 69, 70}, "Intel Core i3/i5/i7/Xeon (Haswell)"},
      {{61, 64, 65, 66, 67, 68, 78, 86}, "Intel Core i3/i5/i7/Xeon (Broadwell or newer)"},
      {{74}, "Intel Edison (Silvermont)"},
      {{77}, "Intel Atom C2xxx (Silvermont)"},
      {{12, 16, 17, 18, 19, 20, 21, 24, 25, 27, 31, 32, 33, 34, 35, 36, 40, 41, 43, 48, 49, 50, 51, 52, 56, 57, 59,
        71, 72, 73, 75, 76, 79, 80, 81, 82, 83, 84, 85, 87, 88, 89, 91, 92, 94, 95, 120, 255},
       "Intel P6 family"},
  };
  std::vector<int> covered(96, 0);
  for (const auto &[models, expected] : rows) {
    for (uint32_t model : models) {
      EXPECT_EQ(name(0, 6, model), expected) << "model " << model;
      EXPECT_EQ(name(9, 6, model), expected) << "model " << model;
      if (model < covered.size()) ++covered[model];
    }
  }
  // The table above names every model below 96 exactly once.
  for (size_t model = 0; model < covered.size(); ++model) EXPECT_EQ(covered[model], 1) << "model " << model;
}

TEST(WindowsNames, MajorFive) {
  EXPECT_EQ(windows(version(5, 0, 2195, 1, false)), "Windows 2000");
  EXPECT_EQ(windows(version(5, 1, 2600, 1, false)), "Windows XP");
  EXPECT_EQ(windows(version(5, 1, 2600, 1, true)), "Windows XP");  // major-5 names get no suffix
  EXPECT_EQ(windows(version(5, 2, 3790, 3, false)), "Windows Server 2003");
  EXPECT_EQ(windows(version(5, 2, 3790, 3, false, 0, true)), "Windows Server 2003 R2");
  EXPECT_EQ(windows(version(5, 2, 3790, 3, false, 0x8000)), "Windows Home Server");
  EXPECT_EQ(windows(version(5, 2, 3790, 1, true)), "Windows XP Professional x64 Edition");
  EXPECT_EQ(windows(version(5, 2, 3790, 3, true)), "Windows Server 2003");
  EXPECT_EQ(windows(version(5, 3, 0, 1, false)), "Windows 5.3  x86");
}

TEST(WindowsNames, MajorSix) {
  const char *work[] = {"Windows Vista", "Windows 7", "Windows 8", "Windows 8.1", "Windows 10 Preview"};
  const char *server[] = {"Windows Server 2008", "Windows Server 2008 R2", "Windows Server 2012",
                          "Windows Server 2012 R2", "Windows Server 2016 Preview"};
  for (uint32_t minor = 0; minor <= 4; ++minor) {
    EXPECT_EQ(windows(version(6, minor, 0, 1, false)), std::string(work[minor]) + " x86");
    EXPECT_EQ(windows(version(6, minor, 0, 1, true)), std::string(work[minor]) + " x64");
    EXPECT_EQ(windows(version(6, minor, 0, 2, false)), std::string(server[minor]) + " x86");
    EXPECT_EQ(windows(version(6, minor, 0, 3, true)), std::string(server[minor]) + " x64");
  }
  EXPECT_EQ(windows(version(6, 5, 0, 1, true)), "Windows 6.5  x64");
}

TEST(WindowsNames, MajorTenAndEleven) {
  EXPECT_EQ(windows(version(10, 0, 19045, 1, true)), "Windows 10 x64");
  EXPECT_EQ(windows(version(10, 0, 10240, 1, false)), "Windows 10 x86");
  EXPECT_EQ(windows(version(10, 1, 22631, 1, false)), "Windows 10 x86");  // minor other than 0
  EXPECT_EQ(windows(version(10, 0, 14393, 3, false)), "Windows Server 2016 x86");
  EXPECT_EQ(windows(version(10, 0, 17676, 3, false)), "Windows Server 2016 x86");
  EXPECT_EQ(windows(version(10, 0, 17677, 3, false)), "Windows Server 2019 Preview x86");
  EXPECT_EQ(windows(version(10, 0, 17762, 3, false)), "Windows Server 2019 Preview x86");
  EXPECT_EQ(windows(version(10, 0, 17763, 3, true)), "Windows Server 2019 x64");
  EXPECT_EQ(windows(version(10, 0, 19041, 2, false)), "Windows Server 2019 x86");
  EXPECT_EQ(windows(version(10, 0, 19042, 3, false)), "Windows Server 2022 x86");
  EXPECT_EQ(windows(version(10, 0, 20348, 3, false)), "Windows Server 2022 x86");
  EXPECT_EQ(windows(version(10, 0, 22000, 3, false)), "Windows Server 2022 x86");
  EXPECT_EQ(windows(version(10, 0, 26099, 3, false)), "Windows Server 2022 x86");
  EXPECT_EQ(windows(version(10, 0, 26100, 3, false)), "Windows Server 2025 x86");
  EXPECT_EQ(windows(version(10, 0, 22000, 1, false)), "Windows 11 x86");
  EXPECT_EQ(windows(version(10, 0, 22620, 1, false)), "Windows 11 x86");
  EXPECT_EQ(windows(version(10, 0, 22621, 1, false)), "Windows 11 (22H2) x86");
  EXPECT_EQ(windows(version(10, 0, 22630, 1, false)), "Windows 11 (22H2) x86");
  EXPECT_EQ(windows(version(10, 0, 22631, 1, true)), "Windows 11 (23H2) x64");
  EXPECT_EQ(windows(version(10, 0, 22640, 1, false)), "Windows 11 (23H2) x86");
  EXPECT_EQ(windows(version(10, 0, 22641, 1, false)), "Windows 11 (24H2) x86");
  EXPECT_EQ(windows(version(10, 0, 26100, 1, false)), "Windows 11 (24H2) x86");
  EXPECT_EQ(windows(version(4, 0, 1381, 1, false)), "Windows 4.0  x86");
  EXPECT_EQ(windows(version(11, 2, 0, 1, true)), "Windows 11.2  x64");
}

TEST(Summary, FormatWithGivenFacts) {
  sys_Facts facts{};
  facts.processorName = "  Some   Vendor  CPU @ 3.0GHz   ";
  facts.cores = 8;
  facts.threads = 16;
  facts.totalMemory = 16ull << 30;
  facts.availableMemory = static_cast<uint64_t>(6.4 * (1ull << 30));
  facts.osName = u"Windows 11 (23H2) x64";
  facts.displayWidth = 1920;
  facts.displayHeight = 1080;
  EXPECT_EQ(vgmtest::u8(sys_SummaryText(facts)),
            "CPU: Some Vendor CPU @ 3.0GHz \nCores: 8/16 \nRAM: 6554/16384 MB\nOS: Windows 11 (23H2) x64 \n"
            "Display: 1920x1080 \n");

  // Rounding to the nearest MiB: half a MiB rounds up, less rounds down.
  facts.totalMemory = (1ull << 20) * 3 + 524288;
  facts.availableMemory = (1ull << 20) + 524287;
  facts.osName.clear();
  facts.processorName = std::string(100, 'x');
  std::string text = vgmtest::u8(sys_SummaryText(facts));
  EXPECT_NE(text.find("RAM: 1/4 MB\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nOS:  \n"), std::string::npos) << text;
  EXPECT_NE(text.find("CPU: " + std::string(63, 'x') + " \n"), std::string::npos) << text;
}

TEST(Probes, AgreeWithTheProcessorsOwnFeatureBits) {
  uint32_t one[4] = {}, seven[4] = {};
  ASSERT_TRUE(os_Cpuid(1, 0, one));
  os_Cpuid(7, 0, seven);
  auto bit = [](uint32_t reg, int n) { return static_cast<int>((reg >> n) & 1); };
  EXPECT_EQ(sys_HasMMX(), bit(one[3], 23));
  EXPECT_EQ(sys_HasSSE1(), bit(one[3], 25));
  EXPECT_EQ(sys_HasSSE2(), bit(one[3], 26));
  EXPECT_EQ(sys_HasSSE3(), bit(one[2], 0));
  EXPECT_EQ(sys_HasSSSE3(), bit(one[2], 9));
  EXPECT_EQ(sys_HasSSE41(), bit(one[2], 19));
  EXPECT_EQ(sys_HasSSE42(), bit(one[2], 20));
  EXPECT_EQ(sys_HasPOPCNT(), bit(one[2], 23));
  // AVX also needs the system to save the wider registers (OSXSAVE).
  int avx = bit(one[2], 28) & bit(one[2], 27);
  EXPECT_EQ(sys_HasAVX1(), avx);
  EXPECT_EQ(sys_HasAVX2(), avx & bit(seven[1], 5));
}

TEST(Processor, NameAndCountsMatchTheSystem) {
  char buffer[kProcessorNameCapacity];
  ASSERT_EQ(sys_GetProcessorName(buffer), 1);
  std::string reported(buffer);
  EXPECT_FALSE(reported.empty());
  EXPECT_LE(reported.size(), 48u);
  for (char c : reported) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "unprintable byte in the name";
  int cores = sys_GetProcessorCount(true);
  int threads = sys_GetProcessorCount(false);
  EXPECT_GE(cores, 1);
  EXPECT_GE(threads, cores);
  uint32_t logical = 0;
  os_ProcessorCounts(nullptr, &logical);
  EXPECT_EQ(threads, static_cast<int>(logical));
  EXPECT_FALSE(sys_IsWow64());
  char16_t wine[kOsNameCapacity] = {u'x'};
  EXPECT_FALSE(sys_GetWineVersion(wine));
  EXPECT_EQ(wine[0], 0);
  char16_t os[kOsNameCapacity];
  ASSERT_EQ(sys_GetOsName(os), 1);
  EXPECT_LT(os_Utf16Length(os), kOsNameCapacity);
  EXPECT_EQ(sys_GetOsName(nullptr), 0);
}
