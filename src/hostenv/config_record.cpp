#include "hostenv/config_record.h"

#include <bit>
#include <cstring>
#include <mutex>
#include <string>

#include "hostenv/folders.h"
#include "platform/os.h"

static_assert(std::endian::native == std::endian::little, "the record is stored as it lies in memory");

namespace {

// Loads and saves are serialised in the process; callers still read and
// change fields of the live record in place without a lock.
std::mutex gLock;
cfg_Record gLive{};
cfg_Record gDisk{};  // the last record read from disk
bool gLoaded = false;
uint32_t gLoadTick = 0;
unsigned gDiskReads = 0;
// Set while the live record holds defaults only because an existing file
// could not be read: saving them would overwrite the user's settings (and
// change the key of every encrypted state file).
bool gDefaultsOverUnreadFile = false;

// A save in another process holds the file unshared for a moment: wait for
// it, within a bound, rather than fall back to the defaults at once.
os_File *openForReading(const std::u16string &path) {
  uint64_t until = os_HighResCounter() + os_HighResFrequency() * kCfgOpenRetryMilliseconds / 1000;
  for (;;) {
    os_File *file = os_FileOpen(path.c_str(), os_AccessRead, os_ShareRead, os_Disposition::openExisting);
    if (file != nullptr || os_LastError() != os_Error::sharingViolation || os_HighResCounter() >= until)
      return file;
    os_Sleep(1);
  }
}

char16_t foldCase(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

bool containsIgnoringCase(std::u16string_view text, std::u16string_view word) {
  if (word.size() > text.size()) return false;
  for (size_t i = 0; i + word.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < word.size() && foldCase(text[i + k]) == foldCase(word[k])) ++k;
    if (k == word.size()) return true;
  }
  return false;
}

bool configPath(std::u16string *path) {
  char16_t folder[os_MaxPath];
  if (!env_GetAppDataFolder(folder)) return false;
  *path = folder;
  if (!os_IsPathSeparator(path->back())) *path += os_PathSeparator;
  *path += kCfgFileName;
  return path->size() < os_MaxPath;
}

void applyDefaults() {
  std::memset(&gLive, 0, sizeof gLive);
  gLive.version = kCfgVersion;
  gLive.size = kCfgRecordSize;
  gLive.kv5_level = 4;
  gLive.flag_14 = 1;
  gLive.flag_17 = 1;
  gLive.regional_a = gLive.regional_b = cfg_RegionalForBias(os_TimeZoneBiasMinutes());
  uint32_t colour = 0;
  gLive.ui_theme = os_ButtonFaceColor(&colour) ? cfg_ThemeForButtonFace(colour) : 0;
  cfg_UserName(gLive.author_name, kCfgTextUnits);
}

}  // namespace

cfg_Record *cfg_Live() { return &gLive; }

void cfg_Snapshot(cfg_Record *out) {
  cfg_Load(0);
  std::lock_guard<std::mutex> guard(gLock);
  *out = gLive;
}

void cfg_SetKv5Level(uint8_t level) {
  std::lock_guard<std::mutex> guard(gLock);
  gLive.kv5_level = level;
}

uint8_t cfg_RegionalForBias(int32_t bias_minutes) { return bias_minutes >= 300 && bias_minutes <= 480 ? 1 : 0; }

uint8_t cfg_ThemeForButtonFace(uint32_t colour) {
  uint32_t red = colour & 0xFF, green = (colour >> 8) & 0xFF, blue = (colour >> 16) & 0xFF;
  uint32_t brightest = red > green ? (red > blue ? red : blue) : (green > blue ? green : blue);
  return brightest < 96 ? 4 : 0;
}

void cfg_Upgrade(cfg_Record *record) {
  uint32_t version = record->version;
  // Newer records are taken as they are: their extra meaning is unknown here.
  if (version >= kCfgVersion) return;
  if (version < 65557) record->flag_15 = 0;
  if (version < 65560) record->ui_theme = 0;
  if (version < 65561) record->flag_17 = 1;
  if (version < 65562) record->kv5_level = record->kv5_level == 1 ? 9 : record->kv5_level == 2 ? 0 : 4;
  std::memset(record->counters, 0, sizeof record->counters);
}

void cfg_Defaults() {
  std::lock_guard<std::mutex> guard(gLock);
  gDefaultsOverUnreadFile = false;  // asked for: the caller means to reset
  applyDefaults();
}

int cfg_Load(int force) {
  std::lock_guard<std::mutex> guard(gLock);
  if (!force && gLoaded && os_TickCount() - gLoadTick < kCfgCacheMilliseconds && gDisk.version == kCfgVersion &&
      gDisk.size == kCfgRecordSize && gLive.version == kCfgVersion && gLive.size == kCfgRecordSize) {
    std::memset(gDisk.transient_paths, 0, sizeof gDisk.transient_paths);
    gLive = gDisk;
    return 1;
  }
  std::memset(&gDisk, 0, sizeof gDisk);
  bool accepted = false;
  bool unread = false;  // the file is there but could not be read
  std::u16string path;
  if (configPath(&path)) {
    os_File *file = openForReading(path);
    if (file != nullptr) {
      ++gDiskReads;
      size_t done = 0;
      bool read = os_FileRead(file, &gDisk, sizeof gDisk, &done) != 0;
      os_FileClose(file);
      accepted = read && done >= 8 && done == gDisk.size;
      unread = !read;
    } else {
      unread = os_LastError() != os_Error::notFound;
    }
  }
  if (!accepted) {
    std::memset(&gDisk, 0, sizeof gDisk);
    gLoaded = false;
    // A short or inconsistent record was read: saving over it repairs it.
    gDefaultsOverUnreadFile = unread;
    applyDefaults();
    return 0;
  }
  gDefaultsOverUnreadFile = false;
  cfg_Upgrade(&gDisk);
  gDisk.version = kCfgVersion;
  gDisk.size = kCfgRecordSize;
  gDisk.author_name[kCfgTextUnits - 1] = 0;
  std::memset(gDisk.transient_paths, 0, sizeof gDisk.transient_paths);
  gLive = gDisk;
  gLoadTick = os_TickCount();
  gLoaded = true;
  return 1;
}

int cfg_Save() {
  std::lock_guard<std::mutex> guard(gLock);
  if (gDefaultsOverUnreadFile) return 0;
  gLive.version = kCfgVersion;
  gLive.size = kCfgRecordSize;
  std::u16string path;
  if (!configPath(&path)) return 0;
  // Unshared while writing: the readers' shared lock then never meets a
  // half-written record, which is what the system's sharing rules give.
  os_File *file = os_FileOpen(path.c_str(), os_AccessWrite, os_ShareNone, os_Disposition::openAlways);
  if (file == nullptr) return 0;
  bool written = os_FileSeek(file, 0, os_SeekFrom::begin, nullptr) && os_FileWrite(file, &gLive, sizeof gLive) &&
                 os_FileTruncateHere(file);
  os_FileClose(file);
  std::u16string folder = path.substr(0, path.size() - std::char_traits<char16_t>::length(kCfgFileName) - 1);
  os_FolderGrantUsers(folder.c_str());
  // What is on disk now is this record: a cached load must not bring back
  // the one read before the save.
  if (written && gLoaded) gDisk = gLive;
  return written ? 1 : 0;
}

int cfg_PickUserName(const char16_t *full_name, const char16_t *login_name, char16_t *buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return 0;
  std::u16string_view full(full_name != nullptr ? full_name : u"");
  while (!full.empty() && full.front() == u' ') full.remove_prefix(1);
  while (!full.empty() && full.back() == u' ') full.remove_suffix(1);
  std::u16string_view name = full;
  for (std::u16string_view refused : {u"account for", u"internal", u"administrator", u"guest"}) {
    if (containsIgnoringCase(full, refused)) name = {};
  }
  if (name.empty()) name = login_name != nullptr ? login_name : u"";
  size_t length = name.size() < capacity ? name.size() : capacity - 1;
  // Never leave half of a surrogate pair at the cut.
  if (length > 0 && length < name.size() && name[length - 1] >= 0xD800 && name[length - 1] <= 0xDBFF) --length;
  std::memcpy(buffer, name.data(), length * sizeof(char16_t));
  buffer[length] = 0;
  return length > 0 ? 1 : 0;
}

int cfg_UserName(char16_t *buffer, size_t capacity) {
  std::u16string full = os_UserFullName();
  std::u16string login = os_UserLoginName();
  return cfg_PickUserName(full.c_str(), login.c_str(), buffer, capacity);
}

void cfg_ResetForTests() {
  std::lock_guard<std::mutex> guard(gLock);
  std::memset(&gLive, 0, sizeof gLive);
  std::memset(&gDisk, 0, sizeof gDisk);
  gLoaded = false;
  gLoadTick = 0;
  gDiskReads = 0;
  gDefaultsOverUnreadFile = false;
}

unsigned cfg_DiskReadsForTests() {
  std::lock_guard<std::mutex> guard(gLock);
  return gDiskReads;
}
