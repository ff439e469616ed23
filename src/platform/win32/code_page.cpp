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

std::string os_Utf16ToAnsi(std::u16string_view text) {
  std::string out;
  if (text.empty() || text.size() > INT32_MAX) return out;
  const auto *wide = reinterpret_cast<const wchar_t *>(text.data());
  auto units = static_cast<int>(text.size());
  int bytes = WideCharToMultiByte(CP_ACP, 0, wide, units, nullptr, 0, "?", nullptr);
  if (bytes <= 0) return out;
  out.resize(static_cast<size_t>(bytes));
  WideCharToMultiByte(CP_ACP, 0, wide, units, out.data(), bytes, "?", nullptr);
  return out;
}
