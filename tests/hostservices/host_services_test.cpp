// Every host-service test runs against its own application-data, content
// and temporary folders, with the default extended handler installed.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "hostenv/config_record.h"
#include "hostenv/folders.h"
#include "imageio/host_services.h"
#include "imageio/host_tables.h"
#include "imageio/plugin_files.h"
#include "imageio/plugin_registry.h"
#include "platform/os.h"
#include "plugins/test_plugins.h"
#include "raster/thread_state.h"
#include "support/jpeg_app1.h"
#include "support/test_support.h"


namespace fs = std::filesystem;

inline const WCHAR *W(const char16_t *text) { return reinterpret_cast<const WCHAR *>(text); }

class HostServicesTest : public ::testing::Test {
 protected:
  vgmtest::TempFolder root_;
  vgmtest::ScopedEnv app_{"VGM_APPDATA_DIR", root_.file("app")}, docs_{"VGM_CONTENT_DIR", root_.file("docs")};
  vgmtest::ScopedEnv temp_{"VGM_TEMP_DIR", root_.file("tmp")};
  vgmtest::ScopedEnv icc_{"VGM_ICC_DIRS", ""};  // no system profiles: only the suite's folder counts

  void SetUp() override {
    fs::create_directories(root_.file("tmp"));
    reset();
    ASSERT_NE(rx_EngineStart(), 0);
  }
  void TearDown() override { reset(), rx_EngineStop(); }
  static void reset() {
    env_ResetForTests(nullptr), cfg_ResetForTests(), io_InstallDefaultExtendedHandler(), io_StateStoreClear();
    io_StateStoreSetClock(nullptr), io_SetOwnModulePathForTests(u""), io_PinTemporaryNameForTests(false, 0, 0);
  }
  // A page that cannot be read: texts there count as empty.
  static const void *unreadable() {
    static unsigned char *page = vgmtest::pagesAllocate(vgmtest::pageSize());
    static const bool closed = vgmtest::pagesProtect(page, vgmtest::pageSize(), vgmtest::PageAccess::none);
    return closed ? page : nullptr;
  }
  std::string storeFolder() const { return root_.file("app") + "/Orvine Photo/Common/Plugins"; }
};

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

const pi_StateStore *S() { return io_StateStoreTable(); }
const WCHAR *N(const std::u16string &name) { return W(name.c_str()); }

std::atomic<uint32_t> gTick{0};
uint32_t testClock() { return gTick.load(); }

// A scrambled file written straight from the format's description, byte by byte.
std::string independentEnc(uint32_t cache_seed, uint32_t file_seed, const std::string &plain) {
  uint8_t key[128], unmixed[128];
  uint32_t x = cache_seed & 0x7FFFFFFF;
  for (uint8_t &k : key) x = x * 214013u + 2531011u, k = static_cast<uint8_t>((x >> 16) & 0xFF);
  auto word = [&](int o) { return key[o] | key[o + 1] << 8 | key[o + 2] << 16 | uint32_t(key[o + 3]) << 24; };
  uint32_t check = 0;
  for (int i = 0; i <= 120; i += 4) check ^= word(i) ^ word(i + 1) ^ word(i + 2) ^ word(i + 3);
  std::memcpy(unmixed, key, 128);
  for (int p = 0, n = 0; p < 124; ++n) {
    for (int b = 0; b < 4; ++b) key[p + b] ^= static_cast<uint8_t>(file_seed >> (8 * b));
    p += 13 + (((file_seed >> (n % 24)) ^ unmixed[n % 128]) & 15);
  }
  std::string out;
  uint32_t size = static_cast<uint32_t>(plain.size());
  for (uint32_t v : {0x10001u, size, size, 1u, check, file_seed, 0u, 0u})
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<char>(v >> (8 * b)));
  for (size_t i = 0; i < plain.size(); ++i) out.push_back(static_cast<char>(plain[i] ^ key[i % 128]));
  return out;
}

std::string pattern(size_t size) {
  std::string s(size, 0);
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>("Plug-in state 0123456789"[i % 24] + (i / 24) % 7);
  return s;
}

}  // namespace

TEST_F(HostServicesTest, ValuesKeepTheirSizeRulesAndOnlyProgressIsSettable) {
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
  EXPECT_EQ(H()->GetInt(H(), W(u"cpu.num_threads"), 1), static_cast<int32_t>(std::thread::hardware_concurrency()));
  EXPECT_EQ(H()->GetInt(H(), W(u"cpu.num_threads"), 0), -4);
  EXPECT_EQ(H()->GetInt(H(), W(u"host.name"), 1), 0);  // does not fit 4 bytes
  EXPECT_TRUE(get(u"icm.cmyk_file", buffer, 64) == 0 && get(u"", buffer, 64) == 0);
  const std::string profile = root_.file("docs/Orvine Photo/Color Profiles/Press Default CMYK.icm");
  vgmtest::writeFile(profile, std::string(8, 'x'));
  std::u16string expected = vgmtest::u16(profile);
  EXPECT_EQ(getString(u"icm.cmyk_file", 1024), Got(static_cast<int32_t>(expected.size() + 1), expected));
  EXPECT_EQ(H()->GetBool(H(), W(u"no.such.key")), -1);
  io_SetExtendedHandler(nullptr);
  EXPECT_EQ(H()->GetBool(H(), W(u"host.extended_handler.active")), -1);  // 1 before: flt_TestHost's check
  // Unreadable names count as empty.
  const WCHAR *bad = static_cast<const WCHAR *>(unreadable());
  EXPECT_EQ(H()->Get(H(), bad, buffer, 64), 0);
  EXPECT_EQ(H()->GetSettableKind(H(), bad), -1);
  EXPECT_EQ(H()->LoadLibrary(H(), bad), nullptr);
  EXPECT_EQ(H()->GetInterface(H(), bad), nullptr);

  // Only the progress values can be set.
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
  EXPECT_EQ(getString(u"host.plugin_deps_dir", 1024).second, vgmtest::u16(vgmtest::join("/opt/x/Plugins", "Dependencies")));
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

TEST_F(HostServicesTest, InterfacesByExactNameAndMarkupExportSlots) {
  // The built-in tables by name are flt_TestHost's checks (through its request record).
  EXPECT_EQ(H()->GetInterface(H(), W(u"pi_Custom")), nullptr);
  EXPECT_EQ(H()->GetInterface(H(), W(u"")), nullptr);
  io_SetExtendedHandler(customHandler);
  EXPECT_EQ(H()->GetInterface(H(), W(u"pi_Custom")), gTable);
  EXPECT_EQ(H()->GetInterface(H(), W(u"pi_Other")), nullptr);
  EXPECT_EQ(H()->LoadLibrary(H(), W(u"flt_Missing.dll")), nullptr);

  // The markup table's export slots.
  const pi_MetaMarkup *mm = io_MetaMarkupTable();
  std::string exif = vgmtest::jpegExifPayload(vgmtest::readFile(vgmtest::dataFile("exif/Canon_40D.jpg")));
  ASSERT_GT(exif.size(), 4u);
  FltMetaMarkup m;
  ASSERT_EQ(mm->InitFromData(&m, "a=1;", 4), 1);
  HGLOBAL block = nullptr;
  uint32_t size = 0;
  // A library without the exports: every slot fails and changes nothing.
  io_SetOwnModulePathForTests(vgmtest::u16(VGM_TEST_PLUGIN("TestGood")));
  EXPECT_EQ(std::tuple(mm->MarkupFromEXIF(&m, exif.data(), static_cast<int32_t>(exif.size())),
                       mm->MarkupFromXMP(&m, "<x:xmpmeta/>", 12), mm->MarkupToEXIF(&m, &block, &size)),
            std::tuple(0, 0, 0));
  EXPECT_STREQ(m.text, "a=1;");
  // The real library converts; a block under 4 bytes is refused first.
  io_SetOwnModulePathForTests(vgmtest::u16(VGM_LIBRARY_FILE));
  EXPECT_EQ(mm->MarkupFromEXIF(&m, exif.data(), 3), 0);
  EXPECT_EQ(mm->MarkupFromEXIF(&m, exif.data(), static_cast<int32_t>(exif.size())), 1);
  char make[32] = {};
  EXPECT_TRUE(mm->Get(&m, "exif.make", make, sizeof make) > 0 && std::string(make) == "Canon");
  EXPECT_EQ(mm->Get(&m, "a", make, sizeof make), 1);
  // And back to EXIF: a little-endian block of the loaded library's allocator.
  os_Module *library = os_ModuleLoad(vgmtest::u16(VGM_LIBRARY_FILE).c_str());
  ASSERT_NE(library, nullptr);
#ifdef _WIN32
  auto libraryFree = GlobalFree;  // the system's, shared by every module
#else
  auto libraryFree = reinterpret_cast<decltype(&GlobalFree)>(os_ModuleSymbol(library, "GlobalFree"));
#endif
  ASSERT_EQ(mm->MarkupToEXIF(&m, &block, &size), 1);
  ASSERT_TRUE(block != nullptr && size > 8 && size <= 32767);
  EXPECT_EQ(std::string(static_cast<const char *>(block), 8), std::string("Exif\0\0II", 8));
  libraryFree(block), os_ModuleFree(library), mm->Free(&m);
}

TEST_F(HostServicesTest, UtilitiesAndForwarding) {
  const pi_BasicUtils *u = io_BasicUtilsTable();
  WCHAR out[4];
  EXPECT_TRUE(u->Translate(W(u"Cancel"), out, 4) == 3 && std::u16string(reinterpret_cast<char16_t *>(out)) == u"Can");
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

// pi_BasicImage: a C plug-in checks every slot through its request record;
// the load and save round trips fail cleanly and leave no file behind.
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
  const auto load = [&](FltImageIoRequest &request) {  // the result and whether the export was missing
    const int32_t result = bi->LoadImage(&img, &request);
    return std::pair<int32_t, int32_t>(result, request.entry_missing);
  };
  r.data = const_cast<char *>(png), r.data_size = 12;
  EXPECT_EQ(load(r), std::pair(0, 1));
  std::u16string file = vgmtest::u16(root_.file("x.png"));
  FltImageIoRequest named{};
  named.file_name = W(file.c_str());
  EXPECT_EQ(load(named), std::pair(0, 1));
  ASSERT_EQ(bi->Create(&img, 2, 2), 1);
  FltImageIoRequest save{};
  save.name_hint = W(u"out.png");
  EXPECT_EQ(bi->SaveImage(&img, &save), 0);
  EXPECT_EQ(std::tuple(save.entry_missing, save.data), std::tuple(1, nullptr));
  save = FltImageIoRequest{};
  EXPECT_EQ(bi->SaveImage(&img, &save), 0);  // no hint, no file: refused
  EXPECT_EQ(save.entry_missing, 0);
  EXPECT_EQ(temporaryFiles(folder), 0);
  // Every try gives one name: when it is taken the load stops before the
  // export; the format comes from the signature.
  io_PinTemporaryNameForTests(true, 0x1234, 0x8042);
  vgmtest::writeFile(folder + "/_vgm_plgtmp_pibi_00001234_0042.png", "taken");
  r.entry_missing = 1;
  EXPECT_EQ(load(r), std::pair(0, 0));
  r.data = const_cast<char *>(jpeg);
  EXPECT_EQ(load(r), std::pair(0, 1));
  r.name_hint = W(u"picture.png");
  EXPECT_EQ(load(r), std::pair(0, 0));  // the hint wins over the signature
  EXPECT_EQ(vgmtest::readFile(folder + "/_vgm_plgtmp_pibi_00001234_0042.png"), "taken");
  fs::remove(folder + "/_vgm_plgtmp_pibi_00001234_0042.png");
  // A failing write leaves nothing; so do bad requests.
  os_InjectFault(os_FaultKind::fileWrite, 1);
  const auto failedWrite = load(r);
  os_InjectFault(os_FaultKind::fileWrite, 0);
  EXPECT_EQ(failedWrite, std::pair(0, 0));
  r.data_size = 3;
  EXPECT_EQ(std::tuple(bi->LoadImage(&img, &r), bi->LoadImage(&img, nullptr)), std::tuple(0, 0));
  EXPECT_EQ(temporaryFiles(folder), 0);
  EXPECT_EQ(bi->Free(&img), 1);
}

// pi_StateStore: session memory, plain files and scrambled files.
TEST_F(HostServicesTest, SessionMemoryLimitsAndEviction) {
  std::vector<char> big(70000, 'z'), back(80000, 0);
  EXPECT_EQ(S()->MemSet(N(u"big"), big.data(), 70000), 65536);
  EXPECT_EQ(std::pair(S()->MemGet(N(u"big"), back.data(), 80000), S()->MemSize(N(u"big"))), std::pair(65536, 65536));
  EXPECT_EQ(back[65535], 'z');
  EXPECT_TRUE(S()->MemSet(N(u"big"), nullptr, 0) == 1 && S()->MemSize(N(u"big")) == 0);
  std::u16string n31(31, u'a'), n32(32, u'a');
  EXPECT_EQ(S()->MemSet(N(n31), "v", 1), 1);
  EXPECT_EQ(S()->MemSet(N(n32), "w", 1), 0);  // refused, not cut to the 31-unit name
  char c = 0;
  EXPECT_TRUE(S()->MemGet(N(n31), &c, 1) == 1 && c == 'v');
  // Ticks 1..1024 in slot order; reading "k0" makes "k1" the oldest.
  io_StateStoreClear();
  io_StateStoreSetClock(testClock);
  for (int i = 0; i < 1024; ++i) {
    gTick = static_cast<uint32_t>(i + 1);
    ASSERT_EQ(S()->MemSet(N(u"k" + vgmtest::u16(std::to_string(i))), &i, 4), 4);
  }
  gTick = 5000;
  int value = 0;
  EXPECT_EQ(S()->MemGet(N(u"k0"), &value, 4), 4);
  ASSERT_EQ(S()->MemSet(N(u"new1"), &value, 4), 4);
  EXPECT_TRUE(S()->MemSize(N(u"k1")) == 0 && S()->MemSize(N(u"k0")) == 4);
  ASSERT_EQ(S()->MemSet(N(u"new2"), &value, 4), 4);
  EXPECT_TRUE(S()->MemSize(N(u"k2")) == 0 && S()->MemSize(N(u"k3")) == 4);
  // On equal ticks the first slot goes.
  io_StateStoreClear();
  for (int i = 0; i < 1024; ++i) ASSERT_EQ(S()->MemSet(N(u"k" + vgmtest::u16(std::to_string(i))), &i, 4), 4);
  ASSERT_EQ(S()->MemSet(N(u"new3"), &value, 4), 4);
  EXPECT_TRUE(S()->MemSize(N(u"k0")) == 0 && S()->MemSize(N(u"k1")) == 4);
}

TEST_F(HostServicesTest, SessionMemoryUnderConcurrentUse) {
  std::vector<std::thread> threads;
  std::atomic<int> torn{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &torn] {
      std::vector<uint8_t> value(64), got(64);
      for (int i = 0; i < 10000; ++i) {
        std::u16string name = u"n" + vgmtest::u16(std::to_string((i * 7 + t) % 40));
        if ((i + t) % 3 == 0) {
          std::fill(value.begin(), value.end(), static_cast<uint8_t>(i));
          S()->MemSet(N(name), value.data(), 8 + i % 56);
        } else {
          int32_t n = S()->MemGet(N(name), got.data(), 64);
          for (int32_t k = 1; k < n; ++k)
            if (got[k] != got[0]) ++torn;
        }
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(torn.load(), 0);
}

TEST_F(HostServicesTest, PlainAndScrambledFiles) {
  std::string data = pattern(262145);
  for (auto bad : {u"a\\b", u"a/b", u""}) EXPECT_EQ(S()->FileSet(N(bad), "x", 1), 0);
  EXPECT_FALSE(fs::exists(storeFolder()) && !fs::is_empty(storeFolder()));
  EXPECT_EQ(S()->FileSet(N(u"p"), data.data(), 262145), 262144);
  std::string back(10, 0);
  EXPECT_EQ(std::pair(S()->FileSize(N(u"p")), S()->FileGet(N(u"p"), back.data(), 10)), std::pair(262144, 10));
  EXPECT_EQ(back, data.substr(0, 10));
  EXPECT_TRUE(S()->FileSet(N(u"p"), nullptr, 0) == 1 && S()->FileSize(N(u"p")) == 0 && S()->FileGet(N(u"p"), back.data(), 10) == 0);
  // A write that fails leaves the old file and no stray one.
  ASSERT_EQ(S()->FileSet(N(u"q"), "old", 3), 3);
  os_InjectFault(os_FaultKind::fileWrite, 1);
  EXPECT_EQ(S()->FileSet(N(u"q"), "new!", 4), 0);
  os_InjectFault(os_FaultKind::fileWrite, 0);
  EXPECT_EQ(vgmtest::readFile(storeFolder() + "/q.bin"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(storeFolder()), fs::directory_iterator()), 1);

  cfg_Load(1);
  cfg_Live()->cache_seed = 0x8BADF00Du;  // only the low 31 bits count
  ASSERT_EQ(cfg_Save(), 1);
  for (int size : {1, 127, 128, 129, 262144, 262145}) {
    std::string plain = pattern(static_cast<size_t>(size)), back(static_cast<size_t>(size) + 8, 0);
    int32_t stored = std::min(size, 262144);
    ASSERT_EQ(S()->SecureSet(N(u"s"), plain.data(), size), stored) << size;
    EXPECT_EQ(std::pair(S()->SecureSize(N(u"s")), S()->SecureGet(N(u"s"), back.data(), size + 8)), std::pair(stored, stored));
    EXPECT_EQ(back.substr(0, static_cast<size_t>(stored)), plain.substr(0, static_cast<size_t>(stored))) << size;
  }
  EXPECT_TRUE(S()->SecureSet(N(u"s"), nullptr, 0) == 1 && S()->SecureSize(N(u"s")) == 0);
  // The file hides its plaintext: no 8-byte run of it survives.
  std::string plain = pattern(4096);
  back.assign(4096, 0);
  ASSERT_EQ(S()->SecureSet(N(u"s"), plain.data(), 4096), 4096);
  std::string file = vgmtest::readFile(storeFolder() + "/s.enc");
  EXPECT_EQ(file.substr(0, 4), std::string("\x01\x00\x01\x00", 4));
  for (size_t i = 0; i + 8 <= plain.size(); ++i) ASSERT_EQ(file.find(plain.substr(i, 8)), std::string::npos) << i;
  EXPECT_EQ(S()->SecureGet(N(u"s"), back.data(), 100), 100);  // at most `size`
  // Any damaged header word gives nothing.
  for (int word = 0; word < 8; ++word) {
    std::string bad = file;
    bad[static_cast<size_t>(word) * 4 + 3] ^= static_cast<char>(0x80);
    vgmtest::writeFile(storeFolder() + "/s.enc", bad);
    EXPECT_TRUE(S()->SecureGet(N(u"s"), back.data(), 4096) == 0 && S()->SecureSize(N(u"s")) == 0) << word;
  }
  vgmtest::writeFile(storeFolder() + "/s.enc", file.substr(0, 1000));
  EXPECT_EQ(S()->SecureGet(N(u"s"), back.data(), 4096), 0);
  // Written independently with a fixed seed, it reads back.
  vgmtest::writeFile(storeFolder() + "/i.enc", independentEnc(0x8BADF00Du, 0x1234567, plain.substr(0, 300)));
  EXPECT_TRUE(S()->SecureGet(N(u"i"), back.data(), 4096) == 300 && back.substr(0, 300) == plain.substr(0, 300));
  // A plain file under the name, or another cache seed: nothing.
  ASSERT_EQ(S()->FileSet(N(u"i"), plain.data(), 300), 300);
  fs::copy_file(storeFolder() + "/i.bin", storeFolder() + "/j.enc");
  EXPECT_EQ(S()->SecureGet(N(u"j"), back.data(), 4096), 0);
  cfg_Live()->cache_seed = 77;
  ASSERT_EQ(cfg_Save(), 1);
  EXPECT_EQ(S()->SecureGet(N(u"i"), back.data(), 4096), 0);
  EXPECT_EQ(S()->SecureSet(N(u"x\\y"), "z", 1), 0);
}
