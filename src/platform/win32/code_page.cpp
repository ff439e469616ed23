// The system ANSI code page: the system converts, with '?' for what the code
// page cannot hold.
#include <cstring>

#include "platform/win32/win_support.h"

std::u16string os_AnsiToUtf16(const char *text, size_t length) {
  std::u16string out;
  if (text == nullptr) return out;
  size_t bytes = 0;
  while (bytes < length && text[bytes] != 0) ++bytes;
  if (bytes == 0 || bytes > INT32_MAX) return out;
  int units = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(bytes), nullptr, 0);
  if (units <= 0) return out;
  out.resize(static_cast<size_t>(units));
  MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(bytes), reinterpret_cast<wchar_t *>(out.data()), units);
  return out;
}

namespace {

void appendAnsi(std::u16string_view text, std::string *out) {
  if (text.empty()) return;
  const auto *wide = reinterpret_cast<const wchar_t *>(text.data());
  auto units = static_cast<int>(text.size());
  int bytes = WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, "?", nullptr);
  if (bytes <= 0) return;
  size_t at = out->size();
  out->resize(at + static_cast<size_t>(bytes));
  WideCharToMultiByte(CP_ACP, 0, wide, units, out->data() + at, bytes, "?", nullptr);
}

bool isPair(std::u16string_view text, size_t i) {
  return i + 1 < text.size() && text[i] >= 0xD800 && text[i] < 0xDC00 && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000;
}

}  // namespace

std::string os_Utf16ToAnsi(std::u16string_view text) {
  std::string out;
  if (text.empty() || text.size() > INT32_MAX) return out;
  // Only the UTF-8 and GB 18030 code pages hold characters past U+FFFF; the
  // others turn each unit of a pair into its own '?', where one character
  // the code page lacks is one '?'.
  UINT codePage = GetACP();
  if (codePage == CP_UTF8 || codePage == 54936) {
    appendAnsi(text, &out);
    return out;
  }
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!isPair(text, i)) continue;
    appendAnsi(text.substr(start, i - start), &out);
    out += '?';
    start = ++i + 1;
  }
  appendAnsi(text.substr(start), &out);
  return out;
}
