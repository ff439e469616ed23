// Drives the markup operations over random texts. Every buffer is a heap
// block of exactly the size the operation is told, so the sanitizers see any
// access past it; a few invariants are checked on top.
//
// Input: one control byte, then text, key, value and prefix separated by
// NUL bytes (missing parts are empty).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "markup/markup_text.h"
#include "markup/meta_markup.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool terminatedWithin(const char *buffer, size_t capacity) { return std::memchr(buffer, '\0', capacity) != nullptr; }

std::vector<char> bufferOf(const std::string &text, size_t capacity) {
  std::vector<char> buffer(capacity, 'x');
  std::memcpy(buffer.data(), text.data(), std::min(text.size(), capacity));
  if (text.size() < capacity) buffer[text.size()] = '\0';
  return buffer;
}

bool simpleKey(const std::string &key) {
  if (key.empty()) return false;
  for (char c : key) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_')) {
      return false;
    }
  }
  return true;
}

bool plainValue(const std::string &value) { return value.find_first_of(";\r\n") == std::string::npos; }

bool hasKeyWithEquals(const std::string &text, const std::string &key) {
  auto lower = [](std::string s) {
    for (char &c : s) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    return s;
  };
  return lower(text).find(lower(key) + "=") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 20000) return 0;
  const uint8_t control = data[0];
  std::string parts[4];
  size_t part = 0;
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == 0 && part < 3) {
      ++part;
    } else if (data[i] != 0) {
      parts[part].push_back(static_cast<char>(data[i]));
    }
  }
  const std::string &text = parts[0];
  const std::string &key = parts[1];
  const std::string &value = parts[2];
  const std::string &prefix = parts[3];
  const size_t length = text.size();
  // Capacity: sometimes below the text (no terminator inside it), mostly a little above.
  const size_t slack = control & 0x3F;
  const size_t capacity = (control & 0x40) != 0 ? slack + 1 : length + 1 + slack * 4;

  // Lookup into an exactly sized output.
  {
    const int out_size = 1 + (control % 23);
    std::vector<char> out(static_cast<size_t>(out_size));
    int start = -1;
    int end = -1;
    if (markup_Get(text.c_str(), key.c_str(), out.data(), out_size, &start, &end) != 0) {
      check(start >= 0 && start <= end && static_cast<size_t>(end) <= length);
      check(std::strlen(out.data()) < static_cast<size_t>(out_size));
    }
    const int pair = markup_PairLength(text.c_str(), key.c_str());
    check(pair >= 0 && static_cast<size_t>(pair) <= length);
  }

  // Set, with the invariant that a plain pair set with room to spare reads back.
  {
    auto buffer = bufferOf(text, capacity);
    const bool had_pair = hasKeyWithEquals(text, key);
    const int result = markup_Set(buffer.data(), static_cast<int>(capacity), key.c_str(), value.c_str());
    // A refused call changes nothing, not even a text left unterminated.
    if (result != 0) check(terminatedWithin(buffer.data(), capacity));
    check(result == 0 || result == 1 || result == 3);
    const bool roomy = capacity >= length + key.size() + value.size() + 8;
    if (roomy && simpleKey(key) && plainValue(value) && (result == 1 || (result == 3 && had_pair))) {
      std::vector<char> back(value.size() + 1);
      check(markup_Get(buffer.data(), key.c_str(), back.data(), static_cast<int>(back.size()), nullptr, nullptr) == 1);
      check(value == back.data());
    }
  }

  // Delete never lengthens the text.
  {
    auto buffer = bufferOf(text, length + 1);
    markup_Delete(buffer.data(), key.c_str());
    check(std::strlen(buffer.data()) <= length);
  }

  // Walking the pairs always advances and ends.
  {
    std::vector<char> key_out(kMarkupKeyMax + 1);
    std::vector<char> value_out(kMarkupValueMax + 1);
    size_t at = 0;
    while (at <= length) {
      const int next = markup_NextPair(text.c_str() + at, key_out.data(), value_out.data());
      if (next == 0) break;
      check(next > 0 && at + static_cast<size_t>(next) <= length);
      check(std::strlen(key_out.data()) <= static_cast<size_t>(kMarkupKeyMax));
      check(std::strlen(value_out.data()) <= static_cast<size_t>(kMarkupValueMax));
      at += static_cast<size_t>(next);
    }
  }

  // Line writing, copying missing pairs and trimming, each bounded.
  {
    auto buffer = bufferOf(text, capacity);
    check(markup_AppendLine(buffer.data(), static_cast<int>(capacity), key.c_str(), value.c_str()) == 1);
    check(terminatedWithin(buffer.data(), capacity));
  }
  {
    auto buffer = bufferOf(text, capacity);
    const char *prefix_arg = (control & 0x80) != 0 ? nullptr : prefix.c_str();
    check(markup_CopyMissing(buffer.data(), static_cast<int>(capacity), value.c_str(), prefix_arg) == 1);
    check(terminatedWithin(buffer.data(), capacity));
    auto self = bufferOf(text, capacity);
    markup_CopyMissing(self.data(), static_cast<int>(capacity), self.data(), prefix_arg);
    check(terminatedWithin(self.data(), capacity));
  }
  {
    auto buffer = bufferOf(text, length + 1);
    const int result = markup_Trim(buffer.data(), (control & 1) != 0 ? key.c_str() : nullptr);
    check(result >= -1 && result <= 1);
    check(std::strlen(buffer.data()) <= length);
  }

  // Byte blocks: tolerant decoding into an exact buffer, and a round trip.
  {
    std::vector<unsigned char> out(control % 40);
    const int decoded = markup_DecodeBlock(text.c_str(), out.data(), out.size());
    check(decoded >= 0 && static_cast<size_t>(decoded) <= out.size());
    const size_t block = std::min(value.size(), static_cast<size_t>(kMarkupBlockMax));
    const int needed = markup_BlockTextLength(block);
    std::vector<char> encoded(static_cast<size_t>(needed) + 1);
    check(markup_FormatBlock(encoded.data(), needed + 1, value.data(), block) == needed);
    std::vector<unsigned char> back(block + 1);
    check(markup_DecodeBlock(encoded.data(), back.data(), back.size()) == static_cast<int>(block));
    check(std::memcmp(back.data(), value.data(), block) == 0);
  }

  // Numbers and fractions.
  {
    markup_ParseInt(text.c_str());
    markup_ParseDigitInt(text.c_str());
    const double real = markup_ParseReal(text.c_str());
    int32_t num = 0;
    int32_t den = 0;
    const int bound = markup_ParseInt(key.c_str());
    if (markup_ToFraction(real, bound, &num, &den) == 1 && bound >= 1) {
      check(den != 0);
      const double magnitude = std::fabs(real);
      // The bound applies to the denominator, or to the numerator of a reciprocal.
      check(magnitude < 0.99999 ? std::abs(num) <= std::max(bound, 1) : den <= std::max(bound, 1));
    }
  }

  // The growable record.
  {
    MetaMarkup markup{};
    if (markup_MetaInitFromData(&markup, text.data(), static_cast<uint32_t>(length)) == 1) {
      markup_MetaMerge(&markup, value.c_str());
      markup_MetaMerge(&markup, markup.text);
      markup_MetaSet(&markup, key.c_str(), value.c_str());
      markup_MetaSet(&markup, key.c_str(), markup.text);
      char out[64];
      markup_MetaGet(&markup, key.c_str(), out, sizeof out);
      markup_MetaGet(&markup, prefix.c_str(), nullptr, 0);
      int32_t bpp = 0;
      markup_MetaGetBpp(&markup, &bpp);
      check(markup.capacity > 0 && std::strlen(markup.text) < markup.capacity);
      check(markup.size == (markup.text[0] != '\0' ? std::strlen(markup.text) + 1 : 0));
      markup_MetaFree(&markup);
    }
  }
  return 0;
}
