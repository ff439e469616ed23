// Size checks where size_t is 32 bits wide: byte counts that pass 2^32 must
// fail, not wrap into a small allocation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "imageio/host_tables.h"
#include "kv5/kv5_io.h"
#include "platform/os.h"
#include "platform/os_bitmap.h"
#include "kv5/pixel_formats.h"
#include "kv5/trvc_stream.h"
#include "raster/surface.h"
#include "raster/thread_state.h"
#include "support/test_support.h"
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

TEST_F(Engine, SurfacesNearTwoGigabytes) {
  const uint32_t exact = rx_CreateMemory | rx_CreateNoTotalLimit | rx_CreateNoShrink;
  // 16384 x 24576 pixels: 1.5 GiB, byte offsets past 2^30 from row 16384 on.
  rx_Surface s{};
  ASSERT_EQ(rx_SurfaceCreate(&s, 16384, 24576, exact), 1) << rx_GetLastError();
  EXPECT_EQ(GlobalSize(s.storage1), 1610612752u);  // 1.5 * 2^30 + the 16-byte slack
  s.bits[0] = 1;
  s.bits[size_t{24575} * s.stride + 16383] = 2;  // the last pixel is inside the block
  EXPECT_EQ(s.bits[0] + s.bits[size_t{24575} * s.stride + 16383], 3u);
  rx_SurfaceFree(&s);
  // 16384 x 32768 pixels: 2^31 + 16 bytes, more than the C library gives one
  // object here: refused for memory, not as too big and not wrapped.
  int32_t error = 0;
  EXPECT_EQ(create(16384, 32768, exact, &error), 0);
  EXPECT_EQ(error, rx_ErrNoMemory);
}

TEST_F(Engine, DibAndPixelByteCountsPastFourGigabytesAreRefused) {
  // 65536 x 32768 x 4 bytes is 2^33, which a 32-bit size wraps to 0.
  BITMAPINFO info{};
  info.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), 65536, -32768, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void *bits = nullptr;
  EXPECT_EQ(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0), nullptr);
  EXPECT_TRUE(bits == nullptr && os_LastError() == os_Error::outOfMemory);
  // A packed DIB of unknown size at the pixel ceiling: its rows would end
  // 2^32 + 36 bytes on, which a 32-bit size makes 36 and probes as readable.
  info.bmiHeader.biWidth = 32767, info.bmiHeader.biHeight = 32769;
  rx_Surface s{};
  EXPECT_EQ(rx_SurfaceFromDib(&s, &info, 0, 0), 0);
  EXPECT_EQ(rx_GetLastError(), rx_ErrArgument);
  // The plug-ins' pixel conversion: 2^30 + 1 pixels are 4 bytes in 32 bits.
  uint32_t pixels[4] = {};
  EXPECT_EQ(io_BasicColorTable()->ConvertPixels(pixels, 0x40000001, 1, nullptr, 0), 0);
}

TEST(Kv5Sizes32, PixelStreamSizesPastTwoToThe32DoNotWrap) {
  // 2^29 pixels of 8-bit palette indexes are 2^32 bits: 2^29 bytes after
  // the descriptor and the 256-entry palette.
  kv5_PixelView view{16384, 32768, 16384, nullptr};
  EXPECT_EQ(kv5_PackedSize(&view, kv5_FormatVariablePalette, false, 256), 4 + 1024 + (int64_t{1} << 29));
  // A stream with the descriptor (8 bits, 256 entries) and palette but no
  // indexes is refused before any pixel is written.
  std::vector<uint8_t> stream(4 + 1024 + 64);
  stream[0] = 0xF7, stream[1] = 0x0F;
  uint32_t palette[256];
  EXPECT_EQ(kv5_UnpackPixels(&view, kv5_FormatVariablePalette, 4, stream.data(), stream.size(), palette, nullptr), -1);
  // 2^32 pixels: no stream of them fits in memory at all.
  kv5_PixelView giant{65536, 65536, 65536, nullptr};
  EXPECT_EQ(kv5_PackedSize(&giant, kv5_FormatPlanar, true, 0), -1);
  EXPECT_EQ(kv5_PackedSize(&giant, kv5_FormatPalette, false, 256), -1);
}

TEST(Kv5Sizes32, ABlockStatingNearlyFourGigabytesIsRefusedForMemory) {
  // One stored block (no codecs) of 10 bytes that states 0xFFFFFFF0
  // unpacked bytes, in a stream said to be that long: the work buffer sizes
  // must not wrap into a small buffer that the block then "fills".
  std::vector<uint8_t> file = {2, 0, 0, 0, 42, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 0, 0xF0, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0};
  file.resize(file.size() + 16 + 10, 7);
  std::fill(file.begin() + 24, file.begin() + 40, 0);
  kv5_MemoryStream in(file);
  kv5_Context context;
  kv5_ContextInit(&context);
  std::vector<uint8_t> dest(16, 0);
  EXPECT_EQ(trvc_ReadStream(dest.data(), 0xFFFFFFF0u, &in, &context, 0), 0);
  EXPECT_TRUE(context.outOfMemory);
  EXPECT_EQ(dest, std::vector<uint8_t>(16, 0));
}

TEST(GlobalMemory32, SizesThatWrapWithTheBlockHeaderAreRefused) {
  // The hidden header must not wrap a size just under 2^32 into a small block.
  EXPECT_EQ(GlobalAlloc(GMEM_FIXED, SIZE_MAX - 4), nullptr);
  EXPECT_EQ(GlobalAlloc(GPTR, SIZE_MAX), nullptr);
}

TEST(Files32, OffsetsPastFourGigabytesReachTheirPlace) {
  // A sparse file: "xyz" at 5 GiB + 3, which a 32-bit offset would put at 1 GiB + 3.
  vgmtest::TempFolder folder;
  std::u16string path = folder.file16("big.bin");
  os_File *file = os_FileOpen(path.c_str(), os_AccessRead | os_AccessWrite, os_ShareNone, os_Disposition::createNew);
  ASSERT_NE(file, nullptr);
  int64_t position = 0;
  ASSERT_TRUE(os_FileSeek(file, int64_t{5} << 30 | 3, os_SeekFrom::begin, &position));
  EXPECT_EQ(position, 5368709123);
  ASSERT_TRUE(os_FileWrite(file, "xyz", 3));
  EXPECT_EQ(os_FileSize(file), 5368709126);
  char back[4] = {};
  size_t done = 0;
  EXPECT_TRUE(os_FileReadAt(file, 5368709124, back, 4, &done));
  EXPECT_EQ(std::string(back, done), "yz");
  os_FileClose(file);
  os_FileInfo info{};
  ASSERT_TRUE(os_FileStat(path.c_str(), &info));
  EXPECT_EQ(info.size, 5368709126u);
}
