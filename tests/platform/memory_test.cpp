#include <gtest/gtest.h>

#include <tuple>

#include "platform/os.h"

TEST(GlobalMemory, BlocksKnowTheirSizeAndValidity) {
  HGLOBAL zeroed = GlobalAlloc(GMEM_ZEROINIT, 100);
  HGLOBAL empty = GlobalAlloc(0, 0);
  ASSERT_TRUE(zeroed != nullptr && empty != nullptr && empty != zeroed);
  EXPECT_EQ(std::tuple(GlobalSize(zeroed), GlobalSize(empty), GlobalFlags(empty)), std::tuple(100u, 0u, 0u));
  auto *bytes = static_cast<unsigned char *>(GlobalLock(zeroed));
  ASSERT_EQ(bytes, zeroed);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(bytes[i], 0) << i;
  EXPECT_TRUE(GlobalFree(zeroed) == nullptr && GlobalFree(empty) == nullptr);
  // A second free of the same handle, a foreign pointer and null are refused, not a crash.
  int local = 0;
  for (HGLOBAL bad : {zeroed, static_cast<HGLOBAL>(&local), HGLOBAL{}}) {
    EXPECT_EQ(GlobalFlags(bad), GMEM_INVALID_HANDLE);
    EXPECT_EQ(GlobalSize(bad), 0u);
    EXPECT_EQ(GlobalFree(bad), bad);
    os_GlobalRelease(bad);  // checks first: harmless
  }
}

TEST(GlobalMemory, FailedAllocations) {
  os_InjectFault(os_FaultKind::allocation, 2);
  HGLOBAL first = GlobalAlloc(0, 8), second = GlobalAlloc(0, 8);
  EXPECT_EQ(os_LastError(), os_Error::outOfMemory);
  HGLOBAL third = GlobalAlloc(0, 8);
  EXPECT_TRUE(first != nullptr && second == nullptr && third != nullptr);
  os_GlobalRelease(first);
  os_GlobalRelease(third);
  EXPECT_EQ(GlobalAlloc(0, SIZE_MAX - 4), nullptr);
  EXPECT_EQ(os_LastError(), os_Error::outOfMemory);
}
