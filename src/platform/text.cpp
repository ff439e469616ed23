// Text and name services that need nothing from the system: the same code
// serves every platform.
#include "platform/os.h"
#include "platform/os_text.h"

namespace {
thread_local os_Error tLastError = os_Error::none;
}  // namespace

os_Error os_LastError() { return tLastError; }
void os_SetLastError(os_Error error) { tLastError = error; }

size_t os_Utf16Length(const char16_t *text) {
  if (text == nullptr) return 0;
  size_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

namespace {

// A byte that is not part of valid UTF-8 travels through the library as the
// lone low surrogate U+DC00 + byte and turns back into that byte on the way
// out, so that names read from the file system reach it again unchanged.
constexpr char16_t kEscapedByte = 0xDC00;

std::string toUtf8(std::u16string_view text, bool bytes_escaped) {
  // Most paths are plain ASCII: copied unit for unit, no per-character appends.
  size_t ascii = 0;
  while (ascii < text.size() && text[ascii] < 0x80) ++ascii;
  std::string out(ascii, '\0');
  for (size_t i = 0; i < ascii; ++i) out[i] = static_cast<char>(text[i]);
  if (ascii == text.size()) return out;
  out.reserve(text.size() + 8);
  for (size_t i = ascii; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (bytes_escaped && c >= kEscapedByte + 0x80 && c <= kEscapedByte + 0xFF) {
      out += static_cast<char>(c - kEscapedByte);
      continue;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string toUtf16(std::string_view text, bool bytes_escaped) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    auto byte = static_cast<unsigned char>(text[i]);
    uint32_t c = 0xFFFD;
    size_t extra = 0;
    uint32_t minimum = 0;
    if (byte < 0x80) {
      c = byte;
    } else if ((byte & 0xE0) == 0xC0) {
      c = byte & 0x1F, extra = 1, minimum = 0x80;
    } else if ((byte & 0xF0) == 0xE0) {
      c = byte & 0x0F, extra = 2, minimum = 0x800;
    } else if ((byte & 0xF8) == 0xF0) {
      c = byte & 0x07, extra = 3, minimum = 0x10000;
    }
    size_t used = 1;
    if (extra > 0) {
      bool valid = i + extra < text.size();
      for (size_t k = 1; valid && k <= extra; ++k) {
        auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
          valid = false;
        } else {
          c = (c << 6) | (next & 0x3F);
        }
      }
      if (valid && c >= minimum && c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF)) {
        used = extra + 1;
      } else {
        c = 0xFFFD;
      }
    }
    if (bytes_escaped && c == 0xFFFD && used == 1 && byte >= 0x80) c = kEscapedByte + byte;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += used;
  }
  return out;
}

}  // namespace

std::string os_Utf16ToUtf8(std::u16string_view text) { return toUtf8(text, false); }
std::u16string os_Utf8ToUtf16(std::string_view text) { return toUtf16(text, false); }
std::string os_Utf16ToUtf8Bytes(std::u16string_view text, bool bytes_escaped) { return toUtf8(text, bytes_escaped); }
std::u16string os_Utf8ToUtf16Bytes(std::string_view bytes, bool bytes_escaped) { return toUtf16(bytes, bytes_escaped); }

namespace {
char16_t foldCase(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }
}  // namespace

bool os_NameMatches(std::u16string_view name, std::u16string_view pattern) {
  // Iterative wildcard match with one backtrack point: linear in practice,
  // never exponential.
  size_t n = 0, p = 0, starP = std::u16string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == u'?' || foldCase(pattern[p]) == foldCase(name[n]))) {
      ++n, ++p;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      starP = p++;
      starN = n;
    } else if (starP != std::u16string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

std::u16string os_TypeNameFromExtension(const char16_t *path) {
  std::u16string_view name(path != nullptr ? path : u"");
  size_t slash = name.find_last_of(u"/\\");
  if (slash != std::u16string_view::npos) name.remove_prefix(slash + 1);
  size_t dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos || dot + 1 == name.size()) return u"File";
  std::u16string type(name.substr(dot + 1));
  for (char16_t &c : type)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  return type + u" File";
}
