// What the Windows layer's files share: error mapping and the conversion of
// library paths to system paths.
#pragma once

#include <windows.h>

#include <string>
#include <type_traits>

#include "platform/os.h"

// Text passes to the system by os.h's os_W and os_U16 casts (WCHAR is
// wchar_t here).
static_assert(sizeof(wchar_t) == 2 && std::is_same_v<WCHAR, wchar_t>, "UTF-16 passes to the system unchanged");

os_Error os_ErrorFromWin32(DWORD code);
// Records the calling thread's system error as the library's; returns 0.
int os_FailWin32();
// A library path as the system wants it: checked for length (as the POSIX
// layer does) and with every separator a backslash. False with the error
// set for null, empty or over-long paths.
bool os_SystemPath(const char16_t *path, std::wstring *out);
