// The suite-wide settings record "suite_config.bin": one 4096-byte
// little-endian record shared by every product of the suite, kept live in
// memory, loaded through a short cache and upgraded from older versions.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kCfgVersion = 65563;  // 0x0001001B
inline constexpr uint32_t kCfgRecordSize = 4096;
inline constexpr uint32_t kCfgCacheMilliseconds = 5000;
inline constexpr uint64_t kCfgOpenRetryMilliseconds = 400;  // waiting out a save in another process
inline constexpr size_t kCfgTextUnits = 64;
inline constexpr size_t kCfgTransientPaths = 4;
inline constexpr size_t kCfgTransientUnits = 260;
inline constexpr const char16_t *kCfgFileName = u"suite_config.bin";

struct cfg_Record {
  uint32_t version;
  uint32_t size;  // must equal the bytes read
  uint32_t cache_seed;  // low 31 bits: the seed of the plug-in state store's key
  uint8_t reserved_12[4];
  uint8_t kv5_level;  // native-document compression: low 4 bits, at most 9
  uint8_t reserved_17;
  uint8_t regional_a;
  uint8_t regional_b;
  uint8_t flag_14;
  uint8_t flag_15;
  uint8_t ui_theme;
  uint8_t flag_17;
  uint8_t help_mode;
  uint8_t exif_add_structure;
  uint8_t exif_add_unlisted;
  uint8_t reserved_27[13];
  uint32_t counters[5];  // state of the feedback dialogs; cleared by upgrades
  uint8_t reserved_60[196];
  char16_t language_file[kCfgTextUnits];
  char16_t temp_folder[kCfgTextUnits];
  char16_t author_name[kCfgTextUnits];
  uint8_t reserved_640[902];
  char16_t transient_paths[kCfgTransientPaths][kCfgTransientUnits];  // never survive a load
  uint8_t reserved_3622[474];
};

static_assert(sizeof(cfg_Record) == kCfgRecordSize);
static_assert(offsetof(cfg_Record, version) == 0);
static_assert(offsetof(cfg_Record, size) == 4);
static_assert(offsetof(cfg_Record, cache_seed) == 8);
static_assert(offsetof(cfg_Record, kv5_level) == 16);
static_assert(offsetof(cfg_Record, regional_a) == 18);
static_assert(offsetof(cfg_Record, regional_b) == 19);
static_assert(offsetof(cfg_Record, flag_14) == 20);
static_assert(offsetof(cfg_Record, flag_15) == 21);
static_assert(offsetof(cfg_Record, ui_theme) == 22);
static_assert(offsetof(cfg_Record, flag_17) == 23);
static_assert(offsetof(cfg_Record, help_mode) == 24);
static_assert(offsetof(cfg_Record, exif_add_structure) == 25);
static_assert(offsetof(cfg_Record, exif_add_unlisted) == 26);
static_assert(offsetof(cfg_Record, counters) == 40);
static_assert(offsetof(cfg_Record, language_file) == 256);
static_assert(offsetof(cfg_Record, temp_folder) == 384);
static_assert(offsetof(cfg_Record, author_name) == 512);
static_assert(offsetof(cfg_Record, transient_paths) == 1542);

// The live record the rest of the library reads and changes in place.
cfg_Record *cfg_Live();
// cfg_Load(0), then a copy of the live record taken under the record's
// lock: for readers on threads that may load at the same time.
void cfg_Snapshot(cfg_Record *out);
// Sets the live record's compression level under the record's lock, as a
// settings page does while saves may run.
void cfg_SetKv5Level(uint8_t level);

// 1 when a record was loaded (or the cached one reused), 0 when the defaults
// were applied. `force` skips the 5-second cache.
int cfg_Load(int force);
// Writes the live record; 1 when all 4096 bytes were written. Refused (0)
// while the live record holds defaults that stand in for an existing file
// the last load could not read; a successful load or cfg_Defaults lifts it.
int cfg_Save();
// Fills the live record with the defaults.
void cfg_Defaults();
// The user's display name, cut to `capacity` units with its terminator;
// 1 when a name was written.
int cfg_UserName(char16_t *buffer, size_t capacity);

// Rules behind the defaults, exposed for their tests.
// The account's descriptive name unless it names a built-in or service
// account, else the login name.
int cfg_PickUserName(const char16_t *full_name, const char16_t *login_name, char16_t *buffer, size_t capacity);
// 4 for a dark button face (brightest channel below 96), else 0.
uint8_t cfg_ThemeForButtonFace(uint32_t colour);
// 1 for a time-zone bias of 300 to 480 minutes, else 0.
uint8_t cfg_RegionalForBias(int32_t bias_minutes);
// Brings an accepted disk record from an older version up to date.
void cfg_Upgrade(cfg_Record *record);

// Forgets both copies and the cache time (tests start from a clean process
// state with it), and counts disk reads for them.
void cfg_ResetForTests();
unsigned cfg_DiskReadsForTests();
