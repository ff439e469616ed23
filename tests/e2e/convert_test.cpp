// vgm-convert as a program: a copy of it and of the library in a private
// folder, with the test plug-ins in the Plugins folder next to them.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "imageio/plugin_fixture.h"
#include "imageio/host_services.h"
#include "kv5/kv5_writer.h"
#include "raster/layers/layers.h"
#include "markup/markup_text.h"
#include "vgm/vgm_common.h"

using vgmtest::TstFile;

class ConvertTest : public PluginTest {
 protected:
  std::string bin_ = root_.file("bin");
  void SetUp() override {
    PluginTest::SetUp();
    fs::create_directories(bin_ + "/Plugins");
    fs::copy_file(VGM_CONVERT, bin_ + "/vgm-convert");
    fs::copy_file(VGM_LIBRARY, bin_ + "/libvgm_Common.so");
    fs::copy_file(VGM_TEST_PLUGIN("TestGood"), bin_ + "/Plugins/flt_TestGood.dll");
    fs::copy_file(VGM_TEST_PLUGIN("TestHang"), bin_ + "/Plugins/flt_QOI.dll");
    install(VGM_TEST_PLUGIN("TestGood"), "flt_TestGood.dll");  // for the same load in this process
  }
  // Exit status and what the program wrote to both streams.
  std::pair<int, std::string> run(const std::string &arguments) {
    std::string out = root_.file("out.txt");
    int status = std::system((bin_ + "/vgm-convert " + arguments + " >" + out + " 2>&1").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, vgmtest::readFile(out)};
  }
  std::string put(const std::string &name, const TstFile &file) {
    vgmtest::writeFile(root_.file(name), file.bytes());
    return root_.file(name);
  }
};

TEST_F(ConvertTest, ExitCodesAndMessages) {
  auto [missing, text] = run("info /nonexistent.png");
  EXPECT_EQ(missing, 1);
  EXPECT_NE(text.find("The specified file does not exist"), std::string::npos) << text;
  EXPECT_EQ(run("").first, 2);
  EXPECT_EQ(run("load only-one-name").first, 2);
  EXPECT_EQ(run("thumb a.tst b.pam --size 0x5").first, 2);
  EXPECT_EQ(run("frobnicate").first, 2);

  TstFile file;
  file.layers.resize(1);
  file.layers[0].width = 5, file.layers[0].height = 3;
  file.markup = "exif.make=Maker;";
  std::string good = put("good.tst", file);
  auto [status, info] = run("info " + good + " " + good);
  EXPECT_EQ(status, 0);
  EXPECT_NE(info.find(good + ": 5 x 3\nexif.make=Maker;\n" + good + ": 5 x 3"), std::string::npos) << info;
  // One bad file among good ones fails the call but not the others.
  EXPECT_EQ(run("thumb " + good + " " + root_.file("t.pam") + " /nonexistent.png " + root_.file("u.pam")).first, 1);
  EXPECT_TRUE(fs::exists(root_.file("t.pam")));
}

TEST_F(ConvertTest, PamHoldsTheExportsPixels) {
  TstFile file;
  file.layers.resize(1);
  file.layers[0].width = 3, file.layers[0].height = 2;
  file.layers[0].pixels = {0x00102030, 0xFF405060, 0x80708090, 0x00A0B0C0, 0x10D0E0F0, 0x00010203};
  std::string path = put("art.tst", file);
  ASSERT_EQ(run("load " + path + " " + root_.file("art.pam") + " --scale 1").first, 0);
  std::string pam = vgmtest::readFile(root_.file("art.pam"));
  const std::string header = "P7\nWIDTH 3\nHEIGHT 2\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  ASSERT_EQ(pam.substr(0, header.size()), header);
  ASSERT_EQ(pam.size(), header.size() + 24);

  CmioImage image{};
  CmioRequest request{};
  ASSERT_EQ(cmio_LoadImage(&image, vgmtest::u16(path).c_str(), &request), 1);
  const auto *bgrt = static_cast<const uint8_t *>(image.pixels);
  for (size_t i = 0; i < 6; ++i) {
    const auto *rgba = reinterpret_cast<const uint8_t *>(pam.data() + header.size() + 4 * i);
    EXPECT_EQ(std::vector<int>(rgba, rgba + 4),
              (std::vector<int>{bgrt[4 * i + 2], bgrt[4 * i + 1], bgrt[4 * i], 255 - bgrt[4 * i + 3]})) << i;
  }
  GlobalFree(image.pixels);
}

TEST_F(ConvertTest, InterruptCancelsWithoutOutput) {
  std::string hang = root_.file("hang.qoi");
  vgmtest::writeFile(hang, "endless data");
  // A new output is never begun; an existing one stays as it was.
  vgmtest::writeFile(root_.file("old.png"), "earlier output");
  for (auto [command, out] : {std::pair<std::string, std::string>{"load", root_.file("hang.pam")},
                              std::pair<std::string, std::string>{"convert", root_.file("old.png")}}) {
    // Started with Ctrl-C blocked, the program sees it only once it can handle it, however slowly it starts.
    sigset_t interrupt, old;
    sigemptyset(&interrupt), sigaddset(&interrupt, SIGINT);
    pthread_sigmask(SIG_BLOCK, &interrupt, &old);
    pid_t child = fork();
    if (child == 0) {
      execl((bin_ + "/vgm-convert").c_str(), "vgm-convert", command.c_str(), hang.c_str(), out.c_str(), nullptr);
      _exit(127);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ASSERT_GE(child, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(child, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_EQ(fs::exists(out), command == "convert");
    EXPECT_EQ(fs::exists(out) ? vgmtest::readFile(out) : "", command == "convert" ? "earlier output" : "");
    EXPECT_FALSE(fs::exists(out + ".part"));
  }
}

TEST_F(ConvertTest, ConvertKeepsPixelsAndMetadata) {
  for (const char *type : {"JPEG", "PNG"}) {
    std::string built = vgmtest::binFolder() + "/Plugins/" + type + "/flt_" + type + ".dll";
    fs::copy_file(built, bin_ + "/Plugins/flt_" + type + ".dll");
    install(built.c_str(), std::string("flt_") + type + ".dll");
  }
  auto load = [](const std::string &path) {
    CmioImage image{};
    CmioRequest request{};
    request.want_markup = 1;
    std::pair<std::vector<uint32_t>, std::string> out;
    if (cmio_LoadImage(&image, vgmtest::u16(path).c_str(), &request) == 1) {
      auto *p = static_cast<uint32_t *>(image.pixels);
      out.first.assign(p, p + size_t{image.width} * image.height);
      GlobalFree(image.pixels);
    }
    if (request.markup != nullptr) out.second = static_cast<const char *>(request.markup), GlobalFree(request.markup);
    return out;
  };
  std::string jpeg = vgmtest::dataFile("exif/Canon_40D.jpg");
  // Plug-ins reach the EXIF converters through the library's own exports.
  io_SetOwnModulePathForTests(vgmtest::u16(VGM_LIBRARY));
  auto source = load(jpeg);
  ASSERT_FALSE(source.first.empty());
  // The native document needs the native writer: tried once, the leg runs when it is there.
  uint32_t pixel = 0;
  rx_LayerEntry probe[2]{};
  rx_SurfaceWrap(&probe[0].surface, 1, 1, 1, &pixel);
  LoadSaveOptions options{};
  options.quiet = 1;
  bool native = kv5_Write(probe, &options, vgmtest::u16(root_.file("probe.kv5")).c_str()) > 0;
  rx_SurfaceFree(&probe[0].surface);
  std::string from = jpeg;
  if (native) {
    ASSERT_EQ(run("convert " + jpeg + " " + root_.file("photo.kv5")).first, 0);
    from = root_.file("photo.kv5");
  }
  auto [status, text] = run("convert " + from + " " + root_.file("photo.png"));
  ASSERT_EQ(status, 0) << text;
  auto result = load(root_.file("photo.png"));
  EXPECT_EQ(result.first, source.first);
  for (const char *key : {"exif.make", "exif.model", "exif.date_time_original", "exif.exposure_time"}) {
    char a[128] = "", b[128] = "";
    markup_Get(source.second.c_str(), key, a, sizeof a, nullptr, nullptr);
    markup_Get(result.second.c_str(), key, b, sizeof b, nullptr, nullptr);
    EXPECT_STRNE(a, "") << key;
    EXPECT_STREQ(a, b) << key;
  }

  // A batch: one bad file among good ones fails alone; a name taken twice is skipped.
  fs::create_directories(root_.file("out"));
  vgmtest::writeFile(root_.file("bad.jpg"), std::string(64, 0));  // refused before any plug-in
  fs::copy_file(jpeg, root_.file("again.jpg"));
  fs::create_directories(root_.file("sub"));
  fs::copy_file(jpeg, root_.file("sub/again.jpg"));
  auto [batch, summary] = run("convert " + jpeg + " " + root_.file("bad.jpg") + " " + root_.file("again.jpg") + " " +
                              root_.file("sub/again.jpg") + " --to " + root_.file("out") + " --format png -j 2");
  EXPECT_EQ(batch, 1);
  EXPECT_NE(summary.find("converted 2, failed 1, skipped 1"), std::string::npos) << summary;
  EXPECT_EQ(load(root_.file("out/again.png")).first, source.first);
  EXPECT_EQ(run("convert a.jpg --to " + root_.file("out")).first, 2);
  io_SetOwnModulePathForTests(u"");
}
