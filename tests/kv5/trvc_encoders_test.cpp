#include <gtest/gtest.h>

#include "kv5/kv5_simd.h"
#include "kv5/trvc_codecs.h"
#include "kv5_test_util.h"
#include "support/test_support.h"

using kv5test::Bytes;

namespace {

struct Encoder {
  unsigned id;
  int parameter;
};

size_t encode(const Encoder &e, uint8_t *to, const Bytes &in) {
  return e.id == 1   ? trvc_Encode1(to, in.data(), in.size())
         : e.id == 2 ? trvc_Encode2(to, in.data(), in.size())
         : e.id == 6 ? trvc_Encode6(to, in.data(), in.size(), e.parameter)
         : e.id == 7 ? trvc_Encode7(to, in.data(), in.size())
                     : trvc_Encode8(to, in.data(), in.size(), e.parameter);
}

// Encodes in both modes, checks the sizes agree and the limit holds, and
// decodes the result back. Returns the size (0 = does not fit).
size_t checkRoundTrip(const Encoder &e, const Bytes &in) {
  const size_t limit = std::min(in.size() + 16, trvc_HalfSize);
  Bytes out(limit + 32, 0xEE);
  const size_t measured = encode(e, nullptr, in), written = encode(e, out.data(), in);
  EXPECT_EQ(measured, written) << "codec " << e.id << " parameter " << e.parameter << " length " << in.size();
  EXPECT_LT(written, limit);
  for (size_t i = std::max(written, limit); i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "wrote past the limit";
  if (written == 0) return 0;
  // Codecs 1, 2 and 8 fail on reaching the capacity: give one byte more.
  Bytes back(in.size() + 1);
  back.resize(trvc_Decode(e.id, back.data(), back.size(), out.data(), written));
  EXPECT_TRUE(back == in) << "codec " << e.id << " parameter " << e.parameter << " length " << in.size();
  return written;
}

std::vector<Encoder> allEncoders() {
  std::vector<Encoder> list = {{1, 0}, {2, 0}, {7, 0}};
  for (int g = 1; g <= 16; ++g) list.push_back({6, g});
  for (int level : {0, 5, 6, 7, 9}) list.push_back({8, trvc_WindowForLevel(level)});
  return list;
}

}  // namespace

TEST(TrvcEncoders, RandomInputsRoundTrip) {
  std::mt19937 rng(20240607);
  const auto encoders = allEncoders();
  int shrunk = 0;
  const int rounds = vgmtest::rounds(1500);
  for (int round = 0; round < rounds; ++round) {
    size_t length = round % 100 == 0 ? 20000 + rng() % 50000 : 1 + rng() % (round % 3 == 0 ? 2000 : 300);
    Bytes in = kv5test::randomInput(rng, length);
    for (const Encoder &e : encoders) {
      if (e.id == 6 && e.parameter > 4 && round % 4 != 0) continue;  // group sizes share one path
      if (e.id == 8 && e.parameter > 256 && round % 5 != 0) continue;
      size_t size = checkRoundTrip(e, in);
      if (size > 0 && size < in.size()) ++shrunk;
      if (HasFailure()) return;
    }
  }
  EXPECT_GT(shrunk, rounds * 2 / 3);  // the statistics are varied enough for every codec to win somewhere
}

TEST(TrvcEncoders, EdgeLengthsShapesAndOutputLimits) {
  const auto encoders = allEncoders();
  std::vector<Bytes> inputs;
  for (size_t n : {1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 127, 128, 129, 130, 256, 257, 258, 1000}) {
    Bytes ramp(n), alternating(n);
    for (size_t i = 0; i < n; ++i) ramp[i] = static_cast<uint8_t>(i * 3), alternating[i] = i % 2 ? 0 : 200;
    inputs.insert(inputs.end(), {Bytes(n, 0x41), ramp, alternating});
  }
  inputs.push_back(Bytes(trvc_PieceSize, 7));
  Bytes longRuns;  // runs around the 128/256 boundaries and above
  for (size_t run : {3, 127, 128, 129, 200, 255, 256, 257, 300, 5000}) longRuns.insert(longRuns.end(), run, static_cast<uint8_t>(run));
  inputs.push_back(longRuns);
  for (const Bytes &in : inputs) {
    for (const Encoder &e : encoders) checkRoundTrip(e, in);
    if (HasFailure()) return;
  }
  // Constant data collapses under codec 1: a 32-bit run count.
  Bytes constant(trvc_PieceSize, 9);
  EXPECT_EQ(trvc_Encode1(nullptr, constant.data(), constant.size()), 7u);
  // Noise does not fit in input + 16 bytes for the table codecs.
  std::mt19937 rng(5);
  Bytes noise(4000);
  for (auto &b : noise) b = static_cast<uint8_t>(rng());
  EXPECT_EQ(std::tuple(trvc_Encode6(nullptr, noise.data(), noise.size(), 4), trvc_Encode7(nullptr, noise.data(), noise.size()),
                       trvc_Encode1(nullptr, nullptr, 0), trvc_Encode6(nullptr, noise.data(), noise.size(), 17)),
            std::tuple(0u, 0u, 0u, 0u));
  // Longer than a piece: the cap is the 69632-byte half, not length + 16.
  Bytes in(100000);
  for (auto &b : in) b = static_cast<uint8_t>(rng() % 4);
  EXPECT_EQ(trvc_Encode7(nullptr, in.data(), in.size()), 0u);  // 5 + 12500 + 75000
  EXPECT_GT(trvc_Encode6(nullptr, in.data(), in.size(), 8), 0u);  // 2 bits a byte fits
}

TEST(TrvcEncoders, MeasureAllGroupSizesMatchesSingleMeasures) {
  std::mt19937 rng(3);
  for (int round = 0; round < 44; ++round) {
    const size_t edges[] = {trvc_PieceSize - 1, trvc_PieceSize, trvc_PieceSize + 1, 90001};
    Bytes in = kv5test::randomInput(rng, round < 4 ? edges[round] : 1 + rng() % 5000);
    trvc_ByteStats stats;
    trvc_CountBytes(in.data(), in.size(), &stats);
    size_t sizes[17];
    trvc_Measure6All(in.data(), in.size(), sizes, round % 2 ? &stats : nullptr);
    for (int g = 1; g <= 16; ++g) EXPECT_EQ(sizes[g], trvc_Encode6(nullptr, in.data(), in.size(), g)) << g;
  }
}

TEST(TrvcEncoders, FastPathsGiveTheSameBytesForEveryCodec) {
  // Codecs 1 and 2 have SIMD scans; codec 8 scans small windows directly when the fast paths are on and walks its
  // chains when they are off; codec 6 writes and measures with or without shared statistics.
  std::mt19937 rng(78);
  for (int round = 0; round < vgmtest::rounds(300); ++round) {
    size_t length = round % 50 == 0 ? trvc_PieceSize - rng() % 3 : 1 + rng() % 4000;
    Bytes in = kv5test::randomInput(rng, length);
    std::vector<Encoder> encoders = {{1, 0}, {2, 0}, {8, 16}, {8, 64}, {8, 9}};
    for (int g = 1; g <= 16 && round < 200; ++g) encoders.push_back({6, g});
    for (const Encoder &e : encoders) {
      Bytes a(in.size() + 16), b(in.size() + 16);
      size_t sa, sb;
      if (e.id == 6) {
        trvc_ByteStats stats;
        trvc_CountBytes(in.data(), in.size(), &stats);
        sa = trvc_Encode6(a.data(), in.data(), in.size(), e.parameter, &stats);
        sb = trvc_Encode6(b.data(), in.data(), in.size(), e.parameter);
        ASSERT_EQ(sa, trvc_Encode6(nullptr, in.data(), in.size(), e.parameter, &stats));
      } else {
        kv5_SetSimdEnabled(true);
        sa = encode(e, a.data(), in);
        kv5_SetSimdEnabled(false);
        sb = encode(e, b.data(), in);
        kv5_SetSimdEnabled(true);
      }
      a.resize(sa), b.resize(sb);
      ASSERT_EQ(a, b) << "codec " << e.id << " parameter " << e.parameter << " length " << length;
    }
  }
}

TEST(TrvcEncoders, WindowsByLevel) {
  const int windows[10] = {16, 16, 16, 16, 16, 64, 256, 1024, 4096, 16384};
  for (int level = 0; level <= 9; ++level) EXPECT_EQ(trvc_WindowForLevel(level), windows[level]) << level;
  // A wider window finds a repeat the narrow one cannot reach.
  std::mt19937 rng(1);
  Bytes block(600);
  for (auto &b : block) b = static_cast<uint8_t>(rng());
  Bytes in = block;
  in.insert(in.end(), block.begin(), block.end());
  size_t narrow = trvc_Encode8(nullptr, in.data(), in.size(), 16);
  size_t wide = trvc_Encode8(nullptr, in.data(), in.size(), 1024);
  EXPECT_GT(narrow, in.size());  // noise within reach: literals only
  EXPECT_GT(wide, 0u);
  EXPECT_LT(wide, 700u);
}
