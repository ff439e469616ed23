#include <gtest/gtest.h>

#include "kv5/kv5_simd.h"
#include "kv5/trvc_codecs.h"
#include "kv5_test_util.h"
#include "support/test_support.h"

using kv5test::put32;
using kv5test::Bits;
using kv5test::Bytes;

namespace {

// Decodes into a buffer with guard bytes after the capacity and checks that they stay untouched.
struct Decoded {
  size_t result;
  Bytes out;  // the first min(result, capacity) bytes
};

Decoded run(unsigned id, const Bytes &in, size_t capacity, bool extended = true) {
  Bytes buffer(capacity + 64, 0xEE);
  size_t result = trvc_Decode(id, buffer.data(), capacity, in.data(), in.size(), extended);
  for (size_t i = capacity; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE) << "codec " << id << " wrote past capacity";
  buffer.resize(std::min(result, capacity));
  return {result, buffer};
}

Bytes text(const char *s) { return Bytes(s, s + std::strlen(s)); }

Bytes tableInput() {
  Bytes in(256);
  for (int i = 0; i < 256; ++i) in[i] = static_cast<uint8_t>(255 - i);
  return in;
}

}  // namespace

TEST(TrvcDecode1, ControlByteFormsAndCapacity) {
  // Short run, long run with a 32-bit count (300), literal, end.
  const Bytes in = {0x82, 'a', 0x80, 0x2C, 0x01, 0, 0, 'b', 0x02, 'x', 'y', 'z', 0x00, 'j', 'u', 'n', 'k'};
  Bytes want = text("aaa");
  want.insert(want.end(), 300, 'b');
  want.insert(want.end(), {'x', 'y', 'z'});
  EXPECT_EQ(run(1, in, 1000).out, want);

  // Control byte 1 with a count below 2^24 is a literal of that count...
  const Bytes counted = {0x01, 5, 0, 0, 0, 'h', 'e', 'l', 'l', 'o', 0};
  EXPECT_EQ(run(1, counted, 100).out, text("hello"));
  // ...but read without the rule it is a 2-byte literal (5, 0), then the end.
  EXPECT_EQ(run(1, counted, 100, false).out, (Bytes{5, 0}));

  // A value of 2^24 or more makes control byte 1 a literal of 2 bytes.
  EXPECT_EQ(run(1, Bytes{0x01, 'p', 'q', 0x00, 0x01, 0x00}, 100).out, text("pq"));  // 0x0100_7170
  EXPECT_EQ(run(1, Bytes{0x01, 0x00, 0x00, 0x00, 0x01, 0x00}, 100).out, (Bytes{0, 0}));  // 0x0100_0000
  EXPECT_EQ(run(1, Bytes{0x01, 0xFF, 0xFF, 0xFF, 0x00}, 100).result, 0u);  // 0x00FF_FFFF: a count that reaches the capacity

  // Decoding stops when the input ends, even without the end byte.
  EXPECT_EQ(run(1, Bytes{0x81, 'q', 0x82}, 100).out, text("qq"));

  // Output reaching the capacity fails.
  const Bytes runs = {0x82, 'a', 0x00}, literal = {0x03, 1, 2, 3, 4, 0x00};
  EXPECT_EQ(std::tuple(run(1, runs, 3).result, run(1, runs, 4).result, run(1, literal, 4).result, run(1, literal, 5).result),
            std::tuple(0u, 3u, 0u, 4u));
  EXPECT_EQ(run(1, Bytes{0x80, 0xFF, 0xFF, 0xFF, 0xFF, 7}, 1 << 20).result, 0u);  // a run of 2^32 - 1
  EXPECT_EQ(run(1, Bytes{0x00}, 10).result, 0u);  // nothing decoded is a failure too
}

TEST(TrvcDecode2, DeltaRunsAndShared) {
  // Run of 5: 10, then +1, -7, +8, 0 (nibbles 8, 0, 15, 7) in 2 bytes.
  Bytes in = {0x84, 10, 0x08, 0x7F};
  // Run of 4: three deltas in 2 bytes, the last high nibble unused; wraps.
  in.insert(in.end(), {0x83, 254, 0x88, 0xF8});
  // Literal and a 32-bit run count, as in codec 1.
  in.insert(in.end(), {0x02, 1, 2, 3, 0x80, 3, 0, 0, 0, 50, 0x9A, 0x00});  // run of 3: 50, +3, +2
  EXPECT_EQ(run(2, in, 100).out, (Bytes{10, 11, 4, 12, 12, 254, 255, 0, 1, 1, 2, 3, 50, 53, 55}));

  const Bytes counted = {0x01, 3, 0, 0, 0, 7, 8, 9, 0};
  EXPECT_EQ(run(2, counted, 100).out, (Bytes{7, 8, 9}));
  EXPECT_EQ(run(2, counted, 100, false).out, (Bytes{3, 0}));

  EXPECT_EQ(run(2, Bytes{0x84, 10, 0x08, 0x7F, 0}, 5).result, 0u);  // a run reaching the capacity
  // Missing delta bytes end the data after what they gave.
  EXPECT_EQ(run(2, Bytes{0x84, 10, 0x08}, 100).out, (Bytes{10, 11, 4}));
}

TEST(TrvcDecode3, LengthClasses) {
  Bytes in = tableInput();
  Bits bits;
  bits.put(0, 2), bits.put(3, 2);      // class 0: 2-bit index 3
  bits.put(1, 2), bits.put(10, 4);     // class 1: 4-bit index
  bits.put(2, 2), bits.put(40, 6);     // class 2: 6-bit index
  bits.put(3, 2), bits.put(200, 8);    // class 3: 8-bit index
  bits.put(3, 2);                      // class 3 whose index is cut off by the end
  in.insert(in.end(), bits.bytes().begin(), bits.bytes().end());
  EXPECT_EQ(run(3, in, 100).out, (Bytes{252, 245, 215, 55}));
  EXPECT_EQ(run(3, in, 2).out, (Bytes{252, 245}));  // stops at the capacity
  EXPECT_EQ(run(3, Bytes(256, 1), 100).result, 0u);  // too short
  EXPECT_EQ(run(3, Bytes(257, 1), 100).out, (Bytes{1}));  // class 1, then too few bits
}

TEST(TrvcDecode4, FillBits) {
  Bits bits;
  bits.put(1, 1);
  bits.put(0, 1), bits.put(0xA3, 8);
  bits.put(1, 1);
  Bytes in = {0x55};
  in.insert(in.end(), bits.bytes().begin(), bits.bytes().end());  // 5 zero padding bits: a cut-off literal
  EXPECT_EQ(run(4, in, 100).out, (Bytes{0x55, 0xA3, 0x55}));
  EXPECT_EQ(run(4, in, 2).out, (Bytes{0x55, 0xA3}));
  EXPECT_EQ(run(4, Bytes{0x55}, 100).result, 0u);
  EXPECT_EQ(run(4, Bytes{9, 0xFF}, 100).out, Bytes(8, 9));
}

TEST(TrvcDecode5, LiteralsDeltasAndIgnoredBytes) {
  Bytes in = {0x02, 'a', 'b', 'c'};
  in.insert(in.end(), {0x80, 0xC5});  // ignored control bytes
  in.insert(in.end(), {0x43, 100});
  Bits bits;
  bits.put(0, 2), bits.put(0, 1), bits.put(1, 1);    // +1
  bits.put(1, 2), bits.put(1, 1), bits.put(3, 2);    // -3
  bits.put(3, 2), bits.put(0, 1), bits.put(15, 4);   // +15
  in.insert(in.end(), bits.bytes().begin(), bits.bytes().end());
  in.insert(in.end(), {0x41, 2});
  Bits wrap;
  wrap.put(1, 2), wrap.put(1, 1), wrap.put(3, 2);    // 2 - 3 wraps to 255
  in.insert(in.end(), wrap.bytes().begin(), wrap.bytes().end());
  in.insert(in.end(), {0x00, 0x01, 'z', 'z'});
  EXPECT_EQ(run(5, in, 100).out, (Bytes{'a', 'b', 'c', 100, 101, 98, 113, 2, 255}));
  EXPECT_EQ(run(5, in, 5).out, (Bytes{'a', 'b', 'c', 100, 101}));
}

TEST(TrvcDecode6, GroupWidthsAndStatedLength) {
  Bytes in = tableInput();
  put32(in, 5);
  in.push_back(2);  // groups of 3
  Bits bits;
  bits.put(0, 3), bits.put(0, 1), bits.put(1, 1), bits.put(1, 1);
  bits.put(2, 3), bits.put(5, 3), bits.put(7, 3), bits.put(7, 3);  // last index is filler
  in.insert(in.end(), bits.bytes().begin(), bits.bytes().end());
  EXPECT_EQ(run(6, in, 100).out, (Bytes{255, 254, 254, 250, 248}));
  const Decoded capped = run(6, in, 3);  // the stated length, although only 3 fit
  EXPECT_TRUE(capped.result == 5u && capped.out == (Bytes{255, 254, 254}));
  Bytes lying = in;
  lying[256] = 200;  // states more than the bits hold
  EXPECT_EQ(run(6, lying, 300).result, 200u);
  EXPECT_EQ(run(6, Bytes(260, 0), 100).result, 0u);
}

TEST(TrvcDecode7, SparseFill) {
  const Bytes in = {9, 10, 0, 0, 0, 0x05, 'A', 'B', 0x02, 'C'};  // fill 9, length 10
  EXPECT_EQ(run(7, in, 100).out, (Bytes{'A', 9, 'B', 9, 9, 9, 9, 9, 9, 'C'}));
  const Decoded bare = run(7, Bytes(in.begin(), in.begin() + 5), 100);  // shorter than 6 bytes: the length, no output
  EXPECT_TRUE(bare.result == 10u && bare.out == Bytes(10, 0xEE));
  EXPECT_EQ(run(7, in, 4).out, (Bytes{'A', 9, 'B', 9}));
}

TEST(TrvcDecode8, LiteralsReferencesAndFailures) {
  // Literal "abcdef", then length 3 gap 0 (copies "def"), then length 2 gap 1.
  Bytes in = {0x06, 'a', 'b', 'c', 'd', 'e', 'f', 0x88, 0x81, 0x00};
  EXPECT_EQ(run(8, in, 100).out, text("abcdefdefde"));

  // One continuation byte: length 11 (9 = 001 001), gap 20 (4 + 2 << 3).
  Bytes one = {31};
  for (int i = 0; i < 31; ++i) one.push_back(static_cast<uint8_t>(i));
  one.insert(one.end(), {0xCC, 0x12, 0x00});
  Decoded d = run(8, one, 100);
  ASSERT_EQ(d.result, 42u);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(d.out[31 + i], i);

  // Two continuation bytes: gap 200 = 0 + 9 << 3 + 1 << 7.
  Bytes two = {127};
  for (int i = 0; i < 127; ++i) two.push_back(static_cast<uint8_t>(i));
  two.push_back(75);
  for (int i = 127; i < 202; ++i) two.push_back(static_cast<uint8_t>(i));
  two.insert(two.end(), {0xC0, 0x89, 0x01, 0x00});
  d = run(8, two, 300);
  ASSERT_EQ(d.result, 204u);
  EXPECT_EQ(Bytes(d.out.begin() + 202, d.out.end()), (Bytes{0, 1}));

  // Failing inputs.
  EXPECT_EQ(run(8, Bytes{0x02, 'a', 'b', 0x88}, 100).result, 0u);  // starts before the output
  EXPECT_EQ(run(8, Bytes{0x02, 'a', 'b', 0x80}, 100).result, 4u);  // length 2, gap 0: fine
  EXPECT_EQ(run(8, Bytes{0x02, 'a', 'b', 0x80}, 4).result, 0u);    // reaches the capacity
  EXPECT_EQ(run(8, Bytes{0x03, 'a', 'b', 'c'}, 3).result, 0u);     // literal reaching it
  Bytes endless = {0x02, 'a', 'b', 0xC0};
  endless.insert(endless.end(), 12, 0xFF);
  endless.push_back(0x00);
  EXPECT_EQ(run(8, endless, 100).result, 0u);  // absurd continuation chain
  EXPECT_EQ(run(8, Bytes{0x05, 'a', 'b'}, 100).out, text("ab"));  // cut literal: what is there
}

TEST(TrvcDecodeFixedGroups, Codecs19And35) {
  Bytes in = tableInput();
  Bits bits;
  bits.put(1, 3);
  for (int v : {0, 1, 2, 3}) bits.put(static_cast<uint32_t>(v), 2);
  bits.put(7, 3);
  for (int v : {9, 200, 255, 17}) bits.put(static_cast<uint32_t>(v), 8);
  bits.put(7, 3);  // a group cut off by the end of the input
  in.insert(in.end(), bits.bytes().begin(), bits.bytes().end());
  EXPECT_EQ(run(19, in, 100).out, (Bytes{255, 254, 253, 252, 246, 55, 0, 238}));
  EXPECT_EQ(run(19, in, 7).out, (Bytes{255, 254, 253, 252}));  // whole groups only

  Bytes pairs = tableInput();
  Bits two;
  two.put(2, 3), two.put(5, 3), two.put(6, 3);
  two.put(0, 3), two.put(1, 1), two.put(0, 1);
  pairs.insert(pairs.end(), two.bytes().begin(), two.bytes().end());
  EXPECT_EQ(run(35, pairs, 100).out, (Bytes{250, 249, 254, 255}));
  EXPECT_EQ(run(19, Bytes(256, 0), 100).result, 0u);
  EXPECT_EQ(run(35, Bytes(256, 0), 100).result, 0u);
}

TEST(TrvcDecode, KnownAndUnknownIdentifiers) {
  for (unsigned id : {0u, 9u, 18u, 20u, 34u, 36u, 255u}) {
    EXPECT_FALSE(trvc_IsKnownCodec(id)) << id;
    EXPECT_EQ(run(id, Bytes{0x82, 'a', 0}, 100).result, 0u);
  }
  for (unsigned id : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 19u, 35u}) EXPECT_TRUE(trvc_IsKnownCodec(id)) << id;
}

TEST(TrvcDecode, FastAndCheckedPathsAgree) {
  // Codec 2's delta runs and codec 6's groups have fast loops that stop short of the ends of input and output. Encoded
  // data, cut short, with a flipped byte and with tight capacities must give the same result and bytes both ways.
  std::mt19937 rng(91);
  for (int round = 0; round < vgmtest::rounds(400); ++round) {
    Bytes plain = kv5test::randomInput(rng, 1 + rng() % 3000);
    Bytes packed(plain.size() + 16);
    unsigned id = round % 2 == 0 ? 2 : 6;
    size_t size = id == 2 ? trvc_Encode2(packed.data(), plain.data(), plain.size())
                          : trvc_Encode6(packed.data(), plain.data(), plain.size(), 1 + round % 16);
    if (size == 0) continue;
    packed.resize(size);
    if (round % 3 == 1) packed.resize(size - rng() % std::min<size_t>(size, 40));
    if (round % 5 == 2 && !packed.empty()) packed[rng() % packed.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
    if (id == 6 && round % 7 == 3 && packed.size() > 260) packed[260] = static_cast<uint8_t>(rng());  // odd group sizes
    for (size_t capacity : {plain.size() + 1, plain.size() / 2 + 1, plain.size() + 100}) {
      kv5_SetSimdEnabled(true);
      Decoded fast = run(id, packed, capacity);
      kv5_SetSimdEnabled(false);
      Decoded checked = run(id, packed, capacity);
      kv5_SetSimdEnabled(true);
      ASSERT_TRUE(fast.result == checked.result && fast.out == checked.out)
          << "codec " << id << " round " << round << " capacity " << capacity;
    }
  }
}
