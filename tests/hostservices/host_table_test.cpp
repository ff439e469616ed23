// The host table, the markup table's export slots, utilities and forwarding.
#include <dlfcn.h>
#include <unistd.h>

#include <cstring>

#include "host_services_fixture.h"
#include "imageio/plugin_files.h"
#include "imageio/plugin_registry.h"
#include "plugins/test_plugins.h"
#include "support/jpeg_app1.h"

namespace {

const pi_Host *H() { return io_HostTable(); }
int32_t get(const char16_t *key, void *buffer, int32_t size) { return H()->Get(H(), W(key), buffer, size); }
// The result of GetString and the text it left.
using Got = std::pair<int32_t, std::u16string>;
Got getString(const char16_t *key, int32_t capacity) {
  std::u16string buffer(static_cast<size_t>(capacity), u'#');
  int32_t result = H()->GetString(H(), W(key), reinterpret_cast<WCHAR *>(buffer.data()), capacity);
  return {result, buffer.c_str()};
}

const void *gTable = &gTable;
int32_t customHandler(int32_t kind, const char16_t *name, void *buffer, int32_t) {
  if (kind != kExtendedInterface || std::u16string(name) != u"pi_Custom") return 0;
  std::memcpy(buffer, &gTable, sizeof gTable);
  return 1;
}

}  // namespace

TEST_F(HostServicesTest, ValuesKeepTheirSizeRules) {
  uint8_t buffer[64];
  std::memset(buffer, 0xAB, sizeof buffer);
  EXPECT_EQ(get(u"host.name", buffer, 20), -26);
  EXPECT_EQ(buffer[0], 0xAB);  // nothing stored
  EXPECT_EQ(get(u"host.name", buffer, 26), 26);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(buffer)), u"Orvine Photo");
  EXPECT_EQ(getString(u"host.version", 4), Got(-8, u""));
  EXPECT_EQ(getString(u"host.version", 1), Got(-8, u""));
  EXPECT_EQ(getString(u"host.version", 8), Got(8, u"5.43.01"));
  EXPECT_EQ(getString(u"no.such.key", 8), Got(0, u""));
  EXPECT_EQ(get(u"cpu.has_SSE2", buffer, 1), 1);
  EXPECT_EQ(buffer[0], __builtin_cpu_supports("sse2") ? 1 : 0);
  EXPECT_EQ(get(u"cpu.num_threads", buffer, 3), -4);
  EXPECT_EQ(H()->GetInt(H(), W(u"cpu.num_threads"), 1), sysconf(_SC_NPROCESSORS_ONLN));
  EXPECT_EQ(H()->GetInt(H(), W(u"cpu.num_threads"), 0), -4);
  EXPECT_EQ(H()->GetInt(H(), W(u"host.name"), 1), 0);  // does not fit 4 bytes
  EXPECT_TRUE(get(u"icm.cmyk_file", buffer, 64) == 0 && get(u"", buffer, 64) == 0);
  std::string profiles = root_.file("docs") + "/Orvine Photo/Color Profiles";
  fs::create_directories(profiles);
  vgmtest::writeFile(profiles + "/Press Default CMYK.icm", std::string(8, 'x'));
  std::u16string expected = vgmtest::u16(profiles + "/Press Default CMYK.icm");
  EXPECT_EQ(getString(u"icm.cmyk_file", 1024), Got(static_cast<int32_t>(expected.size() + 1), expected));
  EXPECT_EQ(H()->GetBool(H(), W(u"host.extended_handler.active")), 1);
  EXPECT_EQ(H()->GetBool(H(), W(u"no.such.key")), -1);
  io_SetExtendedHandler(nullptr);
  EXPECT_EQ(H()->GetBool(H(), W(u"host.extended_handler.active")), -1);
  // Unreadable names count as empty.
  const WCHAR *bad = static_cast<const WCHAR *>(unreadable());
  EXPECT_EQ(H()->Get(H(), bad, buffer, 64), 0);
  EXPECT_EQ(H()->GetSettableKind(H(), bad), -1);
  EXPECT_EQ(H()->LoadLibrary(H(), bad), nullptr);
  EXPECT_EQ(H()->GetInterface(H(), bad), nullptr);
}

TEST_F(HostServicesTest, OnlyProgressIsSettable) {
  struct Case {
    const char16_t *key;
    int32_t kind, settable, set2, set4;
  } cases[] = {{u"progress.value", -4, 1, -4, 1}, {u"progress.string", 1, 1, 1, 1}, {u"host.name", 0, 0, 0, 0},
               {u"", -1, -1, -1, -1}};
  uint32_t v = 5;
  for (const Case &c : cases) {
    EXPECT_EQ(H()->GetSettableKind(H(), W(c.key)), c.kind) << vgmtest::u8(c.key);
    EXPECT_EQ(H()->IsSettable(H(), W(c.key)), c.settable) << vgmtest::u8(c.key);
    EXPECT_EQ(H()->Set(H(), W(c.key), &v, 2), c.set2) << vgmtest::u8(c.key);
    EXPECT_EQ(H()->Set(H(), W(c.key), &v, 4), c.set4) << vgmtest::u8(c.key);
  }
  EXPECT_EQ(H()->SetString(H(), W(u"progress.string"), W(u"half")), 1);
  EXPECT_EQ(H()->SetString(H(), W(u"progress.value"), W(u"")), -4);  // 2 bytes
}

TEST_F(HostServicesTest, FoldersFollowTheRedirection) {
  Got temp = getString(u"host.temp_dir", 1024);
  std::string path = vgmtest::u8(temp.second);
  EXPECT_TRUE(path.rfind(root_.file("tmp"), 0) == 0 && fs::is_directory(path)) << path;
  EXPECT_EQ(temp.first, static_cast<int32_t>(path.size() + 1));
  EXPECT_EQ(getString(u"host.temp_dir", 4), Got(-temp.first, u""));
  EXPECT_EQ(vgmtest::u8(getString(u"host.temp_root_dir", 1024).second).rfind(root_.file("tmp"), 0), 0u);
  EXPECT_EQ(vgmtest::u8(getString(u"host.docs_dir", 1024).second).rfind(root_.file("docs"), 0), 0u);
  io_SetPluginFolder(u"/opt/x/Plugins");
  EXPECT_EQ(getString(u"host.plugin_deps_dir", 1024).second, u"/opt/x/Plugins/Dependencies");
  io_SetPluginFolder(u"");
  // A one-character author name gives way to the user's name.
  char16_t user[64] = {};
  ASSERT_EQ(cfg_UserName(user, 64), 1);
  cfg_Load(1);
  for (std::u16string name : {u"X", u"Jo"}) {
    std::memcpy(cfg_Live()->author_name, name.c_str(), (name.size() + 1) * 2);
    ASSERT_EQ(cfg_Save(), 1);
    EXPECT_EQ(getString(u"config.author_name", 64).second, name.size() < 2 ? std::u16string(user) : name);
  }
}

TEST_F(HostServicesTest, InterfacesByExactName) {
  struct Case {
    const char16_t *name;
    const void *table;
  } cases[] = {{u"pi_StateStore", io_StateStoreTable()}, {u"pi_MetaMarkup", io_MetaMarkupTable()},
               {u"pi_BasicQuery", nullptr},              {u"pi_BasicImage", io_BasicImageTable()},
               {u"pi_BasicColor", io_BasicColorTable()}, {u"pi_BasicUtils", io_BasicUtilsTable()},
               {u"pi_BasicVideo", io_BasicVideoTable()}, {u"pi_Forwarding", io_ForwardingTable()},
               {u"pi_basicimage", nullptr},              {u"pi_Custom", nullptr},
               {u"", nullptr}};
  for (const Case &c : cases) EXPECT_EQ(H()->GetInterface(H(), W(c.name)), c.table) << vgmtest::u8(c.name);
  io_SetExtendedHandler(customHandler);
  EXPECT_EQ(H()->GetInterface(H(), W(u"pi_Custom")), gTable);
  EXPECT_EQ(H()->GetInterface(H(), W(u"pi_Other")), nullptr);
  EXPECT_EQ(H()->LoadLibrary(H(), W(u"flt_Missing.dll")), nullptr);
}

TEST_F(HostServicesTest, MarkupExportSlots) {
  const pi_MetaMarkup *mm = io_MetaMarkupTable();
  std::string exif = vgmtest::jpegExifPayload(vgmtest::readFile(vgmtest::dataFile("exif/Canon_40D.jpg")));
  ASSERT_GT(exif.size(), 4u);
  FltMetaMarkup m;
  ASSERT_EQ(mm->InitFromData(&m, "a=1;", 4), 1);
  HGLOBAL block = nullptr;
  uint32_t size = 0;
  // A library without the exports: every slot fails and changes nothing.
  io_SetOwnModulePathForTests(vgmtest::u16(VGM_TEST_PLUGIN("TestGood")));
  EXPECT_EQ(mm->MarkupFromEXIF(&m, exif.data(), static_cast<int32_t>(exif.size())), 0);
  EXPECT_EQ(mm->MarkupFromXMP(&m, "<x:xmpmeta/>", 12), 0);
  EXPECT_EQ(mm->MarkupToEXIF(&m, &block, &size), 0);
  EXPECT_STREQ(m.text, "a=1;");
  // The real library converts; a block under 4 bytes is refused first.
  io_SetOwnModulePathForTests(vgmtest::u16(VGM_LIBRARY_FILE));
  EXPECT_EQ(mm->MarkupFromEXIF(&m, exif.data(), 3), 0);
  EXPECT_EQ(mm->MarkupFromEXIF(&m, exif.data(), static_cast<int32_t>(exif.size())), 1);
  char make[32] = {};
  EXPECT_GT(mm->Get(&m, "exif.make", make, sizeof make), 0);
  EXPECT_STREQ(make, "Canon");
  EXPECT_EQ(mm->Get(&m, "a", make, sizeof make), 1);
  // And back to EXIF: a little-endian block that the reader takes again. The
  // block belongs to the loaded library's allocator: keep that copy loaded.
  void *library = dlopen(VGM_LIBRARY_FILE, RTLD_NOW);
  ASSERT_NE(library, nullptr);
  auto libraryFree = reinterpret_cast<decltype(&GlobalFree)>(dlsym(library, "GlobalFree"));
  ASSERT_EQ(mm->MarkupToEXIF(&m, &block, &size), 1);
  ASSERT_TRUE(block != nullptr && size > 8 && size <= 32767);
  EXPECT_EQ(std::string(static_cast<const char *>(block), 8), std::string("Exif\0\0II", 8));
  FltMetaMarkup back;
  ASSERT_EQ(mm->Init(&back), 1);
  EXPECT_EQ(mm->MarkupFromEXIF(&back, block, static_cast<int32_t>(size)), 1);
  std::memset(make, 0, sizeof make);
  EXPECT_GT(mm->Get(&back, "exif.make", make, sizeof make), 0);
  EXPECT_STREQ(make, "Canon");
  libraryFree(block);
  dlclose(library);
  mm->Free(&back);
  mm->Free(&m);
}

TEST_F(HostServicesTest, UtilitiesAndForwarding) {
  const pi_BasicUtils *u = io_BasicUtilsTable();
  WCHAR out[4];
  EXPECT_EQ(u->Translate(W(u"Cancel"), out, 4), 3);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(out)), u"Can");
  EXPECT_TRUE(!u->WebRequest && !u->Download);
  // Forwarding: the table's plug-in is missing here; a registry entry is used.
  vgmtest::TempFolder plugins;
  fs::copy_file(VGM_TEST_PLUGIN("TestGood"), plugins.file("flt_TestGood.dll"));
  ASSERT_TRUE(io_RegistriesAttach(plugins.path16().c_str()));
  io_RegistryRemember(kRegistryLoad, u".tst", plugins.file16("flt_TestGood.dll"), false);
  vgmtest::TstFile tst;
  tst.switches = vgmtest::kTstFailBefore;
  tst.code = FLT_ERR_IO_DEVICE;
  vgmtest::writeFile(plugins.file("a.tst"), tst.bytes());
  FltLoadRequest request{};
  std::u16string path = plugins.file16("a.tst");
  request.path = W(path.c_str());
  const pi_Forwarding *f = io_ForwardingTable();
  EXPECT_EQ(f->ForwardLoad(W(u"tst"), &request), FLT_ERR_IO_DEVICE);
  EXPECT_EQ(f->ForwardLoad(W(u".png"), &request), FLT_ERR_COMPONENT_MISSING);
  EXPECT_EQ(f->ForwardLoad(W(u""), &request), FLT_ERR_BAD_REQUEST);
  io_RegistriesDetach();
}
