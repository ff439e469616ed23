#include <gtest/gtest.h>

#include "platform/os.h"

TEST(GlobalMemory, BlocksKnowTheirSizeAndValidity) {
  HGLOBAL zeroed = GlobalAlloc(GMEM_ZEROINIT, 100);
  HGLOBAL empty = GlobalAlloc(0, 0);
  ASSERT_NE(zeroed, nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_NE(empty, zeroed);
  EXPECT_EQ(GlobalSize(zeroed), 100u);
  EXPECT_EQ(GlobalSize(empty), 0u);
  EXPECT_EQ(GlobalFlags(empty), 0u);
  auto *bytes = static_cast<unsigned char *>(GlobalLock(zeroed));
  ASSERT_EQ(bytes, zeroed);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(bytes[i], 0) << i;
  EXPECT_EQ(GlobalFree(zeroed), nullptr);
  EXPECT_EQ(GlobalFree(empty), nullptr);
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
  HGLOBAL first = GlobalAlloc(0, 8);
  HGLOBAL second = GlobalAlloc(0, 8);
  HGLOBAL third = GlobalAlloc(0, 8);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(os_LastError(), os_Error::outOfMemory);
  EXPECT_NE(third, nullptr);
  os_GlobalRelease(first);
  os_GlobalRelease(third);
  EXPECT_EQ(GlobalAlloc(0, SIZE_MAX - 4), nullptr);
  EXPECT_EQ(os_LastError(), os_Error::outOfMemory);
}
