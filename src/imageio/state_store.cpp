// pi_StateStore: private state of plug-ins in session memory, in plain
// files and in scrambled ".enc" files of the state store's file area.
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "hostenv/config_record.h"
#include "imageio/host_services.h"
#include "imageio/state_store_files.h"
#include "platform/os.h"
#include "raster/thread_state.h"

namespace {

constexpr size_t kMemSlots = 1024;
constexpr size_t kNameUnits = 31;
constexpr int32_t kMemValueMax = 65536;

// One session entry: a global block holding this header and then the value.
struct MemEntry {
  char16_t name[kNameUnits + 1];
  uint32_t size;
  uint32_t tick;
};

// Loads run on several threads at once: one lock keeps the slots whole.
std::mutex gMemLock;
std::array<MemEntry *, kMemSlots> gSlots{};
std::atomic<uint32_t (*)()> gClock{nullptr};

uint32_t now() {
  uint32_t (*clock)() = gClock.load();
  return clock != nullptr ? clock() : os_TickCount();
}

// The name as the slots hold it; false for an unreadable, empty or too long name.
bool memName(const WCHAR *name, std::u16string *out) {
  out->reserve(kNameUnits + 1);  // one block, not one per doubling as the name is read
  return io_ReadText16(name, kNameUnits + 1, out) && !out->empty() && out->size() <= kNameUnits;
}

// Slots from here on have never held an entry: the scans stop there, as most
// sessions hold a handful of entries among the 1024 slots.
size_t gSlotsUsed = 0;

// Names (at most kNameUnits) compare with their terminators in one go.
MemEntry **findSlot(const std::u16string &name) {
  const size_t bytes = (name.size() + 1) * sizeof(char16_t);
  for (size_t i = 0; i < gSlotsUsed; ++i)
    if (gSlots[i] != nullptr && std::memcmp(gSlots[i]->name, name.c_str(), bytes) == 0) return &gSlots[i];
  return nullptr;
}

// A free slot, or the one accessed longest ago (the first on a tie), emptied.
MemEntry **takeSlot() {
  MemEntry **oldest = nullptr;
  for (size_t i = 0; i < gSlotsUsed; ++i) {
    MemEntry *&slot = gSlots[i];
    if (slot == nullptr) return &slot;
    if (oldest == nullptr || slot->tick < (*oldest)->tick) oldest = &slot;
  }
  if (gSlotsUsed < kMemSlots) return &gSlots[gSlotsUsed++];
  os_GlobalRelease(reinterpret_cast<HGLOBAL>(*oldest));
  *oldest = nullptr;
  return oldest;
}

int32_t VGM_API memGet(const WCHAR *name, void *buffer, int32_t size) {
  std::u16string key;
  if (!memName(name, &key) || buffer == nullptr || size < 1) return 0;
  if (rx_ProbeMemory(buffer, static_cast<size_t>(size), true) != 0) return 0;
  std::lock_guard<std::mutex> guard(gMemLock);
  MemEntry **slot = findSlot(key);
  if (slot == nullptr) return 0;
  (*slot)->tick = now();
  uint32_t count = std::min<uint32_t>((*slot)->size, static_cast<uint32_t>(size));
  std::memcpy(buffer, *slot + 1, count);
  return static_cast<int32_t>(count);
}

int32_t VGM_API memSet(const WCHAR *name, const void *data, int32_t size) {
  std::u16string key;
  if (!memName(name, &key)) return 0;
  if (size <= 0) {
    std::lock_guard<std::mutex> guard(gMemLock);
    if (MemEntry **slot = findSlot(key)) {
      os_GlobalRelease(reinterpret_cast<HGLOBAL>(*slot));
      *slot = nullptr;
    }
    return 1;
  }
  int32_t count = std::min(size, kMemValueMax);
  if (data == nullptr || rx_ProbeMemory(data, static_cast<size_t>(count), false) != 0) return 0;
  std::lock_guard<std::mutex> guard(gMemLock);
  MemEntry **slot = findSlot(key);
  if (slot != nullptr && (*slot)->size == static_cast<uint32_t>(count)) {
    // A value of the size it had is written in place: counters set on every load need no block.
    std::memcpy(*slot + 1, data, static_cast<size_t>(count));
    (*slot)->tick = now();
    return count;
  }
  auto *entry = static_cast<MemEntry *>(GlobalAlloc(GPTR, sizeof(MemEntry) + static_cast<size_t>(count)));
  if (entry == nullptr) return 0;
  std::memcpy(entry->name, key.data(), key.size() * 2);
  entry->size = static_cast<uint32_t>(count);
  std::memcpy(entry + 1, data, static_cast<size_t>(count));
  entry->tick = now();
  if (slot != nullptr)
    os_GlobalRelease(reinterpret_cast<HGLOBAL>(*slot));
  else
    slot = takeSlot();
  *slot = entry;
  return count;
}

int32_t VGM_API memSize(const WCHAR *name) {
  std::u16string key;
  if (!memName(name, &key)) return 0;
  std::lock_guard<std::mutex> guard(gMemLock);
  MemEntry **slot = findSlot(key);
  return slot != nullptr ? static_cast<int32_t>((*slot)->size) : 0;
}

// ---- Files --------------------------------------------------------------

// The file area refuses names holding a separator; the longest name kept is
// far above any plug-in's, and a longer one fails as a path would.
bool fileName(const WCHAR *name, std::u16string *out) {
  return io_ReadText16(name, os_MaxPath, out) && io_StoreNameAccepted(out->c_str());
}

int32_t VGM_API fileGet(const WCHAR *name, void *buffer, int32_t size) {
  std::u16string key;
  if (!fileName(name, &key) || buffer == nullptr || size < 1) return 0;
  if (rx_ProbeMemory(buffer, static_cast<size_t>(size), true) != 0) return 0;
  return io_StoreFileGet(key.c_str(), buffer, size);
}

int32_t VGM_API fileSet(const WCHAR *name, const void *data, int32_t size) {
  std::u16string key;
  if (!fileName(name, &key)) return 0;
  if (size < 1) return io_StoreFileSet(key.c_str(), nullptr, 0);
  int32_t count = std::min(size, kStoreFileMaxBytes);
  if (data == nullptr || rx_ProbeMemory(data, static_cast<size_t>(count), false) != 0) return 0;
  int32_t written = io_StoreFileSet(key.c_str(), data, count);
  if (written == 0) os_Beep();
  return written;
}

int32_t VGM_API fileSize(const WCHAR *name) {
  std::u16string key;
  return fileName(name, &key) ? io_StoreFileSize(key.c_str()) : 0;
}

// ---- Scrambled files -------------------------------------------------------

constexpr uint32_t kEncMagic = 0x10001;
constexpr size_t kEncHeader = 32;
constexpr size_t kKeyBytes = 128;

struct EncKey {
  alignas(8) uint8_t bytes[kKeyBytes];
};

uint32_t loadLe(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
void storeLe(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

EncKey baseKey() {
  cfg_Record config;
  cfg_Snapshot(&config);
  uint32_t x = config.cache_seed & 0x7FFFFFFF;
  EncKey key;
  for (uint8_t &b : key.bytes) {
    x = x * 214013u + 2531011u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return key;
}

uint32_t checkValue(const EncKey &key) {
  uint32_t check = 0;
  for (size_t i = 0; i <= 120; i += 4)
    check ^= loadLe(key.bytes + i) ^ loadLe(key.bytes + i + 1) ^ loadLe(key.bytes + i + 2) ^ loadLe(key.bytes + i + 3);
  return check;
}

EncKey mixedKey(const EncKey &base, uint32_t seed) {
  EncKey key = base;
  for (uint32_t p = 0, n = 0; p < 124; ++n) {
    storeLe(key.bytes + p, loadLe(key.bytes + p) ^ seed);
    p += 13 + (((seed >> (n % 24)) ^ base.bytes[n % kKeyBytes]) & 15);
  }
  return key;
}

// XORs `size` bytes of `from` into `to` with the key: whole 128-byte key
// periods a word at a time, the tail byte by byte.
void applyKey(const EncKey &key, const uint8_t *from, uint8_t *to, size_t size) {
  uint64_t words[kKeyBytes / 8];
  std::memcpy(words, key.bytes, kKeyBytes);
  size_t i = 0;
  for (; i + kKeyBytes <= size; i += kKeyBytes) {
    for (size_t w = 0; w < kKeyBytes / 8; ++w) {
      uint64_t v;
      std::memcpy(&v, from + i + w * 8, 8);
      v ^= words[w];
      std::memcpy(to + i + w * 8, &v, 8);
    }
  }
  for (; i < size; ++i) to[i] = from[i] ^ key.bytes[i % kKeyBytes];
}

uint32_t newFileSeed() {
  static std::atomic<uint32_t> counter{0};
  uint64_t t = os_UtcNow100ns() ^ os_HighResCounter();
  return static_cast<uint32_t>(t ^ (t >> 31) ^ (counter.fetch_add(1) * 0x9E3779B9u)) & 0x7FFFFFFF;
}

// The header's stored size when its checks hold; 0 otherwise. Beyond the
// magic, the sizes, the check value and the fourth word, every fixed field
// is checked too (equal sizes, a 31-bit seed, zero tail words), so that a
// damaged header gives nothing rather than wrongly unscrambled bytes.
uint32_t validHeader(const uint8_t *h, const EncKey &base) {
  if (loadLe(h) != kEncMagic || loadLe(h + 4) == 0 || loadLe(h + 8) == 0) return 0;
  if (loadLe(h + 16) != checkValue(base) || loadLe(h + 12) != 1) return 0;
  if (loadLe(h + 4) != loadLe(h + 8) || loadLe(h + 20) > 0x7FFFFFFF || loadLe(h + 24) != 0 || loadLe(h + 28) != 0)
    return 0;
  return loadLe(h + 8);
}

int32_t VGM_API secureGet(const WCHAR *name, void *buffer, int32_t size) {
  std::u16string key;
  if (!fileName(name, &key) || buffer == nullptr || size < 1) return 0;
  if (rx_ProbeMemory(buffer, static_cast<size_t>(size), true) != 0) return 0;
  // One read of the header and all that can be wanted (no more is ever written).
  size_t wanted = std::min<size_t>(static_cast<size_t>(size), kStoreFileMaxBytes);
  std::unique_ptr<uint8_t[]> file(new (std::nothrow) uint8_t[kEncHeader + wanted]);
  if (file == nullptr) return 0;
  int32_t got = io_StoreFileRead(key.c_str(), u".enc", file.get(), static_cast<int32_t>(kEncHeader + wanted));
  if (got < static_cast<int32_t>(kEncHeader)) return 0;
  EncKey base = baseKey();
  uint32_t stored = validHeader(file.get(), base);
  size_t count = std::min<size_t>(stored, wanted);
  // A file shorter than its header says is damaged: nothing comes back.
  if (stored == 0 || static_cast<size_t>(got) - kEncHeader < count) return 0;
  applyKey(mixedKey(base, loadLe(file.get() + 20)), file.get() + kEncHeader, static_cast<uint8_t *>(buffer), count);
  return static_cast<int32_t>(count);
}

int32_t VGM_API secureSet(const WCHAR *name, const void *data, int32_t size) {
  std::u16string key;
  if (!fileName(name, &key)) return 0;
  if (size < 1) return io_StoreFileWrite(key.c_str(), u".enc", nullptr, 0);
  size_t count = static_cast<size_t>(std::min(size, kStoreFileMaxBytes));
  if (data == nullptr || rx_ProbeMemory(data, count, false) != 0) return 0;
  std::unique_ptr<uint8_t[]> file(new (std::nothrow) uint8_t[kEncHeader + count]);
  if (file == nullptr) return 0;
  EncKey base = baseKey();
  uint32_t seed = newFileSeed();
  const uint32_t words[8] = {kEncMagic, static_cast<uint32_t>(count), static_cast<uint32_t>(count), 1,
                             checkValue(base), seed, 0, 0};
  for (size_t i = 0; i < 8; ++i) storeLe(file.get() + 4 * i, words[i]);
  applyKey(mixedKey(base, seed), static_cast<const uint8_t *>(data), file.get() + kEncHeader, count);
  if (io_StoreFileWrite(key.c_str(), u".enc", file.get(), static_cast<int32_t>(kEncHeader + count)) == 0) {
    os_Beep();
    return 0;
  }
  return static_cast<int32_t>(count);
}

int32_t VGM_API secureSize(const WCHAR *name) {
  std::u16string key;
  uint8_t header[kEncHeader];
  if (!fileName(name, &key) ||
      io_StoreFileRead(key.c_str(), u".enc", header, kEncHeader) != static_cast<int32_t>(kEncHeader))
    return 0;
  uint32_t stored = validHeader(header, baseKey());
  int64_t present = static_cast<int64_t>(io_StoreFileLength(key.c_str(), u".enc")) - static_cast<int64_t>(kEncHeader);
  return stored != 0 && present >= stored ? static_cast<int32_t>(stored) : 0;
}

}  // namespace

const pi_StateStore *io_StateStoreTable() {
  static const pi_StateStore gStore{PI_STATESTORE_VERSION, 0, memGet, memSet, memSize, nullptr, fileGet, fileSet, fileSize,
                         nullptr, secureGet, secureSet, secureSize};
  return &gStore;
}

void io_StateStoreSetClock(uint32_t (*clock)()) { gClock.store(clock); }

void io_StateStoreClear() {
  std::lock_guard<std::mutex> guard(gMemLock);
  for (MemEntry *&slot : gSlots) {
    os_GlobalRelease(reinterpret_cast<HGLOBAL>(slot));
    slot = nullptr;
  }
  gSlotsUsed = 0;
}
