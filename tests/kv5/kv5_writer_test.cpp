// The document writer: bytes of the header, banner and records, the level rule, the pixel format choice, failures, and
// a random round trip through the reader.
#include "kv5/kv5_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <regex>

#include "hostenv/config_record.h"
#include "hostenv/folders.h"
#include "kv5/kv5_reader.h"
#include "kv5/kv5_writer_pixels.h"
#include "kv5/trvc_codecs.h"
#include "kv5/trvc_stream.h"
#include "platform/os.h"
#include "raster/kernels/kernels.h"
#include "raster/layers/layers.h"
#include "support/test_support.h"

namespace {

using Bytes = std::string;

void setPixels(rx_LayerEntry *entry, int w, int h, const std::vector<uint32_t> &px) {
  ASSERT_EQ(rx_SurfaceCreate(&entry->surface, w, h, rx_CreateMemory | rx_CreateNoShrink), 1);
  rx_SurfaceLock(&entry->surface, rx_LockExclusive);
  for (int y = 0; y < h; ++y)
    std::copy_n(&px[size_t(y) * w], w, entry->surface.bits + size_t(y) * entry->surface.stride);
  rx_SurfaceUnlock(&entry->surface, rx_LockExclusive);
}

std::vector<uint32_t> pixelsOf(rx_Surface *s) {
  std::vector<uint32_t> out;
  for (uint32_t y = 0; y < s->height; ++y)
    out.insert(out.end(), s->bits + y * s->stride, s->bits + y * s->stride + s->width);
  return out;
}

uint32_t at32(const Bytes &b, size_t i) {
  return uint8_t(b[i]) | uint8_t(b[i + 1]) << 8 | uint8_t(b[i + 2]) << 16 | uint32_t(uint8_t(b[i + 3])) << 24;
}

class kv5Writer : public ::testing::Test {
 protected:
  vgmtest::TempFolder temp;
  vgmtest::ScopedEnv appData{"VGM_APPDATA_DIR", temp.path()};
  rx_LayerEntry *table = rx_LayerTableCreate();
  rx_LayerEntry *back = rx_LayerTableCreate();
  LoadSaveOptions options{};
  void SetUp() override { TearDown(); }
  void TearDown() override { env_ResetForTests(nullptr), cfg_ResetForTests(); }
  ~kv5Writer() override { rx_LayerTableFree(table), rx_LayerTableFree(back); }
  void level(int value) {
    cfg_Load(1);
    cfg_Live()->kv5_level = static_cast<uint8_t>(value);
    ASSERT_EQ(cfg_Save(), 1);
  }
  // Writes entry 0 as w x h pixels; the file's bytes.
  Bytes write(int w, int h, const std::vector<uint32_t> &px) {
    if (table[0].surface.signature == rx_SurfaceSignature) rx_SurfaceFree(&table[0].surface);
    setPixels(&table[0], w, h, px);
    EXPECT_EQ(kv5_Write(table, &options, path().c_str()), 1) << vgmtest::u8(options.message);
    return vgmtest::readFile(temp.file("doc.kv5"));
  }
  std::u16string path() const { return temp.file16("doc.kv5"); }
  // The layer record of a one-layer file without thumbnail, after the banner.
  static size_t record(const Bytes &file) { return 32 + 8 + at32(file, 36) + 8; }
};

TEST_F(kv5Writer, HeaderBannerAndRecordBytes) {
  options.documentKind = rx_DocFrames, options.documentSubKind = 7, options.defaultSettings = 1;
  std::u16string name = u"0123456789012345678901234567890123456789";
  std::copy_n(name.begin(), 32, table[0].name);  // 32 units, no terminator
  table[0].x = -5, table[0].y = 7, table[0].flags = 0x1234, table[0].frame = 99;
  table[0].attributeA = 0x11, table[0].attributeB = 0x22;
  Bytes file = write(3, 2, {1, 2, 3, 4, 5, 6});
  Bytes header("_KV5\x20\0\0\0\x0B\0\x04\0\x02\x07\0\0\x01\0", 18);
  EXPECT_EQ(file.substr(0, 32), header + Bytes(14, '\0'));
  EXPECT_EQ(vgmtest::u8(options.formatDescription), "KV5 v4 rev 11");
  // Banner chunk: tag 0xFE, length with the NUL.
  ASSERT_EQ(file.substr(32, 4), Bytes("\xFE\0\0\0", 4));
  std::string banner = file.substr(40, at32(file, 36));
  EXPECT_TRUE(std::regex_match(banner, std::regex(std::string("\r\n Veldran's Orvine Photo 5.43.01 \r\n "
                                                              "20\\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d UTC \r\n") +
                                                  '\0')));
  size_t r = record(file);
  EXPECT_EQ(file.substr(r - 8, 8), Bytes("\x01\0\0\0\x80\0\0\0", 8));
  // 6 grey-free colours: palette format 2, 1024 + 6 bytes.
  Bytes expected(
      "\0\0\0\0\x01\0\0\0\xFB\xFF\xFF\xFF\x07\0\0\0\x03\0\0\0\x02\0\0\0\x02\x01\0\0\0\0\0\0"
      "\x06\x04\0\0\0\0\0\0\x34\x12\x63\0\x11\x22",
      46);
  EXPECT_EQ(file.substr(r, 46), expected);
  EXPECT_EQ(file.substr(r + 46, 18), Bytes(18, '\0'));
  for (int i = 0; i < 32; ++i) EXPECT_EQ(at32(file, r + 64 + 2 * i) & 0xFFFF, i < 31 ? unsigned(name[i]) : 0u) << i;
  EXPECT_EQ(file.substr(file.size() - 8), Bytes("\xFF\0\0\0\0\0\0\0", 8));
  // 2024-02-29 23:59:59 UTC: 1709251199 s after 1970, which is 11644473600 s after 1601.
  char text[1024];
  size_t n = kv5_FormatBanner((1709251199ull + 11644473600ull) * 10000000ull + 9999999, text, sizeof text);
  EXPECT_EQ(std::string(text, n), "\r\n Veldran's Orvine Photo 5.43.01 \r\n 2024-02-29 23:59:59 UTC \r\n");
}

TEST_F(kv5Writer, TypeCodesAndFrameWord) {
  options.defaultSettings = 1;
  table[0].frame = 500;
  const uint8_t kinds[] = {0, 1, 2, 3, 7}, codes[] = {1, 3, 2, 4, 1};
  for (int i = 0; i < 5; ++i) {
    options.documentKind = kinds[i], options.documentSubKind = 2;
    Bytes file = write(1, 1, {0});
    EXPECT_EQ(std::tuple(uint8_t(file[12]), uint8_t(file[13]), at32(file, record(file) + 42) & 0xFFFF),
              std::tuple(codes[i], kinds[i] == 7 ? 0 : 2, kinds[i] == 2 ? 500u : 0u)) << int(kinds[i]);
  }
}

TEST_F(kv5Writer, LevelComesFromSettings) {
  for (auto [value, used] : {std::pair{0x27, 7}, {0x0C, 9}}) {  // the low 4 bits, capped
    level(value);
    write(1, 1, {0});
    EXPECT_EQ(trvc_CompressionLevel(), used) << value;
  }
  options.defaultSettings = 1;
  write(1, 1, {0});
  EXPECT_EQ(trvc_CompressionLevel(), 4);
}

TEST_F(kv5Writer, FormatChoice) {
  auto format = [&](int lvl, int w, int h, auto pixel) {
    level(lvl);
    std::vector<uint32_t> px(size_t(w) * h);
    for (int i = 0; i < w * h; ++i) px[i] = pixel(i % w, i / w);
    Bytes file = write(w, h, px);
    size_t r = record(file);
    return std::vector<uint32_t>{uint8_t(file[r + 24]), uint8_t(file[r + 25]), at32(file, r + 32)};
  };
  auto solid = [](int, int) { return 0x00336699u; };
  EXPECT_EQ(format(1, 40, 30, solid), (std::vector<uint32_t>{4, 0, 4}));
  EXPECT_EQ(format(0, 40, 30, solid), (std::vector<uint32_t>{2, 1, 1024 + 1200}));
  auto grey20 = [](int x, int y) { return ((x + y) % 20) * 0x010101u; };
  EXPECT_EQ(format(4, 40, 30, grey20), (std::vector<uint32_t>{1, 1, 1200}));
  auto colours = [](int n) { return [n](int x, int y) { return uint32_t((x * 7 + y) % n) * 0x0F0301u + 0x40u; }; };
  EXPECT_EQ(format(4, 40, 30, colours(16)), (std::vector<uint32_t>{2, 1, 1024 + 1200}));
  EXPECT_EQ(format(4, 40, 30, colours(17)), (std::vector<uint32_t>{3, 1, 1200 + 4 * 17 + 4}));
  EXPECT_EQ(format(4, 17, 1, colours(17)), (std::vector<uint32_t>{0, 3, 51}));  // 51 < 17 + 1024
  auto noise = [](int x, int y) { return uint32_t(x * 2654435761u ^ y * 40503u) & 0x00FFFFFFu; };
  EXPECT_EQ(format(1, 40, 30, noise), (std::vector<uint32_t>{0, 3, 3600}));  // alpha bytes all 0
  EXPECT_EQ(format(1, 40, 30, [&](int x, int y) { return noise(x, y) | (x == 3 ? 1u << 24 : 0); }),
            (std::vector<uint32_t>{0, 4, 4800}));
  // Blue and red follow green: the differences are flat, format 5 from level 2 on.
  auto follows = [&](int x, int y) {
    uint32_t g = noise(x, y) & 0xFF;
    return (g ^ (x & 3)) | g << 8 | (g ^ (y & 3)) << 16;
  };
  EXPECT_EQ(std::pair(format(2, 40, 30, follows)[0], format(1, 40, 30, follows)[0]), std::pair(5u, 0u));
  // Dark green: the planes stay although the differences would be flatter.
  auto dark = [&](int x, int y) {
    uint32_t b = noise(x, y) & 0xFF;
    return b | (b >> 3) << 8 | (b ^ (x & 3) ^ (y & 3) << 2) << 16;
  };
  EXPECT_EQ(format(9, 40, 30, dark)[0], 0u);
}

TEST_F(kv5Writer, PaletteOrder) {
  kv5_PixelSummary s;
  std::vector<uint32_t> px = {0xFF000000, 0x00FFFFFF, 0x000000FF, 0x0000FF00, 0x00FF0000, 0x00000000, 0x00FF0000};
  kv5_PixelView view{7, 1, 7, px.data()};
  kv5_SummarisePixels(&view, &s);
  // Keys: transparency first, then luma: black 0, blue 7442, red 19518, green 38319, white 65280.
  EXPECT_EQ(std::vector<uint32_t>(s.palette, s.palette + s.entries),
            (std::vector<uint32_t>{0x00000000, 0x000000FF, 0x00FF0000, 0x0000FF00, 0x00FFFFFF, 0xFF000000}));
  px = {0x000000FF, 0x00000000};  // two entries stay in order of appearance
  view.width = 2;
  kv5_SummarisePixels(&view, &s);
  EXPECT_EQ(std::vector<uint32_t>(s.palette, s.palette + s.entries), px);
  px.resize(257);
  for (uint32_t i = 0; i < 257; ++i) px[i] = i * 0x101u;
  view = {257, 1, 257, px.data()};
  kv5_SummarisePixels(&view, &s);
  EXPECT_TRUE(s.entries == 0 && s.colour && !s.alpha);
}

int VGM_API cancelAfterTwo(int32_t, int32_t, uintptr_t user) { return ++*reinterpret_cast<int *>(user) < 2; }

TEST_F(kv5Writer, FailuresLeaveClearMessages) {
  options.defaultSettings = 1;
  auto message = [&] { return vgmtest::u8(options.message); };
  auto outcome = [&](int32_t result) { return std::to_string(result) + " " + message(); };
  EXPECT_EQ(outcome(kv5_Write(nullptr, &options, path().c_str())), "0 The layer buffer is invalid\n");
  EXPECT_EQ(outcome(kv5_Write(table, &options, path().c_str())), "0 Error locking source image\n");  // no surface
  setPixels(&table[0], 300, 300, std::vector<uint32_t>(90000, 7));
  EXPECT_EQ(outcome(kv5_Write(table, &options, vgmtest::u16(temp.file("no/such/doc.kv5")).c_str())),
            "0 Error: Cannot open the file for writing, please check access\n");
  os_InjectFault(os_FaultKind::allocation, 1);
  EXPECT_EQ(outcome(kv5_Write(table, &options, path().c_str())), "0 Out of memory for pixel data buffer\n");
  os_InjectFault(os_FaultKind::allocation, 0);
  EXPECT_EQ(options.outOfMemory, 1);
  int faults = 0;
  for (;; ++faults) {
    os_InjectFault(os_FaultKind::fileWrite, faults + 1);
    int32_t result = kv5_Write(table, &options, path().c_str());
    os_InjectFault(os_FaultKind::fileWrite, 0);
    if (result == 1) break;
    EXPECT_EQ(message(), "Error: Cannot write data to the file, check disk space\n");
  }
  EXPECT_EQ(faults, 8);  // header, banner (2), record (2), one block (2), end
  // Cancelled between the blocks of a stream of several.
  std::vector<uint32_t> noise(90000);
  for (uint32_t i = 0; i < 90000; ++i) noise[i] = (i * 2654435761u) >> 8;
  rx_SurfaceFree(&table[0].surface);
  setPixels(&table[0], 300, 300, noise);
  int calls = 0;
  options.progress = cancelAfterTwo, options.progressUser = reinterpret_cast<uintptr_t>(&calls);
  EXPECT_EQ(outcome(kv5_Write(table, &options, path().c_str())), "0 Cancelled: The operation was cancelled by the user\n");
  EXPECT_EQ(options.cancelled, 1);
}

// The fast levels' chain search against measuring every trial in full: the
// smallest wins, ties go to the order 1, 2, 7, 6 (groups of 4, level 1 only).
TEST(kv5WriterSearch, LowLevelsPickWhatFullMeasuringPicks) {
  std::mt19937 rng(77);
  auto area = std::make_unique<uint8_t[]>(trvc_WorkAreaSize);
  int chained = 0, ties = 0;
  for (int round = 0; round < 800; ++round) {
    // Noise, few symbols, small steps, runs, and short sparse pieces where sizes tie.
    const int kind = round % 4 == 0 ? round / 4 % 4 : 4, symbols = 1 + int(rng() % 40);
    size_t length = kind == 4 ? 8 + rng() % 60 : 1 + rng() % 65536;
    Bytes in(length, '\0');
    for (size_t i = 0; i < length; ++i) {
      uint8_t prev = i ? uint8_t(in[i - 1]) : 0;
      uint8_t fresh = kind == 0 ? uint8_t(rng()) : kind == 1 ? uint8_t(rng() % (2 + symbols % 4) * 5) : uint8_t(prev + rng() % 5 - 2);
      in[i] = char(kind == 3 && rng() % 8 != 0 ? prev : kind == 4 ? (rng() % symbols < 3 ? char(rng()) : 'F') : fresh);
    }
    const int level = round % 2;
    std::string expected = in;
    std::vector<uint8_t> chain(16, 0), a(trvc_HalfSize);
    for (int stage = 0; stage < 14 && expected.size() >= 8; ++stage) {
      auto *cur = reinterpret_cast<const uint8_t *>(expected.data());
      size_t n = expected.size(), sizes[4] = {trvc_Encode1(nullptr, cur, n), trvc_Encode2(nullptr, cur, n),
                                              trvc_Encode7(nullptr, cur, n), level ? trvc_Encode6(nullptr, cur, n, 4) : 0};
      const uint8_t ids[4] = {1, 2, 7, 6};
      int best = -1;
      for (int t = 0; t < 4; ++t) {
        if (sizes[t] != 0 && best >= 0 && sizes[t] == sizes[best] && sizes[t] < n) ++ties;
        if (sizes[t] != 0 && (best < 0 || sizes[t] < sizes[best])) best = t;
      }
      if (best < 0 || sizes[best] >= n) break;
      size_t m = ids[best] == 1   ? trvc_Encode1(a.data(), cur, n)
                 : ids[best] == 2 ? trvc_Encode2(a.data(), cur, n)
                 : ids[best] == 7 ? trvc_Encode7(a.data(), cur, n)
                                  : trvc_Encode6(a.data(), cur, n, 4);
      if (m == 0 || m >= n) break;
      chain[stage] = ids[best];
      expected.assign(reinterpret_cast<char *>(a.data()), m);
      chained += stage > 0;
    }
    uint8_t got[16];
    const uint8_t *data = nullptr;
    size_t packed = trvc_CompressPiece(reinterpret_cast<const uint8_t *>(in.data()), length, level, area.get(), got,
                                       &data);
    ASSERT_EQ(std::vector<uint8_t>(got, got + 16), chain) << round;
    ASSERT_EQ(Bytes(reinterpret_cast<const char *>(data), packed), expected) << round;
  }
  EXPECT_GT(chained, 20);  // the inputs reach the later stages
  EXPECT_GT(ties, 10) << ties;
}

// Random documents at every level through both entry points and back.
TEST_F(kv5Writer, RoundTrip) {
  std::mt19937 rng(20261206);
  auto pick = [&](uint32_t n) { return static_cast<int>(rng() % n); };
  int images = 0;
  for (int doc = 0; images < 520; ++doc) {
    level(doc % 10);
    const int count = doc % 4 == 0 ? 1 : 1 + pick(3);
    const bool thumb = count > 1 || doc % 3 == 0;
    options = LoadSaveOptions{};
    options.documentKind = static_cast<uint8_t>(pick(4));
    rx_LayersRelease(table, 3);
    std::vector<std::vector<uint32_t>> originals;
    for (int i = 0; i < count; ++i, ++images) {
      // Large sides only at the fast levels keep the test quick under the sanitizers.
      int side = doc % 10 < 5 ? 300 : 120;
      int w = 1 + pick(side), h = 1 + pick(side), colours = 1 + pick(300), kind = pick(4);
      std::vector<uint32_t> palette(colours);
      for (auto &c : palette) {
        c = rng();
        if (kind == 1) c = (c & 0xFF) * 0x010101u;  // grey
        if (kind != 2) c &= 0x00FFFFFFu;            // kind 2 keeps alpha
        if (kind == 3) c = palette[0];              // solid
      }
      std::vector<uint32_t> px(size_t(w) * h);
      for (auto &p : px) p = pick(4) == 0 ? palette[pick(colours)] : (&p == px.data() ? palette[0] : *(&p - 1));
      setPixels(&table[i], w, h, px);
      originals.push_back(px);
      rx_LayerEntry &e = table[i];
      e.x = pick(2000) - 1000, e.y = pick(2000) - 1000, e.flags = uint16_t(rng() & 0xBBFF), e.frame = uint16_t(rng());
      e.attributeA = uint8_t(rng()), e.attributeB = uint8_t(rng());
      for (int k = 0, n = pick(40); k < 32; ++k) e.name[k] = k < n ? char16_t(u'A' + pick(60)) : 0;
      if (pick(2)) {
        e.propertiesLength = 1 + pick(300);
        e.properties = GlobalAlloc(GPTR, e.propertiesLength);
        for (uint32_t k = 0; k < e.propertiesLength; ++k) static_cast<uint8_t *>(e.properties)[k] = uint8_t(rng());
      }
    }
    std::u16string file = path();
    ASSERT_EQ(count == 1 && !thumb ? kv5_Write(table, &options, file.c_str())
                                   : kv5_WriteLayers(table, count, &options, file.c_str(), thumb),
              count)
        << vgmtest::u8(options.message);
    ASSERT_EQ(trvc_CompressionLevel(), doc % 10);
    EXPECT_EQ(at32(vgmtest::readFile(temp.file("doc.kv5")), 16) & 0xFFFF, uint32_t(count));  // layers stated
    LoadSaveOptions in{};
    in.quiet = 1;
    ASSERT_EQ(kv5_Read(back, &in, file.c_str()), count) << doc << vgmtest::u8(in.message);
    for (int i = 0; i < count; ++i) {
      const rx_LayerEntry &a = table[i], &b = back[i];
      ASSERT_EQ(pixelsOf(&back[i].surface), originals[i]) << doc << " layer " << i;
      EXPECT_EQ(std::vector<int64_t>({b.x, b.y, b.flags, b.frame, b.attributeA, b.attributeB}),
                std::vector<int64_t>(
                    {a.x, a.y, a.flags, options.documentKind == 2 ? a.frame : 0, a.attributeA, a.attributeB}));
      EXPECT_EQ(std::u16string(b.name),
                std::u16string(a.name, std::min<size_t>(31, std::u16string(a.name, 32).find(u'\0'))));
      EXPECT_TRUE(b.propertiesLength == a.propertiesLength &&
                  (a.propertiesLength == 0 || std::memcmp(a.properties, b.properties, a.propertiesLength) == 0));
    }
    if (!thumb) continue;
    // The thumbnail is the flattened image resampled into a 256 x 256 box.
    rx_Surface flat{}, expected{};
    uint16_t flags = table[0].flags;
    ASSERT_NE(rx_LayersFlatten(&flat, -1, table, count, &options), 0);
    table[0].flags = flags;
    int w = int(flat.width), h = int(flat.height), big = std::max(w, h);
    int tw = big <= 256 ? w : std::max(1, (w * 256 + big / 2) / big),
        th = big <= 256 ? h : std::max(1, (h * 256 + big / 2) / big);
    ASSERT_EQ(rx_SurfaceCreate(&expected, tw, th, rx_CreateMemory), 1);
    ASSERT_NE(rx_ResampleRect(&expected, 0, 0, tw - 1, th - 1, &flat, 0, 0, w - 1, h - 1, 0), 0);
    rx_SurfaceFree(&flat);
    rx_LayersRelease(back, rx_LayerTableEntries);
    in.preview = 1, in.thumbnailCount = 1;
    ASSERT_EQ(kv5_Read(back, &in, file.c_str()), 1);
    EXPECT_EQ(std::u16string(back[0].name), u"Thumbnail");
    EXPECT_EQ(pixelsOf(&back[0].surface), pixelsOf(&expected)) << doc;
    rx_SurfaceFree(&expected);
  }
}

}  // namespace
