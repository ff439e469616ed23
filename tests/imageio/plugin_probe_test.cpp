#include <chrono>
#include <csignal>
#include <set>

#include "imageio/plugin_probe.h"
#include "plugin_fixture.h"

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
  for (size_t from = 0, to; from <= listed.size(); from = to + 2) {
    to = listed.find("\r\n", from);
    if (to == std::string::npos) to = listed.size();
    lines.insert(listed.substr(from, to - from));
  }
  EXPECT_EQ(lines, (std::set<std::string>{greedy, crash, hang}));
  io_FaultRecord record;
  ASSERT_TRUE(io_FaultRecordFor(u16(crash), &record));
  EXPECT_EQ(record.entryPoint, "flt_CheckLoad");
  EXPECT_EQ(record.signal, SIGSEGV);
  EXPECT_FALSE(record.timedOut);
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
