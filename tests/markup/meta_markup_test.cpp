#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "markup/markup_text.h"
#include "markup/meta_markup.h"
#include "platform/os.h"

namespace {

// The record's invariants after every operation.
void expectConsistent(const MetaMarkup &m) {
  ASSERT_NE(m.buffer, nullptr);
  EXPECT_EQ(m.text, static_cast<char *>(m.buffer));
  EXPECT_NE(GlobalFlags(m.buffer), GMEM_INVALID_HANDLE);
  EXPECT_GE(GlobalSize(m.buffer), m.capacity);
  const size_t length = strnlen(m.text, m.capacity);
  ASSERT_LT(length, m.capacity);
  EXPECT_EQ(m.size, length > 0 ? length + 1 : 0);
}

std::string value(MetaMarkup *m, const char *key) {
  char out[512];
  if (markup_MetaGet(m, key, out, sizeof out) == 0) return "<missing>";
  return out;
}

}  // namespace

TEST(MetaMarkup, InitAndFree) {
  MetaMarkup m;
  std::memset(&m, 0xCD, sizeof m);
  ASSERT_EQ(markup_MetaInit(&m), 1);
  expectConsistent(m);
  EXPECT_EQ(m.capacity, 4096u);
  EXPECT_EQ(m.size, 0u);
  for (uint32_t i = 0; i < m.capacity; ++i) ASSERT_EQ(m.text[i], '\0');
  HGLOBAL block = m.buffer;
  const MetaMarkup zero{};
  EXPECT_EQ(markup_MetaFree(&m), 1);
  EXPECT_EQ(GlobalFlags(block), GMEM_INVALID_HANDLE);
  EXPECT_EQ(std::memcmp(&m, &zero, sizeof m), 0);
  // A record whose block someone else already freed is only zeroed.
  ASSERT_EQ(markup_MetaInit(&m), 1);
  GlobalFree(m.buffer);
  EXPECT_EQ(markup_MetaFree(&m), 1);
  EXPECT_EQ(m.buffer, nullptr);
  EXPECT_EQ(markup_MetaFree(nullptr), 0);
  EXPECT_EQ(markup_MetaInit(nullptr), 0);
  os_InjectFault(os_FaultKind::allocation, 1);
  EXPECT_EQ(markup_MetaInit(&m), 0);
  EXPECT_EQ(m.buffer, nullptr);
}

TEST(MetaMarkup, InitFromData) {
  // Only `size` bytes are taken, a NUL inside them ends the text, and
  // unreadable data is empty data.
  const std::string big(10000, 'z');
  for (auto [data, size, text] : {std::tuple{"a=1;\r\nb=2;", 10, "a=1;\r\nb=2;"}, std::tuple{"a=1;\r\nb=2;", 4, "a=1;"},
                                  std::tuple{"x=1\0y=2", 7, "x=1"}, std::tuple{big.c_str(), 10000, big.c_str()},
                                  std::tuple{reinterpret_cast<const char *>(uintptr_t{64}), 100, ""}}) {
    MetaMarkup m{};
    ASSERT_EQ(markup_MetaInitFromData(&m, data, static_cast<uint32_t>(size)), 1);
    expectConsistent(m);
    EXPECT_EQ(std::string(m.text), text);
    if (size == 10000) {
      EXPECT_EQ(m.capacity, (10000u + 4 + 511) / 256 * 256);  // grown by the rule
    }
    markup_MetaFree(&m);
  }
}

TEST(MetaMarkup, GrowsAcrossManySets) {
  MetaMarkup m{};
  ASSERT_EQ(markup_MetaInit(&m), 1);
  uint32_t last_capacity = m.capacity;
  int growths = 0;
  for (int i = 0; i < 2000; ++i) {
    const std::string key = "image.key" + std::to_string(i);
    const std::string v = "value-" + std::to_string(i * 7);
    ASSERT_EQ(markup_MetaSet(&m, key.c_str(), v.c_str()), 1) << i;
    if (m.capacity != last_capacity) {
      ++growths;
      EXPECT_EQ(m.capacity % 256, 0u);
      last_capacity = m.capacity;
    }
    EXPECT_GT(m.capacity, m.size);
  }
  expectConsistent(m);
  EXPECT_GT(growths, 5);
  for (int i = 0; i < 2000; i += 37) {
    const std::string key = "image.key" + std::to_string(i);
    EXPECT_EQ(value(&m, (key + "=").c_str()), "<missing>");  // the '=' is part of the pattern
    EXPECT_EQ(value(&m, key.c_str()), "value-" + std::to_string(i * 7));
  }
  // Replacing keeps the pair count: no key appears twice.
  ASSERT_EQ(markup_MetaSet(&m, "image.key5", "changed"), 1);
  EXPECT_EQ(value(&m, "image.key5"), "changed");
  const std::string text = m.text;
  EXPECT_EQ(text.find("image.key5="), text.rfind("image.key5="));
  markup_MetaFree(&m);

  // The exact rule: room is made when capacity <= size + extra + 16.
  ASSERT_EQ(markup_MetaInit(&m), 1);
  const std::string long_value(4100, 'v');
  ASSERT_EQ(markup_MetaSet(&m, "k", long_value.c_str()), 1);
  EXPECT_EQ(m.capacity, (0u + (1 + 4100 + 16) + 511) / 256 * 256);
  EXPECT_EQ(value(&m, "k").size(), 511u);  // cut by the 512-byte output only
  EXPECT_EQ(markup_MetaGet(&m, "k", nullptr, 0), 1 + 1 + 4100);
  markup_MetaFree(&m);
}

TEST(MetaMarkup, FailedGrowthLeavesTheRecordAsItWas) {
  MetaMarkup m{};
  ASSERT_EQ(markup_MetaInit(&m), 1);
  const std::string filler(4000, 'f');
  ASSERT_EQ(markup_MetaSet(&m, "a", filler.c_str()), 1);
  const MetaMarkup before = m;
  const std::string text_before = m.text;
  os_InjectFault(os_FaultKind::allocation, 1);
  EXPECT_EQ(markup_MetaSet(&m, "b", filler.c_str()), 0);
  os_InjectFault(os_FaultKind::allocation, 0);
  EXPECT_EQ(std::memcmp(&m, &before, sizeof m), 0);
  EXPECT_EQ(std::string(m.text), text_before);
  // A record that does not hold a live block is refused, not written.
  char stack[64] = "a=1;";
  MetaMarkup forged{stack, 5, stack, sizeof stack};
  EXPECT_EQ(markup_MetaSet(&forged, "b", "2"), 0);
  EXPECT_EQ(markup_MetaGet(&forged, "a", nullptr, 0), 0);
  EXPECT_STREQ(stack, "a=1;");
  markup_MetaFree(&m);
}

TEST(MetaMarkup, MergeWithDuplicateKeys) {
  MetaMarkup m{};
  ASSERT_EQ(markup_MetaInitFromData(&m, "keep=1;", 7), 1);
  ASSERT_EQ(markup_MetaMerge(&m, "  a = 1 ;\r\nb=2;\r\nA=3;\r\nkeep=2"), 1);
  expectConsistent(m);
  EXPECT_EQ(value(&m, "a"), "3");
  EXPECT_EQ(value(&m, "b"), "2");
  EXPECT_EQ(value(&m, "keep"), "2");
  EXPECT_STREQ(m.text, "keep=2;\r\na=3;\r\nb=2;");
  EXPECT_EQ(markup_MetaMerge(&m, " \r\n\t"), 0);
  EXPECT_EQ(markup_MetaMerge(&m, nullptr), 0);
  EXPECT_EQ(markup_MetaMerge(nullptr, "a=1;"), 0);
  // Many short pairs gain line breaks: every one of them must still fit.
  std::string many;
  for (int i = 0; i < 2000; ++i) many += "k" + std::to_string(i) + "=v;";
  ASSERT_EQ(markup_MetaMerge(&m, many.c_str()), 1);
  expectConsistent(m);
  EXPECT_EQ(value(&m, "k1999"), "v");
  EXPECT_EQ(value(&m, "k0"), "v");
  // Merging the record's own text moves nothing it still reads.
  const std::string before = m.text;
  ASSERT_EQ(markup_MetaMerge(&m, m.text), 1);
  EXPECT_EQ(std::string(m.text), before);
  markup_MetaFree(&m);
}

TEST(MetaMarkup, BitsPerPixel) {
  MetaMarkup m{};
  ASSERT_EQ(markup_MetaInitFromData(&m, "image.bpp=  032;", 16), 1);
  int32_t bpp = -1;
  EXPECT_EQ(markup_MetaGetBpp(&m, &bpp), 1);
  EXPECT_EQ(bpp, 32);
  ASSERT_EQ(markup_MetaSetBpp(&m, 24), 1);
  EXPECT_STREQ(m.text, "image.bpp=24;");
  EXPECT_EQ(markup_MetaGetBpp(&m, &bpp), 1);
  EXPECT_EQ(bpp, 24);
  ASSERT_EQ(markup_MetaSetBpp(&m, 0), 1);
  bpp = -1;
  EXPECT_EQ(markup_MetaGetBpp(&m, &bpp), 0);  // 0 counts as absent
  EXPECT_EQ(bpp, -1);
  markup_MetaFree(&m);
  ASSERT_EQ(markup_MetaInitFromData(&m, "exif.make=X;", 12), 1);
  EXPECT_EQ(markup_MetaGetBpp(&m, &bpp), 0);
  EXPECT_EQ(bpp, -1);
  EXPECT_EQ(markup_MetaGetBpp(&m, nullptr), 0);
  markup_MetaFree(&m);
}
