// The byte-block value form: "<count>, <base64>" for binary entries such as
// maker notes, and its tolerant decoder.
#include <cstdio>
#include <cstring>

#include "markup/markup_internal.h"
#include "markup/markup_text.h"
#include "platform/os.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int digitsOf(size_t value) {
  int digits = 1;
  while (value >= 10) {
    value /= 10;
    ++digits;
  }
  return digits;
}

// Sextet of a block character, -1 for characters the decoder skips.
int sextetOf(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+' || c == '-') return 62;
  if (c == '/' || c == '_' || c == ',') return 63;
  return -1;
}

}  // namespace

int markup_BlockTextLength(size_t size) {
  if (size > static_cast<size_t>(kMarkupBlockMax)) return 0;
  return digitsOf(size) + 2 + static_cast<int>((size + 2) / 3 * 4);
}

int markup_FormatBlock(char *out, int out_size, const void *data, size_t size) {
  if (out == nullptr || out_size < 1) return 0;
  out[0] = '\0';
  if (size > static_cast<size_t>(kMarkupBlockMax) || (data == nullptr && size > 0)) return 0;
  const int needed = markup_BlockTextLength(size);
  if (needed >= out_size) return 0;
  // The block may come from a plug-in: copy it under the guard first.
  unsigned char bytes[kMarkupBlockMax];
  if (size > 0 && !os_Guard([&] { std::memcpy(bytes, data, size); })) return 0;

  int at = std::snprintf(out, static_cast<size_t>(out_size), "%i, ", static_cast<int>(size));
  for (size_t i = 0; i < size; i += 3) {
    const size_t left = size - i;
    const uint32_t group = (uint32_t{bytes[i]} << 16) | (left > 1 ? uint32_t{bytes[i + 1]} << 8 : 0u) |
                           (left > 2 ? uint32_t{bytes[i + 2]} : 0u);
    out[at++] = kAlphabet[(group >> 18) & 63];
    out[at++] = kAlphabet[(group >> 12) & 63];
    out[at++] = left > 1 ? kAlphabet[(group >> 6) & 63] : '=';
    out[at++] = left > 2 ? kAlphabet[group & 63] : '=';
  }
  out[at] = '\0';
  return at;
}

int markup_AppendBlock(char *buffer, int capacity, const char *key, const void *data, size_t size) {
  if (buffer == nullptr || key == nullptr || capacity < 1) return 0;
  if (size > static_cast<size_t>(kMarkupBlockMax)) return 0;
  char value[16 + (kMarkupBlockMax + 2) / 3 * 4];
  const int value_length = markup_FormatBlock(value, sizeof value, data, size);
  if (value_length == 0) return 0;
  bool readable = false;
  const size_t length = markup_ArgLength(buffer, static_cast<size_t>(capacity), &readable);
  if (!readable) return 0;
  // The value is written whole rather than through the 4096-byte line, so
  // that the largest block still decodes to every byte.
  size_t at = length < static_cast<size_t>(capacity) ? length : static_cast<size_t>(capacity) - 1;
  auto put = [&](const char *bytes, size_t count) {
    const size_t room = static_cast<size_t>(capacity) - 1 - at;
    if (count > room) count = room;
    std::memcpy(buffer + at, bytes, count);
    at += count;
  };
  put(key, markup_ArgLength(key, kMarkupKeyMax, nullptr));
  put("=", 1);
  put(value, static_cast<size_t>(value_length));
  put(";\r\n", 3);
  buffer[at] = '\0';
  return 1;
}

int markup_DecodeBlock(const char *value, void *out, size_t out_size) {
  if (value == nullptr || out == nullptr) return 0;
  const size_t length = markup_ArgLength(value, kMarkupTextLimit, nullptr);
  size_t at = 0;
  if (const void *comma = std::memchr(value, ',', length); comma != nullptr) {
    at = static_cast<size_t>(static_cast<const char *>(comma) - value) + 1;
    while (at < length && markup_IsLineSpace(value[at])) ++at;
  }
  auto *bytes = static_cast<unsigned char *>(out);
  size_t stored = 0;
  uint32_t bits = 0;
  int bit_count = 0;
  for (; at < length && value[at] != '=' && stored < out_size; ++at) {
    const int sextet = sextetOf(value[at]);
    if (sextet < 0) continue;
    bits = ((bits << 6) | static_cast<uint32_t>(sextet)) & 0xFFFFu;
    bit_count += 6;
    if (bit_count >= 8) {
      bit_count -= 8;
      bytes[stored++] = static_cast<unsigned char>(bits >> bit_count);
    }
  }
  return static_cast<int>(stored < 0x7FFFFFFFu ? stored : 0x7FFFFFFFu);
}
