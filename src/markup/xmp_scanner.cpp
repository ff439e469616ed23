// Element and attribute lookup in XMP text, and value decoding.
#include "markup/xmp_scanner.h"

#include <cstdint>
#include <cstring>

#include "markup/markup_internal.h"

namespace {

bool isTagTerminator(char c) { return c == '>' || c == '/' || markup_IsLineSpace(c); }

// `name` (ASCII case-insensitive) at `at`, followed by a tag terminator, all
// before `size`.
bool tagNameAt(const char *data, size_t size, size_t at, const char *name, size_t length) {
  if (at + length >= size) return false;
  for (size_t i = 0; i < length; ++i) {
    if (markup_AsciiLower(data[at + i]) != markup_AsciiLower(name[i])) return false;
  }
  return isTagTerminator(data[at + length]);
}

size_t spanWithoutZero(const char *data, size_t size) {
  const void *zero = std::memchr(data, '\0', size);
  return zero != nullptr ? static_cast<size_t>(static_cast<const char *>(zero) - data) : size;
}

void appendUtf8(uint32_t code, char *out, size_t *length) {
  auto put = [&](uint32_t byte) { out[(*length)++] = static_cast<char>(byte); };
  if (code < 0x80) {
    put(code);
  } else if (code < 0x800) {
    put(0xC0 | (code >> 6)), put(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    put(0xE0 | (code >> 12)), put(0x80 | ((code >> 6) & 0x3F)), put(0x80 | (code & 0x3F));
  } else {
    put(0xF0 | (code >> 18)), put(0x80 | ((code >> 12) & 0x3F)), put(0x80 | ((code >> 6) & 0x3F));
    put(0x80 | (code & 0x3F));
  }
}

// Longest reference decoded; longer ones (leading zeros galore) stay as text.
constexpr size_t kReferenceMax = 32;

// Decodes the reference at raw[0] == '&' into `bytes` (at most 4). Returns
// the characters it spans, 0 when it is not one we decode.
size_t decodeReference(const char *raw, size_t size, char *bytes, size_t *byte_count) {
  const void *semicolon = std::memchr(raw, ';', size < kReferenceMax ? size : kReferenceMax);
  if (semicolon == nullptr) return 0;
  const size_t span = static_cast<size_t>(static_cast<const char *>(semicolon) - raw) + 1;
  const char *body = raw + 1;
  const size_t body_length = span - 2;
  *byte_count = 0;
  static constexpr struct {
    const char *name;
    char value;
  } kPredefined[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  for (const auto &entity : kPredefined) {
    if (std::strlen(entity.name) == body_length && std::memcmp(body, entity.name, body_length) == 0) {
      bytes[(*byte_count)++] = entity.value;
      return span;
    }
  }
  if (body_length < 2 || body[0] != '#') return 0;
  const bool hex = body[1] == 'x';
  size_t at = hex ? 2 : 1;
  if (at == body_length) return 0;
  uint32_t code = 0;
  for (; at < body_length; ++at) {
    const char c = body[at];
    uint32_t digit = 0;
    if (markup_IsDigit(c)) {
      digit = static_cast<uint32_t>(c - '0');
    } else if (hex && markup_AsciiLower(c) >= 'a' && markup_AsciiLower(c) <= 'f') {
      digit = static_cast<uint32_t>(markup_AsciiLower(c) - 'a' + 10);
    } else {
      return 0;
    }
    code = code * (hex ? 16 : 10) + digit;
    if (code > 0x10FFFF) return 0;
  }
  if (code >= 0xD800 && code <= 0xDFFF) return 0;
  // A decoded control character (NUL included) must not end or break the
  // value: it becomes a space.
  if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) code = ' ';
  appendUtf8(code, bytes, byte_count);
  return span;
}

}  // namespace

int xmp_FindElementIn(const char *data, size_t size, const char *name, xmp_Element *element) {
  if (data == nullptr || name == nullptr || element == nullptr) return 0;
  const size_t length = std::strlen(name);
  if (length == 0) return 0;
  size_t at = 0;
  for (;;) {
    const void *open = std::memchr(data + at, '<', size - at);
    if (open == nullptr) return 0;
    at = static_cast<size_t>(static_cast<const char *>(open) - data);
    if (tagNameAt(data, size, at + 1, name, length)) break;
    ++at;
  }
  // Only this first start tag counts: trying later ones could make a
  // packet of unclosed tags cost quadratic time.
  xmp_Element found{};
  found.start = at;
  found.attr_offset = at + 1 + length;
  const void *close = std::memchr(data + found.attr_offset, '>', size - found.attr_offset);
  if (close == nullptr) return 0;
  const size_t gt = static_cast<size_t>(static_cast<const char *>(close) - data);
  found.attr_length = gt - found.attr_offset;
  if (found.attr_length > 0 && data[gt - 1] == '/') {
    *element = found;
    return 1;
  }
  found.has_content = true;
  found.content_offset = gt + 1;
  size_t depth = 1;  // nesting is a counter, never recursion
  for (size_t scan = found.content_offset; scan < size;) {
    const void *next = std::memchr(data + scan, '<', size - scan);
    if (next == nullptr) break;
    scan = static_cast<size_t>(static_cast<const char *>(next) - data);
    if (scan + 1 < size && data[scan + 1] == '/' && tagNameAt(data, size, scan + 2, name, length)) {
      if (--depth == 0) {
        found.content_length = scan - found.content_offset;
        *element = found;
        return 1;
      }
    } else if (tagNameAt(data, size, scan + 1, name, length)) {
      ++depth;
    }
    ++scan;
  }
  return 0;
}

int xmp_FindElement(const char *data, size_t size, const char *name, xmp_Element *element) {
  if (data == nullptr) return 0;
  return xmp_FindElementIn(data, spanWithoutZero(data, size), name, element);
}

int xmp_FindAttribute(const char *data, size_t size, const char *name, size_t *value_offset, size_t *value_length) {
  if (data == nullptr || name == nullptr || value_offset == nullptr || value_length == nullptr) return 0;
  size = spanWithoutZero(data, size);
  const size_t length = std::strlen(name);
  if (length == 0) return 0;
  const char first = markup_AsciiLower(name[0]);
  // A match needs a blank before it, so it starts at 1 at the earliest.
  for (size_t at = 1; at + length < size; ++at) {
    if (markup_AsciiLower(data[at]) != first || !markup_IsLineSpace(data[at - 1])) continue;
    size_t i = 1;
    while (i < length && markup_AsciiLower(data[at + i]) == markup_AsciiLower(name[i])) ++i;
    if (i < length) continue;
    size_t next = at + length;
    if (!markup_IsLineSpace(data[next]) && data[next] != '=') continue;
    while (next < size && (data[next] == ' ' || data[next] == '\t')) ++next;
    if (next == size || data[next] != '=') continue;
    while (next < size && (data[next] == ' ' || data[next] == '\t' || data[next] == '=')) ++next;
    if (next == size || (data[next] != '"' && data[next] != '\'')) continue;
    const void *quote = std::memchr(data + next + 1, data[next], size - next - 1);
    if (quote == nullptr) return 0;  // the rest of the span is inside the value
    *value_offset = next + 1;
    *value_length = static_cast<size_t>(static_cast<const char *>(quote) - data) - *value_offset;
    return 1;
  }
  return 0;
}

// Our choice where entities are concerned: users want "Tom & Jerry", not
// "Tom &amp; Jerry", so the predefined entities and character references
// are decoded. Entities a DOCTYPE declares never are, so nothing expands:
// every reference decodes to at most as many bytes as it spans.
size_t xmp_DecodeValue(const char *raw, size_t size, char *out, size_t out_size) {
  if (out == nullptr || out_size == 0) return 0;
  size_t length = 0;
  if (raw != nullptr) {
    size = spanWithoutZero(raw, size);
    const size_t room = out_size - 1;
    for (size_t at = 0; at < size;) {
      char bytes[4];
      size_t count = 0;
      const size_t span = raw[at] == '&' ? decodeReference(raw + at, size - at, bytes, &count) : 0;
      if (span == 0) {
        bytes[0] = raw[at];
        count = 1;
      }
      if (count > room - length) break;
      std::memcpy(out + length, bytes, count);
      length += count;
      at += span == 0 ? 1 : span;
    }
  }
  out[length] = '\0';
  return length;
}
