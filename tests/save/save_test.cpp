// The save pipeline through cmio_SaveImage and its driver: path rules, the
// read-only question, the backup that undoes a failed save (under injected
// faults and a full disk), plug-in failures, cancelling and threads.
#include <dlfcn.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include "hostenv/config_record.h"
#include "imageio/plugin_fixture.h"
#include "imageio/save/save_pipeline.h"
#include "markup/markup_text.h"
#include "platform/os.h"
#include "raster/layers/properties.h"
#include "support/notices.h"
#include "vgm/vgm_common.h"

namespace {

std::vector<uint32_t> picture(uint32_t w, uint32_t h, uint32_t seed) {
  std::vector<uint32_t> px(size_t{w} * h);
  std::mt19937 random(seed);
  for (uint32_t &p : px) p = random() & 0x00FFFFFF;  // opaque: every format keeps it exactly
  return px;
}

}  // namespace

class saveDriver : public PluginTest {
 protected:
  std::string data_ = root_.file("data");
  void SetUp() override {
    PluginTest::SetUp();
    fs::create_directories(data_);
    install(VGM_TEST_PLUGIN("TestGood"), "flt_TestGood.dll");
    install((vgmtest::binFolder() + "/Plugins/PNG/flt_PNG.dll").c_str(), "PNG/flt_PNG.dll");
  }
  void TearDown() override {
    EXPECT_EQ(backups(), 0);
    PluginTest::TearDown();
  }
  int backups() {
    int n = 0;
    for (const auto &e : fs::recursive_directory_iterator(data_)) n += e.path().extension() == ".tmp";
    return n;
  }
  struct Result {
    int32_t code;
    std::string error;
    uint8_t handled;
  };
  static Result save(const std::u16string &path, uint32_t w, uint32_t h, const std::vector<uint32_t> &px,
                     const std::string &markup = "", HWND owner = nullptr, const char16_t *options = nullptr,
                     CmioProgressCallback progress = nullptr) {
    CmioImage image{w, h, w, const_cast<uint32_t *>(px.data())};
    CmioRequest request{};
    request.owner_window = owner;
    request.options_text = options;
    request.progress = progress;
    if (!markup.empty()) {
      request.markup = globalAlloc(GPTR, markup.size() + 1);
      std::memcpy(request.markup, markup.c_str(), markup.size() + 1);
      request.markup_size = static_cast<uint32_t>(markup.size() + 1);
    }
    Result r{saveExport(&image, path.c_str(), &request), vgmtest::u8(request.error_text), request.apply_scale};
    if (request.markup != nullptr) globalFree(request.markup);
    return r;
  }
  // The pixels and markup a file loads back with; empty pixels when it does not load.
  static std::pair<std::vector<uint32_t>, std::string> load(const std::u16string &path) {
    CmioImage image{};
    CmioRequest request{};
    request.want_markup = 1;
    std::pair<std::vector<uint32_t>, std::string> out;
    if (loadExport(&image, path.c_str(), &request) == 1) {
      auto *p = static_cast<uint32_t *>(image.pixels);
      out.first.assign(p, p + size_t{image.width} * image.height);
      globalFree(image.pixels);
    }
    if (request.markup != nullptr) out.second = static_cast<const char *>(request.markup), globalFree(request.markup);
    return out;
  }
  // A save in a child process whose files may not grow past `limit` bytes (a
  // full disk for a plug-in's own writes): 1 saved, 0 failed, -1 crashed.
  static int saveOnFullDisk(const std::u16string &path, uint32_t w, uint32_t h, const std::vector<uint32_t> &px,
                            rlim_t limit) {
    pid_t child = fork();
    if (child == 0) {
      rlimit cap{limit, limit};
      signal(SIGXFSZ, SIG_IGN);
      setrlimit(RLIMIT_FSIZE, &cap);
      _exit(save(path, w, h, px).code >= 1 ? 1 : 0);
    }
    int status = -1;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // The exports used, and the allocator of the library copy they belong to.
  static inline decltype(&cmio_SaveImage) saveExport = cmio_SaveImage;
  static inline decltype(&cmio_LoadImage) loadExport = cmio_LoadImage;
  static inline decltype(&GlobalFree) globalFree = GlobalFree;
  static inline decltype(&GlobalAlloc) globalAlloc = GlobalAlloc;
  std::u16string file(const std::string &name) { return u16(data_ + "/" + name); }
};

TEST_F(saveDriver, PathRulesAndMessages) {
  auto px = picture(4, 3, 1);
  EXPECT_EQ(save(u"", 4, 3, px).error, "The path is not valid");
  EXPECT_EQ(save(u"relative/a.png", 4, 3, px).error, "The path is not fully qualified");
  EXPECT_EQ(save(file("noext"), 4, 3, px).error, "The file does not have an extension");
  EXPECT_EQ(save(file("tool.ExE"), 4, 3, px).error, "Saving to this file format is not allowed: EXE");
  CmioImage none{};
  CmioRequest request{};
  EXPECT_EQ(cmio_SaveImage(&none, file("a.png").c_str(), &request), 0);
  EXPECT_EQ(vgmtest::u8(request.error_text), "The image is not valid (bad parameter)");
  EXPECT_EQ(cmio_SaveImage(&none, file("a.png").c_str(), nullptr), 0);
  // No plug-in writes ".xyz": the failure names the type.
  Result unknown = save(file("a.xyz"), 4, 3, px);
  EXPECT_EQ(unknown.code, 0);
  EXPECT_NE(unknown.error.find("\nFile type: '.xyz' (XYZ File)"), std::string::npos) << unknown.error;
  EXPECT_FALSE(fs::exists(data_ + "/a.xyz"));

  // 255 units in all: a new file is written; over an existing one the backup
  // name would pass the limit, so the save fails and the original stays.
  std::string deep = data_ + "/" + std::string(100, 'd');
  fs::create_directories(deep);
  std::string longName = deep + "/" + std::string(255 - deep.size() - 5, 'n') + ".png";
  ASSERT_EQ(longName.size(), 255u);
  EXPECT_GE(save(u16(longName), 4, 3, px).code, 1);
  EXPECT_EQ(load(u16(longName)).first, px);
  vgmtest::writeFile(longName, "original");
  Result over = save(u16(longName), 4, 3, px);
  EXPECT_EQ(over.code, 0);
  EXPECT_EQ(over.error.rfind("Backup for fault-tolerant save failed.\nReason:\n", 0), 0u) << over.error;
  EXPECT_EQ(vgmtest::readFile(longName), "original");
}

TEST_F(saveDriver, ReadOnlyTargetAsksFirst) {
  auto px = picture(3, 3, 2);
  std::string target = data_ + "/ro.png";
  auto makeReadOnly = [&] {
    vgmtest::writeFile(target, "original");
    chmod(target.c_str(), 0444);
  };
  vgmtest::ScriptedNotices notices;
  notices.answer = os_AnswerNo;
  HWND window = reinterpret_cast<HWND>(1);
  makeReadOnly();
  Result no = save(u16(target), 3, 3, px, "", window);
  EXPECT_EQ(no.code, 0);
  EXPECT_EQ(no.error, "The target file is marked as read-only.");
  EXPECT_EQ(vgmtest::readFile(target), "original");
  ASSERT_EQ(notices.seen.size(), 1u);
  EXPECT_EQ(notices.seen[0], "File is READ ONLY|68|The target file is marked as read-only.\nAre you sure you want to replace it?");
  notices.answer = os_AnswerYes;
  EXPECT_GE(save(u16(target), 3, 3, px, "", window).code, 1);
  EXPECT_EQ(load(u16(target)).first, px);
  makeReadOnly();
  EXPECT_GE(save(u16(target), 3, 3, px).code, 1);  // quiet: no question
  EXPECT_EQ(notices.seen.size(), 2u);
  EXPECT_EQ(load(u16(target)).first, px);
}

TEST_F(saveDriver, PluginChoiceAndFlatRetry) {
  install(VGM_TEST_PLUGIN("TestGreedy"), "flt_TestGreedy.dll");
  auto px = picture(2, 2, 3);
  // Native documents never reach a plug-in: the greedy one is not even probed.
  static int nativeCalls = 0;
  io_SetNativeWriterForTests([](rx_LayerEntry *, LoadSaveOptions *, const char16_t *path) {
    vgmtest::writeFile(vgmtest::u8(path), "native");
    return ++nativeCalls;
  });
  Result native = save(file("doc.kv5"), 2, 2, px);
  io_SetNativeWriterForTests(nullptr);
  EXPECT_EQ(std::tuple(native.code, native.handled, nativeCalls), std::tuple(1, 1, 1));
  EXPECT_FALSE(fs::exists(blacklistFile()));
  // Probing for ".tst" finds the greedy plug-in accepting the traps.
  EXPECT_GE(save(file("a.tst"), 2, 2, px).code, 1);
  EXPECT_NE(vgmtest::readFile(blacklistFile()).find("flt_TestGreedy.dll"), std::string::npos);

  // Two layers to a plug-in that wants one: the retry hands it the composite
  // (the top layer's pixel over the bottom's) with both layers' markup.
  std::vector<uint32_t> bottom(4, 0x00010203);
  uint32_t top = 0x00A0B0C0;
  rx_LayerEntry layers[3]{};
  rx_SurfaceWrap(&layers[0].surface, 2, 2, 2, bottom.data());
  rx_SurfaceWrap(&layers[1].surface, 1, 1, 1, &top);
  layers[1].x = layers[1].y = 1;
  prop_SetMarkup(&layers[0].properties, &layers[0].propertiesLength, "exif.make=Maker;");
  prop_SetMarkup(&layers[1].properties, &layers[1].propertiesLength, "exif.model=Model;");
  LoadSaveOptions options{};
  options.optionsText = u"tst.flat_only=1";
  std::u16string flat = file("flat.tst");
  EXPECT_GE(io_SaveDriver(flat.c_str(), layers, 2, &options), 1) << vgmtest::u8(options.message);
  rx_LayersRelease(layers, 2);
  std::string bytes = vgmtest::readFile(data_ + "/flat.tst");
  ASSERT_GT(bytes.size(), 12u);
  EXPECT_EQ(bytes[10] | bytes[11] << 8, 1);  // layer count in the header
  auto [pixels, markup] = load(flat);
  EXPECT_EQ(pixels, (std::vector<uint32_t>{0x00010203, 0x00010203, 0x00010203, 0x00A0B0C0}));
  EXPECT_NE(markup.find("exif.make=Maker;"), std::string::npos) << markup;
  EXPECT_NE(markup.find("exif.model=Model;"), std::string::npos) << markup;
}

TEST_F(saveDriver, ResolutionKeysFollowThePhysRecord) {
  // Compared in thousandths: y matches already, x is rewritten from the record.
  rx_LayerEntry entry{};
  uint32_t pixel = 0;
  rx_SurfaceWrap(&entry.surface, 1, 1, 1, &pixel);
  prop_SetMarkup(&entry.properties, &entry.propertiesLength, "exif.resolution.x=72;exif.resolution.y=300.0004;");
  uint8_t phys[32] = {2};
  double x = 299.9996, y = 300.0;
  std::memcpy(phys + 8, &x, 8), std::memcpy(phys + 16, &y, 8);
  prop_SetRecord(&entry.properties, &entry.propertiesLength, prop_Tag("PHYS"), phys, 32);
  EXPECT_EQ(io_ResolutionToMarkup(&entry), 1);
  char text[128] = "";
  prop_GetMarkup(entry.properties, rx_LayerPropertiesBytes(&entry), text, sizeof text);
  EXPECT_STREQ(text, "exif.resolution.x=300.000;exif.resolution.y=300.0004;");
  rx_LayerEntryRelease(&entry);
}

TEST_F(saveDriver, ExportsRoundTripWithMarkup) {
  // PNG and KV5 through the built library as a caller loads it: its plug-ins
  // reach the EXIF converters through its own exports.
  void *library = dlopen((vgmtest::binFolder() + "/libvgm_Common.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto px = picture(40, 30, 8);
  // The size keys follow the image whatever they said ("= 30 " is 30 already).
  const std::string markup = "exif.make=Maker;exif.model=Model X;exif.pixel_dimension.x=4000;exif.pixel_dimension.y= 30 ;";
  for (const char *ext : {".tst", ".png", ".kv5"}) {
    bool own = std::string(ext) != ".tst";
    saveExport = own ? reinterpret_cast<decltype(saveExport)>(dlsym(library, "cmio_SaveImage")) : cmio_SaveImage;
    loadExport = own ? reinterpret_cast<decltype(loadExport)>(dlsym(library, "cmio_LoadImage")) : cmio_LoadImage;
    globalFree = own ? reinterpret_cast<decltype(globalFree)>(dlsym(library, "GlobalFree")) : GlobalFree;
    globalAlloc = own ? reinterpret_cast<decltype(globalAlloc)>(dlsym(library, "GlobalAlloc")) : GlobalAlloc;
    std::u16string path = file(std::string("round") + ext);
    ASSERT_GE(save(path, 40, 30, px, markup).code, 1) << ext;
    auto [pixels, back] = load(path);
    EXPECT_EQ(pixels, px) << ext;
    bool png = std::string(ext) == ".png";
    for (auto [key, value] : {std::pair{"exif.make", "Maker"}, std::pair{"exif.model", "Model X"},
                              std::pair{"exif.pixel_dimension.x", "40"}, std::pair{"exif.pixel_dimension.y", "30"}}) {
      char out[64] = "";
      markup_Get(back.c_str(), key, out, sizeof out, nullptr, nullptr);
      markup_Trim(out, nullptr);
      // Read from EXIF the size keys are left out: an independent reader checks them in the file.
      if (!png || std::string(key).find("pixel") == std::string::npos) {
        EXPECT_STREQ(out, value) << ext << " " << key;
      }
    }
    if (png) {
      std::string command = "exiftool -s -s -s -ExifImageWidth -ExifImageHeight " + data_ + "/round.png";
      std::string sizes;
      FILE *tool = popen(command.c_str(), "r");
      ASSERT_NE(tool, nullptr);
      for (int c; (c = std::fgetc(tool)) != EOF;) sizes += static_cast<char>(c);
      pclose(tool);
      EXPECT_EQ(sizes, "40\n30\n");
    }
  }
  saveExport = cmio_SaveImage, loadExport = cmio_LoadImage, globalFree = GlobalFree, globalAlloc = GlobalAlloc;
  dlclose(library);
}

TEST_F(saveDriver, FaultsNeverLoseTheOriginal) {
  // Native documents of dozens of data blocks, so that a write fails at
  // every point of one; level 1 keeps the many saves quick. The PNG
  // plug-in's own writes fail on a full disk at each 4 KiB of its output.
  cfg_SetKv5Level(1);
  const auto small = picture(320, 240, 5), large = picture(768, 576, 5);
  const std::string original = "the original content";
  struct Case {
    const char *name;
    bool exists, readOnly;
  };
  const Case cases[] = {{"over.kv5", true, false}, {"ro.kv5", true, true}, {"new.kv5", false, false},
                        {"over.png", true, false}, {"ro.png", true, true},  {"new.png", false, false},
                        {"ro.tst", true, true},    {"new.tst", false, false}};
#if defined(__SANITIZE_THREAD__)
  constexpr bool kFork = false;  // no fork under the thread sanitizer
#else
  constexpr bool kFork = true;
#endif
  constexpr int kDiskFull = static_cast<int>(os_FaultKind::count_);
  int injected = 0;
  for (const Case &c : cases) {
    const bool native = std::string(c.name).ends_with(".kv5"), png = std::string(c.name).ends_with(".png");
    const std::vector<uint32_t> &px = native ? large : small;
    const uint32_t w = native ? 768 : 320, h = native ? 576 : 240;
    std::string target = data_ + "/" + c.name;
    for (int kind = 0; kind < kDiskFull + (png && kFork); ++kind) {
      for (int n = 1;; ++n) {
        fs::remove(target);
        if (c.exists) vgmtest::writeFile(target, original);
        if (c.readOnly) chmod(target.c_str(), 0444);
        if (kind < kDiskFull) os_InjectFault(os_FaultKind(kind), n);
        int32_t code = kind < kDiskFull ? save(u16(target), w, h, px).code
                                        : saveOnFullDisk(u16(target), w, h, px, rlim_t(n - 1) * 4096);
        bool hit = kind < kDiskFull ? !os_FaultArmed(os_FaultKind(kind)) : code == 0;
        if (kind < kDiskFull) os_InjectFault(os_FaultKind(kind), 0);
        ASSERT_GE(code, 0);
        SCOPED_TRACE(std::string(c.name) + " fault kind " + std::to_string(kind) + " at " + std::to_string(n));
        if (code >= 1) {
          EXPECT_EQ(load(u16(target)).first, px);
        } else if (c.exists) {
          EXPECT_EQ(vgmtest::readFile(target), original);
        } else {
          EXPECT_FALSE(fs::exists(target));
        }
        ASSERT_EQ(backups(), 0);
        if (!hit) {
          EXPECT_GE(code, 1);
          break;
        }
        ++injected;
        ASSERT_LT(n, 5000);
      }
    }
  }
  std::printf("faults injected: %d\n", injected);
  EXPECT_GT(injected, kFork ? 300 : 150);
  cfg_SetKv5Level(4);

  // Every move failing from the move back on: the original stays under its
  // backup name and the log says where.
  std::string target = data_ + "/stuck.tst";
  vgmtest::writeFile(target, original);
  os_InjectFaults(os_FaultKind::fileMove, 2, 1000);
  Result failed = save(u16(target), 48, 32, small, "", nullptr, u"tst.save_result=-43");
  os_InjectFault(os_FaultKind::fileMove, 0);
  EXPECT_EQ(failed.code, 0);
  ASSERT_EQ(backups(), 1);
  std::string backup, log;
  for (const auto &e : fs::directory_iterator(data_))
    if (e.path().extension() == ".tmp") backup = e.path().string();
  EXPECT_EQ(vgmtest::readFile(backup), original);
  for (const auto &e : fs::recursive_directory_iterator(root_.path()))
    if (e.path().filename() == "suite_error.log")
      for (char ch : vgmtest::readFile(e.path().string()))
        if (ch != 0) log += ch;
  EXPECT_NE(log.find(fs::path(backup).filename().string()), std::string::npos) << log;
  fs::remove(backup);
}

TEST_F(saveDriver, PluginFailuresAndCancelsKeepTheOriginal) {
  auto px = picture(200, 150, 6);
  const std::string original = "the original content";
  std::string tst = data_ + "/p.tst", fresh = data_ + "/fresh.tst";
  vgmtest::writeFile(tst, original);
  Result half = save(u16(tst), 200, 150, px, "", nullptr, u"tst.half_write=1");
  EXPECT_EQ(half.code, 0);
  EXPECT_NE(half.error.find("File type: '.tst'"), std::string::npos) << half.error;
  EXPECT_EQ(vgmtest::readFile(tst), original);
  EXPECT_EQ(save(u16(fresh), 200, 150, px, "", nullptr, u"tst.half_write=1").code, 0);
  EXPECT_FALSE(fs::exists(fresh));
  Result crash = save(u16(tst), 200, 150, px, "", nullptr, u"tst.crash=1");
  EXPECT_EQ(crash.code, 0);
  EXPECT_NE(crash.error.find("crashed in flt_SaveImage"), std::string::npos) << crash.error;
  EXPECT_EQ(vgmtest::readFile(tst), original);
  EXPECT_NE(vgmtest::readFile(blacklistFile()).find("flt_TestGood.dll"), std::string::npos);

  // A native save cancelled on its way.
  std::vector<uint32_t> big = picture(4000, 3000, 7);
  std::string kv5 = data_ + "/big.kv5";
  vgmtest::writeFile(kv5, original);
  static std::atomic<int> calls{0};
  Result cancelled = save(u16(kv5), 4000, 3000, big, "", nullptr, nullptr,
                          [](int32_t, int32_t, uintptr_t) { return ++calls < 3 ? 1 : 0; });
  EXPECT_EQ(cancelled.code, 0);
  EXPECT_EQ(cancelled.error.rfind("Cancelled: ", 0), 0u) << cancelled.error;
  EXPECT_EQ(vgmtest::readFile(kv5), original);
}

TEST_F(saveDriver, ThreadsSaveWhileTheLevelChanges) {
  const std::string exts[] = {".tst", ".png", ".kv5"};
  std::atomic<bool> done{false};
  std::thread changer([&] {
    for (uint8_t level = 0; !done; level = static_cast<uint8_t>((level + 1) % 10))
      cfg_SetKv5Level(level), std::this_thread::yield();
  });
  std::vector<std::thread> savers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    savers.emplace_back([&, t] {
      for (int i = 0; i < 6; ++i) {
        auto px = picture(33 + t, 17 + i, t * 100 + i);
        std::u16string path = file("t" + std::to_string(t) + exts[i % 3]);
        if (save(path, 33 + t, 17 + i, px).code < 1 || load(path).first != px) ++wrong;
      }
    });
  }
  for (auto &s : savers) s.join();
  done = true;
  changer.join();
  EXPECT_EQ(wrong, 0);
}
