#include <atomic>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "imageio/format_table.h"
#include "imageio/state_store_files.h"
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
  EXPECT_EQ(extensions.size(), 119u);
  EXPECT_EQ(rows.size(), 42u);
  EXPECT_EQ(rows[u"flt_JPEG.dll"], 8);
  EXPECT_EQ(rows[u"flt_RAW.dll"], 18);
  EXPECT_EQ(rows[u"flt_HEIF.dll"], 10);
  EXPECT_EQ(io_TablePluginFor(u".JPG"), u"flt_JPEG.dll");
  EXPECT_TRUE(io_TablePluginFor(u".kv5").empty());
  EXPECT_TRUE(io_IsTemporaryExtension(u".TMP") && io_IsTemporaryExtension(u".2") && !io_IsTemporaryExtension(u".3"));
  for (auto e : {u".bmp", u".dib", u".jpg", u".jpeg", u".png", u".apng", u".GIF"}) EXPECT_TRUE(io_IsNeverRemembered(e));
  EXPECT_FALSE(io_IsNeverRemembered(u".tif"));
  EXPECT_TRUE(io_IsExecutableExtension(u".EXE") && io_IsExecutableExtension(u".dll") && !io_IsExecutableExtension(u".sys"));
}

using RegistryTest = PluginTest;

TEST_F(RegistryTest, LookupFromTableAgesAndRefuses) {
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
  EXPECT_EQ(block.entries[indexOf(block, u".jpeg")].age, 0);
  EXPECT_EQ(block.entries[indexOf(block, u".png")].age, 1);
  EXPECT_EQ(block.entries[indexOf(block, u".tif")].age, 2);
  EXPECT_EQ(block.entries[kFormatRowCount].age, kRegistryEmptyAge);
  // Extensions of 16 characters or more are never stored nor looked up.
  io_RegistryRemember(kRegistryLoad, u".abcdefghijklmn", u"/p/15.dll", false);
  io_RegistryRemember(kRegistryLoad, u".abcdefghijklmno", u"/p/16.dll", false);
  EXPECT_EQ(lookup(u".ABCDEFGHIJKLMN"), u"/p/15.dll");
  EXPECT_EQ(lookup(u".abcdefghijklmno"), u"-");
}

TEST_F(RegistryTest, RememberWeakStrongAndNeverRemembered) {
  std::u16string png = u16(touch("flt_PNG.dll"));
  io_RegistryRemember(kRegistryLoad, u".png", u"/p/other.dll", false);
  EXPECT_EQ(lookup(u".png"), png);
  io_RegistryRemember(kRegistryLoad, u".tga", u"/p/weak.dll", true);  // known extension: kept
  EXPECT_EQ(lookup(u".tga"), u"-");
  io_RegistryRemember(kRegistryLoad, u".TGA", u"/p/strong.dll", false);
  EXPECT_EQ(lookup(u".tga"), u"/p/strong.dll");
  io_RegistryRemember(kRegistryLoad, u".new", u"/p/weak.dll", true);  // new extension: stored
  EXPECT_EQ(lookup(u".new"), u"/p/weak.dll");
  EXPECT_EQ(lookup(u".new", kRegistrySave), u"-");
  io_RegistryBlock block = copyOf();
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
  EXPECT_EQ(std::u16string(block.entries[50].extension), u".n2");
  EXPECT_EQ(std::u16string(block.entries[0].extension), u".bmp");
  EXPECT_EQ(std::u16string(block.entries[15].extension), u".gif");
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

TEST_F(RegistryTest, StoreFileArea) {
  for (auto name : {u"a/b", u"a\\b", u""}) EXPECT_EQ(io_StoreFileSet(name, "data", 4), 0);
  std::string big(300000, 'b');
  EXPECT_EQ(io_StoreFileSet(u"k", big.data(), static_cast<int32_t>(big.size())), kStoreFileMaxBytes);
  EXPECT_EQ(io_StoreFileSize(u"k"), kStoreFileMaxBytes);
  std::string back(10, 0);
  EXPECT_EQ(io_StoreFileGet(u"k", back.data(), 10), 10);
  EXPECT_EQ(back, big.substr(0, 10));
  os_InjectFault(os_FaultKind::fileWrite, 1);  // a failed write leaves the old file whole
  EXPECT_EQ(io_StoreFileSet(u"k", "new", 3), 0);
  os_InjectFault(os_FaultKind::fileWrite, 0);
  EXPECT_EQ(io_StoreFileSize(u"k"), kStoreFileMaxBytes);
  EXPECT_EQ(std::distance(fs::directory_iterator(appData() + "/Common/Plugins"), fs::directory_iterator()), 1);
  EXPECT_EQ(io_StoreFileSet(u"k", nullptr, 0), 1);
  EXPECT_EQ(io_StoreFileGet(u"k", back.data(), 10), 0);
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
