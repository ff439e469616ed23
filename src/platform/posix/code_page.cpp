// The system ANSI code page. The suite's documents were written on systems
// set to Windows-1252, so that is the code page POSIX builds convert with.
#include <array>

#include "platform/os.h"

namespace {

// 0x80..0x9F; the five bytes the code page leaves open keep their C1
// control code points, as the system conversion does.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char ansiOf(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
  for (size_t i = 0; i < kHigh.size(); ++i)
    if (kHigh[i] == c) return static_cast<char>(0x80 + i);
  return '?';
}

}  // namespace

std::u16string os_AnsiToUtf16(const char *text, size_t length) {
  std::u16string out;
  if (text == nullptr) return out;
  for (size_t i = 0; i < length && text[i] != 0; ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    out.push_back(byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : static_cast<char16_t>(byte));
  }
  return out;
}

std::string os_Utf16ToAnsi(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    // A surrogate pair is one character the code page cannot hold: one '?'.
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) ++i;
    out.push_back(c >= 0xD800 && c < 0xE000 ? '?' : ansiOf(c));
  }
  return out;
}
