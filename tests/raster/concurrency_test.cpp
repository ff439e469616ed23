// Several threads on one surface: shared lockers against destroy, exclusive
// use, owners that end or hang while holding a surface.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/os.h"
#include "raster_test_support.h"

using rxtest::EngineTest;
using rxtest::marker;

TEST_F(EngineTest, SharedLockersLetDestroyFinish) {
  rx_Surface s{};
  ASSERT_NO_FATAL_FAILURE(rxtest::makeMarked(&s, 64, 32, 0));
  const std::vector<uint32_t> expected = rxtest::markersBy(64, 32, marker);
  std::atomic<int> wrongPixels{0}, lockedReads{0};
  std::vector<int32_t> refusals(16, -1);
  std::vector<std::thread> readers;
  for (int i = 0; i < 16; ++i) {
    readers.emplace_back([&, i] {
      for (std::vector<uint32_t> seen; !(seen = rxtest::pixelsOf(&s)).empty(); lockedReads++)
        wrongPixels += seen != expected;
      refusals[i] = rx_GetLastError();
    });
  }
  while (lockedReads.load() < 16) os_Sleep(1);
  EXPECT_EQ(rx_SurfaceFree(&s), 1);
  for (auto &t : readers) t.join();
  EXPECT_EQ(wrongPixels.load(), 0);
  for (int32_t code : refusals) EXPECT_TRUE(code == rx_ErrClosing || code == rx_ErrEmpty) << code;
  const rx_Surface zero{};
  EXPECT_EQ(std::memcmp(&s, &zero, sizeof s), 0);
}

TEST_F(EngineTest, ExclusiveUseMakesOthersWaitForTheOwner) {
  rxtest::Surface s{};
  ASSERT_EQ(rx_SurfaceCreate(&s, 4, 4, rx_CreateMemory), 1);
  std::atomic<bool> held{false};
  std::thread owner([&] {
    ASSERT_EQ(rx_SurfaceLock(&s, rx_LockExclusive), 1);
    // A nested shared lock by the holder (as the kernels take inside an
    // exclusive lock) must not let other threads in.
    ASSERT_EQ(rx_SurfaceLock(&s, 0), 1);
    rx_SurfaceUnlock(&s, 0);
    held = true;
    os_Sleep(50);
    s.bits[5] = 0xABCDEF;  // written before the others may look
    rx_SurfaceUnlock(&s, rx_LockExclusive);
  });
  while (!held.load()) os_Sleep(1);
  ASSERT_EQ(rx_SurfaceLock(&s, 0), 1);
  EXPECT_EQ(s.bits[5], 0xABCDEFu);
  rx_SurfaceUnlock(&s, 0);
  owner.join();
}

TEST_F(EngineTest, ASharedLockTakenAfterATimedOutWaitClearsTheOwner) {
  rxtest::Surface s{};
  ASSERT_EQ(rx_SurfaceCreate(&s, 4, 4, rx_CreateMemory), 1);
  std::atomic<bool> held{false}, done{false};
  std::thread owner([&] {  // alive and holding for longer than the bounded wait
    ASSERT_EQ(rx_SurfaceLock(&s, rx_LockExclusive), 1);
    held = true;
    while (!done.load()) os_Sleep(5);
    rx_SurfaceUnlock(&s, rx_LockExclusive);
  });
  while (!held.load()) os_Sleep(1);
  ASSERT_EQ(rx_SurfaceLock(&s, 0), 1);  // after about 5 s, taken anyway
  EXPECT_EQ(diagnostics.count(rx_DiagWaitTimedOut), 1);
  ASSERT_EQ(rx_SurfaceLock(&s, rx_LockExclusive), 1);  // no second wait
  EXPECT_EQ(diagnostics.count(rx_DiagWaitTimedOut), 1);
  rx_SurfaceUnlock(&s, rx_LockExclusive);
  rx_SurfaceUnlock(&s, 0);
  done = true;
  owner.join();
}

TEST_F(EngineTest, AnOwnerThatEndsWithoutUnlockingIsPassedOver) {
  rx_Surface s{};
  ASSERT_EQ(rx_SurfaceCreate(&s, 4, 4, 0), 1);
  uint32_t ownerId = 0;
  std::thread([&] {
    ASSERT_EQ(rx_SurfaceLock(&s, rx_LockExclusive), 1);
    ownerId = os_ThreadId();
  }).join();
  EXPECT_EQ(std::pair(s.owner, s.lockCount), std::pair(ownerId, 1));

  ASSERT_EQ(rx_SurfaceLock(&s, rx_LockExclusive), 1);  // the dead owner is cleared
  EXPECT_EQ(s.owner, os_ThreadId());
  rx_SurfaceUnlock(&s, rx_LockExclusive);
  EXPECT_EQ(s.lockCount, 1);  // the lost thread's count stays

  // Destroy waits for that count in bounded steps, reports it, and finishes.
  diagnostics.clear();
  EXPECT_EQ(rx_SurfaceFree(&s), 1);
  EXPECT_EQ(std::pair(diagnostics.count(rx_DiagWaitTimedOut), diagnostics.count(rx_DiagDestroyGaveUp)), std::pair(1, 1));
  EXPECT_EQ(std::pair(s.signature, s.lockCount), (std::pair<uint8_t, int32_t>(0, 0)));
}

TEST_F(EngineTest, DestroyWaitsForALiveExclusiveOwner) {
  rx_Surface s{};
  ASSERT_EQ(rx_SurfaceCreate(&s, 4, 4, 0), 1);
  HDC dc = nullptr;
  std::atomic<bool> held{false}, released{false};
  std::thread user([&] {
    ASSERT_NE(rx_SurfaceGetDC(&s, &dc, false), nullptr);
    held = true;
    os_Sleep(100);
    released = true;
    rx_SurfaceReleaseDC(&s, &dc);
  });
  while (!held.load()) os_Sleep(1);
  EXPECT_EQ(rx_SurfaceFree(&s), 1);
  EXPECT_TRUE(released.load());
  user.join();
  EXPECT_EQ(s.signature, 0);
}
