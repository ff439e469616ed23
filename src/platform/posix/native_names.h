// File-system names on POSIX are bytes, not text. These conversions carry
// every name the system holds through the library's UTF-16 paths and back
// unchanged; os_Utf8ToUtf16 and os_Utf16ToUtf8 are for display only.
#pragma once

#include <string>
#include <string_view>

std::string os_NativeName(std::u16string_view name);
std::u16string os_NameFromNative(std::string_view bytes);
