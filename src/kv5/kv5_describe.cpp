#include "kv5/kv5_describe.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "kv5/kv5_read_common.h"
#include "platform/os.h"

namespace {

// printf's "%.<precision>g" and "%i", without the process locale.
std::string general(double value, int precision) {
  char text[64];
  auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::general, precision);
  return std::string(text, result.ptr);
}
std::string integer(int64_t value) {
  char text[32];
  auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

void copyOut(const std::u16string &text, char16_t *out, size_t capacity) {
  size_t n = std::min(text.size(), capacity - 1);
  std::copy_n(text.begin(), n, out);
  out[n] = 0;
}

std::u16string widen(const std::string &text) { return std::u16string(text.begin(), text.end()); }

std::u16string pixelText(uint64_t c) {
  auto d = static_cast<double>(c);
  if (c >= 1000000000) return widen(general(d / 1e9, 4) + " GP");
  if (c >= 1000001) return widen(general(d / 1e6, 4) + " MP");
  if (c >= 333001) return widen(general(d / 1e6, 3) + " MP");
  if (c >= 1001) return widen(general(d / 1000, 4) + " kP");
  return widen(integer(static_cast<int64_t>(c)) + " px");
}

std::u16string sizeText(uint64_t s) {
  auto d = static_cast<double>(s);
  if (s < 1024) return widen(integer(static_cast<int64_t>(s)) + " bytes");
  if (s < 1048576) return widen(general(d / 1024, 4) + " KB");
  if (s < 1073741824) return widen(general(d / 1048576, 4) + " MB");
  return widen(general(d / 1073741824, 4) + " GB");
}

const char *typeName(uint8_t code, uint64_t layers) {
  switch (code) {
    case 1: return layers < 2 ? "Flat Image" : "Composite";
    case 2: return "Frame Animation";
    case 3: return "Image List";
    case 4: return "Object Animation";
    default: return "Unknown";
  }
}

struct Facts {
  std::string type;
  uint32_t version, revision;
  uint64_t width = 0, height = 0, layers = 0, pixels = 0;
};

struct Reader {
  os_File *file;
  size_t at(int64_t offset, void *buffer, size_t size) {
    size_t done = 0;
    if (os_FileSeek(file, offset, os_SeekFrom::begin, nullptr)) os_FileRead(file, buffer, size, &done);
    return done;
  }
};

// Layer records of a chunked document: version 4 (8-byte chunk headers,
// 128-byte records) or 3 (4-byte headers with the length at 2..3, 96-byte
// records). Stops at a short read, tag 0 or tag 0xFF.
void countLayers(Reader *reader, int64_t at, bool v4, Facts *facts) {
  for (;;) {
    uint8_t chunk[8];
    size_t header = v4 ? 8 : 4;
    if (reader->at(at, chunk, header) < header || chunk[0] == 0 || chunk[0] == 0xFF) return;
    int64_t length = v4 ? int64_t{kv5_Load32(chunk + 4)} + 8 : std::max<int64_t>(kv5_Load16(chunk + 2), 4);
    if (chunk[0] == 1) {
      uint8_t record[24] = {};
      uint64_t w, h;
      if (v4) {
        size_t take = std::min<size_t>(kv5_Load32(chunk + 4), sizeof record);
        if (reader->at(at + 8, record, take) < take) return;
        w = kv5_Load32(record + 16), h = kv5_Load32(record + 20);
      } else {
        size_t take = std::min<size_t>(static_cast<size_t>(length), 12);
        if (reader->at(at, record, take) < take) return;
        w = kv5_Load16(record + 8), h = kv5_Load16(record + 10);
      }
      ++facts->layers;
      facts->pixels += w * h;
      if (facts->width == 0 && facts->height == 0 && w != 0 && h != 0) facts->width = w, facts->height = h;
    }
    at += length;
  }
}

}  // namespace

void fmt_PixelCount(uint64_t count, char16_t *out) {
  if (out != nullptr) copyOut(pixelText(count), out, fmt_TextCapacity);
}

void fmt_FileSize(uint64_t size, char16_t *out) {
  if (out != nullptr) copyOut(sizeText(size), out, fmt_TextCapacity);
}

int32_t kv5_DescribeFile(const char16_t *path, char16_t *out) {
  if (path == nullptr || out == nullptr) return 0;
  os_File *file = os_FileOpen(path, os_AccessRead, os_ShareRead, os_Disposition::openExisting);
  if (file == nullptr) return 0;
  Reader reader{file};
  uint8_t header[44] = {};
  size_t got = reader.at(0, header, sizeof header);
  int64_t fileSize = os_FileSize(file);
  Facts facts;
  bool layered = false, known = false;
  if (got >= 12 && kv5_Load32(header) == kv5_Magic) {
    uint32_t headerSize = kv5_Load32(header + 4);
    uint32_t word = kv5_Load32(header + 8);
    facts.version = word >> 16, facts.revision = word & 0xFFFF;
    // Bytes the header does not cover count as 0.
    std::fill(header + std::min<size_t>(std::min<size_t>(headerSize, sizeof header), got), header + sizeof header, 0);
    if ((facts.version == 4 || facts.version == 3) &&
        got >= std::min<size_t>(headerSize, facts.version == 4 ? 32 : 16)) {
      countLayers(&reader, headerSize, facts.version == 4, &facts);
      if (facts.version == 4) facts.layers = std::max<uint64_t>(facts.layers, kv5_Load16(header + 16));
      facts.type = typeName(header[12], facts.layers);
      layered = known = true;
    } else if (facts.version <= 2 && headerSize >= 24 && got >= 24) {
      facts.width = kv5_Load16(header + 12), facts.height = kv5_Load16(header + 14);
      facts.pixels = facts.width * facts.height;
      const uint8_t *chain = header + (facts.version == 2 ? 28 : 24);
      facts.type = std::find(chain, chain + 16, 255) != chain + 16 ? ", Encrypted" : "";
      known = true;
    }
  }
  os_FileClose(file);
  if (!known) return 0;

  std::u16string size = fileSize < 0 ? u"n/a" : sizeText(static_cast<uint64_t>(fileSize));
  std::u16string times = u" \u00D7 ";
  std::u16string text;
  if (layered) {
    text = u"Orvine Photo Document (" + widen(facts.type) + u")\nVersion: " + widen(integer(facts.version)) +
           u" rev " + widen(integer(facts.revision)) + u"\n\n" + widen(integer(static_cast<int64_t>(facts.width))) +
           times + widen(integer(static_cast<int64_t>(facts.height))) + u" (Base Layer)\n" +
           widen(integer(static_cast<int64_t>(facts.layers))) + u" Layers\nTotal Pixel Count: " +
           pixelText(facts.pixels) + u"\n\nFile Size: " + size;
  } else {
    text = u"Orvine Photo Document (Flat Image" + widen(facts.type) + u") \nVersion: " +
           widen(integer(facts.version)) + u" rev " + widen(integer(facts.revision)) + u" \n\n" +
           widen(integer(static_cast<int64_t>(facts.width))) + times +
           widen(integer(static_cast<int64_t>(facts.height))) + u" \nTotal Pixel Count: " + pixelText(facts.pixels) +
           u" \n\nFile Size: " + size + u" ";
  }
  copyOut(text, out, kv5_DescriptionCapacity);
  return 1;
}
