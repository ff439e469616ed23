#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "hostenv_fixture.h"
#include "platform/os.h"

using vgmtest::u16;
using vgmtest::u8;

namespace {

void put(const std::string &path, const std::string &content) {
  fs::create_directories(fs::path(path).parent_path());
  vgmtest::writeFile(path, content);
}

// Relative path -> content ("/" for folders) of everything below `folder`.
std::map<std::string, std::string> snapshot(const std::string &folder) {
  std::map<std::string, std::string> tree;
  for (const auto &entry : fs::recursive_directory_iterator(folder)) {
    std::string relative = fs::relative(entry.path(), folder).string();
    tree[relative] = entry.is_directory() ? "/" : vgmtest::readFile(entry.path().string());
  }
  return tree;
}

// A folder path of exactly `length` characters below `base`.
std::string pathOfLength(const std::string &base, size_t length) {
  std::string path = base;
  while (path.size() < length) {
    size_t left = length - path.size();  // the separator included; never left at 1
    size_t part = left > 102 ? 100 : left - 1;
    path += "/" + std::string(part, 'd');
  }
  EXPECT_EQ(path.size(), length);
  return path;
}

using FoldersTest = HostEnvTest;

TEST_F(FoldersTest, AppAndPluginFolders) {
  char16_t buffer[os_MaxPath];
  ASSERT_EQ(env_GetAppFolder(buffer), 1);
  std::string exe = fs::read_symlink("/proc/self/exe").string();
  EXPECT_EQ(u8(buffer), fs::path(exe).parent_path().string());
  ASSERT_EQ(env_GetPluginFolder(buffer, os_MaxPath, nullptr), 1);
  EXPECT_EQ(u8(buffer), fs::path(exe).parent_path().string() + "/Plugins");
  ASSERT_EQ(env_GetPluginFolder(buffer, os_MaxPath, u"/opt/suite/"), 1);
  EXPECT_EQ(std::u16string(buffer), u"/opt/suite/Plugins");

  // An executable whose folder is gone falls back to the install setting.
  std::u16string missing = u16(root_.file("gone/app"));
  env_ResetForTests(missing.c_str());
  {
    vgmtest::ScopedEnv install("ORVINEPHOTO_PATH", root_.path() + "/");
    ASSERT_EQ(env_GetAppFolder(buffer), 1);
    EXPECT_EQ(u8(buffer), root_.path());
  }
  env_ResetForTests(missing.c_str());
  vgmtest::ScopedEnv noInstall("ORVINEPHOTO_PATH", "");
  buffer[0] = u'#';
  EXPECT_EQ(env_GetAppFolder(buffer), 0);
  EXPECT_EQ(buffer[0], u'#');
}

TEST_F(FoldersTest, PathsOfTheLimitFitOrFail) {
  // 259 characters fit with the terminator; 260 and 261 do not, and leave
  // the caller's buffer (and the disk) as they were.
  for (size_t length : {259u, 260u, 261u}) {
    std::string plugins = pathOfLength(root_.file("p"), length - 8);  // + "/Plugins"
    std::string appBase = pathOfLength(root_.file("a"), length - 13);  // + "/Orvine Photo"
    fs::create_directories(appBase);
    vgmtest::ScopedEnv appData("VGM_APPDATA_DIR", appBase);
    env_ResetForTests(nullptr);
    char16_t buffer[os_MaxPath] = {u'#'}, data[os_MaxPath] = {u'#'};
    EXPECT_EQ(env_GetPluginFolder(buffer, os_MaxPath, u16(plugins).c_str()), length == 259 ? 1 : 0) << length;
    EXPECT_EQ(env_GetAppDataFolder(data), length == 259 ? 1 : 0) << length;
    EXPECT_EQ(u8(buffer), length == 259 ? plugins + "/Plugins" : "#");
    EXPECT_EQ(u8(data), length == 259 ? appBase + "/Orvine Photo" : "#");
    EXPECT_EQ(fs::is_directory(appBase + "/Orvine Photo"), length == 259);
  }
  env_ResetForTests(nullptr);
  // The caller's capacity counts the same way.
  char16_t session[os_MaxPath] = {u'#'};
  char name[32];
  std::snprintf(name, sizeof name, "/_vgm_sesstmp_%08x", os_ProcessId());
  std::string expected = tempBase_ + name;
  EXPECT_EQ(env_GetSessionFolder(session, expected.size()), 0);
  EXPECT_EQ(session[0], u'#');
  EXPECT_FALSE(fs::exists(expected));
  ASSERT_EQ(env_GetSessionFolder(session, expected.size() + 1), 1);
  EXPECT_EQ(u8(session), expected);
  EXPECT_TRUE(fs::is_directory(expected));
}

TEST_F(FoldersTest, SiblingDataMovesOnceIntoTheLayout) {
  std::string sibling = appBase_ + "/Orvine Draw KTA";
  for (auto [name, content] : {std::pair{"Artist/brushes.dat", "brushes"}, {"Lang_Studio/project.txt", "project"},
                               {"Plugins/flt_OLD.dll", "new plugin"}, {"Language/English.lng", "english"},
                               {"settings.ini", "sibling settings"}, {"Thumbs.db", "clutter"}})
    put(sibling + "/" + name, content);
  put(appData() + "/settings.ini", "own settings");
  put(appData() + "/Plugins/flt_OLD.dll", "old plugin");
  put(appData() + "/Plugins/flt_KEEP.dll", "kept");
  char16_t buffer[os_MaxPath];
  ASSERT_EQ(env_GetAppDataFolder(buffer), 1);
  EXPECT_EQ(u8(buffer), appData());
  std::map<std::string, std::string> moved = snapshot(appData());
  EXPECT_EQ(moved, (std::map<std::string, std::string>{
                       {"Editor", "/"}, {"Editor/brushes.dat", "brushes"}, {"Language Studio", "/"},
                       {"Language Studio/project.txt", "project"}, {"Common", "/"}, {"Common/Plugins", "/"},
                       {"Common/Plugins/flt_OLD.dll", "new plugin"}, {"Common/Plugins/flt_KEEP.dll", "kept"},
                       {"Common/Language", "/"}, {"Common/Language/English.lng", "english"},
                       {"settings.ini", "sibling settings"}}));
  // Only the clutter stayed behind, so the sibling folder could not go.
  EXPECT_EQ(snapshot(sibling), (std::map<std::string, std::string>{{"Thumbs.db", "clutter"}}));

  // The next start finds nothing to move.
  env_ResetForTests(nullptr);
  ASSERT_EQ(env_GetAppDataFolder(buffer), 1);
  EXPECT_EQ(snapshot(appData()), moved);

  // Without clutter the emptied sibling folder is removed.
  fs::remove(sibling + "/Thumbs.db");
  put(sibling + "/late.txt", "late");
  env_ResetForTests(nullptr);
  fs::remove_all(appData());  // a vanished cached folder is resolved again
  ASSERT_EQ(env_GetAppDataFolder(buffer), 1);
  EXPECT_EQ(vgmtest::readFile(appData() + "/late.txt"), "late");
  EXPECT_FALSE(fs::exists(sibling));
}

TEST_F(FoldersTest, FailedMoveStopsAndIsRetried) {
  std::string from = root_.file("from");
  std::string to = root_.file("to");
  put(from + "/sub/x.txt", "x");
  put(from + "/sub/y.txt", "y");
  put(from + "/z.txt", "z");
  put(to + "/sub/x.txt", "old x");
  // Whichever entry comes first, the fourth move is a file move and fails
  // after exactly one entry went: the move ends there.
  os_InjectFault(os_FaultKind::fileMove, 4);
  int first = env_MoveFolder(u16(from).c_str(), u16(to).c_str());
  os_InjectFault(os_FaultKind::fileMove, 0);
  EXPECT_EQ(first, 1);
  EXPECT_TRUE(fs::exists(from));
  int second = env_MoveFolder(u16(from).c_str(), u16(to).c_str());
  EXPECT_EQ(first + second, 3);
  EXPECT_FALSE(fs::exists(from));
  EXPECT_EQ(snapshot(to), (std::map<std::string, std::string>{
                              {"sub", "/"}, {"sub/x.txt", "x"}, {"sub/y.txt", "y"}, {"z.txt", "z"}}));
  EXPECT_EQ(env_MoveFolder(u16(root_.file("none")).c_str(), u16(to).c_str()), 0);
}

TEST_F(FoldersTest, NamesThatAreNotUtf8StillMove) {
  std::string from = root_.file("from"), to = root_.file("to");
  std::map<std::string, std::string> tree{{"a.txt", "a"}, {"caf\xE9 \xFF.txt", "latin-1 name"}, {"\x80sub", "/"},
                                          {"\x80sub/z.txt", "z"}, {"zz.txt", "zz"}};
  for (const auto &[name, content] : tree)
    if (content != "/") put(from + "/" + name, content);
  fs::create_directories(to);  // the target exists: the move goes entry by entry
  EXPECT_EQ(env_MoveFolder(u16(from).c_str(), u16(to).c_str()), 4);
  EXPECT_FALSE(fs::exists(from));
  EXPECT_EQ(snapshot(to), tree);
}

TEST_F(FoldersTest, ContentFolderTakesOverTheSiblingContent) {
  put(docsBase_ + "/Orvine Draw KTA/More/frame.png", "frame");
  put(docsBase_ + "/Orvine Draw KTA/Color Profiles/cmyk.icm", "icm");
  char16_t buffer[os_MaxPath];
  ASSERT_EQ(env_GetContentFolder(buffer, os_MaxPath), 1);
  EXPECT_EQ(u8(buffer), docsBase_ + "/Orvine Photo");
  EXPECT_EQ(vgmtest::readFile(docsBase_ + "/Orvine Photo/Others/frame.png") +
                vgmtest::readFile(docsBase_ + "/Orvine Photo/Color Profiles/cmyk.icm"), "frameicm");
  EXPECT_FALSE(fs::exists(docsBase_ + "/Orvine Draw KTA"));
  EXPECT_EQ(env_GetContentFolder(buffer, 5), 0);
}

TEST_F(FoldersTest, AppPackagesAreRecognisedByPath) {
  for (auto [path, package] : {std::pair{u"C:\\Program Files\\WindowsApps\\Suite_5.43\\VFS\\app.exe", true},
                               {u"/mnt/windowsapps/suite/app", true}, {u"/mnt/WindowsApps2/suite/app", false},
                               {u"/mnt/My WindowsApps/app", false}, {u"WindowsApps/app", false}})
    EXPECT_EQ(env_IsAppPackagePath(path), package) << vgmtest::u8(path);
  EXPECT_EQ(env_PackageVfsRoot(u"C:\\WindowsApps\\P\\VFS\\ProgramFilesX86\\Suite\\app.exe"),
            u"C:\\WindowsApps\\P\\VFS\\");
  EXPECT_EQ(env_PackageVfsRoot(u"/pkg/VFS/VFS/app"), u"/pkg/VFS/");
  EXPECT_EQ(env_PackageVfsRoot(u"/pkg/VFSX/app"), u"");
}

TEST_F(FoldersTest, PackageDataIsCopiedOncePerVersion) {
  std::string vfs = root_.file("WindowsApps/Suite/VFS");
  put(vfs + "/Common AppData/Orvine Photo/Common/Language/English.lng", "packaged");
  put(vfs + "/Common Documents/Orvine Photo/Frames/f.png", "frame");
  std::u16string exe = u16(vfs + "/ProgramFiles/Suite/app");
  env_ResetForTests(exe.c_str());
  ASSERT_TRUE(env_RunsFromAppPackage());
  char16_t buffer[os_MaxPath];
  ASSERT_EQ(env_GetAppDataFolder(buffer), 1);
  EXPECT_EQ(vgmtest::readFile(appData() + "/Common/Language/English.lng"), "packaged");
  EXPECT_EQ(vgmtest::readFile(appData() + "/_msix_ver.ini"), "5.43.01");
  ASSERT_EQ(env_GetContentFolder(buffer, os_MaxPath), 1);
  EXPECT_EQ(vgmtest::readFile(docsBase_ + "/Orvine Photo/Frames/f.png"), "frame");

  // The marker stops a second copy over the user's changes.
  vgmtest::writeFile(appData() + "/Common/Language/English.lng", "edited");
  env_ResetForTests(exe.c_str());
  ASSERT_EQ(env_GetAppDataFolder(buffer), 1);
  EXPECT_EQ(vgmtest::readFile(appData() + "/Common/Language/English.lng"), "edited");

  // Inside a package the configured temporary folder is not consulted.
  cfg_Defaults();
  std::memcpy(cfg_Live()->temp_folder, u16(root_.file("cfgtmp")).c_str(), (root_.file("cfgtmp").size() + 1) * 2);
  ASSERT_EQ(cfg_Save(), 1);
  char16_t temp[os_MaxPath];
  ASSERT_GT(env_GetTempRoot(temp, os_MaxPath), 0);
  EXPECT_EQ(u8(temp), tempBase_ + "/");
}

TEST_F(FoldersTest, ConfiguredTemporaryFolder) {
  char16_t buffer[os_MaxPath];
  auto rootFor = [&](const std::string &setting) {  // the temporary root once `setting` is configured
    cfg_Defaults();
    std::u16string text = u16(setting);
    std::memcpy(cfg_Live()->temp_folder, text.c_str(), (text.size() + 1) * sizeof(char16_t));
    EXPECT_EQ(cfg_Save(), 1);
    return env_GetTempRoot(buffer, os_MaxPath) > 0 ? u8(buffer) : std::string("failed");
  };
  ASSERT_GT(env_GetTempRoot(buffer, os_MaxPath), 0);
  EXPECT_EQ(u8(buffer), tempBase_ + "/");
  std::string own = root_.file("own/tmp");
  EXPECT_EQ(rootFor("  " + own + " \t"), own + "/");
  EXPECT_EQ(env_GetTempRoot(buffer, os_MaxPath), static_cast<int>(own.size() + 1));
  EXPECT_TRUE(fs::is_empty(own));  // the test files are gone again
  EXPECT_EQ(env_GetTempRoot(buffer, own.size() + 1), 0);

  // The verdict holds for a minute even when the folder goes away...
  fs::remove_all(root_.file("own"));
  vgmtest::writeFile(root_.file("own"), "now a file");
  ASSERT_GT(env_GetTempRoot(buffer, os_MaxPath), 0);
  EXPECT_EQ(u8(buffer), own + "/");
  // ...and the next test rejects it.
  env_ResetForTests(nullptr);
  ASSERT_GT(env_GetTempRoot(buffer, os_MaxPath), 0);
  EXPECT_EQ(u8(buffer), tempBase_ + "/");

  // An existing folder where nothing can be written, even by root; a
  // read-only folder; fewer than four characters: the system's folder.
  std::string locked = root_.file("locked");
  fs::create_directories(locked);
  ::chmod(locked.c_str(), 0555);
  for (const std::string &setting : {std::string("/proc/self"), locked, std::string(" /t ")}) {
    if (setting == locked && ::geteuid() == 0) continue;  // root writes anywhere
    env_ResetForTests(nullptr);
    EXPECT_EQ(rootFor(setting), tempBase_ + "/") << setting;
  }
}

TEST_F(FoldersTest, FolderTreeDeletionRefusals) {
  std::string outside = root_.file("outside");
  put(outside + "/keep.txt", "keep");
  std::string tree = root_.file("tree");
  put(tree + "/a/b/c.txt", "c");
  fs::create_directory_symlink(outside, tree + "/a/link");
  fs::create_directory_symlink(outside, root_.file("toplink"));

  for (const std::string &refused : {std::string("/a"), root_.file("missing"), outside + "/keep.txt", root_.file("toplink")})
    EXPECT_EQ(env_DeleteFolderTree(u16(refused).c_str()), 0) << refused;
  EXPECT_EQ(env_DeleteFolderTree(nullptr), 0);
  ASSERT_EQ(env_DeleteFolderTree(u16(tree).c_str()), 1);
  EXPECT_FALSE(fs::exists(tree));
  EXPECT_EQ(vgmtest::readFile(outside + "/keep.txt"), "keep");
}

TEST(FoldersNames, SessionProcessIdentifiers) {
  for (auto [name, id] : {std::pair{u"_vgm_sesstmp_0000abcd", 0xabcdu}, {u"_kta_sess_tmp_x00001234", 0x1234u},
                          {u"_kta_sesstmp_0000123456", 0x00001234u}, {u"_vgm_sesstmp_000abcd", 0u},
                          {u"_vgm_sesstmp_000abcdz", 0u}, {u"_vgm_sesstmp_", 0u}})
    EXPECT_EQ(env_SessionProcessId(name), id) << vgmtest::u8(name);
}

}  // namespace
