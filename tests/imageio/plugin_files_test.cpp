#include <dlfcn.h>

#include "imageio/result_codes.h"
#include "plugin_fixture.h"

using PluginFilesTest = PluginTest;

namespace {
std::u16string located(const char16_t *name) {
  std::u16string path;
  return io_LocatePlugin(name, &path) ? path : u"-";
}
}  // namespace

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
  ASSERT_EQ(dlopen(VGM_TEST_DEP_NAME, RTLD_LAZY | RTLD_NOLOAD), nullptr);  // really gone again
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
  const struct {
    const char16_t *extension;
    int32_t code, subCode, expectedCode;
    const char16_t *expected;
  } cases[] = {
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
  fs::create_directories(many);
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
  std::string power = root_.file("power");
  fs::create_directories(power + "/BAT0");
  fs::create_directories(power + "/AC");
  for (auto [file, text] : {std::pair{"/BAT0/type", "Battery\n"}, {"/BAT0/capacity", "9\n"},
                            {"/BAT0/status", "Discharging\n"}, {"/AC/type", "Mains\n"}, {"/AC/online", "0\n"}})
    vgmtest::writeFile(power + file, text);
  os_PowerStatus status{};
  ASSERT_TRUE(os_GetPowerStatus(&status));
  EXPECT_TRUE(status.batteryPresent && !status.acOnline && status.percent == 9);
  vgmtest::writeFile(power + "/AC/online", "1\n");
  ASSERT_TRUE(os_GetPowerStatus(&status));
  EXPECT_TRUE(status.acOnline);
}

TEST_F(PluginFilesTest, BlacklistAddTrimEncodingAndReread) {
  io_BlacklistAdd(u"/p/flt_A.dll");
  EXPECT_EQ(vgmtest::readFile(blacklistFile()), "/p/flt_A.dll");
  io_BlacklistAdd(u"/p/flt_A.dll");
  EXPECT_EQ(vgmtest::readFile(blacklistFile()), "/p/flt_A.dll");
  io_BlacklistAdd(u"/p/flt_B.dll\t");
  EXPECT_EQ(vgmtest::readFile(blacklistFile()), "/p/flt_A.dll\r\n/p/flt_B.dll");
  EXPECT_TRUE(io_BlacklistContains(u"flt_B"));
  EXPECT_FALSE(io_BlacklistContains(u"/p/flt_a.dll"));
  EXPECT_FALSE(io_BlacklistContains(u""));
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
