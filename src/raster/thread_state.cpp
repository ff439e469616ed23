#include "raster/thread_state.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>

#include "hostenv/sysinfo.h"
#include "platform/os.h"
#include "platform/os_bitmap.h"
#include "platform/os_memory_probe.h"
#include "raster/kernels/kernels.h"

// Builds the four blend tables (blend_tables.cpp); false when memory is lacking.
bool rx_BuildBlendTables(uint8_t *tables[4]);

namespace {

std::mutex gEngineLock;  // serialises start and stop
std::atomic<int32_t> gStartCount{0};
std::atomic<uint8_t *> gBlendTables[4];
std::atomic<uint32_t> gFeatures{0};

std::atomic<rx_ThreadState *> gSlots{nullptr};
std::atomic<int> gSlotLock{0};

// Housekeeping thread. The handle and the stopping mark change under the
// table lock; they are atomic because the fast path of rx_GetThreadState
// looks at the handle without the lock.
std::atomic<os_Thread *> gHousekeeper{nullptr};
std::atomic<int> gStopFlag{0};
std::atomic<bool> gStopping{false};
// Bumped when a housekeeping thread that would not stop is given up on: it
// compares this with the value it was started with and ends on a mismatch.
std::atomic<uint32_t> gHousekeeperGeneration{0};

// Every thread that used the engine bumps this (with release) as it ends,
// and the reclaim reads it (with acquire) before clearing a dead thread's
// slot: the system's liveness check alone does not order the dead thread's
// last writes to its slot before the reclaim's.
std::atomic<uint32_t> gThreadExits{0};

constexpr uint32_t kLcgMultiplier = 214013;
constexpr uint32_t kLcgIncrement = 2531011;
uint32_t nextRandom(uint32_t *seed) {
  *seed = *seed * kLcgMultiplier + kLcgIncrement;
  return (*seed >> 16) & 0x7FFF;
}

uint32_t slotOwner(const rx_ThreadState *slot) { return __atomic_load_n(&slot->threadId, __ATOMIC_ACQUIRE); }
void setSlotOwner(rx_ThreadState *slot, uint32_t id) { __atomic_store_n(&slot->threadId, id, __ATOMIC_RELEASE); }

void setDefaultClip(rx_ThreadState *state) {
  state->clipLeft = 0;
  state->clipTop = 0;
  state->clipRight = rx_ClipUnlimited;
  state->clipBottom = rx_ClipUnlimited;
}

void setFreshDefaults(rx_ThreadState *state) {
  state->checkerColor1 = rx_DefaultChecker1;
  state->checkerColor2 = rx_DefaultChecker2;
  state->checkerScale = 1;
  state->checkerShift = 2;
}

void freeScratch(rx_ThreadState *state) {
  os_GlobalRelease(state->scratch);
  os_GlobalRelease(state->coordinateTables);
  os_GlobalRelease(state->adjustmentTables);
}

// Occupied slots, kept beside the table so that every engine call need not
// count them; changed only where owners change (under the table lock, or
// with the table already taken away).
std::atomic<int> gOccupied{0};

// Frees the slot's scratch blocks and zeroes it; the owner field goes last
// so that a thread scanning the table never sees a half-cleared slot as taken.
void releaseSlot(rx_ThreadState *slot) {
  if (slotOwner(slot) != 0) gOccupied.fetch_sub(1, std::memory_order_relaxed);
  freeScratch(slot);
  constexpr size_t kAfterOwner = offsetof(rx_ThreadState, lastError);
  std::memset(reinterpret_cast<unsigned char *>(slot) + kAfterOwner, 0, sizeof(rx_ThreadState) - kAfterOwner);
  setSlotOwner(slot, 0);
}

// What a thread leaves behind when it ends: the private record it used when
// every slot was taken, and the release of its slot writes (see gThreadExits).
// It also remembers the slot found last, so that a call needs no table scan:
// the slot is the caller's only while the table is the one it was found in
// and the slot still names the caller (a reclaim zeroes it, a new table is
// zero-filled), the same test the scan makes.
struct ThreadExit {
  rx_ThreadState *privateState = nullptr;
  rx_ThreadState *table = nullptr;
  rx_ThreadState *slot = nullptr;
  bool used = false;
  ~ThreadExit() {
    if (privateState != nullptr) {
      freeScratch(privateState);
      delete privateState;
    }
    if (used) gThreadExits.fetch_add(1, std::memory_order_release);
  }
};
thread_local ThreadExit tThreadExit;

// The housekeeping thread stops at once when asked to; a caller that found
// the table full does not, or a stop request would let the table run out.
void reclaimLocked(rx_ThreadState *slots, bool housekeeping) {
  for (int i = 0; i < rx_SlotCount; ++i) {
    uint32_t id = slotOwner(&slots[i]);
    if (id == 0) continue;
    if (housekeeping && gStopFlag.load() != 0) return;
    bool duplicate = false;
    for (int j = 0; j < i && !duplicate; ++j) duplicate = slotOwner(&slots[j]) == id;
    if (duplicate || !rx_IsThreadAlive(id)) {
      gThreadExits.load(std::memory_order_acquire);
      releaseSlot(&slots[i]);
    }
  }
}

int countOccupied(const rx_ThreadState *slots) {
  int count = 0;
  for (int i = 0; i < rx_SlotCount; ++i) count += slotOwner(&slots[i]) != 0;
  return count;
}

void housekeeperMain(void *context) {
  auto generation = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(context));
  auto abandoned = [generation] { return gHousekeeperGeneration.load() != generation; };
  for (;;) {
    if (abandoned()) return;
    rx_LockSlots();
    if (rx_ThreadState *slots = gSlots.load(std::memory_order_acquire)) reclaimLocked(slots, true);
    rx_UnlockSlots();
    uint32_t seed = os_TickCount();
    uint32_t slept = 0;
    while (slept < 4000 && gStopFlag.load() == 0 && !abandoned()) {
      uint32_t step = nextRandom(&seed) % 141 + 30;
      os_Sleep(step);
      slept += step;
    }
    if (gStopFlag.exchange(0) != 0) return;
  }
}

// Creates, asks to stop, or closes the housekeeping thread by the number of
// occupied slots.
void manageHousekeeper(int occupied) {
  // Nothing can change without a thread or with few slots: skip the lock.
  if (gHousekeeper.load() == nullptr && occupied < 8) return;
  rx_LockSlots();
  if (!gStopping.load()) {
    os_Thread *thread = gHousekeeper.load();
    if (thread != nullptr) {
      if (occupied < 4) gStopFlag.store(1);
      if (os_ThreadHasEnded(thread)) {
        os_ThreadClose(thread);
        gHousekeeper.store(nullptr);
        gStopFlag.store(0);
      }
    } else if (occupied >= 8) {
      uint32_t generation = gHousekeeperGeneration.load();
      gHousekeeper.store(os_ThreadStart(housekeeperMain, reinterpret_cast<void *>(static_cast<uintptr_t>(generation)),
                                        256 * 1024));
    }
  }
  rx_UnlockSlots();
}

rx_ThreadState *allocateTable() {
  rx_LockSlots();
  rx_ThreadState *slots = gSlots.load(std::memory_order_acquire);
  for (int attempt = 0; slots == nullptr && attempt < 100; ++attempt) {
    slots = static_cast<rx_ThreadState *>(GlobalAlloc(GPTR, sizeof(rx_ThreadState) * rx_SlotCount));
    if (slots != nullptr) {
      for (int i = 0; i < rx_SlotCount; ++i) setFreshDefaults(&slots[i]);
      gSlots.store(slots, std::memory_order_release);
    } else {
      os_Sleep(attempt < 26 ? 0 : 10);
    }
  }
  rx_UnlockSlots();
  return slots;
}

rx_ThreadState *takeFreeSlot(rx_ThreadState *slots, uint32_t self) {
  for (int i = 0; i < rx_SlotCount; ++i) {
    if (slotOwner(&slots[i]) == 0) {
      setDefaultClip(&slots[i]);
      gOccupied.fetch_add(1, std::memory_order_relaxed);
      setSlotOwner(&slots[i], self);
      return &slots[i];
    }
  }
  return nullptr;
}

// Every slot belongs to a live thread: this thread gets a record of its own,
// freed when it ends. Its state stays private, which is all callers rely on.
rx_ThreadState *privateState(uint32_t self) {
  ThreadExit &exit = tThreadExit;
  if (exit.privateState == nullptr) {
    auto *state = new (std::nothrow) rx_ThreadState{};
    if (state == nullptr) return nullptr;
    setFreshDefaults(state);
    setDefaultClip(state);
    state->threadId = self;
    exit.privateState = state;
  }
  return exit.privateState;
}

void releaseTable() {
  rx_ThreadState *slots = gSlots.exchange(nullptr);
  if (slots == nullptr) return;
  for (int i = 0; i < rx_SlotCount; ++i) releaseSlot(&slots[i]);
  gOccupied.store(0, std::memory_order_relaxed);
  GlobalFree(slots);
}

void freeBlendTables() {
  for (auto &table : gBlendTables) os_GlobalRelease(table.exchange(nullptr));
}

uint32_t probeFeatures() {
  uint32_t mask = 0;
  if (sys_HasMMX()) mask |= rx_HasMMX;
  if ((mask & rx_HasMMX) && sys_HasSSE1()) mask |= rx_HasSSE1;
  if ((mask & rx_HasSSE1) && sys_HasSSE2()) mask |= rx_HasSSE2;
  if ((mask & rx_HasSSE2) && sys_HasSSE3()) mask |= rx_HasSSE3;
  if ((mask & rx_HasSSE3) && sys_HasSSSE3()) mask |= rx_HasSSSE3;
  if (mask & rx_HasSSSE3) {
    if (sys_HasSSE41()) mask |= rx_HasSSE41;
    if ((mask & rx_HasSSE41) && sys_HasSSE42()) mask |= rx_HasSSE42;
    if (sys_HasAVX1()) mask |= rx_HasAVX1;
    if ((mask & rx_HasAVX1) && sys_HasAVX2()) mask |= rx_HasAVX2;
    if (sys_HasPOPCNT()) mask |= rx_HasPOPCNT;
  }
  return mask;
}

// The first start; callers hold gEngineLock.
int32_t startLocked() {
  gSlotLock.store(0);
  releaseTable();
  if (os_Thread *thread = gHousekeeper.load(); thread != nullptr && os_ThreadHasEnded(thread)) {
    os_ThreadClose(thread);
    gHousekeeper.store(nullptr);
  }
  uint32_t features = probeFeatures();
  gFeatures.store(features);
  constexpr uint32_t kRequired = rx_HasMMX | rx_HasSSE1 | rx_HasSSE2;
  if ((features & kRequired) != kRequired) return 0;
  uint8_t *tables[4] = {};
  if (!rx_BuildBlendTables(tables)) return 0;
  for (int i = 0; i < 4; ++i) gBlendTables[i].store(tables[i]);
  os_SetBitmapStretcher(rx_KernelStretchPixels);  // scaled bitmap copies resample like everything else
  gStartCount.store(1, std::memory_order_release);
  return 1;
}

bool startIfStopped() {
  std::lock_guard<std::mutex> guard(gEngineLock);
  return gStartCount.load() > 0 || startLocked() != 0;
}

}  // namespace

int32_t rx_EngineStart() {
  std::lock_guard<std::mutex> guard(gEngineLock);
  if (gStartCount.load() > 0) return gStartCount.fetch_add(1) + 1;
  return startLocked();
}

void rx_EngineStop() {
  std::lock_guard<std::mutex> guard(gEngineLock);
  gStartCount.store(0);
  freeBlendTables();
  rx_StopHousekeeping();
  gSlotLock.store(0);
  releaseTable();
}

namespace {

rx_ThreadState *findThreadState() {
  if (gStartCount.load(std::memory_order_acquire) == 0) {
    for (int retry = 0; !startIfStopped(); ++retry) {
      if (retry == 100) return nullptr;
      os_Sleep(10);
    }
  }
  rx_ThreadState *slots = gSlots.load(std::memory_order_acquire);
  if (slots == nullptr && (slots = allocateTable()) == nullptr) return nullptr;

  manageHousekeeper(gOccupied.load(std::memory_order_relaxed));

  uint32_t self = os_ThreadId();
  ThreadExit &exit = tThreadExit;
  if (exit.table == slots && self != 0 && slotOwner(exit.slot) == self) return exit.slot;
  if (self == 0) {
    os_Sleep(0);
    self = os_ThreadId();
    if (self == 0) return &slots[0];
  }
  exit.used = true;
  auto remember = [&exit, slots](rx_ThreadState *slot) {
    exit.table = slots;
    exit.slot = slot;
    return slot;
  };
  for (int i = 0; i < rx_SlotCount; ++i) {
    if (slotOwner(&slots[i]) == self) return remember(&slots[i]);
  }
  if (exit.privateState != nullptr) return exit.privateState;

  rx_LockSlots();
  rx_ThreadState *slot = takeFreeSlot(slots, self);
  if (slot == nullptr) {
    reclaimLocked(slots, false);
    slot = takeFreeSlot(slots, self);
  }
  rx_UnlockSlots();
  return slot != nullptr ? remember(slot) : privateState(self);
}

}  // namespace

rx_ThreadState *rx_GetThreadState() {
  // Every engine operation starts here: the checker defaults apply at use.
  rx_ThreadState *state = findThreadState();
  rx_ApplyCheckerDefaults(state);
  return state;
}

int32_t rx_StopHousekeeping() {
  rx_LockSlots();
  os_Thread *thread = gHousekeeper.load();
  if (thread == nullptr) {
    rx_UnlockSlots();
    return 1;
  }
  if (gStopping.exchange(true)) {
    // Another caller is stopping it already; wait for that to finish.
    rx_UnlockSlots();
    for (int waited = 0; gStopping.load() && waited < 16000; waited += 10) os_Sleep(10);
    return 1;
  }
  rx_UnlockSlots();

  uint32_t seed = os_TickCount();
  uint32_t waited = 0;
  for (;;) {
    gStopFlag.store(1);
    if (os_ThreadHasEnded(thread)) break;
    if (waited >= 15000) {
      // A POSIX thread cannot be ended from outside: mark it abandoned, so it
      // ends at its next check, and let its handle go (detached) below.
      gHousekeeperGeneration.fetch_add(1);
      break;
    }
    uint32_t step = nextRandom(&seed) % 121 + 40;
    os_Sleep(step);
    waited += step;
  }

  rx_LockSlots();
  os_ThreadClose(thread);
  gHousekeeper.store(nullptr);
  gStopFlag.store(0);
  gStopping.store(false);
  rx_UnlockSlots();
  return 1;
}

void rx_LockSlots() {
  int expected = 0;
  for (int attempt = 0; attempt < 513; ++attempt) {
    if (gSlotLock.compare_exchange_strong(expected, 1, std::memory_order_acquire)) return;
    expected = 0;
    os_Sleep(0);
  }
  for (int backoff = 0;;) {
    if (gSlotLock.compare_exchange_strong(expected, 1, std::memory_order_acquire)) return;
    expected = 0;
    if (backoff > 1000) {
      // About a second of sleeping: the holder is presumed lost; take it by force.
      gSlotLock.exchange(1, std::memory_order_acq_rel);
      return;
    }
    if (backoff < 11) {
      os_Sleep(1);
      backoff += 1;
    } else if (backoff <= 50) {
      os_Sleep(2);
      backoff += 2;
    } else if (backoff <= 100) {
      os_Sleep(5);
      backoff += 5;
    } else {
      os_Sleep(10);
      backoff += 10;
    }
  }
}

void rx_UnlockSlots() { gSlotLock.store(0, std::memory_order_release); }

void rx_ReclaimSlots() {
  rx_LockSlots();
  if (rx_ThreadState *slots = gSlots.load(std::memory_order_acquire)) reclaimLocked(slots, false);
  rx_UnlockSlots();
}

int32_t rx_SetClipRect(const rx_Rect *rect) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (rect == nullptr) {
    setDefaultClip(state);
    return 1;
  }
  if (rx_ProbeMemory(rect, sizeof *rect, false) != 0) {
    state->lastError = rx_ErrArgument;
    return 0;
  }
  if (rect->valid == 0) return 0;
  state->clipLeft = std::min(rect->left, rect->right);
  state->clipRight = std::max(rect->left, rect->right);
  state->clipTop = std::min(rect->top, rect->bottom);
  state->clipBottom = std::max(rect->top, rect->bottom);
  return 1;
}

int32_t rx_GetClipRect(rx_Rect *rect) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  if (rx_ProbeMemory(rect, sizeof *rect, true) != 0) {
    state->lastError = rx_ErrArgument;
    return 0;
  }
  *rect = rx_Rect{state->clipLeft, state->clipTop, state->clipRight, state->clipBottom, 1};
  return 1;
}

int32_t rx_SetSourceOffset(int32_t dx, int32_t dy) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  state->sourceOffsetX = dx;
  state->sourceOffsetY = dy;
  return 1;
}

int32_t rx_SetNotifyHook(rx_NotifyHook hook, uintptr_t user) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  state->notifyHook = hook;
  state->hookUser = user;
  return 1;
}

int32_t rx_Notify(int32_t code) {
  rx_ThreadState *state = rx_GetThreadState();
  if (state == nullptr) return 0;
  rx_NotifyHook hook = state->notifyHook;
  if (hook == nullptr || !os_IsExecutable(reinterpret_cast<const void *>(hook))) return 0;
  uintptr_t user = state->hookUser;
  os_Guard([hook, code, user] { hook(code, user); });
  return 1;
}

int32_t rx_ProbeMemory(const void *pointer, size_t length, bool write) {
  if (pointer == nullptr) return 1;
  static const size_t step = std::max<size_t>(os_PageSize(), 256);  // asked once: every engine call probes
  return os_ProbeBytes(pointer, length, step, write) ? 0 : 1;
}

bool rx_IsThreadAlive(uint32_t thread_id) { return thread_id != 0 && os_ThreadIsAlive(thread_id); }

int32_t rx_GetLastError() {
  rx_ThreadState *state = rx_GetThreadState();
  return state != nullptr ? state->lastError : 0;
}

void rx_SetLastError(int32_t code) {
  if (rx_ThreadState *state = rx_GetThreadState()) state->lastError = code;
}

uint32_t rx_GetFeatureMask() { return gFeatures.load(); }

const uint8_t *rx_GetBlendTable(rx_BlendTableId table) {
  if (table < rx_TableDivision || table > rx_TableBurn) return nullptr;
  return gBlendTables[table].load();
}

void rx_ApplyCheckerDefaults(rx_ThreadState *state) {
  // Each value found 0 (a reclaimed slot, or a caller's 0) takes its own default.
  if (state == nullptr) return;
  if (state->checkerScale == 0) state->checkerScale = 1;
  if (state->checkerShift == 0) state->checkerShift = 2;
}

bool rx_GetCoordinateTables(rx_ThreadState *state) {
  if (state == nullptr) return false;
  if (state->coordinateTables != nullptr) return true;
  auto *block = static_cast<unsigned char *>(GlobalAlloc(GPTR, rx_CoordinateTablesBytes));
  if (block == nullptr) {
    state->lastError = rx_ErrNoMemory;
    return false;
  }
  // Column index, column fraction, row index, row fraction: 65,536 entries each.
  state->coordinateTables = block;
  state->columnIndex = reinterpret_cast<uint32_t *>(block);
  state->columnFraction = block + 0x40000;
  state->rowIndex = reinterpret_cast<uint32_t *>(block + 0x50000);
  state->rowFraction = block + 0x90000;
  return true;
}

rx_HousekeepingStatus rx_GetHousekeepingStatus() {
  // Under the table lock: the handle may be closed by another thread.
  rx_LockSlots();
  os_Thread *thread = gHousekeeper.load();
  rx_HousekeepingStatus status = rx_HousekeepingStatus::absent;
  if (thread != nullptr) {
    status = os_ThreadHasEnded(thread) ? rx_HousekeepingStatus::ended
             : gStopFlag.load() != 0   ? rx_HousekeepingStatus::stopRequested
                                       : rx_HousekeepingStatus::running;
  }
  rx_UnlockSlots();
  return status;
}

int rx_CountOccupiedSlots() {
  rx_ThreadState *slots = gSlots.load(std::memory_order_acquire);
  return slots != nullptr ? countOccupied(slots) : 0;
}

bool rx_IsTableSlot(const rx_ThreadState *state) {
  rx_ThreadState *slots = gSlots.load(std::memory_order_acquire);
  return slots != nullptr && state >= slots && state < slots + rx_SlotCount;
}
