// Size checks where size_t is 32 bits wide: byte counts that pass 2^32 must
// fail, not wrap into a small allocation.
#include <gtest/gtest.h>

#include <cstdint>

#include "raster/surface.h"
#include "raster/thread_state.h"
#include "vgm/vgm_compat.h"

static_assert(SIZE_MAX == 0xFFFFFFFFu, "32-bit builds only");

namespace {

struct Engine : ::testing::Test {
  void SetUp() override {
    rx_EngineStop();
    ASSERT_EQ(rx_EngineStart(), 1);
  }
  void TearDown() override { rx_EngineStop(); }
};

int32_t create(int32_t w, int32_t h, uint32_t flags, int32_t *error) {
  rx_Surface s{};
  int32_t result = rx_SurfaceCreate(&s, w, h, flags);
  *error = rx_GetLastError();
  if (rx_SurfaceIsValid(&s)) rx_SurfaceFree(&s);
  return result;
}

}  // namespace

TEST_F(Engine, SurfaceBytesPastFourGigabytesFailInsteadOfWrapping) {
  const uint32_t exact = rx_CreateMemory | rx_CreateNoTotalLimit | rx_CreateNoShrink;
  int32_t error = 0;
  // 32767 x 32769 = 0x3FFFFFFF pixels, the ceiling itself: 4 * that + 16
  // bytes is 2^32 + 12, which a 32-bit size wraps to 12.
  EXPECT_EQ(create(32767, 32769, exact, &error), 0);
  EXPECT_EQ(error, rx_ErrNoMemory);
  // One pixel row past the ceiling is refused by the ceiling (2^30 pixels).
  EXPECT_EQ(create(65536, 16384, exact, &error), 0);
  EXPECT_EQ(error, rx_ErrTooBig);
}

TEST(GlobalMemory32, SizesThatWrapWithTheBlockHeaderAreRefused) {
  // The hidden header must not wrap a size just under 2^32 into a small block.
  EXPECT_EQ(GlobalAlloc(GMEM_FIXED, SIZE_MAX - 4), nullptr);
  EXPECT_EQ(GlobalAlloc(GPTR, SIZE_MAX), nullptr);
}
