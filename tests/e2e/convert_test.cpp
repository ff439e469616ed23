// vgm-convert as a program: a copy of it and of the library in a private
// folder, with the test plug-ins in the Plugins folder next to them.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "imageio/host_services.h"
#include "load_fixture.h"

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
  for (const char *usage : {"", "load only-one-name", "thumb a.tst b.pam --size 0x5", "frobnicate"})
    EXPECT_EQ(run(usage).first, 2) << usage;

  std::string good = put("good.tst", tst({layer(5, 3)}, "exif.make=Maker;"));
  auto [status, info] = run("info " + good + " " + good);
  EXPECT_TRUE(status == 0 && info.find(good + ": 5 x 3\nexif.make=Maker;\n" + good + ": 5 x 3") != std::string::npos) << info;
  // One bad file among good ones fails the call but not the others.
  EXPECT_EQ(run("thumb " + good + " " + root_.file("t.pam") + " /nonexistent.png " + root_.file("u.pam")).first, 1);
  EXPECT_TRUE(fs::exists(root_.file("t.pam")));
}

TEST_F(ConvertTest, PamHoldsTheExportsPixels) {
  TstFile file = tst({layer(3, 2)});
  file.layers[0].pixels = {0x00102030, 0xFF405060, 0x80708090, 0x00A0B0C0, 0x10D0E0F0, 0x00010203};
  std::string path = put("art.tst", file);
  ASSERT_EQ(run("load " + path + " " + root_.file("art.pam") + " --scale 1").first, 0);
  // R, G, B and opacity (255 - T) of each pixel after the header.
  std::string pam = "P7\nWIDTH 3\nHEIGHT 2\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  for (uint32_t p : file.layers[0].pixels) pam += {char(p >> 16), char(p >> 8), char(p), char(255 - (p >> 24))};
  EXPECT_EQ(vgmtest::readFile(root_.file("art.pam")), pam);
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
    EXPECT_EQ(fs::exists(out) ? vgmtest::readFile(out) : "<none>", command == "convert" ? "earlier output" : "<none>");
    EXPECT_FALSE(fs::exists(out + ".part"));
  }
}

TEST_F(ConvertTest, ConvertKeepsPixelsAndMetadata) {
  for (const char *type : {"JPEG", "PNG"}) {
    std::string built = vgmtest::binFolder() + "/Plugins/" + type + "/flt_" + type + ".dll";
    fs::copy_file(built, bin_ + "/Plugins/flt_" + type + ".dll");
    install(built.c_str(), std::string("flt_") + type + ".dll");
  }
  auto load = [](const std::string &path) { return LoadTest::load(vgmtest::u16(path), LoadTest::withMarkup()); };
  std::string jpeg = vgmtest::dataFile("exif/Canon_40D.jpg");
  // Plug-ins reach the EXIF converters through the library's own exports.
  io_SetOwnModulePathForTests(vgmtest::u16(VGM_LIBRARY));
  auto source = load(jpeg);
  ASSERT_FALSE(source.pixels.empty());
  ASSERT_EQ(run("convert " + jpeg + " " + root_.file("photo.kv5")).first, 0);
  auto [status, text] = run("convert " + root_.file("photo.kv5") + " " + root_.file("photo.png"));
  ASSERT_EQ(status, 0) << text;
  auto result = load(root_.file("photo.png"));
  EXPECT_EQ(result.pixels, source.pixels);
  for (const char *key : {"exif.make", "exif.model", "exif.date_time_original", "exif.exposure_time"}) {
    EXPECT_NE(LoadTest::value(source.markup, key), "") << key;
    EXPECT_EQ(LoadTest::value(source.markup, key), LoadTest::value(result.markup, key)) << key;
  }

  // A batch: one bad file among good ones fails alone; a name taken twice is skipped.
  fs::create_directories(root_.file("out"));
  vgmtest::writeFile(root_.file("bad.jpg"), std::string(64, 0));  // refused before any plug-in
  fs::copy_file(jpeg, root_.file("again.jpg"));
  fs::create_directories(root_.file("sub"));
  fs::copy_file(jpeg, root_.file("sub/again.jpg"));
  auto [batch, summary] = run("convert " + jpeg + " " + root_.file("bad.jpg") + " " + root_.file("again.jpg") + " " +
                              root_.file("sub/again.jpg") + " --to " + root_.file("out") + " --format png -j 2");
  EXPECT_TRUE(batch == 1 && summary.find("converted 2, failed 1, skipped 1") != std::string::npos) << summary;
  EXPECT_EQ(load(root_.file("out/again.png")).pixels, source.pixels);
  EXPECT_EQ(run("convert a.jpg --to " + root_.file("out")).first, 2);
  io_SetOwnModulePathForTests(u"");
}
