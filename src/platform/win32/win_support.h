// What the Windows layer's files share: error mapping and the conversion of
// library paths to system paths.
#pragma once

#include <windows.h>

#include <string>

#include "platform/os.h"

static_assert(sizeof(wchar_t) == 2, "UTF-16 passes to the system unchanged");

inline const wchar_t *os_Wide(const char16_t *text) { return reinterpret_cast<const wchar_t *>(text); }
inline const char16_t *os_Narrow16(const wchar_t *text) { return reinterpret_cast<const char16_t *>(text); }

os_Error os_ErrorFromWin32(DWORD code);
// Records the calling thread's system error as the library's; returns 0.
int os_FailWin32();
// A library path as the system wants it: checked for length (as the POSIX
// layer does) and with every separator a backslash. False with the error
// set for null, empty or over-long paths.
bool os_SystemPath(const char16_t *path, std::wstring *out);
