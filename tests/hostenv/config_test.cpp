#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <tuple>

#include "hostenv_fixture.h"
#include "platform/os.h"

using vgmtest::u16;

namespace {

class ConfigTest : public HostEnvTest {
 protected:
  std::string configFile() const { return appData() + "/suite_config.bin"; }
  void writeRecord(const cfg_Record &record, size_t bytes = sizeof(cfg_Record)) {
    fs::create_directories(appData());
    vgmtest::writeFile(configFile(), std::string(reinterpret_cast<const char *>(&record), bytes));
  }

 public:
  static cfg_Record sampleRecord(uint32_t version) {
    cfg_Record record{};
    record.version = version;
    record.size = kCfgRecordSize;
    record.cache_seed = 0x12345678;
    record.kv5_level = 7;
    record.flag_15 = 1;
    record.ui_theme = 4;
    record.flag_17 = 0;
    for (uint32_t &counter : record.counters) counter = 11;
    std::memcpy(record.author_name, u"Ada", 8);
    return record;
  }
};

TEST_F(ConfigTest, MissingOrBrokenFileGivesDefaults) {
  cfg_Live()->kv5_level = 9;
  cfg_Live()->counters[0] = 5;
  EXPECT_EQ(cfg_Load(1), 0);
  const cfg_Record &live = *cfg_Live();
  EXPECT_EQ(std::tuple(live.version, live.size, int(live.kv5_level), live.flag_14 + live.flag_17),
            std::tuple(kCfgVersion, kCfgRecordSize, 4, 2));
  EXPECT_EQ(live.help_mode + live.exif_add_structure + live.exif_add_unlisted + live.ui_theme + live.counters[0], 0u);
  char16_t name[kCfgTextUnits] = {};
  ASSERT_EQ(cfg_UserName(name, kCfgTextUnits), 1);
  EXPECT_EQ(std::u16string(live.author_name), std::u16string(name));

  cfg_Record record = sampleRecord(kCfgVersion);
  writeRecord(record, 4000);  // its size field claims 4096
  EXPECT_EQ(cfg_Load(1), 0);
  EXPECT_EQ(live.cache_seed, 0u);
  writeRecord(record, 6);  // too short to carry a size at all
  EXPECT_EQ(cfg_Load(1), 0);
  // A larger file is read up to the record and accepted.
  vgmtest::writeFile(configFile(), std::string(reinterpret_cast<const char *>(&record), sizeof record) + "tail");
  EXPECT_EQ(cfg_Load(1), 1);
  EXPECT_EQ(live.cache_seed, 0x12345678u);
}

TEST_F(ConfigTest, RegionalAndThemeDefaults) {
  for (auto [zone, regional] : {std::pair{"EST5", 1}, {"PST8", 1}, {"UTC0", 0}, {"XXX9", 0}, {"XXX-3", 0}}) {
    vgmtest::ScopedEnv tz("TZ", zone);
    cfg_Defaults();
    EXPECT_TRUE(cfg_Live()->regional_a == regional && cfg_Live()->regional_b == regional) << zone;
  }
  EXPECT_EQ(cfg_RegionalForBias(299) + cfg_RegionalForBias(481), 0);
  EXPECT_EQ(cfg_RegionalForBias(480), 1);
  EXPECT_EQ(cfg_ThemeForButtonFace(0x005F3020), 4);  // brightest channel 95
  EXPECT_EQ(cfg_ThemeForButtonFace(0x00600000), 0);  // blue 96
}

TEST_F(ConfigTest, OlderRecordsAreUpgraded) {
  // version, kv5_level in -> out, flag_15, ui_theme, flag_17 after the load
  // (the sample carries 7, 1, 4 and 0); every upgrade clears the counters.
  const struct {
    uint32_t version;
    uint8_t levelIn, levelOut, flag15, theme, flag17;
    uint32_t counter;
  } rows[] = {{65556, 2, 0, 0, 0, 1, 0}, {65559, 7, 4, 1, 0, 1, 0},   {65561, 1, 9, 1, 4, 0, 0},
              {65562, 7, 7, 1, 4, 0, 0}, {65570, 1, 1, 1, 4, 0, 11}};  // newer: kept as it is
  for (const auto &row : rows) {
    cfg_Record record = sampleRecord(row.version);
    record.kv5_level = row.levelIn;
    writeRecord(record);
    ASSERT_EQ(cfg_Load(1), 1);
    const cfg_Record &l = *cfg_Live();
    EXPECT_EQ(std::tuple(l.version, l.kv5_level, l.flag_15, l.ui_theme, l.flag_17, l.counters[4], l.cache_seed),
              std::tuple(kCfgVersion, row.levelOut, row.flag15, row.theme, row.flag17, row.counter, 0x12345678u))
        << row.version;
  }
}

TEST_F(ConfigTest, CachedLoadStillClearsTransientPaths) {
  cfg_Record record = sampleRecord(kCfgVersion);
  std::memcpy(record.transient_paths[1], u"/left/over", 22);
  record.author_name[kCfgTextUnits - 1] = u'X';
  writeRecord(record);
  ASSERT_EQ(cfg_Load(0), 1);
  EXPECT_EQ(cfg_Live()->transient_paths[1][0] + cfg_Live()->author_name[kCfgTextUnits - 1], 0);

  std::memcpy(cfg_Live()->transient_paths[3], u"/in/use", 16);
  cfg_Live()->kv5_level = 2;
  ASSERT_EQ(cfg_Load(0), 1);
  // The cached disk copy wins over unsaved changes.
  EXPECT_EQ(std::tuple(cfg_DiskReadsForTests(), int(cfg_Live()->transient_paths[3][0]), int(cfg_Live()->kv5_level)),
            std::tuple(1u, 0, 7));

  ASSERT_EQ(cfg_Load(1), 1);
  EXPECT_EQ(cfg_DiskReadsForTests(), 2u);
}

TEST_F(ConfigTest, SaveThenLoadRoundTrip) {
  cfg_Defaults();
  cfg_Record &live = *cfg_Live();
  live.cache_seed = 0xCAFEBABE;
  live.exif_add_unlisted = 1;
  live.counters[3] = 42;
  std::memcpy(live.language_file, u"German.lng", 22);
  std::memcpy(live.author_name, u"Grace", 12);
  std::memcpy(live.transient_paths[0], u"/scratch", 18);
  ASSERT_EQ(cfg_Save(), 1);
  std::string bytes = vgmtest::readFile(configFile());
  ASSERT_EQ(bytes.size(), kCfgRecordSize);
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x1B\x00\x01\x00\x00\x10\x00\x00", 8));
  EXPECT_EQ(bytes.substr(512, 4), std::string("G\0r\0", 4));

  // A cached load right after a save keeps what was saved.
  ASSERT_EQ(cfg_Load(1), 1);
  live.kv5_level = 3;
  ASSERT_EQ(cfg_Save(), 1);
  ASSERT_EQ(cfg_Load(0), 1);
  EXPECT_EQ(live.kv5_level, 3);

  cfg_ResetForTests();
  ASSERT_EQ(cfg_Load(1), 1);
  EXPECT_EQ(std::tuple(live.cache_seed, live.exif_add_unlisted + live.counters[3], int(live.transient_paths[0][0])),
            std::tuple(0xCAFEBABEu, 43u, 0));
  EXPECT_EQ(std::u16string(live.language_file) + u"|" + live.author_name, u"German.lng|Grace");

  // A failed write leaves the saved file as it was.
  std::string before = vgmtest::readFile(configFile());
  live.kv5_level = 8;
  os_InjectFault(os_FaultKind::fileWrite, 1);
  EXPECT_EQ(cfg_Save(), 0);
  os_InjectFault(os_FaultKind::fileWrite, 0);
  EXPECT_TRUE(vgmtest::readFile(configFile()) == before);
}

// Another process holding the file as a save does: it writes a record with
// `seed` and lets go after `hold_ms`, or when told to (hold_ms < 0).
struct SavingProcess {
  pid_t pid = -1;
  int release[2] = {-1, -1};
  bool holding = false;
  SavingProcess(const std::u16string &path, uint32_t seed, int hold_ms) {
    int ready[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::close(release[1]);
      os_File *file = os_FileOpen(path.c_str(), os_AccessWrite, os_ShareNone, os_Disposition::openAlways);
      char byte = file != nullptr ? 'L' : 'F';
      (void)!::write(ready[1], &byte, 1);
      if (hold_ms >= 0) os_Sleep(hold_ms);
      else (void)!::read(release[0], &byte, 1);
      cfg_Record record = ConfigTest::sampleRecord(kCfgVersion);
      record.cache_seed = seed;
      ::_exit(os_FileWrite(file, &record, sizeof record) ? 0 : 1);
    }
    char byte = 0;
    holding = ::read(ready[0], &byte, 1) == 1 && byte == 'L';
    ::close(ready[0]), ::close(ready[1]);
  }
  bool finish() {
    (void)!::write(release[1], "x", 1);
    int status = -1;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
};

TEST_F(ConfigTest, LoadMeetingASaveInAnotherProcess) {
  writeRecord(sampleRecord(kCfgVersion));
  std::u16string path = u16(configFile());
  // A save that ends within the wait: the load gets the record it wrote.
  SavingProcess brief(path, 0xBEEF, 50);
  ASSERT_TRUE(brief.holding);
  EXPECT_EQ(cfg_Load(1), 1);
  EXPECT_EQ(cfg_Live()->cache_seed, 0xBEEFu);
  ASSERT_TRUE(brief.finish());

  // One that outlasts it: defaults, which must never be saved over the file.
  SavingProcess endless(path, 0xF00D, -1);
  ASSERT_TRUE(endless.holding);
  EXPECT_EQ(cfg_Load(1), 0);
  EXPECT_EQ(cfg_Live()->cache_seed, 0u);
  ASSERT_TRUE(endless.finish());
  std::string saved = vgmtest::readFile(configFile());
  EXPECT_EQ(cfg_Save(), 0);
  EXPECT_TRUE(vgmtest::readFile(configFile()) == saved);
  // Once the file has been read again, saving works again.
  ASSERT_EQ(cfg_Load(1), 1);
  EXPECT_EQ(cfg_Live()->cache_seed, 0xF00Du);
  EXPECT_EQ(cfg_Save(), 1);
}

TEST(ConfigUserName, RefusedAccountNamesFallBackToTheLogin) {
  char16_t buffer[64];
  EXPECT_TRUE(cfg_PickUserName(u" Jane Doe ", u"jdoe", buffer, 64) == 1 && std::u16string(buffer) == u"Jane Doe");
  for (const char16_t *refused : {u"Built-in account for guest access", u"INTERNAL user", u"Administrator",
                                  u"guest", u"", u"   "})
    EXPECT_TRUE(cfg_PickUserName(refused, u"jdoe", buffer, 64) == 1 && std::u16string(buffer) == u"jdoe");
  EXPECT_TRUE(cfg_PickUserName(u"Jane Doe", u"jdoe", buffer, 4) == 1 && std::u16string(buffer) == u"Jan");
  EXPECT_EQ(cfg_PickUserName(nullptr, u"", buffer, 64), 0);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(cfg_PickUserName(u"Jane", u"jdoe", buffer, 0), 0);
}

}  // namespace
