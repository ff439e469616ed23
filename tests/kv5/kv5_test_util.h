// Helpers of the kv5 tests.
#pragma once

#include <png.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kv5/kv5_context.h"
#include "kv5_doc_writer.h"

namespace kv5test {

using kv5doc::Bytes, kv5doc::put32, kv5doc::set32;

// Builds bit streams least significant bit first, as the codecs read them.
class Bits {
 public:
  void put(uint32_t value, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
      if (fill_ == 0) bytes_.push_back(0);
      bytes_.back() |= static_cast<uint8_t>(((value >> i) & 1) << fill_);
      fill_ = (fill_ + 1) & 7;
    }
  }
  const Bytes &bytes() const { return bytes_; }

 private:
  Bytes bytes_;
  unsigned fill_ = 0;
};

inline uint32_t read32(const uint8_t *p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t{p[3]} << 24); }

inline std::string messages(const kv5_Context &context) {
  std::string text;
  for (size_t i = 0; i < kv5_MessageCapacity && context.messages[i] != 0; ++i) text += static_cast<char>(context.messages[i]);
  return text;
}

// A sample PNG as 8-bit R G B (A) pixels.
struct Image {
  int width = 0, height = 0, channels = 0;
  Bytes data;
};
inline bool loadPng(const std::string &path, Image *image) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) return false;
  png.format = (png.format & PNG_FORMAT_FLAG_ALPHA) ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
  image->width = static_cast<int>(png.width), image->height = static_cast<int>(png.height);
  image->channels = static_cast<int>(PNG_IMAGE_PIXEL_CHANNELS(png.format));
  image->data.resize(PNG_IMAGE_SIZE(png));
  return png_image_finish_read(&png, nullptr, image->data.data(), 0, nullptr) != 0;
}

// Inputs of varied statistics for the property tests: noise, few symbols, runs, a smooth walk, mostly one value,
// repeats of earlier pieces, or pieces of all of these.
inline Bytes randomInput(std::mt19937 &rng, size_t length) {
  Bytes out(length);
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  const uint32_t kind = pick(7), symbols = 1 + pick(20), density = 1 + pick(10);
  Bytes alphabet(symbols);
  for (auto &b : alphabet) b = static_cast<uint8_t>(rng());
  int walk = static_cast<int>(pick(256));
  for (size_t i = 0; i < length;) {
    if (kind == 2 || kind == 5 || kind == 6) {
      // A stretch: a run, a copy from earlier, or a piece of another kind.
      size_t count = kind == 2 ? 1 + pick(pick(2) ? 6 : 400) : kind == 5 ? 2 + pick(60) : 1 + pick(300);
      count = std::min(count, length - i);
      if (kind == 2) {
        std::fill_n(out.begin() + static_cast<ptrdiff_t>(i), count, static_cast<uint8_t>(rng()));
      } else if (kind == 5 && i > 8 && pick(3) != 0) {
        size_t from = i - 1 - pick(static_cast<uint32_t>(std::min<size_t>(i - 1, 5000)));
        for (size_t k = 0; k < count; ++k) out[i + k] = out[from + k];
      } else if (kind == 6) {
        Bytes piece = randomInput(rng, count);
        std::copy(piece.begin(), piece.end(), out.begin() + static_cast<ptrdiff_t>(i));
      } else {
        count = 1;
        out[i] = static_cast<uint8_t>(rng());
      }
      i += count;
      continue;
    }
    walk += pick(50) == 0 ? static_cast<int>(pick(256)) : static_cast<int>(pick(15)) - 7;
    out[i++] = kind == 0   ? static_cast<uint8_t>(rng())
               : kind == 1 ? alphabet[pick(symbols)]
               : kind == 3 ? static_cast<uint8_t>(walk)
                           : (pick(density + 1) == 0 ? static_cast<uint8_t>(rng()) : alphabet[0]);
  }
  return out;
}

}  // namespace kv5test
