#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <set>
#include <string>
#include <tuple>
#include <thread>
#include <vector>

#include "platform/os.h"
#include "raster/kernels/kernels.h"
#include "raster_test_support.h"
#include "support/test_support.h"

using rxtest::EngineTest;

namespace {

// Waits (bounded) until `done` holds, calling the engine so its housekeeping rules run.
template <typename Done>
bool eventually(Done done, int seconds = 20) {
  for (int i = 0; i < seconds * 50; ++i) {
    rx_GetThreadState();
    if (done()) return true;
    os_Sleep(20);
  }
  return done();
}

std::atomic<int> gHookCalls{0};
// The null access must reach the processor, not a sanitizer's checks.
__attribute__((noinline, no_sanitize_undefined, no_sanitize_address, no_sanitize_thread)) void faultingHook(
    int32_t, uintptr_t) {
  gHookCalls++;
  volatile int *null = nullptr;
  asm volatile("" : "+r"(null));
  *null = 1;
}

}  // namespace

TEST_F(EngineTest, StartChecksTheProcessorBuildsTheBlendTablesAndCountsRestarts) {
  uint32_t mask = rx_GetFeatureMask();
  EXPECT_EQ(mask & 7u, 7u);
  // Each probe runs only when the one before it in the chain succeeded.
  for (auto [bit, needed] : {std::pair<uint32_t, uint32_t>{rx_HasSSE41 | rx_HasAVX1 | rx_HasPOPCNT, rx_HasSSSE3},
                              {rx_HasSSE42, rx_HasSSE41}, {rx_HasAVX2, rx_HasAVX1}, {rx_HasSSSE3, rx_HasSSE3},
                              {rx_HasSSE3, rx_HasSSE2}})
    EXPECT_TRUE(!(mask & bit) || (mask & needed)) << bit;

  // Entries [d][s] worked out by hand; the clamps at both ends included.
  struct Entry { rx_BlendTableId table; int d, s, value; };
  const Entry entries[] = {{rx_TableDivision, 255, 0, 255}, {rx_TableDivision, 50, 99, 128}, {rx_TableDivision, 10, 254, 10},
      {rx_TableOverlay, 64, 200, 100}, {rx_TableOverlay, 200, 100, 188}, {rx_TableOverlay, 127, 255, 254},
      {rx_TableOverlay, 128, 0, 1}, {rx_TableOverlay, 255, 255, 255}, {rx_TableDodge, 100, 128, 200},
      {rx_TableDodge, 200, 255, 255}, {rx_TableDodge, 0, 255, 0}, {rx_TableBurn, 0, 1, 0}, {rx_TableBurn, 200, 128, 145},
      {rx_TableBurn, 77, 0, 0}, {rx_TableBurn, 255, 10, 255}};
  for (Entry e : entries) {
    const uint8_t *table = rx_GetBlendTable(e.table);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table[e.d * 256 + e.s], e.value) << e.table << " [" << e.d << "][" << e.s << "]";
  }
  EXPECT_EQ(rx_GetBlendTable(static_cast<rx_BlendTableId>(9)), nullptr);

  // Starts are counted; a stop releases the tables, and without memory for them a start fails.
  EXPECT_EQ(rx_EngineStart(), 2);
  EXPECT_EQ(rx_EngineStart(), 3);
  rx_EngineStop();
  EXPECT_EQ(rx_GetBlendTable(rx_TableDivision), nullptr);
  // The first engine call starts it again on its own.
  ASSERT_NE(rx_GetThreadState(), nullptr);
  EXPECT_NE(rx_GetBlendTable(rx_TableBurn), nullptr);
  EXPECT_EQ(rx_EngineStart(), 2);
  rx_EngineStop();
  os_InjectFault(os_FaultKind::allocation, 3);  // the third blend table
  EXPECT_TRUE(rx_EngineStart() == 0 && rx_GetBlendTable(rx_TableDivision) == nullptr);
  EXPECT_TRUE(rx_EngineStart() == 1 && rx_GetBlendTable(rx_TableOverlay) != nullptr);
}

TEST_F(EngineTest, FreshThreadGetsTheDefaultsAndAReclaimedSlotStartsZeroed) {
  rx_ThreadState copy{}, *first = nullptr;
  std::thread([&] {
    ASSERT_NE(first = rx_GetThreadState(), nullptr);
    copy = *first;
    first->checkerColor1 = 0x123456;
    first->sourceOffsetX = 99;
    ASSERT_TRUE(rx_GetCoordinateTables(first));  // scratch that the reclaim must free
    first->columnIndex[65535] = 7;
  }).join();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(rx_IsTableSlot(first));
  EXPECT_NE(first, rx_GetThreadState());
  EXPECT_NE(copy.threadId, 0u);
  EXPECT_EQ(std::vector<int64_t>({copy.lastError, copy.clipLeft, copy.clipTop, copy.clipRight, copy.clipBottom,
                                  copy.checkerColor1, copy.checkerColor2, copy.checkerScale, copy.checkerShift,
                                  copy.sourceOffsetX}),
            std::vector<int64_t>({0, 0, 0, 65536, 65536, 0xCCCCCC, 0x777777, 1, 2, 0}));
  EXPECT_EQ(std::tuple(copy.patternSurface, copy.notifyHook), std::tuple(nullptr, nullptr));
  // Liveness comes from the system: the ended thread is not alive, this one is.
  // A user-mode emulator lets join return just before the system thread ends.
  for (int i = 0; i < 1000 && rx_IsThreadAlive(first->threadId); ++i) os_Sleep(1);
  EXPECT_TRUE(!rx_IsThreadAlive(first->threadId) && rx_IsThreadAlive(os_ThreadId()) && !rx_IsThreadAlive(0));
  rx_ReclaimSlots();
  EXPECT_EQ(std::tuple(first->threadId, first->coordinateTables), std::tuple(0u, nullptr));
  rx_ThreadState *second = nullptr;
  std::thread([&] { copy = *(second = rx_GetThreadState()); }).join();
  EXPECT_EQ(second, first);
  // Checker colours stay zero; a zero scale and shift take their defaults at use.
  EXPECT_EQ(std::vector<int64_t>({copy.checkerColor1, copy.checkerColor2, copy.sourceOffsetX, copy.clipRight,
                                  copy.checkerScale, copy.checkerShift}),
            std::vector<int64_t>({0, 0, 0, 65536, 1, 2}));
}

TEST_F(EngineTest, ClipRectangleIsNormalisedValidatedAndReset) {
  rx_ThreadState *state = rx_GetThreadState();
  auto clip = [state] {
    return std::vector<int32_t>({state->clipLeft, state->clipTop, state->clipRight, state->clipBottom});
  };
  rx_Rect rect{10, 20, 5, 8, 1}, invalid{1, 2, 3, 4, 0};
  for (auto [r, result, after] : {std::tuple{&rect, 1, std::vector<int32_t>{5, 8, 10, 20}},
                                  {&invalid, 0, {5, 8, 10, 20}}, {nullptr, 1, {0, 0, 65536, 65536}}}) {
    EXPECT_EQ(rx_SetClipRect(r), result);
    EXPECT_EQ(clip(), after);
  }
}

TEST_F(EngineTest, NotifyCallsOnlyExecutableHooksAndSurvivesFaults) {
  diagnostics.clear();
  EXPECT_TRUE(rx_Notify(0x40000004) == 1 && diagnostics.count(0x40000004) == 1);
  rx_SetNotifyHook(nullptr, 0);
  EXPECT_EQ(rx_Notify(0x40000004), 0);
  static uint64_t notCode[4] = {};
  rx_SetNotifyHook(reinterpret_cast<rx_NotifyHook>(reinterpret_cast<void *>(notCode)), 0);
  EXPECT_EQ(rx_Notify(0x40000005), 0);
  gHookCalls = 0;
  rx_SetNotifyHook(faultingHook, 0);
  EXPECT_TRUE(rx_Notify(0x40000006) == 1 && gHookCalls.load() == 1);  // the fault is caught, the hook ran once
}

TEST_F(EngineTest, ProbeMemoryTellsReadableWritableAndFaultingRanges) {
  const size_t page = vgmtest::pageSize();
  unsigned char *block = vgmtest::pagesAllocate(page * 3);
  ASSERT_NE(block, nullptr);
  ASSERT_TRUE(vgmtest::pagesProtect(block + page, page, vgmtest::PageAccess::read));
  ASSERT_TRUE(vgmtest::pagesProtect(block + 2 * page, page, vgmtest::PageAccess::none));
  block[5] = 77;

  EXPECT_EQ(rx_ProbeMemory(nullptr, 4, false), 1);
  // {start, length, write, result}: the second page is read-only, the third closed.
  for (auto [start, length, write, result] : {std::tuple{size_t{0}, size_t{10}, true, 0}, {3, page - 7, true, 0},
                                               {0, 2 * page, false, 0}, {0, 2 * page, true, 1}, {page, 1, true, 1},
                                               {0, 2 * page + 1, false, 1}, {2 * page, 1, false, 1}})
    EXPECT_EQ(rx_ProbeMemory(block + start, length, write), result) << start << " " << length << " " << write;
  EXPECT_EQ(block[5], 77);  // written back unchanged
  vgmtest::pagesFree(block, page * 3);
}

TEST_F(EngineTest, AZeroCheckerScaleOrShiftTakesItsDefaultAtUse) {
  // A fully transparent row laid over the checkerboard shows its cells.
  rx_Surface dst{}, src{};
  ASSERT_EQ(rx_SurfaceCreate(&dst, 8, 1, rx_CreateMemory), 1);
  ASSERT_EQ(rx_SurfaceCreate(&src, 8, 1, rx_CreateMemory), 1);
  rxtest::fillWith(&src, 0xFF000000u);
  struct Case { int32_t scale, shift; const char *cells; };
  for (Case c : {Case{1, 0, "11112222"}, Case{0, 1, "11221122"}, Case{2, 0, "11221122"}, Case{0, 0, "11112222"},
                 Case{1, 1, "11221122"}}) {
    rx_ThreadState *state = rx_GetThreadState();
    state->checkerColor1 = 0x111111, state->checkerColor2 = 0x222222;
    state->checkerScale = c.scale, state->checkerShift = c.shift;
    ASSERT_EQ(rx_OpRect(&dst, 0, 0, 7, 0, &src, 0, 0, 7, 0, 0, rx_OpChecker, rx_ClassNormal), 1);
    std::string cells;
    for (uint32_t p : rxtest::pixelsOf(&dst)) cells += p == 0x111111u ? '1' : p == 0x222222u ? '2' : '?';
    EXPECT_EQ(cells, c.cells) << c.scale << " " << c.shift;
  }
  for (rx_Surface *r : {&dst, &src}) rx_SurfaceFree(r);
}

TEST_F(EngineTest, TableLockIsTakenByForceAfterAboutASecond) {
  rx_LockSlots();
  std::atomic<bool> got{false};
  std::thread([&] { rx_LockSlots(), got = true, rx_UnlockSlots(); }).join();  // returns only because the lock is forced
  EXPECT_TRUE(got.load());
  rx_UnlockSlots();
}

TEST_F(EngineTest, HousekeepingStartsAtEightSlotsAndIsAskedToStopBelowFour) {
  EXPECT_EQ(rx_StopHousekeeping(), 1);  // none running: nothing to do
  EXPECT_EQ(rx_CountOccupiedSlots(), 1);  // this thread
  std::latch release{1};  // holds the threads inside the engine
  std::atomic<int> inside{0};
  std::vector<std::thread> threads;
  auto startOne = [&] {
    threads.emplace_back([&] {
      rx_GetThreadState();
      inside++;
      release.wait();
    });
    while (inside.load() < static_cast<int>(threads.size())) os_Sleep(1);
    rx_GetThreadState();
  };
  for (int i = 0; i < 6; ++i) startOne();  // seven threads with slots
  EXPECT_EQ(std::pair(rx_CountOccupiedSlots(), rx_GetHousekeepingStatus()), std::pair(7, rx_HousekeepingStatus::absent));
  startOne();  // the eighth
  EXPECT_EQ(std::pair(rx_CountOccupiedSlots(), rx_GetHousekeepingStatus()), std::pair(8, rx_HousekeepingStatus::running));
  // Stopped on request, and started again by the next call that sees eight.
  EXPECT_TRUE(rx_StopHousekeeping() == 1 && rx_GetHousekeepingStatus() == rx_HousekeepingStatus::absent);
  rx_GetThreadState();
  EXPECT_EQ(rx_GetHousekeepingStatus(), rx_HousekeepingStatus::running);

  release.count_down();
  for (auto &t : threads) t.join();
  // The housekeeping thread reclaims the ended threads' slots, is asked to
  // stop by the next call that sees fewer than 4, ends, and is closed.
  EXPECT_TRUE(eventually([] { return rx_CountOccupiedSlots() < 4; }));
  EXPECT_TRUE(eventually([] { return rx_GetHousekeepingStatus() == rx_HousekeepingStatus::absent; }));
}

TEST_F(EngineTest, ManyShortLivedThreadsNeverRunTheTableOut) {
  std::atomic<int> privateRecords{0}, failures{0};
  std::atomic<bool> sawHousekeeper{false};
  for (int batch = 0; batch < 20; ++batch) {
    std::vector<std::thread> threads;
    for (int i = 0; i < 10; ++i) {
      threads.emplace_back([&, i] {
        rx_ThreadState *state = rx_GetThreadState();
        if (state == nullptr) return void(failures++);
        if (!rx_IsTableSlot(state)) privateRecords++;
        // Both storage kinds, either lock: the leak checker sees anything left.
        rx_Surface s{};
        uint32_t lock = i % 2 ? uint32_t{rx_LockExclusive} : 0u;
        if (rx_SurfaceCreate(&s, 16, 16, i % 3 ? rx_CreateDib : rx_CreateMemory) != 1 || rx_SurfaceLock(&s, lock) != 1)
          failures++;
        rx_SurfaceUnlock(&s, lock);
        rx_SurfaceFree(&s);
        if (rx_GetHousekeepingStatus() != rx_HousekeepingStatus::absent) sawHousekeeper = true;
      });
    }
    for (auto &t : threads) t.join();
  }
  EXPECT_EQ(std::pair(failures.load(), privateRecords.load()), std::pair(0, 0));  // the table always had room
  EXPECT_TRUE(sawHousekeeper.load());
  // Four to seven slots of ended threads may stay until the next reclaim (no
  // housekeeper is started for them); one pass frees every one of them.
  rx_LockSlots();
  rx_ReclaimSlots();
  rx_UnlockSlots();
  EXPECT_LE(rx_CountOccupiedSlots(), 1);
  EXPECT_TRUE(eventually([] { return rx_GetHousekeepingStatus() == rx_HousekeepingStatus::absent; }));
}

TEST_F(EngineTest, ThreadsBeyondTheTableGetPrivateRecords) {
  constexpr int kThreads = 140;
  std::latch release{1};  // holds the threads inside the engine
  std::atomic<int> inside{0};
  std::vector<rx_ThreadState *> states(kThreads, nullptr);
  std::vector<int32_t> clips(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      states[i] = rx_GetThreadState();
      rx_Rect rect{i, 0, i, 0, 1};
      rx_SetClipRect(&rect);
      inside++;
      release.wait();
      clips[i] = rx_GetThreadState()->clipLeft;  // still its own after all others wrote theirs
    });
  }
  while (inside.load() < kThreads) os_Sleep(1);
  release.count_down();
  for (auto &t : threads) t.join();
  std::set<rx_ThreadState *> distinct(states.begin(), states.end());
  EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads));
  int inTable = 0;
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(clips[i], i);
    inTable += rx_IsTableSlot(states[i]);
  }
  EXPECT_EQ(inTable, rx_SlotCount - 1);  // this thread holds the other slot
  rx_StopHousekeeping();
}
