#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "markup/markup_text.h"
#include "platform/os.h"

namespace {

// A pointer into the never-mapped first page: reading it faults.
const char *const kUnreadable = reinterpret_cast<const char *>(uintptr_t{64});

// A heap buffer of exactly `capacity` bytes holding `text`, so that the
// sanitizer sees any write past the capacity.
std::vector<char> bufferOf(const std::string &text, size_t capacity) {
  std::vector<char> buffer(capacity, '\x7f');
  std::memcpy(buffer.data(), text.c_str(), std::min(text.size() + 1, capacity));
  return buffer;
}

std::string get(const char *text, const char *key, int out_size = 256) {
  std::vector<char> out(static_cast<size_t>(out_size));
  if (markup_Get(text, key, out.data(), out_size, nullptr, nullptr) == 0) return "<missing>";
  return out.data();
}

}  // namespace

TEST(MarkupGet, TerminatorsAreTriedInOrderAndOffsetsReported) {
  // "=" finds nothing, the space after the key matches; the value keeps its space.
  const char *text = "exif.flash = fired;\r\nexif.mode=2;";
  char out[64];
  int start = -1;
  int end = -1;
  ASSERT_EQ(markup_Get(text, "exif.flash", out, sizeof out, &start, &end), 1);
  EXPECT_STREQ(out, " fired");
  EXPECT_EQ(start, 0);
  EXPECT_EQ(end, 18);  // the ';'
  EXPECT_EQ(markup_Trim(out, nullptr), 1);
  EXPECT_STREQ(out, "fired");
  // A key followed by a tab is found by the third terminator.
  EXPECT_EQ(get("a.b\t= v;", "a.b"), " v");
  // "=" wins over an earlier space-terminated occurrence.
  EXPECT_EQ(get("note=k x;\r\nk=real;", "k"), "real");
}

TEST(MarkupGet, MatchingIsCaseInsensitiveAnywhereAndFirst) {
  const char *const cases[][3] = {
      {"exif.make=Orvine;", "EXIF.MAKE", "Orvine"},
      {"exif.camera_model=M2;\r\nmodel=other;", "model", "M2"},  // the tail of a longer key
      {"image.note=see exif.flash=on;\r\nexif.flash=off;", "exif.flash", "on"},  // inside a value
      {"a=1;\r\na=2;", "a", "1"},
      {"a=1\r\nb=2", "a", "1"},  // line breaks and the end of the text end a value
      {"a=1\r\nb=2", "b", "2"},
      {"a=", "a", ""},
      // Missing: a space-terminated match with no '=' after it is not a pair.
      {"exif.flash fired", "exif.flash", "<missing>"},
      {"exif.flash=1;", "exif.flashes", "<missing>"},
      {"", "a", "<missing>"},
      {"a=1;", "", "<missing>"},
  };
  for (const auto &c : cases) EXPECT_EQ(get(c[0], c[1]), c[2]) << c[0] << " / " << c[1];
}

TEST(MarkupGet, BadArguments) {
  char out[8] = "junk";
  int start = 0;
  EXPECT_EQ(markup_Get(nullptr, "a", out, sizeof out, nullptr, nullptr), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(markup_Get("a=1;", nullptr, out, sizeof out, nullptr, nullptr), 0);
  EXPECT_EQ(markup_Get("a=1;", "a", out, 0, nullptr, nullptr), 0);
  EXPECT_EQ(markup_Get("a=1;", "a", nullptr, 0, nullptr, nullptr), 0);
  EXPECT_EQ(markup_Get("a=1;", "a", nullptr, 0, &start, nullptr), 1);
  // Unreadable arguments count as empty.
  EXPECT_EQ(markup_Get(kUnreadable, "a", out, sizeof out, nullptr, nullptr), 0);
  EXPECT_EQ(markup_Get("a=1;", kUnreadable, out, sizeof out, nullptr, nullptr), 0);
}

TEST(MarkupGet, ValueIsCutToTheOutputAndPairLengthMeasuresIt) {
  const char *text = "x=1;\r\nkey=abcdef;";
  char out[4];
  int start = 0;
  int end = 0;
  ASSERT_EQ(markup_Get(text, "key", out, sizeof out, &start, &end), 1);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(start, 6);
  EXPECT_EQ(end, 13);  // the first byte that did not fit
  EXPECT_EQ(markup_PairLength(text, "key"), 10);  // "key=abcdef"
  EXPECT_EQ(markup_PairLength(text, "none"), 0);
}

TEST(MarkupSet, ReplaceAppendAndCapacity) {
  const std::string tail = "  \r\n c=3;\r\n\tweird   line\r\n";
  struct Case {
    std::string text;
    size_t capacity;
    const char *key, *value;
    int result;
    std::string after;
  };
  const Case cases[] = {
      {"a=1;\r\nb=2;" + tail, 128, "B", "22", 3, "a=1;\r\nb=22;" + tail},  // the rest stays byte for byte
      {"k=old", 32, "k", "new", 3, "k=new;"},                                // a pair without ';' gets one
      {"key word;\r\nb=1;", 64, "key", "v", 3, "key word;\r\nb=v;"},       // the next '=' wherever it stands
      {"", 64, "image.dpi", "72", 1, "image.dpi=72;"},
      {"a=1;\r\n\r\n", 64, "b", "2", 1, "a=1;\r\nb=2;"},  // trailing breaks go: no blank line
      {"\r\n\n", 64, "b", "2", 1, "b=2;"},
      {"a=1;", 12, "long.key", "value", 1, "a=1;\r\nlong."},  // 11 characters and the terminator
      {"a=1;b=2;", 10, "a", "123456789", 3, "a=1234567"},
      {"", 1, "k", "v", 1, ""},
  };
  for (const Case &c : cases) {
    auto buffer = bufferOf(c.text, c.capacity);
    EXPECT_EQ(markup_Set(buffer.data(), static_cast<int>(c.capacity), c.key, c.value), c.result) << c.text;
    EXPECT_EQ(std::string(buffer.data()), c.after) << c.text;
  }
  // A value taken from the text itself is read before the text moves.
  auto alias = bufferOf("a=1;b=hello", 64);
  EXPECT_EQ(markup_Set(alias.data(), 64, "a", alias.data() + 6), 3);
  EXPECT_STREQ(alias.data(), "a=hello;b=hello");
  // A text with no terminator inside its capacity is cut at its last byte.
  std::vector<char> full(16, 'x');
  EXPECT_EQ(markup_Set(full.data(), 16, "k", "v"), 1);
  EXPECT_EQ(std::string(full.data()), std::string(15, 'x'));
}

TEST(MarkupSet, FailuresLeaveTheTextAlone) {
  auto buffer = bufferOf("a=1;\r\nkey word", 64);
  EXPECT_EQ(markup_Set(buffer.data(), 64, "key", "v"), 0);  // matched, but no '=' follows
  EXPECT_EQ(markup_Set(buffer.data(), 64, "", "v"), 0);
  EXPECT_EQ(markup_Set(buffer.data(), 64, nullptr, "v"), 0);
  EXPECT_EQ(markup_Set(buffer.data(), 64, "a", nullptr), 0);
  EXPECT_EQ(markup_Set(buffer.data(), 64, "a", ""), 0);  // an empty value is refused
  EXPECT_EQ(markup_Set(buffer.data(), 64, "new", ""), 0);
  EXPECT_EQ(markup_Set(buffer.data(), 64, "a", kUnreadable), 0);  // unreadable: empty
  EXPECT_EQ(markup_Set(buffer.data(), 0, "a", "2"), 0);
  EXPECT_EQ(markup_Set(nullptr, 64, "a", "2"), 0);
  EXPECT_EQ(markup_Set(const_cast<char *>(kUnreadable), 64, "a", "2"), 0);
  os_InjectFault(os_FaultKind::allocation, 1);
  EXPECT_EQ(markup_Set(buffer.data(), 64, "a", "2"), 0);  // no memory for the tail copy
  os_InjectFault(os_FaultKind::allocation, 0);
  EXPECT_STREQ(buffer.data(), "a=1;\r\nkey word");
}

TEST(MarkupDelete, PrefixWholePairAndEmptyKey) {
  char text[] = "exif.make=A;\r\nexif.GPS.latitude=1;\r\nexif.GPS.longitude=2;\r\nimage.dpi=72;";
  EXPECT_EQ(markup_Delete(text, "exif.gps"), 1);
  EXPECT_STREQ(text, "exif.make=A;\r\nexif.GPS.longitude=2;\r\nimage.dpi=72;");
  EXPECT_EQ(markup_Delete(text, "image.dpi=72"), 1);
  EXPECT_STREQ(text, "exif.make=A;\r\nexif.GPS.longitude=2;\r\n");
  EXPECT_EQ(markup_Delete(text, ""), 1);  // the first pair
  EXPECT_STREQ(text, "exif.GPS.longitude=2;\r\n");
  EXPECT_EQ(markup_Delete(text, "missing"), 0);
  EXPECT_EQ(markup_Delete(text, kUnreadable), 0);
  EXPECT_STREQ(text, "exif.GPS.longitude=2;\r\n");
  // A pair without ';' goes to the end of the text.
  char last[] = "a=1; b=2";
  EXPECT_EQ(markup_Delete(last, "b"), 1);
  EXPECT_STREQ(last, "a=1; ");
  char empty[] = "";
  EXPECT_EQ(markup_Delete(empty, ""), 0);
  EXPECT_EQ(markup_Delete(nullptr, "a"), 0);
  EXPECT_EQ(markup_Delete(last, nullptr), 0);
}

TEST(MarkupNextPair, SpacedPairsWithoutFinalSemicolon) {
  const char *text = "  key1 = value one ;\r\n key2  =  v2  ";
  std::vector<std::pair<std::string, std::string>> pairs;
  char key[kMarkupKeyMax + 1];
  char value[kMarkupValueMax + 1];
  const char *at = text;
  int steps = 0;
  while (int next = markup_NextPair(at, key, value)) {
    pairs.emplace_back(key, value);
    at += next;
    ASSERT_LT(++steps, 10);
  }
  EXPECT_EQ(pairs, (std::vector<std::pair<std::string, std::string>>{{"key1", "value one"}, {"key2", "v2"}}));
  EXPECT_EQ(static_cast<size_t>(at - text), std::strlen(text));

  EXPECT_EQ(markup_NextPair("no pair here", key, value), 0);
  EXPECT_EQ(markup_NextPair(" ;\r\n", key, value), 0);
  EXPECT_EQ(markup_NextPair(nullptr, key, value), 0);
  // A key with nothing after its '=' ends the text with an empty value.
  EXPECT_EQ(markup_NextPair("k== \r\n", key, value), 6);
  EXPECT_STREQ(key, "k");
  EXPECT_STREQ(value, "");
}

TEST(MarkupNextPair, LongKeysAndValuesAreCut) {
  const std::string text = std::string(300, 'k') + "=" + std::string(5000, 'v') + ";\r\nz=1;";
  // Exactly sized heap buffers: a write past the limits would be caught.
  std::vector<char> key(kMarkupKeyMax + 1);
  std::vector<char> value(kMarkupValueMax + 1);
  const int next = markup_NextPair(text.c_str(), key.data(), value.data());
  EXPECT_EQ(std::string(key.data()), std::string(255, 'k'));
  EXPECT_EQ(std::string(value.data()), std::string(4095, 'v'));
  EXPECT_EQ(next, 300 + 1 + 5000 + 3);
  EXPECT_GT(markup_NextPair(text.c_str() + next, key.data(), value.data()), 0);
  EXPECT_STREQ(key.data(), "z");
}

TEST(MarkupAppendLine, SanitisesAndBounds) {
  auto buffer = bufferOf("a=1;\r\n", 128);
  EXPECT_EQ(markup_AppendLine(buffer.data(), 128, "exif.comment", "x;y\r\nz  w   end"), 1);
  EXPECT_STREQ(buffer.data(), "a=1;\r\nexif.comment=x,y z w end;\r\n");
  auto small = bufferOf("", 8);
  EXPECT_EQ(markup_AppendLine(small.data(), 8, "key", "value"), 1);
  EXPECT_STREQ(small.data(), "key=val");
  // Lines are cut at 4095 characters before the ";\r\n".
  std::vector<char> big(10000, '\0');
  const std::string value(6000, 'v');
  EXPECT_EQ(markup_AppendLine(big.data(), 10000, "k", value.c_str()), 1);
  EXPECT_EQ(std::string(big.data()), "k=" + std::string(4093, 'v') + ";\r\n");
  EXPECT_EQ(markup_AppendLine(nullptr, 8, "k", "v"), 0);
  EXPECT_EQ(markup_AppendLine(small.data(), 8, nullptr, "v"), 0);
}

TEST(MarkupCopyMissing, CopiesOnlyAbsentKeysUnderThePrefix) {
  auto dest = bufferOf("exif.make=Mine;\r\n", 256);
  const char *src = "EXIF.MAKE=Theirs;\r\n exif.model=M2;\r\nbrush.size=3;\r\n\texif.iso=200";
  EXPECT_EQ(markup_CopyMissing(dest.data(), 256, src, "exif."), 1);
  EXPECT_STREQ(dest.data(), "exif.make=Mine;\r\nexif.model=M2;\r\nexif.iso=200;");
  EXPECT_EQ(markup_CopyMissing(dest.data(), 256, src, nullptr), 1);
  EXPECT_STREQ(dest.data(), "exif.make=Mine;\r\nexif.model=M2;\r\nexif.iso=200;\r\nbrush.size=3;");
  // Copying a text into itself finds every key present.
  EXPECT_EQ(markup_CopyMissing(dest.data(), 256, dest.data(), ""), 1);
  EXPECT_STREQ(dest.data(), "exif.make=Mine;\r\nexif.model=M2;\r\nexif.iso=200;\r\nbrush.size=3;");
  EXPECT_EQ(markup_CopyMissing(nullptr, 256, src, ""), 0);
  EXPECT_EQ(markup_CopyMissing(dest.data(), 256, nullptr, ""), 0);
}

TEST(MarkupTrim, BothEndsAndResults) {
  const struct {
    std::string text;
    const char *chars, *after;
    int result;
  } rows[] = {{" \t a b \r\n\f", nullptr, "a b", 1}, {" \r\n ", nullptr, "", -1}, {"", nullptr, "", 0},
              {"= 'x' =", "= '", "x", 1}};
  for (const auto &row : rows) {
    std::vector<char> text(row.text.begin(), row.text.end());
    text.push_back('\0');
    EXPECT_EQ(markup_Trim(text.data(), row.chars), row.result) << row.text;
    EXPECT_STREQ(text.data(), row.after);
  }
  EXPECT_EQ(markup_Trim(nullptr, nullptr), 0);
}

TEST(MarkupBlock, RoundTripsEverySizeUpToTheLimit) {
  std::vector<unsigned char> data(kMarkupBlockMax);
  uint32_t seed = 12345;
  for (auto &byte : data) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<unsigned char>(seed >> 16);
  }
  std::vector<char> text(5000);
  std::vector<unsigned char> back(kMarkupBlockMax + 8);
  for (size_t size = 0; size <= static_cast<size_t>(kMarkupBlockMax); ++size) {
    const int length = markup_FormatBlock(text.data(), static_cast<int>(text.size()), data.data(), size);
    ASSERT_EQ(length, markup_BlockTextLength(size)) << size;
    ASSERT_EQ(std::string(text.data()).substr(0, std::to_string(size).size() + 2), std::to_string(size) + ", ");
    ASSERT_EQ(markup_ParseInt(text.data()), static_cast<int32_t>(size));
    const int decoded = markup_DecodeBlock(text.data(), back.data(), back.size());
    ASSERT_EQ(decoded, static_cast<int>(size)) << size;
    ASSERT_EQ(std::memcmp(back.data(), data.data(), size), 0) << size;
  }
  // Through a markup text: the largest block survives a lookup whole.
  std::vector<char> markup(8000, '\0');
  ASSERT_EQ(markup_AppendBlock(markup.data(), 8000, "exif.maker_note", data.data(), kMarkupBlockMax), 1);
  std::vector<char> value(5000);
  ASSERT_EQ(markup_Get(markup.data(), "exif.maker_note", value.data(), 5000, nullptr, nullptr), 1);
  ASSERT_EQ(markup_DecodeBlock(value.data(), back.data(), back.size()), kMarkupBlockMax);
  EXPECT_EQ(std::memcmp(back.data(), data.data(), kMarkupBlockMax), 0);
  // A buffer that is one byte short gets nothing.
  const int needed = markup_BlockTextLength(10);
  EXPECT_EQ(markup_FormatBlock(text.data(), needed, data.data(), 10), 0);
  EXPECT_STREQ(text.data(), "");
}

TEST(MarkupBlock, OverTheLimitLeavesTheKeyOut) {
  std::vector<unsigned char> data(kMarkupBlockMax + 1, 0xAB);
  std::vector<char> text(6000);
  EXPECT_EQ(markup_BlockTextLength(data.size()), 0);
  EXPECT_EQ(markup_FormatBlock(text.data(), 6000, data.data(), data.size()), 0);
  auto markup = bufferOf("a=1;\r\n", 8000);
  EXPECT_EQ(markup_AppendBlock(markup.data(), 8000, "exif.maker_note", data.data(), data.size()), 0);
  EXPECT_STREQ(markup.data(), "a=1;\r\n");
}

TEST(MarkupBlock, DecoderIsTolerant) {
  unsigned char out[16] = {};
  // '-' is 62, '_' and ',' are 63; whitespace after the comma is skipped.
  ASSERT_EQ(markup_DecodeBlock("3, \r\n-_-,", out, sizeof out), 3);
  EXPECT_EQ(std::vector<int>(out, out + 3), std::vector<int>({0xFB, 0xFF, 0xBF}));
  // Other characters are ignored; '=' ends the data.
  ASSERT_EQ(markup_DecodeBlock("2,  AQ *\r\n I=ignored", out, sizeof out), 2);
  EXPECT_EQ(std::vector<int>(out, out + 2), std::vector<int>({0x01, 0x02}));
  // Without a comma the whole value is data.
  ASSERT_EQ(markup_DecodeBlock("+/+/", out, sizeof out), 3);
  EXPECT_EQ(out[0], 0xFB);
  // The output bound holds.
  EXPECT_EQ(markup_DecodeBlock("4, AAAAAA==", out, 2), 2);
  EXPECT_EQ(markup_DecodeBlock(nullptr, out, sizeof out), 0);
  EXPECT_EQ(markup_DecodeBlock(kUnreadable, out, sizeof out), 0);
}

TEST(MarkupNumbers, IntegersAndReals) {
  for (auto [text, value] : {std::pair{"  032", 32}, {"\t-12abc", -12}, {"0", 0}, {"0x1F", 0}, {"ISO-200", 0},
                             {"99999999999", INT32_MAX}, {"-99999999999", INT32_MIN}, {nullptr, 0}})
    EXPECT_EQ(markup_ParseInt(text), value) << (text ? text : "null");
  for (auto [text, value] : {std::pair{"ISO-200", 200}, {"  0024 bits", 24}, {"none", 0}})
    EXPECT_EQ(markup_ParseDigitInt(text), value) << text;
  // 'e' in "exif" starts a number, which then fails; unreadable text reads as empty.
  for (auto [text, value] : {std::pair{"f/2.8", 2.8}, {"x=-1.5e3 m", -1500.0}, {"  +.25", 0.25}, {"72.000 (dpi)", 72.0},
                             {"exif", 0.0}, {"-inf", 0.0}, {"nan", 0.0}, {"1e999", HUGE_VAL}, {"1e-999", 0.0},
                             {kUnreadable, 0.0}})
    EXPECT_DOUBLE_EQ(markup_ParseReal(text), value) << (text == kUnreadable ? "unreadable" : text);
}
