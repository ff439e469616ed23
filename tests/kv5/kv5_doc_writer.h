// Test-only writer of native documents of every version, from a description: chunk order, unknown chunks, thumbnails,
// pre-processing, header sizes, revisions, codec chains and tile streams are all chosen by the test. Streams are stored
// in blocks without codecs unless `compress` asks for the real block writer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "kv5/kv5_io.h"
#include "kv5/trvc_stream.h"

namespace kv5doc {

using Bytes = std::vector<uint8_t>;

inline void put8(Bytes &b, uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
inline void put16(Bytes &b, uint32_t v) { put8(b, v), put8(b, v >> 8); }
inline void put32(Bytes &b, uint32_t v) { put16(b, v), put16(b, v >> 16); }
inline void set32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void pad(Bytes &b, size_t to) { b.resize(std::max(b.size(), to), 0); }

// BGRA pixels as planes: blue, green, red (and T with 4 channels).
inline Bytes planar(const std::vector<uint32_t> &pixels, int channels) {
  Bytes out;
  for (int k = 0; k < channels; ++k)
    for (uint32_t p : pixels) out.push_back(static_cast<uint8_t>(p >> (8 * k)));
  return out;
}

struct Item {
  enum Kind { layer, thumbnail, chunk } kind = layer;
  int32_t x = 0, y = 0;
  uint32_t width = 1, height = 1;
  uint8_t format = 0, channels = 4, pre = 0, distance = 0;
  uint16_t flags = 0, frame = 0;
  uint8_t a = 0, b = 0;
  std::u16string name;
  std::string ansiName;  // version 3 up to revision 10
  Bytes pixels, properties;
  uint32_t recordLength = 128;  // version 4: payload length of the record chunk
  uint8_t tag = 0;              // chunk: its tag and payload in `pixels`
  bool compress = false;
};

struct Doc {
  uint32_t headerSize = 32;
  uint16_t version = 4, revision = 11;
  uint8_t type = 1, option = 0;
  uint16_t stated = 1;
  std::vector<Item> items;
  bool end = true;
};

// Version-4 data blocks of `stream`.
inline Bytes blocks(const Bytes &stream, bool compress) {
  if (compress) {
    kv5_MemoryStream out;
    kv5_Context context;
    kv5_ContextInit(&context);
    trvc_WriteStream(stream.data(), stream.size(), &out, &context, nullptr);
    return out.data();
  }
  Bytes out;
  for (size_t at = 0; at < stream.size(); at += 65536) {
    size_t n = std::min<size_t>(65536, stream.size() - at);
    put8(out, 2), pad(out, out.size() + 3), put32(out, static_cast<uint32_t>(32 + n));
    put32(out, 0), put32(out, static_cast<uint32_t>(n)), put32(out, static_cast<uint32_t>(n));
    put32(out, at + n == stream.size() ? 1 : 0), pad(out, out.size() + 16);
    out.insert(out.end(), stream.begin() + static_cast<ptrdiff_t>(at), stream.begin() + static_cast<ptrdiff_t>(at + n));
  }
  return out;
}

inline Bytes writeV4(const Doc &doc) {
  Bytes out;
  put32(out, 0x35564B5F), put32(out, doc.headerSize), put32(out, uint32_t{doc.version} << 16 | doc.revision);
  put8(out, doc.type), put8(out, doc.option), put16(out, 0), put16(out, doc.stated);
  pad(out, doc.headerSize);
  out.resize(doc.headerSize);
  for (const Item &item : doc.items) {
    Bytes record;
    if (item.kind == Item::chunk) {
      put8(out, item.tag), pad(out, out.size() + 3), put32(out, static_cast<uint32_t>(item.pixels.size()));
      out.insert(out.end(), item.pixels.begin(), item.pixels.end());
      continue;
    }
    Bytes stream = item.pixels;
    if (item.kind == Item::layer) {
      stream.insert(stream.end(), item.properties.begin(), item.properties.end());
      put32(record, 0), put8(record, 1), pad(record, 8);
      put32(record, static_cast<uint32_t>(item.x)), put32(record, static_cast<uint32_t>(item.y));
      put32(record, item.width), put32(record, item.height);
      put8(record, item.format), put8(record, item.channels), put8(record, item.pre), put8(record, item.distance);
      put32(record, 0), put32(record, static_cast<uint32_t>(item.pixels.size()));
      put32(record, static_cast<uint32_t>(item.properties.size()));
      put16(record, item.flags), put16(record, item.frame), put8(record, item.a), put8(record, item.b);
      pad(record, 64);
      for (char16_t c : item.name) put16(record, c);
      pad(record, 128);
      record.resize(item.recordLength);
      put8(out, 1);
    } else {
      pad(record, 8), put16(record, item.width), put16(record, item.height);
      put8(record, item.format), put8(record, item.channels), put16(record, 0);
      put32(record, static_cast<uint32_t>(item.pixels.size())), pad(record, 32);
      put8(out, 3);
    }
    pad(out, out.size() + 3), put32(out, static_cast<uint32_t>(record.size()));
    out.insert(out.end(), record.begin(), record.end());
    Bytes data = blocks(stream, item.compress);
    out.insert(out.end(), data.begin(), data.end());
  }
  if (doc.end) put8(out, 0xFF), pad(out, out.size() + 7);
  return out;
}

// Version 3: 16-byte header, 4-byte chunk headers, 96-byte records,
// 28-byte block headers; streams stored in pieces of 60000 bytes.
inline Bytes writeV3(const Doc &doc) {
  Bytes out;
  put32(out, 0x35564B5F), put32(out, 16), put32(out, 0x00030000u | doc.revision);
  put8(out, doc.type), put8(out, doc.option), put16(out, 0);
  for (const Item &item : doc.items) {
    if (item.kind == Item::chunk) {
      put8(out, item.tag), put8(out, 0), put16(out, static_cast<uint32_t>(4 + item.pixels.size()));
      out.insert(out.end(), item.pixels.begin(), item.pixels.end());
      continue;
    }
    Bytes record;
    put8(record, 1), put8(record, 0), put16(record, 96);
    put16(record, static_cast<uint32_t>(item.x)), put16(record, static_cast<uint32_t>(item.y));
    put16(record, item.width), put16(record, item.height);
    put8(record, item.format), put8(record, item.channels), put16(record, 0);
    put16(record, item.flags), put16(record, item.frame);
    if (doc.revision >= 11) {
      for (char16_t c : item.name) put16(record, c);
    } else {
      record.insert(record.end(), item.ansiName.begin(), item.ansiName.end());
    }
    pad(record, 84);
    put32(record, static_cast<uint32_t>(item.properties.size())), put32(record, static_cast<uint32_t>(item.pixels.size()));
    put8(record, item.a), put8(record, item.b), pad(record, 96);
    out.insert(out.end(), record.begin(), record.end());
    Bytes stream = item.pixels;
    stream.insert(stream.end(), item.properties.begin(), item.properties.end());
    for (size_t at = 0; at < stream.size(); at += 60000) {
      size_t n = std::min<size_t>(60000, stream.size() - at);
      put8(out, 2), put8(out, 0), put16(out, static_cast<uint32_t>(28 + n));
      put32(out, static_cast<uint32_t>(n)), put32(out, static_cast<uint32_t>(n)), pad(out, out.size() + 16);
      out.insert(out.end(), stream.begin() + static_cast<ptrdiff_t>(at), stream.begin() + static_cast<ptrdiff_t>(at + n));
    }
  }
  if (doc.end) put8(out, 0xFF), put8(out, 0), put16(out, 4);
  return out;
}

// Flat files: `data` is the compressed stream as the chain leaves it.
struct Flat {
  int version = 2;
  uint16_t revision = 0;
  uint16_t width = 1, height = 1;
  uint8_t format = 0, pre = 0, channels = 3;
  uint8_t chain[16] = {};
  std::vector<uint32_t> palette;  // version 2, format 2
  uint32_t statedEntries = 0;     // palette count word; 0: the palette's size
  uint32_t dataLength = 0;        // 0: up to the end of the file
  Bytes data;
};

inline Bytes writeFlat(const Flat &flat) {
  Bytes out;
  const uint32_t headerSize = flat.version == 2 ? 52 : 40;
  put32(out, 0x35564B5F), put32(out, headerSize), put32(out, uint32_t(flat.version) << 16 | flat.revision);
  put16(out, flat.width), put16(out, flat.height);
  uint32_t paletteAt = headerSize;
  uint32_t dataAt = headerSize + (flat.palette.empty() ? 0 : 4 + 4 * static_cast<uint32_t>(flat.palette.size()));
  if (flat.version == 2) {
    put8(out, flat.format), put8(out, flat.pre), put8(out, flat.channels), put8(out, 0);
    put32(out, dataAt), put32(out, flat.dataLength);
    out.insert(out.end(), flat.chain, flat.chain + 16);
    put32(out, flat.palette.empty() ? 0 : paletteAt), put32(out, 0);
    if (!flat.palette.empty()) {
      put32(out, flat.statedEntries ? flat.statedEntries : static_cast<uint32_t>(flat.palette.size()));
      for (uint32_t p : flat.palette) put32(out, p);
    }
  } else {
    put32(out, headerSize), put32(out, flat.dataLength);
    out.insert(out.end(), flat.chain, flat.chain + 16);
  }
  out.insert(out.end(), flat.data.begin(), flat.data.end());
  return out;
}

// A password stage around `plain`: a header of `headerLength` bytes (hint from byte 1, the plain bytes' sum at 68 as
// far as the header reaches and `checksum` asks), then `plain` enciphered by adding `key` cyclically.
inline Bytes passwordStage(const Bytes &plain, const std::string &key, const std::string &hint = "",
                           uint8_t headerLength = 72, bool checksum = true) {
  Bytes out(std::max<size_t>(headerLength, 72), 0);
  out[0] = headerLength;
  std::copy_n(hint.begin(), std::min<size_t>(hint.size(), 71), out.begin() + 1);
  uint32_t sum = 0;
  for (uint8_t p : plain) sum += p;
  if (checksum) set32(out.data() + 68, sum);
  out.resize(headerLength);
  for (size_t i = 0; i < plain.size(); ++i) out.push_back(static_cast<uint8_t>(plain[i] + key[i % key.size()]));
  return out;
}

}  // namespace kv5doc
