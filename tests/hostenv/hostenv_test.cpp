// Every host-environment test runs against its own application-data,
// content and temporary folders, with the process-wide caches dropped.
#include <gtest/gtest.h>
#ifndef _WIN32
#  include <sys/stat.h>
#  include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "hostenv/config_record.h"
#include "hostenv/error_log.h"
#include "hostenv/folders.h"
#include "platform/os.h"
#include "support/notices.h"
#include "support/test_support.h"

using vgmtest::u16;
using vgmtest::u8;
namespace fs = std::filesystem;

class HostEnvTest : public ::testing::Test {
 protected:
  vgmtest::TempFolder root_;
  std::string appBase_ = root_.file("appdata"), docsBase_ = root_.file("docs"), tempBase_ = root_.file("tmp");
  vgmtest::ScopedEnv appEnv_{"VGM_APPDATA_DIR", appBase_}, docsEnv_{"VGM_CONTENT_DIR", docsBase_};
  vgmtest::ScopedEnv tempEnv_{"VGM_TEMP_DIR", tempBase_};

  void SetUp() override {
    fs::create_directories(tempBase_);
    resetAll();
  }
  void TearDown() override { resetAll(); }
  static void resetAll() { env_ResetForTests(nullptr), cfg_ResetForTests(), log_ResetForTests(); }
  std::string appData() const { return vgmtest::join(appBase_, "Orvine Photo"); }
};

namespace {

class ConfigTest : public HostEnvTest {
 protected:
  std::string configFile() const { return vgmtest::join(appData(), "suite_config.bin"); }
  void writeRecord(const cfg_Record &record, size_t bytes = sizeof(cfg_Record)) {
    vgmtest::writeFile(configFile(), std::string(reinterpret_cast<const char *>(&record), bytes));
  }

 public:
  static cfg_Record sampleRecord(uint32_t version) {
    cfg_Record record{};
    record.version = version, record.size = kCfgRecordSize, record.cache_seed = 0x12345678;
    record.kv5_level = 7, record.flag_15 = 1, record.ui_theme = 4, record.flag_17 = 0;
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
#ifndef _WIN32  // the zone comes from TZ only on POSIX; Windows asks the system
  for (auto [zone, regional] : {std::pair{"EST5", 1}, {"PST8", 1}, {"UTC0", 0}, {"XXX9", 0}, {"XXX-3", 0}}) {
    vgmtest::ScopedEnv tz("TZ", zone);
    cfg_Defaults();
    EXPECT_TRUE(cfg_Live()->regional_a == regional && cfg_Live()->regional_b == regional) << zone;
  }
#endif
  EXPECT_EQ(cfg_RegionalForBias(299) + cfg_RegionalForBias(481), 0);
  EXPECT_EQ(cfg_RegionalForBias(480), 1);
  EXPECT_EQ(cfg_ThemeForButtonFace(0x005F3020), 4);  // brightest channel 95
  EXPECT_EQ(cfg_ThemeForButtonFace(0x00600000), 0);  // blue 96
}

TEST_F(ConfigTest, OlderRecordsAreUpgraded) {
  // version, kv5_level in -> out, flag_15, ui_theme, flag_17 after the load
  // (the sample carries 7, 1, 4 and 0); every upgrade clears the counters.
  const struct { uint32_t version; uint8_t levelIn, levelOut, flag15, theme, flag17; uint32_t counter; } rows[] = {{65556, 2, 0, 0, 0, 1, 0}, {65559, 7, 4, 1, 0, 1, 0},   {65561, 1, 9, 1, 4, 0, 0},
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
  live.cache_seed = 0xCAFEBABE, live.exif_add_unlisted = 1, live.counters[3] = 42;
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

// Another process holds a file unshared, as a save does, until released or
// for `hold` ms; then, for a seed other than 0, writes a record with it.
// Argument: "seed hold path".
VGM_TEST_CHILD_TASK(HoldFile) {
  unsigned seed = 0;
  int hold = -1, used = 0;
  std::sscanf(argument.c_str(), "%x %d %n", &seed, &hold, &used);
  os_File *file = os_FileOpen(u16(argument.substr(used)).c_str(), os_AccessWrite, os_ShareNone, os_Disposition::openAlways);
  vgmtest::childReady(file != nullptr ? 'L' : 'F', hold);
  cfg_Record record = ConfigTest::sampleRecord(kCfgVersion);
  record.cache_seed = seed;
  return seed == 0 || (file != nullptr && os_FileWrite(file, &record, sizeof record)) ? 0 : 1;
}

TEST_F(ConfigTest, LoadMeetingASaveInAnotherProcess) {
  writeRecord(sampleRecord(kCfgVersion));
  // A save that ends within the wait: the load gets the record it wrote.
  vgmtest::Child brief("HoldFile", "BEEF 50 " + configFile());
  ASSERT_EQ(brief.ready, 'L');
  EXPECT_EQ(cfg_Load(1), 1);
  EXPECT_EQ(cfg_Live()->cache_seed, 0xBEEFu);
  ASSERT_TRUE(brief.release());

  // One that outlasts it: defaults, which must never be saved over the file.
  vgmtest::Child endless("HoldFile", "F00D -1 " + configFile());
  ASSERT_EQ(endless.ready, 'L');
  EXPECT_EQ(cfg_Load(1), 0);
  EXPECT_EQ(cfg_Live()->cache_seed, 0u);
  ASSERT_TRUE(endless.release());
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

std::string toBytes(const std::u16string &text) { return std::string(reinterpret_cast<const char *>(text.data()), text.size() * 2); }
std::u16string fromBytes(const std::string &b) { return std::u16string(reinterpret_cast<const char16_t *>(b.data()), b.size() / 2); }

// Lines of the log, each without its CR LF; false when a line lacks it.
bool splitLines(const std::u16string &text, std::vector<std::u16string> *lines) {
  for (size_t start = 0, end; start < text.size(); start = end + 2) {
    if ((end = text.find(u"\r\n", start)) == std::u16string::npos) return false;
    lines->push_back(text.substr(start, end - start));
  }
  return true;
}

const std::regex kLineShape(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \| ([^|]*) \| ([^|]*) )");

class ErrorLogTest : public HostEnvTest {
 protected:
  std::string logFile() const { return vgmtest::join(appData(), "suite_error.log"); }
  std::u16string readLog() const { return fromBytes(vgmtest::readFile(logFile())); }
  // A log of `bytes` bytes made of numbered 97-character lines; the last
  // one is usually cut short.
  std::u16string makeLog(size_t bytes) {
    std::u16string text;
    for (int number = 0; text.size() * 2 < bytes; ++number) {
      std::string head = "2020-01-01 00:00:00.000 | old | " + std::to_string(100000 + number);
      text += u16(head + std::string(94 - head.size(), '.')) + u" \r\n";
    }
    text.resize(bytes / 2);
    vgmtest::writeFile(logFile(), toBytes(text));
    return text;
  }
};

TEST_F(ErrorLogTest, LineFormatAndCleaning) {
  EXPECT_EQ(log_Error(nullptr, u"message") + log_Error(u"title", u"") + log_Error(u"", u"message"), 0);
  EXPECT_FALSE(fs::exists(logFile()));

  ASSERT_EQ(log_Error(u" Load | Save\t", u"bad | value\r\nsecond\tline   end\n\f"), 1);
  ASSERT_EQ(log_Error(u"Second", u"entry"), 1);
  std::string bytes = vgmtest::readFile(logFile());
  EXPECT_NE(bytes.substr(0, 2), std::string("\xFF\xFE"));  // no byte-order mark
  std::vector<std::u16string> lines;
  ASSERT_TRUE(splitLines(fromBytes(bytes), &lines));
  ASSERT_EQ(lines.size(), 2u);
  std::smatch match;
  std::string first = u8(lines[0]);
  ASSERT_TRUE(std::regex_match(first, match, kLineShape)) << first;
  EXPECT_EQ(match[1].str(), "Load / Save");
  EXPECT_EQ(u16(match[2].str()), u"bad \u00A6 value second line end");
  EXPECT_TRUE(u8(lines[1]).find(" | Second | entry ") != std::string::npos);

  // The time stamp is the UTC time given, to the millisecond.
  uint64_t stamp = 116444736000000000ull + 1709211909ull * 10000000ull + 1234567ull;
  EXPECT_EQ(log_FormatLine(stamp, u"T", u"M"), u"2024-02-29 13:05:09.123 | T | M \r\n");
  EXPECT_EQ(log_CleanField(u"\v a\f\fb  \t c \f", u'/'), u"a\f\fb c");

  // An over-long entry is cut to the line limit and keeps its line end.
  std::u16string longLine = log_FormatLine(stamp, u"T", std::u16string(5000, u'x'));
  EXPECT_TRUE(longLine.size() == kLogMaxLine && longLine.ends_with(u" \r\n")) << longLine.size();
}

TEST_F(ErrorLogTest, LargeLogsAreTrimmedAtLineBoundariesNeverHalfWritten) {
  std::u16string old = makeLog(70000);
  ASSERT_EQ(log_Error(u"Trim", u"newest"), 1);
  std::u16string text = readLog();
  EXPECT_LE(text.size(), kLogTrimTo);
  EXPECT_GT(text.size(), kLogTrimTo - 200);  // no more than needed went
  std::vector<std::u16string> lines;
  ASSERT_TRUE(splitLines(text, &lines));
  EXPECT_NE(u8(lines.back()).find(" | Trim | newest "), std::string::npos);
  // What is kept is a whole-line tail of the old log (its cut last line
  // closed with CR LF).
  std::u16string kept = text.substr(0, text.size() - (lines.back().size() + 2));
  std::u16string oldTail = old.substr(old.size() - (kept.size() - 2));
  EXPECT_TRUE(kept == oldTail + u"\r\n");
  EXPECT_EQ(old[old.size() - oldTail.size() - 1], u'\n');

  // Between 32768 and 65536 bytes the text is read but nothing goes.
  old = makeLog(40000);
  ASSERT_EQ(log_Error(u"Keep", u"all"), 1);
  text = readLog();
  EXPECT_TRUE(text.substr(0, old.size()) == old);
  EXPECT_EQ(text.substr(old.size() + 23), u" | Keep | all \r\n");

  // When every old line has to go, the new line stands alone: no empty line before it.
  vgmtest::writeFile(logFile(), toBytes(std::u16string(33000, u'x') + u"\r\n"));
  ASSERT_EQ(log_Error(u"Alone", u"line"), 1);
  EXPECT_EQ(readLog().substr(23), u" | Alone | line \r\n");

  // Failed writes never leave half a log.
  makeLog(70000);
  os_InjectFault(os_FaultKind::fileWrite, 1);  // the rewrite of the kept part
  EXPECT_EQ(log_Error(u"Rewrite", u"failed"), 1);
  const std::u16string after = readLog();
  lines.clear();
  ASSERT_TRUE(splitLines(after, &lines));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(u8(lines[0]).find(" | Rewrite | failed ") != std::string::npos);

  os_InjectFault(os_FaultKind::fileWrite, 1);  // the append itself
  EXPECT_EQ(log_Error(u"Append", u"failed"), 0);
  os_InjectFault(os_FaultKind::fileWrite, 0);
  EXPECT_TRUE(readLog() == after);
}

TEST_F(ErrorLogTest, LockedLogFallsBackToAMessageBox) {
  ASSERT_EQ(log_Error(u"First", u"entry"), 1);
  std::string before = vgmtest::readFile(logFile());
  vgmtest::Child holder("HoldFile", "0 -1 " + logFile());  // for as long as the test wants
  ASSERT_EQ(holder.ready, 'L');
  {
    vgmtest::ScriptedNotices notices;
    EXPECT_EQ(log_Error(u"Locked", u"while held"), -1);
    ASSERT_EQ(notices.seen.size(), 1u);
    EXPECT_EQ(notices.seen[0].substr(0, 13) + notices.seen[0].substr(36), "Error|274432| | Locked | while held ");
  }
  holder.release();  // first: an unshared file cannot even be read on Windows
  EXPECT_EQ(vgmtest::readFile(logFile()), before);
  EXPECT_EQ(log_Error(u"Released", u"again"), 1);

  // No folder for the log at all: the same fallback.
  vgmtest::writeFile(root_.file("plain"), "file");
  vgmtest::ScopedEnv nowhere("VGM_APPDATA_DIR", root_.file("plain/sub"));
  resetAll();
  vgmtest::ScriptedNotices notices;
  EXPECT_EQ(log_Error(u"Nowhere", u"to write"), -1);
  EXPECT_EQ(notices.seen.size(), 1u);
}

constexpr int kLines = 500;

// Writes kLines entries titled by its argument once released.
VGM_TEST_CHILD_TASK(LogWriter) {
  vgmtest::ScriptedNotices notices;  // a line given up must not wait for a click
  vgmtest::childReady('R');
  int failures = 0;
  for (int i = 0; i < kLines; ++i) failures += log_Error(u16(argument).c_str(), (u"entry " + u16(std::to_string(i))).c_str()) != 1;
  return std::min(failures, 255);
}

TEST_F(ErrorLogTest, TwoProcessesWritingAtOnceLoseNothing) {
  vgmtest::Child a("LogWriter", "writer A"), b("LogWriter", "writer B");
  ASSERT_TRUE(a.ready == 'R' && b.ready == 'R');
  a.go(), b.go();  // both start now
  EXPECT_TRUE(a.release() && b.release());
  std::vector<std::u16string> lines;
  ASSERT_TRUE(splitLines(readLog(), &lines));
  // Trimming drops old lines from the front only: what is left of each
  // writer is an unbroken run that ends with its last entry.
  int next[2] = {-1, -1};
  for (const std::u16string &line : lines) {
    std::smatch match;
    std::string text = u8(line);
    ASSERT_TRUE(std::regex_match(text, match, kLineShape)) << text;
    int k = match[1].str() == "writer A" ? 0 : match[1].str() == "writer B" ? 1 : -1;
    ASSERT_GE(k, 0) << text;
    int number = std::stoi(match[2].str().substr(6));
    EXPECT_TRUE(next[k] < 0 || number == next[k]) << text;
    next[k] = number + 1;
  }
  EXPECT_TRUE(next[0] == kLines && next[1] == kLines) << next[0] << " " << next[1];
  EXPECT_GT(lines.size(), 400u);
}

// A link to a folder; the mingw C++ library makes none, so there a file
// of that name stands in (a name the clean-ups must leave alone either way).
void linkFolder(const std::string &target, const std::string &link) {
#ifdef _WIN32
  (void)target, vgmtest::writeFile(link, "link");
#else
  fs::create_directory_symlink(target, link);
#endif
}

// Relative path -> content ("/" for folders) of everything below `folder`.
std::map<std::string, std::string> snapshot(const std::string &folder) {
  std::map<std::string, std::string> tree;
  for (const auto &entry : fs::recursive_directory_iterator(folder)) {
    std::string relative = fs::relative(entry.path(), folder).string();
    std::replace(relative.begin(), relative.end(), vgmtest::kSeparator, '/');
    tree[relative] = entry.is_directory() ? "/" : vgmtest::readFile(entry.path().string());
  }
  return tree;
}

std::string sessionName(const char *prefix, uint32_t process) {
  char name[64];
  std::snprintf(name, sizeof name, "%s%08x", prefix, process);
  return name;
}

// A folder path of exactly `length` characters below `base`, in one name.
std::string pathOfLength(const std::string &base, size_t length) { return base + "/" + std::string(length - base.size() - 1, 'd'); }

// The temporary root once `setting` is the configured temporary folder.
std::string tempRootWith(const std::string &setting) {
  cfg_Defaults();
  std::u16string text = u16(setting);
  std::memcpy(cfg_Live()->temp_folder, text.c_str(), (text.size() + 1) * sizeof(char16_t));
  EXPECT_EQ(cfg_Save(), 1);
  char16_t buffer[os_MaxPath];
  return env_GetTempRoot(buffer, os_MaxPath) > 0 ? u8(buffer) : std::string("failed");
}

using FoldersTest = HostEnvTest;

TEST_F(FoldersTest, AppAndPluginFolders) {
  char16_t buffer[os_MaxPath];
  const std::u16string exe = os_ExecutablePath();
  const std::string exeFolder = u8(exe.substr(0, exe.find_last_of(u"\\/")));
  EXPECT_TRUE(env_GetAppFolder(buffer) == 1 && u8(buffer) == exeFolder) << u8(buffer);
  EXPECT_TRUE(env_GetPluginFolder(buffer, os_MaxPath, nullptr) == 1 && u8(buffer) == vgmtest::join(exeFolder, "Plugins")) << u8(buffer);
  EXPECT_TRUE(env_GetPluginFolder(buffer, os_MaxPath, u"/opt/suite/") == 1 && u8(buffer) == "/opt/suite/Plugins");

#ifndef _WIN32  // the install setting: this variable on POSIX, the registry on Windows
  // An executable whose folder is gone falls back to the install setting.
  std::u16string missing = u16(root_.file("gone/app"));
  env_ResetForTests(missing.c_str());
  {
    vgmtest::ScopedEnv install("ORVINEPHOTO_PATH", vgmtest::join(root_.path(), ""));
    EXPECT_TRUE(env_GetAppFolder(buffer) == 1 && u8(buffer) == root_.path()) << u8(buffer);
  }
  env_ResetForTests(missing.c_str());
  vgmtest::ScopedEnv noInstall("ORVINEPHOTO_PATH", "");
  buffer[0] = u'#';
  EXPECT_TRUE(env_GetAppFolder(buffer) == 0 && buffer[0] == u'#');
#endif
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
    EXPECT_EQ(u8(buffer), length == 259 ? vgmtest::join(plugins, "Plugins") : "#");
    EXPECT_EQ(u8(data), length == 259 ? vgmtest::join(appBase, "Orvine Photo") : "#");
    EXPECT_EQ(fs::is_directory(vgmtest::join(appBase, "Orvine Photo")), length == 259);
  }
  env_ResetForTests(nullptr);
  // The caller's capacity counts the same way.
  char16_t session[os_MaxPath] = {u'#'};
  std::string expected = vgmtest::join(tempBase_, sessionName("_vgm_sesstmp_", os_ProcessId()));
  EXPECT_TRUE(env_GetSessionFolder(session, expected.size()) == 0 && session[0] == u'#' && !fs::exists(expected));
  ASSERT_EQ(env_GetSessionFolder(session, expected.size() + 1), 1);
  EXPECT_TRUE(u8(session) == expected && fs::is_directory(expected)) << u8(session);
}

TEST_F(FoldersTest, SiblingDataAndContentMoveOnceIntoTheLayout) {
  std::string sibling = vgmtest::join(appBase_, "Orvine Draw KTA");
  for (auto [name, content] : {std::pair{"Artist/brushes.dat", "brushes"}, {"Lang_Studio/project.txt", "project"},
                               {"Plugins/flt_OLD.dll", "new plugin"}, {"Language/English.lng", "english"},
                               {"settings.ini", "sibling settings"}, {"Thumbs.db", "clutter"}})
    vgmtest::writeFile(vgmtest::join(sibling, "") + name, content);
  vgmtest::writeFile(vgmtest::join(appData(), "settings.ini"), "own settings");
  vgmtest::writeFile(vgmtest::join(appData(), "Plugins/flt_OLD.dll"), "old plugin");
  vgmtest::writeFile(vgmtest::join(appData(), "Plugins/flt_KEEP.dll"), "kept");
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
  fs::remove(vgmtest::join(sibling, "Thumbs.db"));
  vgmtest::writeFile(vgmtest::join(sibling, "late.txt"), "late");
  env_ResetForTests(nullptr);
  fs::remove_all(appData());  // a vanished cached folder is resolved again
  ASSERT_EQ(env_GetAppDataFolder(buffer), 1);
  EXPECT_TRUE(vgmtest::readFile(vgmtest::join(appData(), "late.txt")) == "late" && !fs::exists(sibling));

  // The content folder takes over the sibling's content the same way.
  vgmtest::writeFile(vgmtest::join(docsBase_, "Orvine Draw KTA/More/frame.png"), "frame");
  vgmtest::writeFile(vgmtest::join(docsBase_, "Orvine Draw KTA/Color Profiles/cmyk.icm"), "icm");
  ASSERT_EQ(env_GetContentFolder(buffer, os_MaxPath), 1);
  EXPECT_EQ(u8(buffer), vgmtest::join(docsBase_, "Orvine Photo"));
  EXPECT_EQ(vgmtest::readFile(vgmtest::join(docsBase_, "Orvine Photo/Others/frame.png")) +
                vgmtest::readFile(vgmtest::join(docsBase_, "Orvine Photo/Color Profiles/cmyk.icm")), "frameicm");
  EXPECT_FALSE(fs::exists(vgmtest::join(docsBase_, "Orvine Draw KTA")));
  EXPECT_EQ(env_GetContentFolder(buffer, 5), 0);
}

TEST_F(FoldersTest, MovesStopOnFailureAndAreRetried) {
  std::string from = root_.file("from"), to = root_.file("to");
  vgmtest::writeFile(vgmtest::join(from, "sub/x.txt"), "x");
  vgmtest::writeFile(vgmtest::join(from, "sub/y.txt"), "y");
  vgmtest::writeFile(vgmtest::join(from, "z.txt"), "z");
  vgmtest::writeFile(vgmtest::join(to, "sub/x.txt"), "old x");
  // Whichever entry comes first, the fourth move is a file move and fails
  // after exactly one entry went: the move ends there.
  os_InjectFault(os_FaultKind::fileMove, 4);
  int first = env_MoveFolder(u16(from).c_str(), u16(to).c_str());
  os_InjectFault(os_FaultKind::fileMove, 0);
  EXPECT_TRUE(first == 1 && fs::exists(from));
  int second = env_MoveFolder(u16(from).c_str(), u16(to).c_str());
  EXPECT_TRUE(first + second == 3 && !fs::exists(from));
  EXPECT_EQ(snapshot(to), (std::map<std::string, std::string>{
                              {"sub", "/"}, {"sub/x.txt", "x"}, {"sub/y.txt", "y"}, {"z.txt", "z"}}));
  EXPECT_EQ(env_MoveFolder(u16(root_.file("none")).c_str(), u16(to).c_str()), 0);

#ifndef _WIN32  // byte names: Windows names are UTF-16 throughout
  // Names that are not UTF-8 still move.
  from = root_.file("raw"), to = root_.file("rawto");
  std::map<std::string, std::string> tree{{"a.txt", "a"}, {"caf\xE9 \xFF.txt", "latin-1 name"}, {"\x80sub", "/"},
                                          {"\x80sub/z.txt", "z"}, {"zz.txt", "zz"}};
  for (const auto &[name, content] : tree)
    if (content != "/") vgmtest::writeFile(vgmtest::join(from, "") + name, content);
  fs::create_directories(to);  // the target exists: the move goes entry by entry
  EXPECT_TRUE(env_MoveFolder(u16(from).c_str(), u16(to).c_str()) == 4 && !fs::exists(from));
  EXPECT_EQ(snapshot(to), tree);
#endif
}

TEST_F(FoldersTest, AppPackagesByPathAndTheirDataCopiedOnce) {
  for (auto [path, package] : {std::pair{u"C:\\Program Files\\WindowsApps\\Suite_5.43\\VFS\\app.exe", true},
                               {u"/mnt/windowsapps/suite/app", true}, {u"/mnt/WindowsApps2/suite/app", false},
                               {u"/mnt/My WindowsApps/app", false}, {u"WindowsApps/app", false}})
    EXPECT_EQ(env_IsAppPackagePath(path), package) << vgmtest::u8(path);
  EXPECT_EQ(env_PackageVfsRoot(u"C:\\WindowsApps\\P\\VFS\\ProgramFilesX86\\Suite\\app.exe"),
            u"C:\\WindowsApps\\P\\VFS\\");
  EXPECT_EQ(env_PackageVfsRoot(u"/pkg/VFS/VFS/app"), u"/pkg/VFS/");
  EXPECT_EQ(env_PackageVfsRoot(u"/pkg/VFSX/app"), u"");

#ifndef _WIN32  // Windows asks the system whether the process is packaged, not its path
  // Data of a package is copied once per version.
  std::string vfs = root_.file("WindowsApps/Suite/VFS");
  vgmtest::writeFile(vgmtest::join(vfs, "Common AppData/Orvine Photo/Common/Language/English.lng"), "packaged");
  vgmtest::writeFile(vgmtest::join(vfs, "Common Documents/Orvine Photo/Frames/f.png"), "frame");
  std::u16string exe = u16(vgmtest::join(vfs, "ProgramFiles/Suite/app"));
  env_ResetForTests(exe.c_str());
  ASSERT_TRUE(env_RunsFromAppPackage());
  char16_t buffer[os_MaxPath];
  ASSERT_EQ(env_GetAppDataFolder(buffer), 1);
  EXPECT_EQ(vgmtest::readFile(vgmtest::join(appData(), "Common/Language/English.lng")) + "|" + vgmtest::readFile(vgmtest::join(appData(), "_msix_ver.ini")),
            "packaged|5.43.01");
  ASSERT_EQ(env_GetContentFolder(buffer, os_MaxPath), 1);
  EXPECT_EQ(vgmtest::readFile(vgmtest::join(docsBase_, "Orvine Photo/Frames/f.png")), "frame");

  // The marker stops a second copy over the user's changes.
  vgmtest::writeFile(vgmtest::join(appData(), "Common/Language/English.lng"), "edited");
  env_ResetForTests(exe.c_str());
  ASSERT_EQ(env_GetAppDataFolder(buffer), 1);
  EXPECT_EQ(vgmtest::readFile(vgmtest::join(appData(), "Common/Language/English.lng")), "edited");

  // Inside a package the configured temporary folder is not consulted.
  EXPECT_EQ(tempRootWith(root_.file("cfgtmp")), vgmtest::join(tempBase_, ""));
#endif
}

TEST_F(FoldersTest, ConfiguredTemporaryFolder) {
  char16_t buffer[os_MaxPath];
  EXPECT_TRUE(env_GetTempRoot(buffer, os_MaxPath) > 0 && u8(buffer) == vgmtest::join(tempBase_, ""));
  std::string own = root_.file("own/tmp");
  EXPECT_EQ(tempRootWith("  " + own + " \t"), vgmtest::join(own, ""));
  EXPECT_EQ(env_GetTempRoot(buffer, os_MaxPath), static_cast<int>(own.size() + 1));
  EXPECT_TRUE(fs::is_empty(own));  // the test files are gone again
  EXPECT_EQ(env_GetTempRoot(buffer, own.size() + 1), 0);

  // The verdict holds for a minute even when the folder goes away; the next test rejects it.
  fs::remove_all(root_.file("own"));
  vgmtest::writeFile(root_.file("own"), "now a file");
  EXPECT_TRUE(env_GetTempRoot(buffer, os_MaxPath) > 0 && u8(buffer) == vgmtest::join(own, "")) << u8(buffer);
  env_ResetForTests(nullptr);
  EXPECT_TRUE(env_GetTempRoot(buffer, os_MaxPath) > 0 && u8(buffer) == vgmtest::join(tempBase_, "")) << u8(buffer);

  // An existing folder where nothing can be written, even by root; a
  // read-only folder; fewer than four characters: the system's folder.
  std::string locked = root_.file("locked");
  fs::create_directories(locked);
#ifndef _WIN32  // a folder's write permission is a POSIX mode bit
  ::chmod(locked.c_str(), 0555);
#endif
  for (const std::string &setting : {std::string("/proc/self"), locked, std::string(" /t ")}) {
#ifdef _WIN32
    if (setting == locked) continue;
#else
    if (setting == locked && ::geteuid() == 0) continue;  // root writes anywhere
#endif
    env_ResetForTests(nullptr);
    EXPECT_EQ(tempRootWith(setting), vgmtest::join(tempBase_, "")) << setting;
  }
}

TEST_F(FoldersTest, FolderTreeDeletionRefusals) {
  std::string outside = root_.file("outside");
  vgmtest::writeFile(vgmtest::join(outside, "keep.txt"), "keep");
  std::string tree = root_.file("tree");
  vgmtest::writeFile(vgmtest::join(tree, "a/b/c.txt"), "c");
  linkFolder(outside, vgmtest::join(tree, "a/link"));
  linkFolder(outside, root_.file("toplink"));

  for (const std::string &refused : {std::string("/a"), root_.file("missing"), vgmtest::join(outside, "keep.txt"), root_.file("toplink")})
    EXPECT_EQ(env_DeleteFolderTree(u16(refused).c_str()), 0) << refused;
  EXPECT_EQ(env_DeleteFolderTree(nullptr), 0);
  EXPECT_TRUE(env_DeleteFolderTree(u16(tree).c_str()) == 1 && !fs::exists(tree));
  EXPECT_EQ(vgmtest::readFile(vgmtest::join(outside, "keep.txt")), "keep");
}

TEST(FoldersNames, SessionProcessIdentifiers) {
  for (auto [name, id] : {std::pair{u"_vgm_sesstmp_0000abcd", 0xabcdu}, {u"_kta_sess_tmp_x00001234", 0x1234u},
                          {u"_kta_sesstmp_0000123456", 0x00001234u}, {u"_vgm_sesstmp_000abcd", 0u},
                          {u"_vgm_sesstmp_000abcdz", 0u}, {u"_vgm_sesstmp_", 0u}})
    EXPECT_EQ(env_SessionProcessId(name), id) << vgmtest::u8(name);
}

// Session folders of real processes: the clean-up removes those of ended
// processes and leaves the living ones alone.
using SessionsTest = HostEnvTest;

VGM_TEST_CHILD_TASK(MakeSessionFolder) {
  char16_t folder[os_MaxPath];
  const bool made = env_GetSessionFolder(folder, os_MaxPath) == 1;
  if (made) vgmtest::writeFile(vgmtest::u8(folder) + "/scratch.tmp", "work");
  vgmtest::childReady(made ? 'M' : 'F');
  return 0;
}
VGM_TEST_CHILD_TASK(StayUntilReleased) { return vgmtest::childReady('L'), 0; }

TEST_F(SessionsTest, CleanUpRemovesOnlyEndedProcesses) {
  // A real child makes its own session folder and ends.
  vgmtest::Child child("MakeSessionFolder");
  const uint32_t ended = child.pid;
  ASSERT_TRUE(child.ready == 'M' && child.release());
  auto at = [&](const std::string &name) { return vgmtest::join(tempBase_, "") + name; };
  ASSERT_TRUE(fs::exists(at(sessionName("_vgm_sesstmp_", ended)) + "/scratch.tmp"));
  vgmtest::Child live("StayUntilReleased");
  ASSERT_EQ(live.ready, 'L');
  char16_t own[os_MaxPath];
  ASSERT_EQ(env_GetSessionFolder(own, os_MaxPath), 1);
  std::string outside = root_.file("outside");
  vgmtest::writeFile(vgmtest::join(outside, "keep.txt"), "keep");
  linkFolder(outside, at(sessionName("_vgm_sesstmp_y", ended)));
  vgmtest::writeFile(at(sessionName("_kta_sesstmp_x", ended)), "not a folder");
  // Ended processes, and numbers beyond any process identifier: stale.
  const std::string stale[] = {sessionName("_kta_sess_tmp_", ended) + "/deep/er", sessionName("_kta_sesstmp_", ended),
                               "_vgm_sesstmp_ffffffff", "_kta_sesstmp_80000002"};
  // A live process, seven digits, identifier 0: kept whatever they seem to name.
  const std::string kept[] = {sessionName("_vgm_sesstmp_", live.pid), "_vgm_sesstmp_" + sessionName("", ended).substr(1),
                              "_vgm_sesstmp_00000000"};
  for (const std::string &name : stale) fs::create_directories(at(name));
  for (const std::string &name : kept) fs::create_directories(at(name));

  EXPECT_EQ(env_CleanStaleSessions(), 0);
  EXPECT_FALSE(fs::exists(at(sessionName("_vgm_sesstmp_", ended))));
  for (const std::string &name : stale) EXPECT_FALSE(fs::exists(at(name.substr(0, name.find('/'))))) << name;
  for (const std::string &name : kept) EXPECT_TRUE(fs::is_directory(at(name))) << name;
  EXPECT_TRUE(fs::is_directory(vgmtest::u8(own)));
  EXPECT_TRUE(fs::is_regular_file(at(sessionName("_kta_sesstmp_x", ended))));
  EXPECT_TRUE(fs::exists(fs::symlink_status(at(sessionName("_vgm_sesstmp_y", ended)))));
  EXPECT_EQ(vgmtest::readFile(vgmtest::join(outside, "keep.txt")), "keep");

  // Once the live child has ended, its folder goes too.
  live.release();
  env_GetSessionFolder(nullptr, 0);
  EXPECT_FALSE(fs::exists(at(kept[0])));
  EXPECT_TRUE(fs::is_directory(vgmtest::u8(own)));
}

}  // namespace
