// The format table, the registries, the plug-in cache, plug-in files and the probe.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "imageio/format_table.h"
#include "imageio/plugin_probe.h"
#include "imageio/result_codes.h"
#include "plugin_fixture.h"

namespace {

std::u16string lookup(std::u16string_view extension, io_RegistryKind kind = kRegistryLoad) {
  std::u16string path;
  return io_RegistryLookup(kind, extension, &path) ? path : u"-";
}

io_RegistryBlock copyOf(io_RegistryKind kind = kRegistryLoad) {
  static io_RegistryBlock block;  // 80 KB: not on the stack
  EXPECT_TRUE(io_RegistryCopy(kind, &block));
  return block;
}

int indexOf(const io_RegistryBlock &block, std::u16string_view extension) {
  for (size_t i = 0; i < kRegistryEntries; ++i)
    if (extension == block.entries[i].extension) return static_cast<int>(i);
  return -1;
}

std::u16string located(const char16_t *name) {
  std::u16string path;
  return io_LocatePlugin(name, &path) ? path : u"-";
}

}  // namespace

TEST(FormatTable, StoredOrderAndSpecialSets) {
  for (auto [row, text] : {std::pair{0, u".bmp=flt_BMP.dll"}, {8, u".mpo=flt_JPEG.dll"}, {9, u".png=flt_PNG.dll"},
                            {115, u".mfw=flt_RAW.dll"}, {118, u".mjp=flt_JPEG.dll"}})
    EXPECT_EQ(io_FormatRow(row), text) << row;
  EXPECT_TRUE(io_FormatRow(kFormatRowCount).empty());
  std::set<std::u16string_view> extensions;
  std::map<std::u16string_view, int> rows;
  for (size_t i = 0; i < kFormatRowCount; ++i) {
    extensions.insert(io_FormatRowExtension(io_FormatRow(i)));
    ++rows[io_FormatRowPlugin(io_FormatRow(i))];
  }
  EXPECT_EQ(std::tuple(extensions.size(), rows.size(), rows[u"flt_JPEG.dll"], rows[u"flt_RAW.dll"], rows[u"flt_HEIF.dll"]),
            std::tuple(119u, 42u, 8, 18, 10));
  EXPECT_EQ(io_TablePluginFor(u".JPG"), u"flt_JPEG.dll");
  EXPECT_TRUE(io_TablePluginFor(u".kv5").empty());
  EXPECT_TRUE(io_IsTemporaryExtension(u".TMP") && io_IsTemporaryExtension(u".2") && !io_IsTemporaryExtension(u".3"));
  for (auto e : {u".bmp", u".dib", u".jpg", u".jpeg", u".png", u".apng", u".GIF"}) EXPECT_TRUE(io_IsNeverRemembered(e));
  EXPECT_FALSE(io_IsNeverRemembered(u".tif"));
  EXPECT_TRUE(io_IsExecutableExtension(u".EXE") && io_IsExecutableExtension(u".dll") && !io_IsExecutableExtension(u".sys"));
}

using RegistryTest = PluginTest;

TEST_F(RegistryTest, LookupFromTableAndRememberWeakOrStrong) {
  std::u16string png = u16(touch("flt_PNG.dll")), jpeg = u16(touch("sub/flt_JPEG.dll"));
  std::string gif = touch("flt_GIF.dll");
  vgmtest::writeFile(blacklistFile(), "junk\r\n" + gif);
  EXPECT_EQ(lookup(u".PNG"), png);
  EXPECT_EQ(lookup(u".jpeg"), jpeg);
  EXPECT_EQ(lookup(u".gif"), u"-");  // blacklisted
  EXPECT_EQ(lookup(u".tif"), u"-");  // the table's plug-in is not installed
  EXPECT_EQ(lookup(u".xyz"), u"-");
  EXPECT_EQ(lookup(u".jpeg", kRegistrySave), jpeg);  // each registry fills itself from the table
  io_RegistryBlock block = copyOf();
  EXPECT_EQ(block.magic, kRegistryMagic);
  const auto age = [&](std::u16string_view e) { return block.entries[indexOf(block, e)].age; };
  EXPECT_EQ(std::tuple(age(u".jpeg"), age(u".png"), age(u".tif")), std::tuple(0, 1, 2));
  EXPECT_EQ(block.entries[kFormatRowCount].age, kRegistryEmptyAge);
  // Extensions of 16 characters or more are never stored nor looked up.
  io_RegistryRemember(kRegistryLoad, u".abcdefghijklmn", u"/p/15.dll", false);
  io_RegistryRemember(kRegistryLoad, u".abcdefghijklmno", u"/p/16.dll", false);
  EXPECT_EQ(lookup(u".ABCDEFGHIJKLMN"), u"/p/15.dll");
  EXPECT_EQ(lookup(u".abcdefghijklmno"), u"-");

  // Remembering: never-remembered extensions keep the table's plug-in; weak entries only fill gaps.
  io_RegistryRemember(kRegistryLoad, u".png", u"/p/other.dll", false);
  EXPECT_EQ(lookup(u".png"), png);
  io_RegistryRemember(kRegistryLoad, u".tga", u"/p/weak.dll", true);  // known extension: kept
  EXPECT_EQ(lookup(u".tga"), u"-");
  io_RegistryRemember(kRegistryLoad, u".TGA", u"/p/strong.dll", false);
  EXPECT_EQ(lookup(u".tga"), u"/p/strong.dll");
  io_RegistryRemember(kRegistryLoad, u".new", u"/p/weak.dll", true);  // new extension: stored
  EXPECT_EQ(lookup(u".new"), u"/p/weak.dll");
  EXPECT_EQ(lookup(u".new", kRegistrySave), u"-");
  block = copyOf();
  EXPECT_EQ(indexOf(block, u".TGA"), -1);  // stored in lower case
  EXPECT_GT(block.hourStamp, 0u);
}

TEST_F(RegistryTest, FullRegistryEvictsOldestFromTheTopNeverEntryZero) {
  for (int i = 0; i < 25; ++i) io_RegistryRemember(kRegistryLoad, u".e" + u16(std::to_string(i)), u"/p/e.dll", false);
  io_RegistryBlock block = copyOf();
  for (const io_RegistryEntry &entry : block.entries) ASSERT_EQ(entry.extension[0], u'.');
  io_RegistryRemember(kRegistryLoad, u".n1", u"/p/n1.dll", false);  // all ages 0: the top entry goes
  EXPECT_EQ(std::u16string(copyOf().entries[143].extension), u".n1");
  EXPECT_EQ(lookup(u".n1"), u"/p/n1.dll");  // everything else is now one older
  for (int i = 1; i < 143; ++i)
    if (i != 50) io_RegistryRemember(kRegistryLoad, copyOf().entries[i].extension, u"/p/again.dll", false);
  // Oldest now: entry 0, entry 50 and the never-remembered rows (1, 4, 5, 9, 10, 15).
  io_RegistryRemember(kRegistryLoad, u".n2", u"/p/n2.dll", false);
  block = copyOf();
  EXPECT_EQ(std::u16string(block.entries[50].extension) + block.entries[0].extension + block.entries[15].extension,
            u".n2.bmp.gif");
}

TEST_F(RegistryTest, PersistedCopyCountsOnlyWithinItsHour) {
  io_RegistryRemember(kRegistryLoad, u".zzz", u"/p/z.dll", false);
  io_RegistriesDetach();
  std::string stored = vgmtest::readFile(appData() + "/Common/Plugins/_$pf.flt_load.5.43.01.bin");
  ASSERT_EQ(stored.size(), sizeof(io_RegistryBlock));
  EXPECT_EQ(stored.substr(0, 4), "fp$_");
  EXPECT_FALSE(fs::exists(appData() + "/Common/Plugins/_$pf.flt_save.5.43.01.bin"));  // never used
  io_RegistriesAttach(u16(plugins_).c_str());
  EXPECT_EQ(lookup(u".zzz"), u"/p/z.dll");
  io_RegistriesDetach();
  advance(3600);
  io_RegistriesAttach(u16(plugins_).c_str());
  EXPECT_EQ(lookup(u".zzz"), u"-");  // written in the previous hour: rebuilt from the table
  io_SetClockForTests(kTestClock);  // back in the stored copy's hour
  std::string badMagic = stored, earlier = stored;
  badMagic[0] = 'F';
  uint32_t hour = io_HourStamp(kTestClock) - 1;
  std::memcpy(earlier.data() + 4, &hour, 4);
  const std::pair<std::string, bool> cases[] = {{stored, true}, {badMagic, false}, {stored.substr(0, stored.size() - 1), false}, {earlier, false}};
  for (const auto &[bytes, accepted] : cases) EXPECT_EQ(io_RegistryAcceptPersisted(kRegistryLoad, bytes.data(), bytes.size()), accepted);
  EXPECT_EQ(lookup(u".zzz"), u"/p/z.dll");
}

TEST_F(RegistryTest, ConcurrentLookupsRemembersCacheAndRescans) {
  std::string good = install(VGM_TEST_PLUGIN("TestGood"), "flt_PNG.dll");
  std::string greedy = install(VGM_TEST_PLUGIN("TestGreedy"), "x/flt_Greedy.dll");
  os_Module *modules[2] = {io_LoadPlugin(u16(good).c_str()), io_LoadPlugin(u16(greedy).c_str())};
  ASSERT_TRUE(modules[0] && modules[1]);
  std::atomic<int> found{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10000; ++i) {
        std::u16string extension = u".t" + u16(std::to_string((t * 7 + i) % 40));
        switch (i % 4) {
          case 0: found += lookup(i % 8 ? extension : u".png") != u"-"; break;
          case 1: io_RegistryRemember(static_cast<io_RegistryKind>(i % 3), extension, u"/p/t.dll", i % 3 == 0); break;
          case 2: if (i % 64 == 2) io_PluginCacheKeep(modules[(i / 64 + t) % 2]); break;
          default: if (i % 1000 == 3) io_PluginListForget(); found += io_ListInstalledPlugins()->count() == 2 ? 0 : -100000;
        }
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_GT(found.load(), 0);
  std::u16string cached = io_PluginCachePath();
  EXPECT_TRUE(cached == u16(good) || cached == u16(greedy));
  for (const io_RegistryEntry &entry : copyOf().entries) EXPECT_EQ(entry.extension[0], u'.');
  io_PluginCacheRelease();
  for (os_Module *module : modules) os_ModuleFree(module);
}

// A borrowed module stays mapped while a load runs it, whatever the cache does meanwhile.
TEST_F(RegistryTest, BorrowedModuleOutlivesTheCacheUntilDropped) {
  std::string first = install(VGM_TEST_PLUGIN("TestGood"), "flt_A.dll");
  std::string second = install(VGM_TEST_PLUGIN("TestGood"), "flt_B.dll");
  os_Module *module = io_LoadPlugin(u16(first).c_str());
  ASSERT_NE(module, nullptr);
  io_PluginCacheKeep(module);
  EXPECT_EQ(io_PluginCacheBorrow(u16(second)), nullptr);
  std::shared_ptr<io_CachedPlugin> borrowed = io_PluginCacheBorrow(u16(first));
  ASSERT_NE(borrowed, nullptr);
  EXPECT_EQ(borrowed->loadEntry, os_ModuleSymbol(module, "flt_LoadImage"));
  os_ModuleFree(module);

  io_PluginCacheRelease();  // the cache lets go while a load still runs it
  EXPECT_TRUE(io_PluginCachePath().empty());
  EXPECT_TRUE(vgmtest::moduleLoaded(first));
  io_PluginCacheKeepBorrowed(borrowed);  // it read its file: cached again
  EXPECT_EQ(io_PluginCachePath(), u16(first));
  borrowed.reset();
  EXPECT_TRUE(vgmtest::moduleLoaded(first));
  io_PluginCacheRelease();
  EXPECT_FALSE(vgmtest::moduleLoaded(first));
}

using PluginFilesTest = PluginTest;

TEST_F(PluginFilesTest, LocateDirectlyAndOneOrTwoLevelsDown) {
  std::string top = touch("flt_Top.dll"), one = touch("a/flt_One.dll"), two = touch("a/b/flt_Two.dll");
  touch("a/b/c/flt_Three.dll");
  touch("B/flt_Dup.dll");
  std::string dup = touch("a/flt_Dup.dll");  // "a" sorts before "B" when case is ignored
  for (auto [name, path] : {std::pair{u"flt_Top.dll", top}, {u"flt_One.dll", one}, {u"flt_Two.dll", two},
                             {u"flt_Dup.dll", dup}, {u"flt_Three.dll", "-"}, {u"flt_None.dll", "-"}})
    EXPECT_EQ(located(name), u16(path)) << path;
  // Whole paths of 259 units fit with their terminator; 260 and 261 do not.
  for (size_t length : {259u, 260u, 261u}) {
    std::string name = "flt_L" + std::to_string(length) + ".dll";
    std::string path = touch(std::string(length - plugins_.size() - name.size() - 2, 'd') + "/" + name);
    ASSERT_EQ(path.size(), length);
    EXPECT_EQ(located(u16(name).c_str()), length == 259 ? u16(path) : u"-") << length;
  }
}

TEST_F(PluginFilesTest, DependencyFromDependenciesOrCodecsOnly) {
  std::u16string plugin = u16(install(VGM_TEST_PLUGIN("TestDep"), "flt_TestDep.dll"));
  std::vector<std::u16string> needed;
  ASSERT_TRUE(os_ModuleNeededNames(plugin.c_str(), &needed));
  EXPECT_NE(std::find(needed.begin(), needed.end(), u"" VGM_TEST_DEP_NAME), needed.end());
  EXPECT_FALSE(os_ModuleNeededNames(u16(touch("flt_Text.dll", "not an object")).c_str(), &needed));

  EXPECT_EQ(io_LoadPlugin(plugin.c_str()), nullptr);
  int32_t code = -1;
  char16_t text[kMessageCapacity] = u"earlier";
  io_DiagnosePluginFile(u"flt_TestDep.dll", &code, kSubCodeLoad, text);
  EXPECT_EQ(code, -51);
  EXPECT_EQ(std::u16string(text), u"The required plug-in cannot be loaded: flt_TestDep.dll\n\nearlier");

  install(VGM_TEST_DEP_LIBRARY, "Dependencies/" VGM_TEST_DEP_NAME);
  os_Module *module = io_LoadPlugin(plugin.c_str());
  EXPECT_NE(module, nullptr);
  os_ModuleFree(module);
  fs::remove_all(plugins_ + "/Dependencies");
  ASSERT_FALSE(vgmtest::moduleLoaded(VGM_TEST_DEP_NAME));  // really gone again
  EXPECT_EQ(io_LoadPlugin(plugin.c_str()), nullptr);

  fs::create_directories(root_.file("app/Codecs"));
  fs::copy_file(VGM_TEST_DEP_LIBRARY, root_.file("app/Codecs/" VGM_TEST_DEP_NAME));
  env_ResetForTests(u16(root_.file("app/program")).c_str());  // the application folder is "app"
  module = io_LoadPlugin(plugin.c_str());
  EXPECT_NE(module, nullptr);
  os_ModuleFree(module);
}

TEST_F(PluginFilesTest, DiagnosisTexts) {
  install(VGM_TEST_PLUGIN("TestGood"), "x/flt_QOI.dll");
  touch("flt_PCX.dll", "not an object");
  const struct { const char16_t *extension; int32_t code, subCode, expectedCode; const char16_t *expected; } cases[] = {
      {u".exr", -1, kSubCodeLoad, -51, u"The required plug-in cannot be found: flt_EXR.dll\n\nearlier"},
      {u".pcx", -2, kSubCodeLoad, -51, u"The required plug-in cannot be loaded: flt_PCX.dll\n\nearlier"},
      {u".QOI", -1, kSubCodeLoad, -1, u"The file extension is recognized but the contents are not\n\nearlier"},
      {u".qoi", -1, kSubCodeSave, -1, u"The file extension is recognized but is implemented as read-only\n\nearlier"},
      {u".qoi", -4, kSubCodeLoad, -4, u"earlier"},
      {u".xyz", -1, kSubCodeLoad, -1, u"earlier"},
  };
  for (const auto &c : cases) {
    int32_t code = c.code;
    char16_t text[kMessageCapacity] = u"earlier";
    io_DiagnoseExtension(c.extension, &code, c.subCode, text);
    EXPECT_EQ(code, c.expectedCode) << vgmtest::u8(c.extension);
    EXPECT_EQ(std::u16string(text), c.expected);
  }
}

TEST_F(PluginFilesTest, InstalledListSkipsDepthBlacklistAndCaps) {
  std::string deep5 = touch("1/2/3/4/5/flt_Deep5.dll"), a = touch("flt_A.dll"), b = touch("x/flt_B.DLL");
  for (auto name : {"1/2/3/4/5/6/flt_Deep6.dll", "flt_DSHOW.dll", "Thumbs.db", "$RECYCLE.BIN/flt_R.dll",
                    "Desktop.ini/flt_D.dll", "readme.txt", "flt_C.dll.bak"})
    touch(name);
  vgmtest::writeFile(blacklistFile(), touch("flt_Black.dll"));
  auto list = io_ListInstalledPlugins();
  ASSERT_EQ(list->count(), 3u);
  const std::string expected[] = {deep5, a, b};
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(list->at(i), u16(expected[i])) << i;
  // Fresh for 30 s on mains power.
  touch("flt_New.dll");
  advance(29);
  EXPECT_EQ(io_ListInstalledPlugins()->count(), 3u);
  advance(2);
  EXPECT_EQ(io_ListInstalledPlugins()->count(), 4u);
  EXPECT_EQ(list->count(), 3u);  // a list already handed out stays as it was

  std::string many = root_.file("many");
  for (int i = 0; i < 1100; ++i) vgmtest::writeFile(many + "/flt_" + std::to_string(i) + ".dll", "");
  auto capped = io_ScanPluginFolder(u16(many), u"");
  EXPECT_EQ(capped->count(), kPluginListMax);
  EXPECT_EQ(capped->blockBytes() % kPluginListBlockStep, 0u);
  EXPECT_GE(capped->blockBytes(), kPluginListMax * (many.size() + 10) * 2);
}

TEST_F(PluginFilesTest, FreshnessFollowsThePowerSource) {
  const struct {
    bool battery, mains;
    uint8_t percent;
    uint64_t ms;
  } cases[] = {{false, true, 255, 30000}, {true, true, 50, 30000}, {true, false, 100, 45000},
               {true, false, 10, 119997}, {true, false, 9, 150000}, {true, false, 0, 150000}};
  for (const auto &c : cases) EXPECT_EQ(io_PluginListFreshMs({c.battery, c.mains, c.percent}), c.ms);
#ifndef _WIN32  // the redirected power-supply folder is the Linux sysfs layout
  std::string power = root_.file("power");
  for (auto [file, text] : {std::pair{"/BAT0/type", "Battery\n"}, {"/BAT0/capacity", "9\n"},
                            {"/BAT0/status", "Discharging\n"}, {"/AC/type", "Mains\n"}, {"/AC/online", "0\n"}})
    vgmtest::writeFile(power + file, text);
  os_PowerStatus status{};
  ASSERT_TRUE(os_GetPowerStatus(&status));
  EXPECT_TRUE(status.batteryPresent && !status.acOnline && status.percent == 9);
  vgmtest::writeFile(power + "/AC/online", "1\n");
  ASSERT_TRUE(os_GetPowerStatus(&status));
  EXPECT_TRUE(status.acOnline);
#endif
}

TEST_F(PluginFilesTest, BlacklistAddTrimEncodingAndReread) {
  for (auto [path, file] : {std::pair{u"/p/flt_A.dll", "/p/flt_A.dll"}, {u"/p/flt_A.dll", "/p/flt_A.dll"},
                             {u"/p/flt_B.dll\t", "/p/flt_A.dll\r\n/p/flt_B.dll"}}) {
    io_BlacklistAdd(path);
    EXPECT_EQ(vgmtest::readFile(blacklistFile()), file);
  }
  EXPECT_TRUE(io_BlacklistContains(u"flt_B") && !io_BlacklistContains(u"/p/flt_a.dll") && !io_BlacklistContains(u""));
  io_BlacklistAdd(u"/p/flt_\u03A9.dll");
  std::string wide = vgmtest::readFile(blacklistFile());
  ASSERT_EQ(wide.substr(0, 6), std::string("\xFF\xFE/\0p\0", 6));
  EXPECT_EQ(io_BlacklistDecode(wide.data(), wide.size()), u"/p/flt_A.dll\r\n/p/flt_B.dll\r\n/p/flt_\u03A9.dll");
  // Another writer's change shows once the copy is 15 s old.
  vgmtest::writeFile(blacklistFile(), "/q/flt_X.dll");
  advance(15);
  EXPECT_FALSE(io_BlacklistContains(u"/q/flt_X.dll"));
  advance(1);
  EXPECT_TRUE(io_BlacklistContains(u"/q/flt_X.dll"));
  vgmtest::writeFile(blacklistFile(), "\r\n\t");
  io_BlacklistAdd(u" ");  // nothing left after trimming: the file goes
  EXPECT_FALSE(fs::exists(blacklistFile()));
}

TEST(ProbeScores, ReplyBytesGiveLoadAndSaveScores) {
  const struct {
    uint8_t a, b, c, flags;
    int32_t load, save;
  } cases[] = {{0, 0, 0, 0, 1, 0},          {0, 9, 9, 0, 1, 0},          {1, 0, 0, 0, 2001, 1},
               {10, 20, 30, 0, 2060, 60},   {10, 20, 30, 1, 1060, 60},   {10, 20, 30, 2, 1060, 60},
               {10, 20, 30, 3, 60, 60},     {255, 255, 255, 0xFC, 2765, 765}};
  for (const auto &c : cases) {
    FltProbe probe{};
    probe.strength_a = c.a, probe.strength_b = c.b, probe.strength_c = c.c, probe.reply_flags = c.flags;
    EXPECT_EQ(io_LoadScore(probe), c.load) << int(c.a) << "," << int(c.flags);
    EXPECT_EQ(io_SaveScore(probe), c.save) << int(c.a) << "," << int(c.flags);
  }
}

using ProbeTest = PluginTest;

std::vector<std::pair<std::u16string, int32_t>> ranked(const std::vector<io_Candidate> &candidates) {
  std::vector<std::pair<std::u16string, int32_t>> out;
  for (const io_Candidate &c : candidates) out.emplace_back(c.path, c.score);
  return out;
}

TEST_F(ProbeTest, GreedyCrashingAndHangingPluginsAreBlacklistedAndLogged) {
  std::string good = install(VGM_TEST_PLUGIN("TestGood"), "flt_TestGood.dll");
  std::string greedy = install(VGM_TEST_PLUGIN("TestGreedy"), "flt_TestGreedy.dll");
  std::string crash = install(VGM_TEST_PLUGIN("TestCrash"), "flt_TestCrash.dll");
  std::string hang = install(VGM_TEST_PLUGIN("TestHang"), "sub/flt_TestHang.dll");
  const uint8_t header[] = "HANG and more";
  auto start = std::chrono::steady_clock::now();
  std::vector<io_Candidate> candidates = io_CollectLoadCandidates(u".tst", header, sizeof header);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  // The greedy one is blacklisted, yet tried last.
  EXPECT_EQ(ranked(candidates), (decltype(ranked({})){{u16(good), 0}, {u16(greedy), -1}}));

  std::string listed = vgmtest::readFile(blacklistFile());
  std::set<std::string> lines;
  for (size_t from = 0, to = 0; to != std::string::npos; from = to + 2)
    lines.insert(listed.substr(from, (to = listed.find("\r\n", from)) - from));
  EXPECT_EQ(lines, (std::set<std::string>{greedy, crash, hang}));
  io_FaultRecord record;
  ASSERT_TRUE(io_FaultRecordFor(u16(crash), &record));
  EXPECT_EQ(std::tuple(record.entryPoint, record.signal, record.timedOut), std::tuple("flt_CheckLoad", SIGSEGV, false));
  ASSERT_TRUE(io_FaultRecordFor(u16(hang), &record));
  EXPECT_TRUE(record.timedOut);
  EXPECT_FALSE(io_FaultRecordFor(u16(good), nullptr));
  std::string log = vgmtest::readFile(appData() + "/suite_error.log");
  std::u16string logText(reinterpret_cast<const char16_t *>(log.data()), log.size() / 2);
  EXPECT_NE(logText.find(u16(crash) + u": flt_CheckLoad crashed (signal 11)"), std::u16string::npos);
  EXPECT_NE(logText.find(u16(hang) + u": flt_CheckLoad did not answer within 2000 ms"), std::u16string::npos);

  // The faulty ones are not asked again; the real format scores highest.
  std::string file = vgmtest::TstFile{}.bytes();
  start = std::chrono::steady_clock::now();
  candidates = io_CollectLoadCandidates(u".tst", reinterpret_cast<const uint8_t *>(file.data()), file.size());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  ASSERT_EQ(candidates.size(), 2u);
  EXPECT_EQ(candidates[0].path, u16(good));
  EXPECT_GT(candidates[0].score, 2000);

  // Saving: the trap-claiming plug-in is no candidate; the registry route's check agrees.
  EXPECT_EQ(ranked(io_CollectSaveCandidates(u".tst")), (decltype(ranked({})){{u16(good), 100}}));
  EXPECT_TRUE(io_CollectSaveCandidates(u".png").empty());
  for (auto [path, expected] : {std::pair{good, 100}, {greedy, -1}}) {
    os_Module *module = io_LoadPlugin(u16(path).c_str());
    EXPECT_EQ(io_CheckSavePlugin(module, u16(path), u".tst", true), expected);
    os_ModuleFree(module);
  }
}
