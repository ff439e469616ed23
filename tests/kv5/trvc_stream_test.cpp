#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "kv5/trvc_codecs.h"
#include "kv5/trvc_stream.h"
#include "kv5_test_util.h"
#include "platform/os.h"
#include "support/test_support.h"

using kv5test::put32;
using kv5test::Bytes;
using kv5test::messages;

namespace {

using Chain = std::array<uint8_t, 16>;

// One data block chunk built by hand.
Bytes blockChunk(uint32_t unpacked, const Bytes &data, const Chain &chain, bool last, uint8_t tag = 2) {
  Bytes out = {tag, 0, 0, 0};
  put32(out, static_cast<uint32_t>(data.size() + 32)), put32(out, 0), put32(out, static_cast<uint32_t>(data.size()));
  put32(out, unpacked), put32(out, last ? 1 : 0);
  out.insert(out.end(), chain.begin(), chain.end());
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

struct Blocks {
  std::vector<uint32_t> packed, unpacked, flags;
  std::vector<Chain> chains;
};

Blocks parseBlocks(const Bytes &file) {
  Blocks b;
  for (size_t at = 0; at + 40 <= file.size();) {
    EXPECT_EQ(file[at], 2);
    uint32_t length = kv5test::read32(&file[at + 4]);
    b.packed.push_back(kv5test::read32(&file[at + 12]));
    b.unpacked.push_back(kv5test::read32(&file[at + 16]));
    b.flags.push_back(kv5test::read32(&file[at + 20]));
    Chain chain;
    std::memcpy(chain.data(), &file[at + 24], 16);
    b.chains.push_back(chain);
    EXPECT_EQ(length, b.packed.back() + 32);
    at += 8 + length;
  }
  return b;
}

Bytes writeStream(const Bytes &source, int level) {
  kv5_Context context;
  kv5_ContextInit(&context);
  trvc_SetCompressionLevel(level);
  kv5_MemoryStream file;
  EXPECT_EQ(trvc_WriteStream(source.data(), source.size(), &file, &context, nullptr), 1);
  return file.data();
}

struct ReadResult {
  int result;
  Bytes data;
  kv5_Context context;
  int64_t position;  // of the stream afterwards
  // The result and the messages, in one line.
  std::string outcome() const { return std::to_string(result) + " " + messages(context); }
};

ReadResult readStream(const Bytes &file, size_t length, uint8_t fill = 0xEE) {
  ReadResult r;
  kv5_ContextInit(&r.context);
  r.data.assign(length, fill);
  kv5_MemoryStream stream(file);
  r.result = trvc_ReadStream(r.data.data(), length, &stream, &r.context, static_cast<int64_t>(file.size()));
  r.position = stream.position();
  return r;
}

Bytes photoPlanes() {
  static Bytes planes = [] {
    kv5test::Image image;
    EXPECT_TRUE(kv5test::loadPng(vgmtest::dataFile("kv5/paris_icc_exif_xmp.png"), &image));
    Bytes all;  // blue, green and red planes, as the planar format stores them
    for (int channel : {2, 1, 0})
      for (size_t i = static_cast<size_t>(channel); i < image.data.size(); i += 3) all.push_back(image.data[i]);
    return all;
  }();
  return planes;
}

Bytes makeInput(int kind, size_t length) {
  Bytes out(length);
  std::mt19937 rng(static_cast<uint32_t>(length));
  const Bytes &photo = kind == 3 ? photoPlanes() : Bytes();
  for (size_t i = 0; i < length; ++i) {
    switch (kind) {
      case 0: out[i] = static_cast<uint8_t>(rng()); break;
      case 1: out[i] = 0x5A; break;
      case 2: out[i] = static_cast<uint8_t>((i % 4096) * 255 / 4095); break;
      default: out[i] = photo[i % photo.size()]; break;
    }
  }
  return out;
}

struct CancelAfter {
  int calls = 0;
  int allowed;
  std::vector<int32_t> values;
};
int32_t cancelAfter(int32_t value, int32_t total, void *context) {
  auto *c = static_cast<CancelAfter *>(context);
  EXPECT_EQ(total, 100000);
  c->values.push_back(value);
  return ++c->calls <= c->allowed ? 1 : 0;
}
void watch(kv5_Context &context, CancelAfter &c) {
  kv5_ContextInit(&context);
  context.progress = cancelAfter;
  context.progressContext = &c;
}

}  // namespace

TEST(TrvcStream, RoundTripsEveryKindLengthAndLevel) {
  const char *kinds[] = {"random", "constant", "gradient", "photo"};
  for (int kind = 0; kind < 4; ++kind) {
    for (size_t length : {0, 1, 7, 8, 65535, 65536, 65537, 1000000}) {
      Bytes source = makeInput(kind, length);
      for (int level = 0; level <= 9; ++level) {
        Bytes file = writeStream(source, level);
        ReadResult back = readStream(file, length);
        ASSERT_TRUE(back.outcome() == "1 " && back.data == source) << kinds[kind] << " " << length << " level " << level;
        ASSERT_EQ(parseBlocks(file).packed.size(), (length + 65535) / 65536);
        EXPECT_TRUE(kind != 1 || length < 65536 || file.size() < length / 100) << "level " << level;
      }
    }
  }
}

TEST(TrvcStream, BlockLayout) {
  // 65,536 bytes are one block with the last flag; 65,537 two, the second of 1 byte.
  for (size_t length : {65536, 65537}) {
    Blocks b = parseBlocks(writeStream(makeInput(2, length), 4));
    EXPECT_EQ(b.unpacked, (length == 65536 ? std::vector<uint32_t>{65536} : std::vector<uint32_t>{65536, 1}));
    EXPECT_EQ(b.flags, (length == 65536 ? std::vector<uint32_t>{1} : std::vector<uint32_t>{0, 1}));
  }
  // Noise no codec shrinks: stored as it is under an empty chain.
  Bytes noise = makeInput(0, 5000);
  Bytes file = writeStream(noise, 9);
  Blocks raw = parseBlocks(file);
  EXPECT_EQ(raw.chains[0], Chain{});
  EXPECT_EQ(raw.packed[0], 5000u);
  EXPECT_TRUE(std::equal(noise.begin(), noise.end(), file.begin() + 40));
  // Below level 4 a piece shorter than 8 bytes is stored unchanged; from level 4 on the search still runs.
  Bytes seven(7, 'a');
  EXPECT_EQ(parseBlocks(writeStream(seven, 3)).chains[0], Chain{});
  Blocks searched = parseBlocks(writeStream(seven, 4));
  EXPECT_EQ(searched.chains[0][0], trvc_CodecRle);
  EXPECT_LT(searched.packed[0], 7u);
  // The level is one clamped process-wide value.
  for (auto [set, used] : {std::pair{12, 9}, {-3, 0}}) {
    trvc_SetCompressionLevel(set);
    EXPECT_EQ(trvc_CompressionLevel(), used) << set;
  }
  trvc_SetCompressionLevel(4);
}

TEST(TrvcStream, DictionaryCodecJoinsTheSearchAtHigherLevels) {
  const uint8_t *data = nullptr;
  Chain chain;
  auto area = std::make_unique<uint8_t[]>(trvc_WorkAreaSize);
  std::mt19937 rng(9);
  // It comes in from the second stage at level 4 and up.
  Bytes text;
  const char *words[] = {"alpha ", "beta ", "gamma ", "delta ", "epsilon "};
  while (text.size() < 30000) {
    const char *w = words[rng() % 5];
    text.insert(text.end(), w, w + std::strlen(w));
  }
  size_t shallow = trvc_CompressPiece(text.data(), text.size(), 3, area.get(), chain.data(), &data);
  EXPECT_EQ(std::count(chain.begin(), chain.end(), trvc_CodecDictionary), 0);
  EXPECT_NE(chain[0], 0);
  size_t deep = trvc_CompressPiece(text.data(), text.size(), 9, area.get(), chain.data(), &data);
  EXPECT_NE(chain[0], trvc_CodecDictionary);  // never in the first stage
  EXPECT_GE(std::count(chain.begin(), chain.end(), trvc_CodecDictionary), 1);
  EXPECT_LT(deep, shallow);
}

TEST(TrvcStreamRead, ToleratedBlockFaults) {
  Chain none{}, unknown{9}, dictionary{trvc_CodecDictionary}, rle{trvc_CodecRle};
  const Bytes xyz = blockChunk(3, {'x', 'y', 'z'}, none, true);
  auto cat = [](Bytes a, const Bytes &b) { return a.insert(a.end(), b.begin(), b.end()), a; };
  const struct {
    Bytes file;
    size_t length;
    uint8_t fill;
    Bytes data;
    const char *message;
  } rows[] = {
      // Unknown identifier: the data so far (the stored bytes) is used.
      {cat(blockChunk(5, {'h', 'e', 'l', 'l', 'o'}, unknown, false), xyz), 8, 0, {'h', 'e', 'l', 'l', 'o', 'x', 'y', 'z'},
       "Invalid TRVC codec ID in block\n"},
      // A codec returning 0 (a reference before the output start): the span keeps its bytes.
      {cat(blockChunk(4, {0x02, 'a', 'b', 0x88, 0x00}, dictionary, false), xyz), 7, 0x11,
       {0x11, 0x11, 0x11, 0x11, 'x', 'y', 'z'}, "Invalid/corrupt data in block (TRVC returned zero bytes)\n"},
      // Last flag before the stream is complete: what was read, and a note.
      {xyz, 10, 0, {'x', 'y', 'z', 0, 0, 0, 0, 0, 0, 0}, "Unexpected end of data marker in block\n"},
      // Unknown chunks are skipped; a block claiming or decoding to more than needed writes only what fits.
      {cat({0xFE, 0, 0, 0, 3, 0, 0, 0, 'h', 'i', 0}, blockChunk(5, {'1', '2', '3', '4', '5'}, none, true)), 3, 0,
       {'1', '2', '3'}, ""},
      {blockChunk(100000, {0x80, 0xA0, 0x86, 0x01, 0x00, 0x55, 0x00}, rle, true), 10, 0, Bytes(10, 0x55), ""},
  };
  for (const auto &row : rows) {
    ReadResult r = readStream(row.file, row.length, row.fill);
    EXPECT_EQ(r.outcome(), std::string("1 ") + row.message);
    EXPECT_TRUE(r.data == row.data && r.context.errorFlags == 0u) << row.message;
  }
}

TEST(TrvcStreamRead, FailuresAndOutOfMemory) {
  Chain none{};
  const std::string readError = "Error: Cannot read data from the file, file may be incomplete\n";

  ReadResult r = readStream(blockChunk(4, {}, none, true), 4);
  EXPECT_EQ(r.outcome(), "0 Invalid TRVC input data for block\n");
  EXPECT_EQ(r.context.errorFlags & kv5_ErrorFailed, kv5_ErrorFailed);

  // A record or the end chunk where a block was expected: the position is left at that chunk.
  for (uint8_t tag : {0, 1, 3, 255}) {
    r = readStream(Bytes{tag, 0, 0, 0, 0, 0, 0, 0}, 4);
    EXPECT_EQ(r.outcome(), "0 Datastream ended prematurely\n");
    EXPECT_EQ(r.position, 0);
  }
  EXPECT_EQ(readStream(Bytes{0x42, 0, 0, 0, 0, 0, 0, 0}, 4).outcome(), "0 Zero size while skipping unexpected tag\n");

  // A compressed length larger than the work buffer is refused unread.
  // So is a stated length of more than 16 MiB beyond what the stream needs.
  Bytes huge = blockChunk(10, Bytes(10, 1), none, true);
  kv5test::set32(&huge[4], 200032);
  kv5test::set32(&huge[12], 200000);
  for (const Bytes &file : {huge, blockChunk(0x1000001, Bytes(10, 1), none, true)})
    EXPECT_EQ(readStream(file, 10).outcome(), "0 " + readError);

  // Every truncation of a real stream fails cleanly with the read error.
  Bytes source = makeInput(3, 70000);
  Bytes file = writeStream(source, 4);
  for (size_t cut : {size_t{0}, size_t{5}, size_t{8}, size_t{20}, size_t{40}, size_t{41}, file.size() / 2, file.size() - 1}) {
    Bytes part(file.begin(), file.begin() + static_cast<ptrdiff_t>(cut));
    r = readStream(part, source.size());
    EXPECT_EQ(r.outcome(), "0 " + readError) << cut;
    EXPECT_TRUE(r.context.errorFlags & kv5_ErrorFailed);
  }

  os_InjectFault(os_FaultKind::allocation, 1);
  r = readStream(file, source.size());
  os_InjectFault(os_FaultKind::allocation, 0);
  EXPECT_EQ(r.outcome(), "0 Out of memory for TRVC decompression\n");
  EXPECT_TRUE(r.context.outOfMemory && (r.context.errorFlags & kv5_ErrorFailed));
}

TEST(TrvcStream, ProgressAndCancellation) {
  Bytes source = makeInput(3, 300000);  // five pieces
  trvc_SetCompressionLevel(2);
  kv5_Context context;
  CancelAfter writer{0, 100, {}};
  watch(context, writer);
  kv5_MemoryStream file;
  trvc_ProgressShare share{1000.0, 500.0, 250.0};  // this stream is the middle half of the job
  ASSERT_EQ(trvc_WriteStream(source.data(), source.size(), &file, &context, &share), 1);
  ASSERT_EQ(writer.values.size(), 5u);
  EXPECT_EQ(writer.values.front(), 24750);  // 250 / 1000 of 99000
  for (size_t i = 1; i < writer.values.size(); ++i) EXPECT_GT(writer.values[i], writer.values[i - 1]);
  EXPECT_LT(writer.values.back(), 74250);

  // Reading reports the file position before each chunk.
  CancelAfter reader{0, 100, {}};
  watch(context, reader);
  Bytes dest(source.size());
  kv5_MemoryStream in(file.data());
  ASSERT_EQ(trvc_ReadStream(dest.data(), dest.size(), &in, &context, static_cast<int64_t>(file.data().size())), 1);
  EXPECT_EQ(reader.values.size(), 5u);
  EXPECT_EQ(reader.values.front(), 0);  // position 0 of the file
  EXPECT_EQ(dest, source);

  // A callback returning 0 cancels either direction.
  for (bool writing : {true, false}) {
    CancelAfter cancel{0, 2, {}};
    watch(context, cancel);
    context.errorFlags = kv5_ErrorFailed;  // cleared by the cancellation
    int result;
    if (writing) {
      kv5_MemoryStream out;
      result = trvc_WriteStream(source.data(), source.size(), &out, &context, &share);
      EXPECT_EQ(out.data().size(), parseBlocks(file.data()).packed[0] + parseBlocks(file.data()).packed[1] + 80);
    } else {
      kv5_MemoryStream again(file.data());
      result = trvc_ReadStream(dest.data(), dest.size(), &again, &context, static_cast<int64_t>(file.data().size()));
    }
    EXPECT_EQ(std::to_string(result) + " " + messages(context), "0 Cancelled: The operation was cancelled by the user\n");
    EXPECT_TRUE(context.errorFlags == 0u && context.cancelled && cancel.calls == 3);
  }
}

TEST(TrvcStreamWrite, Failures) {
  Bytes source = makeInput(0, 100000);
  trvc_SetCompressionLevel(1);
  for (size_t limit : {size_t{0}, size_t{10}, size_t{40}, size_t{65576}, size_t{65600}}) {
    kv5_Context context;
    kv5_ContextInit(&context);
    kv5_MemoryStream file;
    file.writeLimit = limit;
    EXPECT_EQ(trvc_WriteStream(source.data(), source.size(), &file, &context, nullptr), 0) << limit;
    EXPECT_EQ(messages(context), "Error: Cannot write data to the file, check disk space\n");
    EXPECT_TRUE(context.errorFlags & kv5_ErrorFailed);
  }
  kv5_Context context;
  kv5_ContextInit(&context);
  kv5_MemoryStream file;
  os_InjectFault(os_FaultKind::allocation, 1);
  EXPECT_EQ(trvc_WriteStream(source.data(), source.size(), &file, &context, nullptr), 0);
  os_InjectFault(os_FaultKind::allocation, 0);
  EXPECT_EQ(messages(context), "Out of memory for TRVC compression\n");
  EXPECT_TRUE(context.outOfMemory && file.data().empty());

  kv5_ContextInit(&context);
  EXPECT_EQ(trvc_WriteStream(nullptr, 0, &file, &context, nullptr), 1);  // empty: nothing written
  EXPECT_TRUE(file.data().empty());
}
