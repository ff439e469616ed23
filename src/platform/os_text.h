// Pieces of the text services that both platform implementations build on.
#pragma once

#include <string>
#include <string_view>

// UTF-8 conversions; with `bytes_escaped` a byte that is no valid UTF-8
// travels as the lone surrogate U+DC00 + byte and turns back into that byte.
std::string os_Utf16ToUtf8Bytes(std::u16string_view text, bool bytes_escaped);
std::u16string os_Utf8ToUtf16Bytes(std::string_view bytes, bool bytes_escaped);
// The extension upper-cased plus " File" ("File" without one): the type name
// where the desktop shell has none to give.
std::u16string os_TypeNameFromExtension(const char16_t *path);
