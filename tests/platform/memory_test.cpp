#include <gtest/gtest.h>

#include <cstring>

#include "platform/os.h"

TEST(GlobalMemory, BlocksKnowTheirSizeAndValidity) {
  HGLOBAL zeroed = GlobalAlloc(GMEM_ZEROINIT, 100);
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(GlobalSize(zeroed), 100u);
  EXPECT_EQ(GlobalFlags(zeroed), 0u);
  auto *bytes = static_cast<unsigned char *>(GlobalLock(zeroed));
  ASSERT_EQ(bytes, zeroed);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(bytes[i], 0) << i;

  HGLOBAL empty = GlobalAlloc(0, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_NE(empty, zeroed);
  EXPECT_EQ(GlobalSize(empty), 0u);
  EXPECT_EQ(GlobalFlags(empty), 0u);

  EXPECT_EQ(GlobalFree(zeroed), nullptr);
  EXPECT_EQ(GlobalFree(empty), nullptr);
}

TEST(GlobalMemory, ForeignAndFreedHandlesAreRefused) {
  int local = 0;
  EXPECT_EQ(GlobalFlags(&local), GMEM_INVALID_HANDLE);
  EXPECT_EQ(GlobalSize(&local), 0u);
  EXPECT_EQ(GlobalFree(&local), &local);
  EXPECT_EQ(GlobalFlags(nullptr), GMEM_INVALID_HANDLE);
  EXPECT_EQ(GlobalFree(nullptr), nullptr);

  HGLOBAL block = GlobalAlloc(0, 16);
  ASSERT_NE(block, nullptr);
  ASSERT_EQ(GlobalFree(block), nullptr);
  // A second free of the same handle must be refused, not crash.
  EXPECT_EQ(GlobalFlags(block), GMEM_INVALID_HANDLE);
  EXPECT_EQ(GlobalFree(block), block);
  os_GlobalRelease(block);  // checks first: harmless
}

TEST(GlobalMemory, InjectedAllocationFailure) {
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
}

TEST(GlobalMemory, HugeRequestFailsCleanly) {
  EXPECT_EQ(GlobalAlloc(0, SIZE_MAX - 4), nullptr);
  EXPECT_EQ(os_LastError(), os_Error::outOfMemory);
}
