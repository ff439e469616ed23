// pi_BasicImage: a C plug-in checks every slot through its request record;
// the load and save round trips fail cleanly and leave no file behind.
#include "host_services_fixture.h"
#include "plugins/test_plugins.h"

namespace {

std::string sessionFolder() {
  char16_t folder[os_MaxPath];
  return env_GetSessionFolder(folder, os_MaxPath) ? vgmtest::u8(folder) : std::string();
}

int temporaryFiles(const std::string &folder) {
  int count = 0;
  for (const auto &entry : fs::directory_iterator(folder))
    count += entry.path().filename().string().rfind("_vgm_plgtmp_", 0) == 0;
  return count;
}

}  // namespace

TEST_F(HostServicesTest, TestPluginReachesEverySlot) {
  os_Module *plugin = os_ModuleLoad(vgmtest::u16(VGM_TEST_PLUGIN("TestHost")).c_str());
  ASSERT_NE(plugin, nullptr);
  auto load = reinterpret_cast<flt_LoadImageFn>(os_ModuleSymbol(plugin, "flt_LoadImage"));
  FltLoadRequest request{};
  io_AttachHostTables(&request);
  ASSERT_NE(load, nullptr);
  EXPECT_EQ(load(&request), 1) << "first failed check";
  os_ModuleFree(plugin);
}

TEST_F(HostServicesTest, RoundTripsWithoutTheOwnExports) {
  const pi_BasicImage *bi = io_BasicImageTable();
  std::string folder = sessionFolder();
  ASSERT_FALSE(folder.empty());
  io_SetOwnModulePathForTests(vgmtest::u16(VGM_TEST_PLUGIN("TestGood")));
  FltImage img{};
  FltImageIoRequest r{};
  const char png[] = "\x89PNG\r\n\x1a\n....", jpeg[] = "\xFF\xD8\xFF\xE0........";
  r.data = const_cast<char *>(png);
  r.data_size = 12;
  EXPECT_EQ(bi->LoadImage(&img, &r), 0);
  EXPECT_EQ(r.entry_missing, 1);
  std::u16string file = vgmtest::u16(root_.file("x.png"));
  FltImageIoRequest named{};
  named.file_name = W(file.c_str());
  EXPECT_EQ(bi->LoadImage(&img, &named), 0);
  EXPECT_EQ(named.entry_missing, 1);
  ASSERT_EQ(bi->Create(&img, 2, 2), 1);
  FltImageIoRequest save{};
  save.name_hint = W(u"out.png");
  EXPECT_EQ(bi->SaveImage(&img, &save), 0);
  EXPECT_EQ(save.entry_missing, 1);
  EXPECT_EQ(save.data, nullptr);
  save = FltImageIoRequest{};
  EXPECT_EQ(bi->SaveImage(&img, &save), 0);  // no hint, no file: refused
  EXPECT_EQ(save.entry_missing, 0);
  EXPECT_EQ(temporaryFiles(folder), 0);
  // Every try gives one name: when it is taken the load stops before the
  // export; the format comes from the signature.
  io_PinTemporaryNameForTests(true, 0x1234, 0x8042);
  vgmtest::writeFile(folder + "/_vgm_plgtmp_pibi_00001234_0042.png", "taken");
  r.entry_missing = 1;
  EXPECT_EQ(bi->LoadImage(&img, &r), 0);
  EXPECT_EQ(r.entry_missing, 0);
  r.data = const_cast<char *>(jpeg);
  EXPECT_EQ(bi->LoadImage(&img, &r), 0);
  EXPECT_EQ(r.entry_missing, 1);
  r.name_hint = W(u"picture.png");
  EXPECT_EQ(bi->LoadImage(&img, &r), 0);
  EXPECT_EQ(r.entry_missing, 0);  // the hint wins over the signature
  EXPECT_EQ(vgmtest::readFile(folder + "/_vgm_plgtmp_pibi_00001234_0042.png"), "taken");
  fs::remove(folder + "/_vgm_plgtmp_pibi_00001234_0042.png");
  // A failing write leaves nothing; so do bad requests.
  os_InjectFault(os_FaultKind::fileWrite, 1);
  EXPECT_EQ(bi->LoadImage(&img, &r), 0);
  os_InjectFault(os_FaultKind::fileWrite, 0);
  EXPECT_EQ(r.entry_missing, 0);
  r.data_size = 3;
  EXPECT_EQ(bi->LoadImage(&img, &r), 0);
  EXPECT_EQ(bi->LoadImage(&img, nullptr), 0);
  EXPECT_EQ(temporaryFiles(folder), 0);
  EXPECT_EQ(bi->Free(&img), 1);
}
